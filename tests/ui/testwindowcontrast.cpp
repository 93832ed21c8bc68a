// The windows' texts against the artwork behind them, measured on the rendered windows. The dark
// texts must reach a contrast ratio of at least 4.5:1 against every pixel behind their label; the
// coloured status texts keep their fixed colours, and their ratios are only reported.
// scripts/render-windows.sh runs this suite with the Windows platform plugin under Xvfb and keeps
// the pictures (UPDATER_WINDOW_PICTURES names the folder for them).
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <cmath>

namespace {

/// Relative luminance of a colour, as the contrast ratio of WCAG 2 defines it.
double luminance(const QColor& colour)
{
    auto channel = [](int value) {
        const double v = value / 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.red()) + 0.7152 * channel(colour.green()) +
           0.0722 * channel(colour.blue());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

/// What the screen shows of `window`, as the user sees it.
QImage shotOf(QWidget& window)
{
    QCoreApplication::processEvents();
    QPixmap shot = window.screen()->grabWindow(window.winId());
    if (shot.isNull()) {
        shot = window.grab();
    }
    return shot.toImage().convertToFormat(QImage::Format_RGB32);
}

/// The window with every label emptied: the pixels behind the labels.
QImage backgroundOf(QWidget& window)
{
    QMap<QLabel*, QString> texts;
    for (QLabel* label : window.findChildren<QLabel*>()) {
        texts.insert(label, label->text());
        label->clear();
    }
    window.repaint();
    const QImage background = shotOf(window);
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        it.key()->setText(it.value());
    }
    return background;
}

/// The lowest contrast of `text` against the pixels of `background` inside `area`.
double lowestContrast(const QImage& background, const QRect& area, const QColor& text)
{
    double lowest = 21.0;
    const QRect inside = area.intersected(background.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            lowest = std::min(lowest, contrast(QColor(background.pixel(x, y)), text));
        }
    }
    return lowest;
}

void savePicture(QWidget& window, const QString& name)
{
    const QString folder = qEnvironmentVariable("UPDATER_WINDOW_PICTURES");
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        shotOf(window).save(folder + QLatin1Char('/') + name);
    }
}

} // namespace

class TestWindowContrast : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The program's resources come with the test support library; a static library's
        // resources are registered by hand.
        Q_INIT_RESOURCE(res);
        QVERIFY(QFile::exists(QStringLiteral(":/res/bk.png")));
    }

    void textsAgainstTheArtwork_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("mustBeReadable");

        auto row = [](const char* tag, const char* window, const char* label, const char* status,
                      const char* colour, bool mustBeReadable) {
            QTest::newRow(tag) << QString::fromLatin1(window) << QString::fromLatin1(label)
                               << QString::fromLatin1(status) << QColor(colour) << mustBeReadable;
        };
        row("TCP title #333", "TCP", "label_title", "", "#333333", true);
        row("TCP file line #666", "TCP", "label_updatefile", "", "#666666", true);
        row("TCP status neutral #666", "TCP", "label_status", "", "#666666", true);
        row("TCP status information #2196F3", "TCP", "label_status", "information", "#2196F3", false);
        row("TCP status error #f44336", "TCP", "label_status", "error", "#f44336", false);
        row("TCP status success #4CAF50", "TCP", "label_status", "success", "#4CAF50", false);
        row("HTTP status line black", "HTTP", "label_update", "", "#000000", true);
        row("HTTP detail line black", "HTTP", "label_updatefile", "", "#000000", true);
    }

    void textsAgainstTheArtwork()
    {
        QFETCH(QString, window);
        QFETCH(QString, label);
        QFETCH(QString, status);
        QFETCH(QColor, colour);
        QFETCH(bool, mustBeReadable);
        UpdateWidget tcpWindow;
        Widget httpWindow;
        QWidget& shown = window == QLatin1String("TCP") ? static_cast<QWidget&>(tcpWindow) : httpWindow;
        if (status == QLatin1String("information")) {
            tcpWindow.showStatus(QStringLiteral("正在下载"));
        } else if (status == QLatin1String("error")) {
            tcpWindow.showError(QStringLiteral("下载失败"));
        } else if (status == QLatin1String("success")) {
            tcpWindow.showSuccess();
        }
        shown.show();
        QVERIFY(QTest::qWaitForWindowExposed(&shown));
        QLabel* text = shown.findChild<QLabel*>(label);
        QVERIFY(text);
        // The colour measured is the one the label really paints with.
        QCOMPARE(text->palette().color(text->foregroundRole()), colour);

        const double ratio = lowestContrast(backgroundOf(shown), text->geometry(), colour);
        qInfo("%s: lowest contrast against the artwork %.2f:1", QTest::currentDataTag(), ratio);
        if (mustBeReadable) {
            QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1:1 is below 4.5:1").arg(ratio, 0, 'f', 2)));
        }
    }

    void picturesForReview()
    {
        if (qEnvironmentVariableIsEmpty("UPDATER_WINDOW_PICTURES")) {
            QSKIP("UPDATER_WINDOW_PICTURES is not set; scripts/render-windows.sh keeps the pictures");
        }
        UpdateWidget tcpWindow;
        tcpWindow.bringToFront();
        tcpWindow.setFileProgress(QStringLiteral("数据/新.txt"), 300000, 700000);
        QVERIFY(QTest::qWaitForWindowExposed(&tcpWindow));
        savePicture(tcpWindow, QStringLiteral("tcp-window.png"));
        tcpWindow.hide();

        Widget httpWindow;
        httpWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&httpWindow));
        savePicture(httpWindow, QStringLiteral("http-window.png"));
    }
};

QTEST_MAIN(TestWindowContrast)
#include "testwindowcontrast.moc"
