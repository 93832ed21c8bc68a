#include "ui/updatewidget.h"

#include "ui/filesize.h"
#include "ui/refreshthrottle.h"
#include "ui_updatewidget.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QScreen>

namespace {

constexpr int WindowWidth = 684;
constexpr int WindowHeight = 539;

const char* const NeutralStyle = "color: #666;";
const char* const InfoStyle = "color: #2196F3;";
const char* const ErrorStyle = "color: #f44336;";
const char* const SuccessStyle = "color: #4CAF50;";

const char* const WindowStyle = "UpdateWidget { background-color: white; }";
// One literal, kept whole so that the style can be searched for as it stands.
// clang-format off
const char* const CancelButtonStyle = "QPushButton { padding: 8px 16px; background-color: #f44336; color: white; border: none; border-radius: 4px; }QPushButton:hover { background-color: #d32f2f; }";
// clang-format on
const char* const ProgressBarStyle = "QProgressBar { text-align: center; }";
const char* const TitleStyle = "font-size: 16px; font-weight: bold; color: #333;";
const char* const FileLineStyle = "color: #666; font-size: 12px;";

const char* const BackgroundImage = ":/res/bk.png";

} // namespace

UpdateWidget::UpdateWidget(QWidget* parent) : QWidget(parent), m_ui(new Ui::TCPWidget)
{
    setWindowTitle(QStringLiteral("TCP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(WindowWidth, WindowHeight);
    m_ui->setupUi(this);
    m_refresh = new RefreshThrottle(this, {m_ui->progressBar_main, m_ui->progressBar_updatefile},
                                    RefreshThrottle::PumpEvents);
    applyStyles();
    resetProgress();
    connect(m_ui->pushButton_cancel, &QPushButton::clicked, this, &UpdateWidget::sigCancelRequested);
    centreOnPrimaryScreen();
}

UpdateWidget::~UpdateWidget()
{
    delete m_ui;
}

void UpdateWidget::applyStyles()
{
    setStyleSheet(QLatin1String(WindowStyle));
    QFont windowFont = QApplication::font();
    windowFont.setPointSize(10);
    setFont(windowFont);
    m_ui->pushButton_cancel->setStyleSheet(QLatin1String(CancelButtonStyle));
    m_ui->progressBar_main->setStyleSheet(QLatin1String(ProgressBarStyle));
    m_ui->progressBar_updatefile->setStyleSheet(QLatin1String(ProgressBarStyle));
    m_ui->label_title->setStyleSheet(QLatin1String(TitleStyle));
    m_ui->label_status->setStyleSheet(QLatin1String(NeutralStyle));
    m_ui->label_updatefile->setStyleSheet(QLatin1String(FileLineStyle));
}

void UpdateWidget::centreOnPrimaryScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    // Only the size of the available area counts, as the window has always been placed.
    const QRect available = screen->availableGeometry();
    move((available.width() - width()) / 2, (available.height() - height()) / 2);
}

void UpdateWidget::resetProgress()
{
    m_ui->progressBar_main->setValue(0);
    m_ui->progressBar_updatefile->setValue(0);
    m_ui->label_updatefile->setText(QStringLiteral("正在下载更新文件"));
    m_ui->label_status->setText(QStringLiteral("准备就绪"));
    m_ui->label_status->setStyleSheet(QLatin1String(NeutralStyle));
}

void UpdateWidget::setStatusText(const QString& text, const char* style)
{
    m_ui->label_status->setText(text);
    // Setting a style sheet re-polishes the label even when it is the same one, and progress sets
    // the status for every chunk received.
    if (m_ui->label_status->styleSheet() != QLatin1String(style)) {
        m_ui->label_status->setStyleSheet(QLatin1String(style));
    }
}

void UpdateWidget::showStatus(const QString& text)
{
    setStatusText(text, InfoStyle);
    m_refresh->settled();
}

void UpdateWidget::showPassingStatus(const QString& text)
{
    setStatusText(text, InfoStyle);
    m_refresh->changed();
}

void UpdateWidget::showError(const QString& text)
{
    setStatusText(text, ErrorStyle);
    m_refresh->settled();
}

void UpdateWidget::setOverallProgress(const QString& text, int percent)
{
    if (static_cast<unsigned>(percent) <= 100U) {
        m_ui->progressBar_main->setValue(percent);
    }
    setStatusText(text, InfoStyle);
    m_refresh->changed();
}

void UpdateWidget::showSuccess()
{
    setStatusText(QStringLiteral("升级成功"), SuccessStyle);
    m_ui->progressBar_main->setValue(100);
    m_refresh->settled();
}

void UpdateWidget::bringToFront()
{
    show();
    raise();
    activateWindow();
}

void UpdateWidget::setFileProgress(const QString& fileName, qint64 received, qint64 total)
{
    const qint64 percent = total > 0 ? received * 100 / total : 0;
    // A bar ignores values outside its range; checking here also keeps a huge 64-bit percentage
    // from wrapping into the range when narrowed to int.
    if (percent >= 0 && percent <= 100) {
        m_ui->progressBar_main->setValue(static_cast<int>(percent));
        m_ui->progressBar_updatefile->setValue(static_cast<int>(percent));
    }
    m_ui->label_updatefile->setText(QStringLiteral("下载: %1 (%2/%3)")
                                        .arg(fileName, FileSize::toText(received), FileSize::toText(total)));
    setStatusText(QStringLiteral("下载进度: %1%").arg(percent), InfoStyle);
    m_refresh->changed();
}

void UpdateWidget::refreshNow()
{
    m_refresh->settled();
}

void UpdateWidget::paintEvent(QPaintEvent* event)
{
    // Progress repaints the window for every chunk received: keep the background scaled to the
    // window in the pixmap cache, so a paint is a plain copy instead of a scaling of the image.
    const QString key =
        QStringLiteral("%1@%2x%3").arg(QLatin1String(BackgroundImage)).arg(width()).arg(height());
    QPixmap background;
    if (!QPixmapCache::find(key, &background)) {
        background = QPixmap(QLatin1String(BackgroundImage)).scaled(size());
        QPixmapCache::insert(key, background);
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, background);
    painter.end();
    QWidget::paintEvent(event);
}

void UpdateWidget::closeEvent(QCloseEvent* event)
{
    event->accept();
}
