#include "support/productresources.h"
#include "support/reviewoutput.h"
#include "tcp/tcpupdate.h"
#include "ui/updatewidget.h"

#include <QBoxLayout>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

namespace {

struct WindowParts
{
    QLabel* title;
    QLabel* fileLine;
    QLabel* status;
    QProgressBar* mainBar;
    QProgressBar* fileBar;
    QPushButton* cancel;
};

WindowParts partsOf(UpdateWidget& window)
{
    WindowParts parts{window.findChild<QLabel*>(QStringLiteral("label_title")),
                      window.findChild<QLabel*>(QStringLiteral("label_updatefile")),
                      window.findChild<QLabel*>(QStringLiteral("label_status")),
                      window.findChild<QProgressBar*>(QStringLiteral("progressBar_main")),
                      window.findChild<QProgressBar*>(QStringLiteral("progressBar_updatefile")),
                      window.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"))};
    Q_ASSERT(parts.title && parts.fileLine && parts.status && parts.mainBar && parts.fileBar && parts.cancel);
    return parts;
}

const QString InfoStyle = QStringLiteral("color: #2196F3;");
const QString ErrorStyle = QStringLiteral("color: #f44336;");

} // namespace

class TestUpdateWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void construction();
    void layoutTree();
    void statusOperations_data();
    void statusOperations();
    void overallProgress_data();
    void overallProgress();
    void fileProgress_data();
    void fileProgress();
    void resetRestoresInitialState();
    void cancelButtonRequestsCancel();
    void closeHidesWindow();
    void formatFileSize_data();
    void formatFileSize();
    void rendersForReview();
};

void TestUpdateWidget::initTestCase()
{
    QVERIFY(loadProductResources());
}

void TestUpdateWidget::construction()
{
    UpdateWidget window;
    const WindowParts parts = partsOf(window);
    QCOMPARE(window.objectName(), QStringLiteral("TCPWidget"));
    QCOMPARE(window.windowTitle(), QStringLiteral("TCP升级"));
    QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(window.isWindow());
    QVERIFY(!window.isVisible());
    QCOMPARE(window.size(), QSize(684, 539));
    QCOMPARE(window.minimumSize(), QSize(684, 539));
    QCOMPARE(window.maximumSize(), QSize(684, 539));
    QCOMPARE(window.styleSheet(), QStringLiteral("UpdateWidget { background-color: white; }"));
    QCOMPARE(window.font().pointSize(), 10);

    QCOMPARE(parts.title->text(), QStringLiteral("TCP升级进行中..."));
    QCOMPARE(parts.title->styleSheet(), QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    QCOMPARE(parts.fileLine->text(), QStringLiteral("正在下载更新文件"));
    QCOMPARE(parts.fileLine->styleSheet(), QStringLiteral("color: #666; font-size: 12px;"));
    QCOMPARE(parts.status->text(), QStringLiteral("准备就绪"));
    QCOMPARE(parts.status->styleSheet(), QStringLiteral("color: #666;"));
    for (QLabel* label : {parts.title, parts.fileLine, parts.status}) {
        QCOMPARE(label->alignment(), Qt::AlignCenter);
    }
    QVERIFY(window.findChild<QLabel*>(QStringLiteral("label_icon"))->text().isEmpty());
    for (QProgressBar* bar : {parts.mainBar, parts.fileBar}) {
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->styleSheet(), QStringLiteral("QProgressBar { text-align: center; }"));
    }
    QCOMPARE(parts.cancel->text(), QStringLiteral("取消"));
    QCOMPARE(parts.cancel->styleSheet(),
             QStringLiteral("QPushButton { padding: 8px 16px; background-color: #f44336; color: white; "
                            "border: none; border-radius: 4px; }QPushButton:hover { background-color: "
                            "#d32f2f; }"));

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(window.pos(), QPoint((available.width() - 684) / 2, (available.height() - 539) / 2));
}

