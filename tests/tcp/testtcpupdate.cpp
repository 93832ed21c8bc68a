#include "config/configmanager.h"
#include "support/productresources.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/tcpupdate.h"
#include "ui/updatewidget.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

/// A system.cfg in its own folder, with a configuration store over it.
class ConfigFolder
{
public:
    explicit ConfigFolder(const QByteArray& serverSection)
    {
        QFile file(m_dir.filePath(QStringLiteral("system.cfg")));
        if (file.open(QIODevice::WriteOnly)) {
            file.write("[%General]\nVersion=1.0\n[Paths]\nTemp=temp/\n[Server]\n" + serverSection);
        }
        file.close();
        m_config = std::make_unique<CConfigManager>(m_dir.filePath(QStringLiteral("system.cfg")));
    }
    const CConfigManager& config() const { return *m_config; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<CConfigManager> m_config;
};

QLabel* statusLabel(UpdateWidget& window)
{
    return window.findChild<QLabel*>(QStringLiteral("label_status"));
}

VersionInfo offeredUpdate(const QVector<FileTransferRequest>& files)
{
    return decodeVersionCheckReply(encodeVersionCheckReply(true, QStringLiteral("2.0"), 1, files));
}

/// Records every status text the window shows, in order.
class StatusRecorder : public QObject
{
public:
    explicit StatusRecorder(UpdateWidget& window) : m_label(statusLabel(window))
    {
        m_label->installEventFilter(this);
    }
    QStringList texts;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::StyleChange || event->type() == QEvent::Paint ||
            event->type() == QEvent::UpdateRequest) {
            record();
        }
        return false;
    }

private:
    void record()
    {
        if (texts.isEmpty() || texts.last() != m_label->text()) {
            texts.append(m_label->text());
        }
    }
    QLabel* m_label;
};

} // namespace

class TestTcpUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void classifyError_data();
    void classifyError();
    void noUsableService_data();
    void noUsableService();
    void drivesGivenWindow();
    void versionReplyFillsDownloadList();
    void fileProgressTexts_data();
    void fileProgressTexts();
    void fileErrorShownInRed();
    void emptyListHasNothingToDownload();
    void cancelBeforeFirstFile();
    void everyAttemptFailsWithoutConnection();
    void cancelButtonClosesIdleWindow();
};

void TestTcpUpdate::initTestCase()
{
    QVERIFY(loadProductResources());
}

void TestTcpUpdate::classifyError_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("expected");

    QTest::newRow("socket refused") << "Connection refused" << int(CTCPUpdate::NetworkError);
    QTest::newRow("remote closed") << "The remote host closed the connection"
                                   << int(CTCPUpdate::NetworkError);
    QTest::newRow("not connected") << "未连接到服务器" << int(CTCPUpdate::NetworkError);
    QTest::newRow("network upper case") << "NETWORK unreachable" << int(CTCPUpdate::NetworkError);
    QTest::newRow("disk full") << "Disk full" << int(CTCPUpdate::FileSystemError);
    QTest::newRow("chunk not saved") << "Failed to save file data: lib/a.dll"
                                     << int(CTCPUpdate::FileSystemError);
    QTest::newRow("download timeout") << "文件下载超时" << int(CTCPUpdate::TimeoutError);
    QTest::newRow("timeout wins over connection") << "connection timeout" << int(CTCPUpdate::TimeoutError);
    QTest::newRow("cancelled") << "下载已取消" << int(CTCPUpdate::CancelledError);
    QTest::newRow("cancel latin") << "Cancelled by user" << int(CTCPUpdate::CancelledError);
    QTest::newRow("socket timed out") << "Socket operation timed out" << int(CTCPUpdate::UnknownError);
    QTest::newRow("plain failure") << "下载失败" << int(CTCPUpdate::UnknownError);
    QTest::newRow("error reply") << "服务器返回错误" << int(CTCPUpdate::UnknownError);
    QTest::newRow("empty") << "" << int(CTCPUpdate::UnknownError);
}

void TestTcpUpdate::classifyError()
{
    QFETCH(QString, message);
    QFETCH(int, expected);
    QCOMPARE(int(CTCPUpdate::classifyError(message)), expected);
}

void TestTcpUpdate::noUsableService_data()
{
    QTest::addColumn<QByteArray>("server");

    QTest::newRow("no host") << QByteArray("UpdatePort=7000\n");
    QTest::newRow("port 0") << QByteArray("UpdateServer=127.0.0.1\nUpdatePort=0\n");
    QTest::newRow("port 65536 truncates to 0") << QByteArray("UpdateServer=127.0.0.1\nUpdatePort=65536\n");
    QTest::newRow("port not a number") << QByteArray("UpdateServer=127.0.0.1\nUpdatePort=http\n");
}

