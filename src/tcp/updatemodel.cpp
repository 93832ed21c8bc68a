#include "tcp/updatemodel.h"

#include "apply/arriveddigests.h"
#include "config/configmanager.h"
#include "http/httpupdate.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/tcpupdate.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QCoreApplication>

namespace {

constexpr int ProbeTimeoutMs = 500;

} // namespace

CUpdateModel::CUpdateModel(QObject* parent) : QObject(parent) {}

CUpdateModel::~CUpdateModel()
{
    // The HTTP channel goes first, then the TCP channel (a member).
    delete m_httpUpdate;
}

void CUpdateModel::setWidgets(Widget* widget, UpdateWidget* updateWidget)
{
    m_widget = widget;
    m_updateWidget = updateWidget;
}

int CUpdateModel::checkUpdate()
{
    m_lastError.clear();
    m_channelChosen = false;
    const CConfigManager& config = CConfigManager::instance();
    const QString host = config.getUpdateServer();
    // Only the low 16 bits of the configured number are the port.
    const quint16 port = static_cast<quint16>(config.getUpdatePort().toUInt());

    if (!host.isEmpty() && port != 0 && probeTcpService(host, port)) {
        m_channel = TcpChannel;
        m_channelChosen = true;
        return checkTcpUpdate();
    }
    if (config.isHttpEnabled()) {
        m_channel = HttpChannel;
        m_channelChosen = true;
        return checkHttpUpdate();
    }
    m_lastError = QStringLiteral("TCP升级服务连接失败");
    return -1;
}

bool CUpdateModel::probeTcpService(const QString& host, quint16 port)
{
    // Deleting the client at once closes the probe connection before the channel opens its own.
    auto* probe = new QUpdateTcpClient(this);
    const bool connected = probe->connectToServer(host, port, ProbeTimeoutMs);
    delete probe;
    return connected;
}

int CUpdateModel::checkTcpUpdate()
{
    // The channel drives the controller's window, so the user sees one window with live progress.
    m_tcpUpdate = std::make_unique<CTCPUpdate>(m_updateWidget.data());
    connect(m_tcpUpdate.get(), &CTCPUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
    if (m_tcpUpdate->requestVersion()) {
        return 1;
    }
    m_lastError = m_tcpUpdate->checkError();
    return m_lastError.isEmpty() ? 0 : -1;
}

int CUpdateModel::checkHttpUpdate()
{
    delete m_httpUpdate;
    m_httpUpdate = new CHttpUpdate(this);
    m_httpUpdate->setWidget(m_widget);
    connect(m_httpUpdate, &CHttpUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
    const int result = m_httpUpdate->checkForUpdate();
    m_lastError = m_httpUpdate->lastError();
    return result;
}

bool CUpdateModel::showUpdateWindow()
{
    QWidget* window = m_channel == TcpChannel ? static_cast<QWidget*>(m_updateWidget.data())
                                              : static_cast<QWidget*>(m_widget.data());
    if (window) {
        window->show();
    }
    return false;
}

void CUpdateModel::showFailure(const QString& text)
{
    if (m_channelChosen && m_channel == HttpChannel && m_widget) {
        // Closing the dialog, with its button or otherwise, ends the program: nothing runs any more.
        connect(m_widget, &QDialog::finished, this, &CUpdateModel::quitApplication, Qt::UniqueConnection);
        m_widget->showInstallFailure(text);
        return;
    }
    if (!m_updateWidget) {
        return;
    }
    // Nothing runs any more: the cancel button only closes the window, which ends the program.
    connect(m_updateWidget, &UpdateWidget::sigCancelRequested, m_updateWidget, &QWidget::close,
            Qt::UniqueConnection);
    m_updateWidget->bringToFront();
    m_updateWidget->showError(text);
}

void CUpdateModel::quitApplication()
{
    QCoreApplication::quit();
}

bool CUpdateModel::runUpdate()
{
    if (m_channel == TcpChannel) {
        // The whole download runs here; the channel reports its end through sigUpdateResult.
        return m_tcpUpdate && m_tcpUpdate->startTcpUpdate();
    }
    if (m_channel == HttpChannel) {
        // The download runs on in the event loop and ends with the channel's sigUpdateResult.
        return m_httpUpdate && m_httpUpdate->startUpdate();
    }
    return false;
}

QString CUpdateModel::offeredVersion() const
{
    if (m_channel == TcpChannel) {
        return m_tcpUpdate ? m_tcpUpdate->versionInfo().version : QString();
    }
    return m_widget ? m_widget->serverVersion() : QString();
}

QString CUpdateModel::releaseRefusal() const
{
    if (m_channel == TcpChannel) {
        return m_tcpUpdate ? m_tcpUpdate->releaseRefusal() : QString();
    }
    return m_widget ? m_widget->releaseRefusal() : QString();
}

QString CUpdateModel::diskSpaceRefusal() const
{
    if (m_channel == TcpChannel) {
        return m_tcpUpdate ? m_tcpUpdate->diskSpaceRefusal() : QString();
    }
    return m_widget ? m_widget->diskSpaceRefusal() : QString();
}

const ArrivedDigests& CUpdateModel::arrivedDigests() const
{
    static const ArrivedDigests none;
    if (m_channel == TcpChannel) {
        return m_tcpUpdate ? m_tcpUpdate->arrivedDigests() : none;
    }
    return m_widget ? m_widget->arrivedDigests() : none;
}