void TestUpdateWidget::layoutTree()
{
    UpdateWidget window;
    auto* grid = qobject_cast<QGridLayout*>(window.layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    auto* column = qobject_cast<QVBoxLayout*>(grid->itemAtPosition(0, 0)->layout());
    QVERIFY(column);
    QCOMPARE(column->objectName(), QStringLiteral("verticalLayout_2"));
    QCOMPARE(column->count(), 3);

    auto* iconRow = qobject_cast<QHBoxLayout*>(column->itemAt(0)->layout());
    QCOMPARE(iconRow->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(iconRow->itemAt(1)->widget()->objectName(), QStringLiteral("label_icon"));
    QCOMPARE(iconRow->stretch(1), 1);
    QCOMPARE(iconRow->itemAt(0)->spacerItem()->sizeHint(), QSize(40, 20));
    QCOMPARE(column->itemAt(1)->spacerItem()->sizeHint(), QSize(20, 128));
    QCOMPARE(column->itemAt(1)->spacerItem()->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    auto* content = qobject_cast<QVBoxLayout*>(column->itemAt(2)->layout());
    QCOMPARE(content->objectName(), QStringLiteral("verticalLayout"));
    const QStringList order = {QStringLiteral("label_title"), QStringLiteral("progressBar_main"),
                               QStringLiteral("label_updatefile"), QStringLiteral("progressBar_updatefile"),
                               QStringLiteral("label_status")};
    QCOMPARE(content->count(), order.size() + 1);
    for (int i = 0; i < order.size(); ++i) {
        QCOMPARE(content->itemAt(i)->widget()->objectName(), order.at(i));
    }
    auto* buttonRow = qobject_cast<QHBoxLayout*>(content->itemAt(order.size())->layout());
    QCOMPARE(buttonRow->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(buttonRow->itemAt(0)->spacerItem()->sizeHint(), QSize(436, 26));
    QCOMPARE(buttonRow->itemAt(1)->widget()->objectName(), QStringLiteral("pushButton_cancel"));
}

void TestUpdateWidget::statusOperations_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QString>("expectedStyle");
    QTest::addColumn<int>("expectedMainBar");

    QTest::newRow("status") << "status" << QStringLiteral("开始TCP更新...") << InfoStyle << 42;
    QTest::newRow("error") << "error" << QStringLiteral("网络错误，重试失败: a.dll") << ErrorStyle << 42;
    QTest::newRow("success") << "success" << QStringLiteral("升级成功") << QStringLiteral("color: #4CAF50;")
                             << 100;
}

void TestUpdateWidget::statusOperations()
{
    QFETCH(QString, operation);
    QFETCH(QString, expectedText);
    QFETCH(QString, expectedStyle);
    QFETCH(int, expectedMainBar);

    UpdateWidget window;
    const WindowParts parts = partsOf(window);
    window.setOverallProgress(QStringLiteral("x"), 42);
    if (operation == QLatin1String("status")) {
        window.showStatus(expectedText);
    } else if (operation == QLatin1String("error")) {
        window.showError(expectedText);
    } else {
        window.showSuccess();
    }
    QCOMPARE(parts.status->text(), expectedText);
    QCOMPARE(parts.status->styleSheet(), expectedStyle);
    QCOMPARE(parts.mainBar->value(), expectedMainBar);
    QCOMPARE(parts.fileBar->value(), 0);
}

void TestUpdateWidget::overallProgress_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("expectedMainBar");

    QTest::newRow("zero") << 0 << 0;
    QTest::newRow("middle") << 66 << 66;
    QTest::newRow("full") << 100 << 100;
    QTest::newRow("above range keeps bar") << 101 << 7;
    QTest::newRow("negative keeps bar") << -1 << 7;
    QTest::newRow("most negative keeps bar") << std::numeric_limits<int>::min() << 7;
}

void TestUpdateWidget::overallProgress()
{
    QFETCH(int, percent);
    QFETCH(int, expectedMainBar);

    UpdateWidget window;
    const WindowParts parts = partsOf(window);
    window.setOverallProgress(QStringLiteral("before"), 7);
    window.showError(QStringLiteral("red"));
    window.setOverallProgress(QStringLiteral("总体进度: 2/3 (66%)"), percent);
    QCOMPARE(parts.mainBar->value(), expectedMainBar);
    QCOMPARE(parts.status->text(), QStringLiteral("总体进度: 2/3 (66%)"));
    QCOMPARE(parts.status->styleSheet(), InfoStyle);
}

void TestUpdateWidget::fileProgress_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expectedBars");
    QTest::addColumn<QString>("expectedFileLine");
    QTest::addColumn<QString>("expectedStatus");

    QTest::newRow("half") << qint64(512) << qint64(1024) << 50
                          << QStringLiteral("下载: a.dll (512 B/1.00 KB)") << QStringLiteral("下载进度: 50%");
    QTest::newRow("truncated") << qint64(2) << qint64(3) << 66 << QStringLiteral("下载: a.dll (2 B/3 B)")
                               << QStringLiteral("下载进度: 66%");
    QTest::newRow("complete") << qint64(1048576) << qint64(1048576) << 100
                              << QStringLiteral("下载: a.dll (1.00 MB/1.00 MB)")
                              << QStringLiteral("下载进度: 100%");
    QTest::newRow("total zero") << qint64(10) << qint64(0) << 0 << QStringLiteral("下载: a.dll (10 B/0 B)")
                                << QStringLiteral("下载进度: 0%");
    QTest::newRow("total negative") << qint64(10) << qint64(-5) << 0
                                    << QStringLiteral("下载: a.dll (10 B/-5 B)")
                                    << QStringLiteral("下载进度: 0%");
    // Above the total the bars keep their earlier value (25) while the labels tell the numbers.
    QTest::newRow("received above total")
        << qint64(300) << qint64(200) << 25 << QStringLiteral("下载: a.dll (300 B/200 B)")
        << QStringLiteral("下载进度: 150%");
    QTest::newRow("percent beyond int")
        << qint64(4294967396LL) << qint64(100) << 25 << QStringLiteral("下载: a.dll (4.00 GB/100 B)")
        << QStringLiteral("下载进度: 4294967396%");
}

void TestUpdateWidget::fileProgress()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, expectedBars);
    QFETCH(QString, expectedFileLine);
    QFETCH(QString, expectedStatus);

    UpdateWidget window;
    const WindowParts parts = partsOf(window);
    window.setFileProgress(QStringLiteral("a.dll"), 1, 4);
    window.setFileProgress(QStringLiteral("a.dll"), received, total);
    QCOMPARE(parts.mainBar->value(), expectedBars);
    QCOMPARE(parts.fileBar->value(), expectedBars);
    QCOMPARE(parts.fileLine->text(), expectedFileLine);
    QCOMPARE(parts.status->text(), expectedStatus);
    QCOMPARE(parts.status->styleSheet(), InfoStyle);
}