void TestTcpUpdate::noUsableService()
{
    QFETCH(QByteArray, server);
    ConfigFolder folder(server);
    UpdateWidget window;
    CTCPUpdate channel(folder.config(), nullptr, &window);
    QSignalSpy results(&channel, &CTCPUpdate::sigUpdateResult);

    QVERIFY(!channel.client());
    QVERIFY(!channel.init());
    QVERIFY(!channel.requestVersion());
    QVERIFY(!channel.startTcpUpdate());
    QCOMPARE(results.count(), 0);
    QVERIFY(!window.isVisible());
}

void TestTcpUpdate::drivesGivenWindow()
{
    ConfigFolder folder("UpdatePort=7000\n");
    UpdateWidget window;
    CTCPUpdate withWindow(folder.config(), nullptr, &window);
    QCOMPARE(withWindow.window(), &window);

    CTCPUpdate withoutWindow(folder.config(), nullptr, nullptr);
    QVERIFY(withoutWindow.window());
    QVERIFY(withoutWindow.window() != &window);
}

void TestTcpUpdate::versionReplyFillsDownloadList()
{
    ConfigFolder folder("UpdatePort=7000\n");
    CTCPUpdate channel(folder.config(), nullptr, nullptr);
    const QVector<FileTransferRequest> files = {
        {QStringLiteral("plugins/audio"), QStringLiteral("mixer.dll")},
        {QString(), QStringLiteral("host.exe")}};
    channel.onVersionChecked(offeredUpdate(files));
    QCOMPARE(channel.downloadList().size(), 2);
    QCOMPARE(channel.downloadList().at(0).filePath, QStringLiteral("plugins/audio"));
    QCOMPARE(channel.downloadList().at(0).fileName, QStringLiteral("mixer.dll"));
    QCOMPARE(channel.downloadList().at(1).filePath, QString());
    QCOMPARE(channel.downloadList().at(1).fileName, QStringLiteral("host.exe"));

    // A reply without an update leaves the list as it was.
    channel.onVersionChecked(VersionInfo());
    QCOMPARE(channel.downloadList().size(), 2);
    // A new offer replaces it.
    channel.onVersionChecked(offeredUpdate({{QStringLiteral("x"), QStringLiteral("y")}}));
    QCOMPARE(channel.downloadList().size(), 1);
}

void TestTcpUpdate::fileProgressTexts_data()
{
    QTest::addColumn<uint>("downloaded");
    QTest::addColumn<uint>("total");
    QTest::addColumn<QString>("expectedStatus");
    QTest::addColumn<QString>("expectedFileLine");
    QTest::addColumn<int>("expectedMainBar");

    QTest::newRow("half") << 512u << 1024u << QStringLiteral("下载文件: a.dll (512 B/1.00 KB)")
                          << QStringLiteral("下载: a.dll (512 B/1.00 KB)") << 50;
    QTest::newRow("total zero") << 0u << 0u << QStringLiteral("下载文件: a.dll (0 B/0 B)")
                                << QStringLiteral("下载: a.dll (0 B/0 B)") << 0;
    QTest::newRow("largest file") << 4294967295u << 4294967295u
                                  << QStringLiteral("下载文件: a.dll (4.00 GB/4.00 GB)")
                                  << QStringLiteral("下载: a.dll (4.00 GB/4.00 GB)") << 100;
}

void TestTcpUpdate::fileProgressTexts()
{
    QFETCH(uint, downloaded);
    QFETCH(uint, total);
    QFETCH(QString, expectedStatus);
    QFETCH(QString, expectedFileLine);
    QFETCH(int, expectedMainBar);

    ConfigFolder folder("UpdatePort=7000\n");
    UpdateWidget window;
    CTCPUpdate channel(folder.config(), nullptr, &window);
    channel.onFileDownloadProgress(QStringLiteral("lib"), QStringLiteral("a.dll"), downloaded, total);
    QCOMPARE(statusLabel(window)->text(), expectedStatus);
    QCOMPARE(statusLabel(window)->styleSheet(), QStringLiteral("color: #2196F3;"));
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("label_updatefile"))->text(), expectedFileLine);
    QCOMPARE(window.findChild<QProgressBar*>(QStringLiteral("progressBar_main"))->value(), expectedMainBar);
    QCOMPARE(window.findChild<QProgressBar*>(QStringLiteral("progressBar_updatefile"))->value(),
             expectedMainBar);
}

