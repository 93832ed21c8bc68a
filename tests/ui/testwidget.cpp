#include "support/files.h"
#include "support/httprelease.h"
#include "support/httptestsite.h"
#include "support/productresources.h"
#include "support/scratchtestmain.h"
#include "ui/widget.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Large enough that a transfer at 64 KiB/s runs for a few seconds.
const QByteArray SlowContent(320 * 1024, 'x');

QLabel* label(const Widget& widget, const char* name)
{
    return widget.findChild<QLabel*>(QLatin1String(name));
}

QProgressBar* bar(const Widget& widget, const char* name)
{
    return widget.findChild<QProgressBar*>(QLatin1String(name));
}

QPushButton* cancelButton(const Widget& widget)
{
    return widget.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"));
}

/// Answers the next confirmation box that opens with the button labelled `answer`, after running
/// `beforeAnswer` while the box is open; remembers what the box looked like.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(const QString& answer, std::function<void()> beforeAnswer = {})
        : m_answer(answer), m_beforeAnswer(std::move(beforeAnswer))
    {
        connect(&m_poll, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_poll.start(20);
    }

    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString defaultButton;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            return;
        }
        m_poll.stop();
        seen = true;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons()) {
            buttons.append(button->text() + QLatin1Char(':') + QString::number(box->buttonRole(button)));
            if (button->text() == m_answer) {
                chosen = button;
            }
        }
        defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        if (m_beforeAnswer) {
            m_beforeAnswer();
        }
        if (chosen) {
            chosen->click();
        } else {
            box->reject();
        }
    }

    QString m_answer;
    std::function<void()> m_beforeAnswer;
    QTimer m_poll;
};

} // namespace

class TestWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void appearance();
    void rendersForReview();
    void cancelWhenIdleShowsNoBox();
    void cancelConfirmedStopsTheUpdate();
    void cancelDeclinedKeepsDownloading();
    void cancelConfirmedAfterCompletion();
    void closingDuringDownload_data();
    void closingDuringDownload();
    void destructorReportsFailure();
    void failedInstallationIsShownAndClosesWithTheButton();

private:
    void startSlowUpdate(Widget& widget);
    QString install(const QString& relative) const { return m_site.installFolder() + relative; }

    HttpTestSite m_site;
};

void TestWidget::initTestCase()
{
    QVERIFY2(m_site.start(), qPrintable(m_site.lastError()));
    QVERIFY(loadProductResources());
}

void TestWidget::init()
{
    m_site.reset();
}

void TestWidget::startSlowUpdate(Widget& widget)
{
    QVERIFY(writeHttpRelease(m_site.servedRoot(), QStringLiteral("slow"), QStringLiteral("2.0"),
                             {{QStringLiteral("big.bin"), SlowContent},
                              {QStringLiteral("big2.bin"), SlowContent},
                              {QStringLiteral("second.bin"), "2"}}));
    QVERIFY(writeFile(install(QStringLiteral("md5.txt")), QByteArray()));
    QVERIFY(
        writeFile(install(QStringLiteral("update/update.ini")), manifestText(QStringLiteral("r1"), "1.0")));
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), 1);
    widget.startDownload();
    QVERIFY(widget.isUpdating());
    QVERIFY(cancelButton(widget)->isEnabled());
    // Both large files are on their way at once.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(install(QStringLiteral("temp/big.bin"))).size() > 0 &&
                                 QFileInfo(install(QStringLiteral("temp/big2.bin"))).size() > 0,
                             10000);
}