void TestUpdateWidget::resetRestoresInitialState()
{
    UpdateWidget fresh;
    UpdateWidget used;
    const WindowParts initial = partsOf(fresh);
    const WindowParts parts = partsOf(used);
    used.setFileProgress(QStringLiteral("b.dll"), 30, 100);
    used.showError(QStringLiteral("失败"));
    used.resetProgress();
    QCOMPARE(parts.mainBar->value(), initial.mainBar->value());
    QCOMPARE(parts.fileBar->value(), initial.fileBar->value());
    QCOMPARE(parts.fileLine->text(), initial.fileLine->text());
    QCOMPARE(parts.status->text(), initial.status->text());
    QCOMPARE(parts.status->styleSheet(), initial.status->styleSheet());
}

void TestUpdateWidget::cancelButtonRequestsCancel()
{
    UpdateWidget window;
    window.bringToFront();
    QVERIFY(window.isVisible());
    QSignalSpy spy(&window, &UpdateWidget::sigCancelRequested);
    QTest::mouseClick(partsOf(window).cancel, Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QVERIFY(window.isVisible());
}

void TestUpdateWidget::closeHidesWindow()
{
    UpdateWidget window;
    window.bringToFront();
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    window.bringToFront();
    QVERIFY(window.isVisible());
}

void TestUpdateWidget::formatFileSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << qint64(0) << QStringLiteral("0 B");
    QTest::newRow("negative") << qint64(-2048) << QStringLiteral("-2048 B");
    QTest::newRow("1023") << qint64(1023) << QStringLiteral("1023 B");
    QTest::newRow("1024") << qint64(1024) << QStringLiteral("1.00 KB");
    QTest::newRow("1536") << qint64(1536) << QStringLiteral("1.50 KB");
    QTest::newRow("just below MB") << qint64(1048575) << QStringLiteral("1024.00 KB");
    QTest::newRow("1 MB") << qint64(1048576) << QStringLiteral("1.00 MB");
    QTest::newRow("2.25 MB") << qint64(2359296) << QStringLiteral("2.25 MB");
    QTest::newRow("1 GB") << qint64(1073741824) << QStringLiteral("1.00 GB");
    QTest::newRow("5 GB") << qint64(5) * 1073741824 << QStringLiteral("5.00 GB");
    QTest::newRow("largest 32-bit") << qint64(4294967295LL) << QStringLiteral("4.00 GB");
}

void TestUpdateWidget::formatFileSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, expected);
    QCOMPARE(CTCPUpdate::formatFileSize(bytes), expected);
}

void TestUpdateWidget::rendersForReview()
{
    UpdateWidget window;
    window.bringToFront();
    window.setFileProgress(QStringLiteral("plugins/renderer.dll"), 1572864, 3145728);
    window.setOverallProgress(QStringLiteral("总体进度: 1/3 (33%)"), 33);
    const QImage image = window.grab().toImage();
    QCOMPARE(image.size(), QSize(684, 539));
    const QString path = reviewOutputPath(QStringLiteral("updatewidget.png"));
    QVERIFY2(image.save(path), qPrintable(path));
}

QTEST_MAIN(TestUpdateWidget)
#include "testupdatewidget.moc"
