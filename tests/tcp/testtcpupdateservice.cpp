// The TCP channel against the reference update service, in this process, so that the window can
// be watched and clicked while files arrive.
#include "config/configmanager.h"
#include "support/files.h"
#include "support/logcapture.h"
#include "support/productresources.h"
#include "support/referenceservice.h"
#include "tcp/filedatawriter.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/tcpupdate.h"
#include "ui/updatewidget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

const QString ErrorStyle = QStringLiteral("color: #f44336;");

QByteArray patterned(int size, char seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        data[i] = static_cast<char>(seed + i * 7);
    }
    return data;
}

/// Every status text the window showed, in order (the label is watched for each new text).
class StatusLog : public QObject
{
public:
    explicit StatusLog(UpdateWidget& window)
        : m_label(window.findChild<QLabel*>(QStringLiteral("label_status")))
    {
        m_label->installEventFilter(this);
    }
    QStringList texts;

protected:
    bool eventFilter(QObject*, QEvent*) override
    {
        if (texts.isEmpty() || texts.last() != m_label->text()) {
            texts.append(m_label->text());
        }
        return false;
    }

private:
    QLabel* m_label;
};

/// An application folder with a release beside it, a service serving that release, and the
/// channel over a configuration that names the service.
class Setup
{
public:
    QTemporaryDir dir;
    ReferenceService service;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<CFileDataWriter> writer;
    UpdateWidget window;
    std::unique_ptr<CTCPUpdate> channel;

    QString appDir() const { return dir.filePath(QStringLiteral("app")); }
    QString releaseFile(const QString& relative) const
    {
        return dir.filePath(QStringLiteral("release/") + relative);
    }
    QString tempFile(const QString& relative) const { return appDir() + QStringLiteral("/temp/") + relative; }

    void addRelease(const QString& relative, const QByteArray& content)
    {
        QVERIFY(writeFile(releaseFile(relative), content));
    }

    void start(const QStringList& serviceSwitches, const QString& offeredVersion = QStringLiteral("2.0"),
               const QByteArray& temp = "temp/")
    {
        service.captureLog();
        QVERIFY2(service.start(dir.filePath(QStringLiteral("release")), offeredVersion, serviceSwitches),
                 qPrintable(service.errorString()));
        const QByteArray cfg =
            "[%General]\nVersion=1.0\n[Paths]\nTemp=" + temp +
            "\n[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + QByteArray::number(service.port()) + "\n";
        QVERIFY(writeFile(appDir() + QStringLiteral("/system.cfg"), cfg));
        config = std::make_unique<CConfigManager>(appDir() + QStringLiteral("/system.cfg"));
        writer = std::make_unique<CFileDataWriter>(*config, appDir());
        channel = std::make_unique<CTCPUpdate>(*config, writer.get(), &window);
        QVERIFY(channel->client() && channel->client()->isConnected());
    }

    QString status() const { return window.findChild<QLabel*>(QStringLiteral("label_status"))->text(); }
    QString statusStyle() const
    {
        return window.findChild<QLabel*>(QStringLiteral("label_status"))->styleSheet();
    }
    int mainBar() const
    {
        return window.findChild<QProgressBar*>(QStringLiteral("progressBar_main"))->value();
    }
    QPushButton* cancelButton() const
    {
        return window.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"));
    }
};

} // namespace

class TestTcpUpdateService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void downloadsEveryFile();
    void chunksArriveWhileWindowRepaints();
    void noUpdateOffered();
    void versionCheckWithoutAnswer_data();
    void versionCheckWithoutAnswer();
    void fileFailsEveryAttempt();
    void droppedConnectionRecovers();
    void droppedConnectionEveryTime();
    void diskFailure();
    void cancelDuringAFile_data();
    void cancelDuringAFile();
};

void TestTcpUpdateService::initTestCase()
{
    QVERIFY(loadProductResources());
}