void TestWidget::appearance()
{
    Widget widget;
    QCOMPARE(widget.objectName(), QStringLiteral("Widget"));
    QCOMPARE(widget.windowTitle(), QStringLiteral("HTTP升级"));
    QCOMPARE(widget.minimumSize(), QSize(640, 455));
    QCOMPARE(widget.maximumSize(), QSize(640, 455));
    QVERIFY(widget.windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(!widget.isVisible());
    QVERIFY(widget.styleSheet().isEmpty());

    const QString blanks(36, QLatin1Char(' '));
    QCOMPARE(label(widget, "label_update")->text(), QStringLiteral("正在下载"));
    QCOMPARE(label(widget, "label_update")->styleSheet(),
             QStringLiteral("font: 700 16pt \"Microsoft YaHei UI\";") + blanks +
                 QStringLiteral("color: rgb(0, 0, 0);"));
    QCOMPARE(label(widget, "label_updatefile")->text(), QStringLiteral("正在下载更新文件"));
    QCOMPARE(label(widget, "label_updatefile")->styleSheet(),
             QStringLiteral("font: 700 14pt \"Microsoft YaHei UI\";") + blanks +
                 QStringLiteral("color: rgb(0, 0, 0);"));
    QVERIFY(label(widget, "label_icon")->text().isEmpty());
    for (const char* name : {"progressBar_update", "progressBar_updatefile"}) {
        QCOMPARE(bar(widget, name)->minimum(), 0);
        QCOMPARE(bar(widget, name)->maximum(), 100);
        QCOMPARE(bar(widget, name)->value(), 0);
        QCOMPARE(bar(widget, name)->styleSheet(), QStringLiteral("color: rgb(255, 255, 255);"));
    }
    QCOMPARE(cancelButton(widget)->text(), QStringLiteral("取消"));
}

void TestWidget::rendersForReview()
{
    Widget widget;
    startSlowUpdate(widget);
    // The bar still shows the end of the list transfer until the file's own progress arrives.
    QTRY_VERIFY_WITH_TIMEOUT(bar(widget, "progressBar_updatefile")->value() >= 10 &&
                                 bar(widget, "progressBar_updatefile")->value() < 100,
                             10000);
    widget.show();
    // All three started; the small one arrived at once, so the line shows the latest still running.
    QCOMPARE(label(widget, "label_update")->text(), QStringLiteral("正在更新 3/3"));
    QCOMPARE(label(widget, "label_updatefile")->text(), QStringLiteral("big2.bin"));

    const QImage image = widget.grab().toImage();
    QCOMPARE(image.size(), QSize(640, 455));
    // The background fills the corners, where no child widget paints.
    const QImage background = QImage(QStringLiteral(":/res/bk.png")).convertToFormat(image.format());
    QCOMPARE(image.pixel(3, 3), background.pixel(3, 3));
    QCOMPARE(image.pixel(636, 451), background.pixel(636, 451));

    const QString reviewDir = QStringLiteral(UPDATER_BIN_DIR) + QStringLiteral("/../review");
    QVERIFY(QDir().mkpath(reviewDir));
    QVERIFY(image.save(reviewDir + QStringLiteral("/http-update-dialog.png")));
}

void TestWidget::cancelWhenIdleShowsNoBox()
{
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    BoxAnswerer answerer(QStringLiteral("确认"));
    cancelButton(widget)->click();
    QTest::qWait(100);
    QVERIFY(!answerer.seen);
    QCOMPARE(result.count(), 0);
    QVERIFY(!widget.isCancelRequested());
}

void TestWidget::cancelConfirmedStopsTheUpdate()
{
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    startSlowUpdate(widget);

    BoxAnswerer answerer(QStringLiteral("确认"));
    cancelButton(widget)->click();
    QVERIFY(answerer.seen);
    QCOMPARE(answerer.title, QStringLiteral("确认取消"));
    QCOMPARE(answerer.text, QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"));
    QCOMPARE(answerer.icon, QMessageBox::Question);
    QCOMPARE(answerer.buttons, (QStringList{QStringLiteral("确认:%1").arg(QMessageBox::YesRole),
                                            QStringLiteral("取消:%1").arg(QMessageBox::NoRole)}));
    QCOMPARE(answerer.defaultButton, QStringLiteral("取消"));

    // The aborted transfer completed the update as failed before the click returned.
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0).at(0).toBool(), false);
    QVERIFY(!widget.isUpdating());
    QVERIFY(!cancelButton(widget)->isEnabled());
    QCOMPARE(label(widget, "label_update")->text(), QStringLiteral("更新失败"));
    QVERIFY(label(widget, "label_updatefile")->text().startsWith(QStringLiteral("下载文件 \"big")));
    // Every transfer stopped, and no partial file stays.
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("temp/big.bin"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("temp/big2.bin"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/md5Tmp.txt"))));
    QVERIFY(QFileInfo::exists(install(QStringLiteral("update/update.ini"))));

    // A second press shows no box.
    BoxAnswerer second(QStringLiteral("确认"));
    cancelButton(widget)->setEnabled(true);
    cancelButton(widget)->click();
    QTest::qWait(100);
    QVERIFY(!second.seen);
    QCOMPARE(result.count(), 1);
}

void TestWidget::cancelDeclinedKeepsDownloading()
{
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    startSlowUpdate(widget);

    BoxAnswerer answerer(QStringLiteral("取消"));
    cancelButton(widget)->click();
    QVERIFY(answerer.seen);
    QVERIFY(widget.isUpdating());
    QVERIFY(!widget.isCancelRequested());
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QCOMPARE(QFileInfo(install(QStringLiteral("temp/big.bin"))).size(), qint64(SlowContent.size()));
}

void TestWidget::cancelConfirmedAfterCompletion()
{
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    startSlowUpdate(widget);

    // The download finishes while the box is open; only then is the cancellation confirmed.
    BoxAnswerer answerer(QStringLiteral("确认"), [&result] { result.wait(30000); });
    cancelButton(widget)->click();
    QVERIFY(answerer.seen);
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QVERIFY(widget.isCancelRequested());
    QVERIFY(!widget.isUpdating());
    QCOMPARE(widget.statusText(), QStringLiteral("正在取消更新"));
    QCOMPARE(label(widget, "label_update")->text(), QStringLiteral("更新完成!"));
    QVERIFY(!cancelButton(widget)->isEnabled());
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/md5Tmp.txt"))));
    QVERIFY(QFileInfo::exists(install(QStringLiteral("update/update.ini"))));
    QTest::qWait(100);
    QCOMPARE(result.count(), 1);
}

void TestWidget::closingDuringDownload_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("close") << false;
    QTest::newRow("escape key") << true;
}

void TestWidget::closingDuringDownload()
{
    QFETCH(bool, escape);
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    startSlowUpdate(widget);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));

    if (escape) {
        QTest::keyClick(&widget, Qt::Key_Escape);
    } else {
        widget.close();
    }
    QVERIFY(!widget.isVisible());
    // The staged lists are removed, the installed manifest stays, and closing reports nothing.
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/md5Tmp.txt"))));
    QVERIFY(QFileInfo::exists(install(QStringLiteral("update/update.ini"))));
    QCOMPARE(result.count(), 0);
    QVERIFY(widget.isUpdating());
    // The download itself is not stopped.
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    QCOMPARE(result.at(0).at(0).toBool(), true);
}