void TestTcpUpdate::fileErrorShownInRed()
{
    ConfigFolder folder("UpdatePort=7000\n");
    UpdateWidget window;
    CTCPUpdate channel(folder.config(), nullptr, &window);
    QTest::ignoreMessage(QtWarningMsg,
                         "TCP文件下载错误: \"a.dll\" - \"Failed to save file data: lib/a.dll\"");
    channel.onFileDownloadError(QStringLiteral("lib"), QStringLiteral("a.dll"),
                                QStringLiteral("Failed to save file data: lib/a.dll"));
    QCOMPARE(statusLabel(window)->text(),
             QStringLiteral("文件下载失败: a.dll - Failed to save file data: lib/a.dll"));
    QCOMPARE(statusLabel(window)->styleSheet(), QStringLiteral("color: #f44336;"));
}

void TestTcpUpdate::emptyListHasNothingToDownload()
{
    ConfigFolder folder("UpdatePort=7000\n");
    UpdateWidget window;
    CTCPUpdate channel(folder.config(), nullptr, &window);
    QSignalSpy results(&channel, &CTCPUpdate::sigUpdateResult);
    QVERIFY(channel.downloadAllFiles());
    QCOMPARE(statusLabel(window)->text(), QStringLiteral("没有文件需要下载"));
    QVERIFY(!channel.startTcpUpdate());
    QCOMPARE(results.count(), 0);
    QVERIFY(!window.isVisible());
}

void TestTcpUpdate::cancelBeforeFirstFile()
{
    ConfigFolder folder("UpdatePort=7000\n");
    UpdateWidget window;
    window.show();
    CTCPUpdate channel(folder.config(), nullptr, &window);
    channel.onVersionChecked(offeredUpdate({{QStringLiteral("a"), QStringLiteral("one.dll")},
                                            {QStringLiteral("a"), QStringLiteral("two.dll")}}));
    // The click is delivered while the window repaints its first progress text.
    QPushButton* cancel = window.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"));
    QTimer::singleShot(0, cancel, [cancel] { QTest::mouseClick(cancel, Qt::LeftButton); });

    QVERIFY(!channel.downloadAllFiles());
    QVERIFY(channel.isCancelRequested());
    QCOMPARE(channel.currentIndex(), 0);
    QCOMPARE(statusLabel(window)->text(), QStringLiteral("下载已取消"));
    QCOMPARE(statusLabel(window)->styleSheet(), QStringLiteral("color: #2196F3;"));
    QVERIFY(window.isVisible());

    // Once nothing runs, the same button closes the window.
    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(!window.isVisible());
}

void TestTcpUpdate::everyAttemptFailsWithoutConnection()
{
    // A service that is configured but down: the client exists but never connects.
    ConfigFolder folder("UpdateServer=127.0.0.1\nUpdatePort=1\n");
    UpdateWidget window;
    CTCPUpdate channel(folder.config(), nullptr, &window);
    QVERIFY(channel.client());
    QVERIFY(!channel.client()->isConnected());
    channel.onVersionChecked(offeredUpdate({{QStringLiteral("lib"), QStringLiteral("a.dll")},
                                            {QStringLiteral("lib"), QStringLiteral("b.dll")}}));
    // Shown, as in a run: the recorder sees each status text when the window repaints it.
    window.bringToFront();
    StatusRecorder recorder(window);

    QVERIFY(!channel.downloadAllFiles());
    QCOMPARE(channel.currentIndex(), 0);
    const QStringList retries = recorder.texts.filter(QStringLiteral("次重试下载"));
    QCOMPARE(retries,
             QStringList({QStringLiteral("第1次重试下载: a.dll"), QStringLiteral("第2次重试下载: a.dll"),
                          QStringLiteral("第3次重试下载: a.dll")}));
    QCOMPARE(statusLabel(window)->text(), QStringLiteral("网络错误，重试失败: a.dll"));
    QCOMPARE(statusLabel(window)->styleSheet(), QStringLiteral("color: #f44336;"));
    QVERIFY(recorder.texts.filter(QStringLiteral("b.dll")).isEmpty());
}

void TestTcpUpdate::cancelButtonClosesIdleWindow()
{
    ConfigFolder folder("UpdatePort=7000\n");
    UpdateWidget window;
    CTCPUpdate channel(folder.config(), nullptr, &window);
    window.bringToFront();
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("pushButton_cancel")), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(!channel.isCancelRequested());
}

QTEST_MAIN(TestTcpUpdate)
#include "testtcpupdate.moc"