void TestTcpUpdateService::downloadsEveryFile()
{
    Setup setup;
    const QByteArray big = patterned(10000, 'a');
    setup.addRelease(QStringLiteral("bin/core.dll"), big);
    setup.addRelease(QStringLiteral("plugins/audio/mixer.dll"), "mixer v2");
    setup.addRelease(QStringLiteral("readme.txt"), "read me");
    setup.start({QStringLiteral("--chunk-size"), QStringLiteral("1000")});
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);
    StatusLog statuses(setup.window);
    const LogCapture log;

    QVERIFY(setup.channel->requestVersion());
    QCOMPARE(setup.channel->versionInfo().version, QStringLiteral("2.0"));
    QCOMPARE(setup.channel->downloadList().size(), 3);
    QVERIFY(setup.channel->startTcpUpdate());

    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), true);
    QVERIFY(setup.window.isVisible());
    QCOMPARE(readFile(setup.tempFile(QStringLiteral("bin/core.dll"))), big);
    QCOMPARE(readFile(setup.tempFile(QStringLiteral("plugins/audio/mixer.dll"))), QByteArray("mixer v2"));
    QCOMPARE(readFile(setup.tempFile(QStringLiteral("readme.txt"))), QByteArray("read me"));

    // Chunk progress, file starts and file ends are painted at most about 60 times a second, so
    // which of their texts the window showed depends on timing; every one is logged, and the end
    // of the last file is painted at once.
    const QStringList infos = log.texts(QStringLiteral("INFO"));
    QCOMPARE(
        infos.filter(QStringLiteral("下载进度更新")),
        QStringList({QStringLiteral("下载进度更新: 1/3 (33%)"), QStringLiteral("下载进度更新: 2/3 (66%)"),
                     QStringLiteral("下载进度更新: 3/3 (100%)")}));
    QVERIFY(statuses.texts.contains(QStringLiteral("总体进度: 3/3 (100%)")));
    QVERIFY(infos.contains(QStringLiteral("开始下载文件: core.dll 路径: bin")));
    QVERIFY(infos.contains(QStringLiteral("TCP文件下载进度:core.dll 5000/10000 50%")));
    QVERIFY(infos.contains(QStringLiteral("TCP文件下载完成:mixer.dll")));
    QVERIFY(statuses.texts.filter(QStringLiteral("重试")).isEmpty());
    QCOMPARE(setup.status(), QStringLiteral("所有文件下载完成！"));
    QCOMPARE(setup.mainBar(), 100);
    QCOMPARE(setup.service.countInLog("] serving "), 3);
}

void TestTcpUpdateService::chunksArriveWhileWindowRepaints()
{
    Setup setup;
    const QByteArray big = patterned(400000, 'r');
    setup.addRelease(QStringLiteral("bin/big.dat"), big);
    setup.start({});
    // The rest of the file reaches the socket while a progress slot is still busy repainting.
    QObject::connect(setup.channel->client(), &QUpdateTcpClient::sigFileDownloadProgress, &setup.window, [] {
        QThread::msleep(30);
        QCoreApplication::processEvents();
    });
    // Without the data taken in after such a slot the download would wait for ever; end it instead.
    QTimer::singleShot(20000, &setup.window, [&setup] { setup.service.stop(); });

    QVERIFY(setup.channel->requestVersion());
    QVERIFY(setup.channel->startTcpUpdate());
    QCOMPARE(readFile(setup.tempFile(QStringLiteral("bin/big.dat"))), big);
}

void TestTcpUpdateService::noUpdateOffered()
{
    Setup setup;
    setup.addRelease(QStringLiteral("bin/core.dll"), "core");
    setup.start({}, QStringLiteral("1.0"));
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(!setup.channel->requestVersion());
    QVERIFY(setup.channel->downloadList().isEmpty());
    QVERIFY(!setup.channel->startTcpUpdate());
    QCOMPARE(results.count(), 0);
    QVERIFY(!setup.window.isVisible());
}

void TestTcpUpdateService::versionCheckWithoutAnswer_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::newRow("answer after the wait")
        << QStringList({QStringLiteral("--delay"), QStringLiteral("2500")});
    QTest::newRow("error reply") << QStringList({QStringLiteral("--error-version")});
}

void TestTcpUpdateService::versionCheckWithoutAnswer()
{
    QFETCH(QStringList, switches);
    Setup setup;
    setup.addRelease(QStringLiteral("bin/core.dll"), "core");
    setup.start(switches);
    QVERIFY(!setup.channel->requestVersion());
    QVERIFY(!setup.channel->versionInfo().needUpdate);
    QVERIFY(!setup.channel->startTcpUpdate());
}

void TestTcpUpdateService::fileFailsEveryAttempt()
{
    Setup setup;
    setup.addRelease(QStringLiteral("lib/a.dll"), "a");
    setup.addRelease(QStringLiteral("lib/b.dll"), "b");
    setup.start({QStringLiteral("--error-file"), QStringLiteral("lib/a.dll")});
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);
    StatusLog statuses(setup.window);

    QVERIFY(setup.channel->requestVersion());
    QVERIFY(!setup.channel->startTcpUpdate());

    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
    QCOMPARE(setup.service.countInLog("error reply"), 4);
    QCOMPARE(setup.service.countInLog("] serving "), 0);
    QCOMPARE(statuses.texts.filter(QStringLiteral("次重试下载")),
             QStringList({QStringLiteral("第1次重试下载: a.dll"), QStringLiteral("第2次重试下载: a.dll"),
                          QStringLiteral("第3次重试下载: a.dll")}));
    // The service's error reply is shown with the reason it carries.
    QVERIFY2(setup.status().startsWith(QStringLiteral("服务器返回错误: refused by --error-file: ")),
             qPrintable(setup.status()));
    QVERIFY(setup.status().endsWith(QStringLiteral("，重试失败: a.dll")));
    QCOMPARE(setup.statusStyle(), ErrorStyle);
    QVERIFY(!QFileInfo::exists(setup.tempFile(QStringLiteral("lib/b.dll"))));
}

