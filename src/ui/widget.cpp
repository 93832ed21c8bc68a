#include "ui/widget.h"

#include "ui/refreshthrottle.h"
#include "ui_widget.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

namespace {

const int DialogWidth = 640;
const int DialogHeight = 455;

} // namespace

Widget::Widget(QWidget* parent)
    : QDialog(parent), ui(new Ui::Widget),
      m_appDir(QCoreApplication::applicationDirPath() + QLatin1Char('/')),
      m_transferTimeoutMs(defaultTransferTimeout())
{
    ui->setupUi(this);
    m_refresh = new RefreshThrottle(this, {ui->progressBar_update, ui->progressBar_updatefile},
                                    RefreshThrottle::LeaveToEventLoop);
    applyAppearance();
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &Widget::onCancelUpdate);
    m_cancelTimer = new QTimer(this);
    connect(m_cancelTimer, &QTimer::timeout, this, &Widget::onCheckCancelRequest);
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
    discardDownload();
    delete ui;
}

void Widget::applyAppearance()
{
    setFixedSize(DialogWidth, DialogHeight);
    setWindowFlags(Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("HTTP升级"));
    for (QProgressBar* bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setStyleSheet(QStringLiteral("color: rgb(255, 255, 255);"));
    }
}

void Widget::setLabelTexts()
{
    ui->label_update->setText(m_statusText);
    ui->label_updatefile->setText(m_detailText);
}

void Widget::refreshLabels()
{
    setLabelTexts();
    m_refresh->settled();
}

void Widget::showInstallFailure(const QString& text)
{
    m_installFailed = true;
    m_statusText = QStringLiteral("更新失败");
    m_detailText = text;
    refreshLabels();
    ui->pushButton_cancel->setEnabled(true);
    show();
}

void Widget::onCancelUpdate()
{
    if (m_installFailed) {
        close();
        return;
    }
    if (m_cancelRequested || !m_isUpdating) {
        return;
    }
    // The box runs its own event loop: the download goes on, and may even complete, meanwhile.
    if (!confirmCancel()) {
        return;
    }
    m_isUpdating = false;
    m_cancelRequested = true;
    m_statusText = QStringLiteral("正在取消更新");
    ui->pushButton_cancel->setEnabled(false);
    abortDownload();
    m_tasks.clear();
    cleanupTempFiles();
}

bool Widget::confirmCancel()
{
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("确认取消"));
    box.setText(QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"));
    box.setIcon(QMessageBox::Question);
    QPushButton* confirm = box.addButton(QStringLiteral("确认"), QMessageBox::YesRole);
    QPushButton* keepGoing = box.addButton(QStringLiteral("取消"), QMessageBox::NoRole);
    box.setDefaultButton(keepGoing);
    box.exec();
    return box.clickedButton() == confirm;
}

void Widget::onCheckCancelRequest()
{
    if (!m_downloads.isEmpty()) {
        return;
    }
    m_cancelTimer->stop();
    onUpdateCompleted(false);
}

void Widget::closeEvent(QCloseEvent* event)
{
    cleanupIfLeftRunning();
    QDialog::closeEvent(event);
}

void Widget::reject()
{
    cleanupIfLeftRunning();
    QDialog::reject();
}

void Widget::cleanupIfLeftRunning()
{
    if (m_isUpdating && !m_cancelRequested) {
        cleanupTempFiles();
    }
}

void Widget::paintEvent(QPaintEvent* event)
{
    {
        // Decoded at the first paint: a console check never shows the dialog, and decoding the
        // image was a noticeable part of its start-up.
        if (m_background.isNull()) {
            m_background = QPixmap(QStringLiteral(":/res/bk.png"));
        }
        QPainter painter(this);
        painter.drawPixmap(rect(), m_background);
    }
    QDialog::paintEvent(event);
}