void TestWidget::destructorReportsFailure()
{
    auto* widget = new Widget;
    QSignalSpy result(widget, &Widget::sigUpdateResult);
    widget->startDownload();
    QCOMPARE(result.count(), 1);
    delete widget;
    QCOMPARE(result.count(), 2);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QCOMPARE(result.at(1).at(0).toBool(), false);
}

void TestWidget::failedInstallationIsShownAndClosesWithTheButton()
{
    Widget widget;
    QSignalSpy closed(&widget, &QDialog::finished);
    // An update with nothing to download completes at once, as every download ends: "更新完成!".
    widget.startDownload();
    QCOMPARE(label(widget, "label_update")->text(), QStringLiteral("更新完成!"));
    QVERIFY(!cancelButton(widget)->isEnabled());

    widget.showInstallFailure(QStringLiteral("更新安装失败，已恢复原版本: reason"));

    QVERIFY(widget.isVisible());
    QCOMPARE(label(widget, "label_update")->text(), QStringLiteral("更新失败"));
    QCOMPARE(label(widget, "label_updatefile")->text(), QStringLiteral("更新安装失败，已恢复原版本: reason"));
    QVERIFY(cancelButton(widget)->isEnabled());
    BoxAnswerer answerer(QStringLiteral("确认"));
    cancelButton(widget)->click();
    QTest::qWait(100);
    QVERIFY(!answerer.seen);
    QVERIFY(!widget.isVisible());
    QCOMPARE(closed.count(), 1);
}

UPDATER_SCRATCH_TEST_MAIN(TestWidget)
#include "testwidget.moc"