void TestTcpUpdateService::droppedConnectionRecovers()
{
    Setup setup;
    const QByteArray big = patterned(6000, 'k');
    setup.addRelease(QStringLiteral("lib/a.dll"), big);
    setup.addRelease(QStringLiteral("lib/b.dll"), "b");
    setup.start({QStringLiteral("--chunk-size"), QStringLiteral("1000"), QStringLiteral("--drop-after"),
                 QStringLiteral("2500"), QStringLiteral("--drop-times"), QStringLiteral("1")});
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);
    StatusLog statuses(setup.window);

    QVERIFY(setup.channel->requestVersion());
    QVERIFY(setup.channel->startTcpUpdate());

    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), true);
    QCOMPARE(statuses.texts.filter(QStringLiteral("次重试下载")),
             QStringList({QStringLiteral("第1次重试下载: a.dll")}));
    QCOMPARE(readFile(setup.tempFile(QStringLiteral("lib/a.dll"))), big);
    QCOMPARE(readFile(setup.tempFile(QStringLiteral("lib/b.dll"))), QByteArray("b"));
    QCOMPARE(setup.status(), QStringLiteral("所有文件下载完成！"));
}

void TestTcpUpdateService::droppedConnectionEveryTime()
{
    Setup setup;
    setup.addRelease(QStringLiteral("lib/a.dll"), patterned(6000, 'k'));
    setup.start({QStringLiteral("--chunk-size"), QStringLiteral("1000"), QStringLiteral("--drop-after"),
                 QStringLiteral("2500"), QStringLiteral("--drop-times"), QStringLiteral("100")});
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);

    QVERIFY(setup.channel->requestVersion());
    QVERIFY(!setup.channel->startTcpUpdate());
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
    QCOMPARE(setup.service.countInLog("] serving "), 4);
    QCOMPARE(setup.status(), QStringLiteral("网络错误，重试失败: a.dll"));
    QCOMPARE(setup.statusStyle(), ErrorStyle);
}

void TestTcpUpdateService::diskFailure()
{
    Setup setup;
    setup.addRelease(QStringLiteral("lib/a.dll"), "a");
    // The temporary folder would have to live below a plain file.
    QVERIFY(writeFile(setup.appDir() + QStringLiteral("/blocker"), "not a folder"));
    setup.start({}, QStringLiteral("2.0"), "blocker/temp/");
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);

    QVERIFY(setup.channel->requestVersion());
    QVERIFY(!setup.channel->startTcpUpdate());
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
    QCOMPARE(setup.status(), QStringLiteral("文件系统错误，重试失败: a.dll"));
    QCOMPARE(setup.statusStyle(), ErrorStyle);
}

void TestTcpUpdateService::cancelDuringAFile_data()
{
    QTest::addColumn<bool>("onlyFile");
    QTest::newRow("first of two files") << false;
    QTest::newRow("only file") << true;
}

void TestTcpUpdateService::cancelDuringAFile()
{
    QFETCH(bool, onlyFile);
    Setup setup;
    setup.addRelease(QStringLiteral("lib/a.dll"), patterned(5000, 'c'));
    if (!onlyFile) {
        setup.addRelease(QStringLiteral("lib/b.dll"), "b");
    }
    // Slow enough that the file is still arriving when the click is handled.
    setup.start({QStringLiteral("--chunk-size"), QStringLiteral("1000"), QStringLiteral("--chunk-delay"),
                 QStringLiteral("300")});
    QSignalSpy results(setup.channel.get(), &CTCPUpdate::sigUpdateResult);
    QPushButton* cancel = setup.cancelButton();
    bool clicked = false;
    QObject::connect(setup.channel->client(), &QUpdateTcpClient::sigFileDownloadProgress, cancel, [&] {
        if (!clicked) {
            clicked = true;
            QTest::mouseClick(cancel, Qt::LeftButton);
        }
    });

    QVERIFY(setup.channel->requestVersion());
    QVERIFY(!setup.channel->startTcpUpdate());

    // The file that was arriving is abandoned at once, not finished first.
    QVERIFY(clicked);
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
    QCOMPARE(setup.status(), QStringLiteral("下载已取消"));
    QCOMPARE(setup.service.countInLog("] serving "), 1);
    QVERIFY(QFileInfo(setup.tempFile(QStringLiteral("lib/a.dll"))).size() < 5000);
    QVERIFY(!QFileInfo::exists(setup.tempFile(QStringLiteral("lib/b.dll"))));
    QVERIFY(setup.window.isVisible());

    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(!setup.window.isVisible());
}

QTEST_MAIN(TestTcpUpdateService)
#include "testtcpupdateservice.moc"
