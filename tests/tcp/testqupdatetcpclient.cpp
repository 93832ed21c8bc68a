// The client session against the reference update service running as a real process.
#include "config/configmanager.h"
#include "support/referenceservice.h"
#include "tcp/filedatawriter.h"
#include "tcp/qupdatetcpclient.h"

#include "support/files.h"

#include <QtTest>

namespace {

const QString localHost = QStringLiteral("127.0.0.1");

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = char((i * 31 + seed) & 0xFF);
    }
    return bytes;
}

FileTransferRequest request(const QString& filePath, const QString& fileName)
{
    return FileTransferRequest{filePath, fileName};
}

QByteArray versionRequest(const QString& version)
{
    return encodeVersionCheckRequest(version, 1, QStringLiteral("1"));
}

} // namespace

class TestQUpdateTcpClient : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void connectTwiceIsRefused();
    void connectionRefusedAllowsLaterAttempt();
    void requestsNeedAConnection();
    void versionCheck_data();
    void versionCheck();
    void versionCheckTimesOut();
    void versionCheckErrorReply();
    void versionCheckCorruptReply();
    void heartbeatIsAnswered();
    void downloadsEveryListedFile();
    void serviceServesClientsAtOnce();
    void errorReplyDuringDownload();
    void completionOfAnotherFileDoesNotEndTheWait();
    void sameNameInDifferentFolders();
    void emptyFinalChunk();
    void retryAfterDroppedConnectionStartsAfresh();
    void retryOnLiveConnectionDrainsAbandonedTransfer();
    void stalledTransferFailsWithoutTimeLimit();
    void slowButSteadyTransferIsNotAStall();
    void failedFinalChunkEndsTheWait();
    void refusedListedPaths_data();
    void refusedListedPaths();
    void hostileChunkLabelsWriteNothingOutside();
    void incompleteStreamIsNotADownload_data();
    void incompleteStreamIsNotADownload();

private:
    bool startService(const QStringList& arguments = {}, const QString& version = QStringLiteral("2.0"));
    void connectClient();
    QString release(const QString& relative) const { return m_release->filePath(relative); }
    QString temp(const QString& relative) const
    {
        return m_app->filePath(QStringLiteral("temp/") + relative);
    }

    QObject m_owner; // parent of the client, which a test may still delete itself
    std::unique_ptr<QTemporaryDir> m_release;
    std::unique_ptr<QTemporaryDir> m_app;
    std::unique_ptr<CConfigManager> m_config;
    std::unique_ptr<CFileDataWriter> m_writer;
    std::unique_ptr<ReferenceService> m_service;
    std::unique_ptr<QUpdateTcpClient> m_client;
};

void TestQUpdateTcpClient::init()
{
    m_release = std::make_unique<QTemporaryDir>();
    m_app = std::make_unique<QTemporaryDir>();
    QVERIFY(writeFile(release(QStringLiteral("a.txt")), "top level file\n"));
    QVERIFY(writeFile(release(QStringLiteral("bin/app.exe")), pattern(10000, 1)));
    QVERIFY(writeFile(release(QStringLiteral("bin/empty.dat")), QByteArray()));
    QVERIFY(writeFile(release(QStringLiteral("x/readme.txt")), "readme of x\n"));
    QVERIFY(writeFile(release(QStringLiteral("y/readme.txt")), "the readme of folder y\n"));
    QVERIFY(writeFile(m_app->filePath(QStringLiteral("system.cfg")), "[Paths]\nTemp=temp/\n"));
    m_config = std::make_unique<CConfigManager>(m_app->filePath(QStringLiteral("system.cfg")));
    m_writer = std::make_unique<CFileDataWriter>(*m_config, m_app->path());
    m_service = std::make_unique<ReferenceService>();
    m_client = std::make_unique<QUpdateTcpClient>(&m_owner);
    m_client->setFileWriter(m_writer.get());
}

void TestQUpdateTcpClient::cleanup()
{
    m_client.reset();
    m_service.reset();
    m_writer.reset();
}

bool TestQUpdateTcpClient::startService(const QStringList& arguments, const QString& version)
{
    if (!m_service->start(m_release->path(), version, arguments)) {
        qWarning() << "service did not start:" << m_service->errorString();
        return false;
    }
    return true;
}

void TestQUpdateTcpClient::connectClient()
{
    QSignalSpy connectedSpy(m_client.get(), &QUpdateTcpClient::connected);
    QVERIFY(m_client->connectToServer(localHost, m_service->port()));
    QCOMPARE(connectedSpy.count(), 1);
    QVERIFY(m_client->isConnected());
    QCOMPARE(m_client->state(), QUpdateTcpClient::Connected);
}

void TestQUpdateTcpClient::connectTwiceIsRefused()
{
    QVERIFY(startService());
    connectClient();
    QVERIFY(!m_client->connectToServer(localHost, m_service->port()));
    QCOMPARE(m_client->lastError(), QStringLiteral("已经连接或正在连接中"));
    QVERIFY(m_client->isConnected());
}

void TestQUpdateTcpClient::connectionRefusedAllowsLaterAttempt()
{
    QVERIFY(startService());
    const quint16 port = m_service->port();
    m_service->stop();
    QSignalSpy errors(m_client.get(), &QUpdateTcpClient::errorOccurred);
    QVERIFY(!m_client->connectToServer(localHost, port));
    QCOMPARE(m_client->state(), QUpdateTcpClient::Error);
    QVERIFY(!m_client->lastError().isEmpty());
    QVERIFY(!errors.isEmpty());

    QVERIFY(startService());
    connectClient();
}

void TestQUpdateTcpClient::requestsNeedAConnection()
{
    QSignalSpy errors(m_client.get(), &QUpdateTcpClient::errorOccurred);
    const VersionInfo info = m_client->checkVersion(versionRequest(QStringLiteral("1.0")), 1000);
    QVERIFY(!info.needUpdate);
    QCOMPARE(m_client->lastError(), QStringLiteral("未连接到服务器"));
    QVERIFY(!m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), -1));
    QCOMPARE(m_client->lastError(), QStringLiteral("未连接到服务器"));
    QCOMPARE(errors.count(), 2);
    QVERIFY(!m_client->sendMessage(Heartbeat, encodeHeartbeat(0)));
}

void TestQUpdateTcpClient::versionCheck_data()
{
    QTest::addColumn<QString>("clientVersion");
    QTest::addColumn<QString>("productCode");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<QString>("productName");
    QTest::addColumn<QStringList>("files");

    const QStringList all{"|a.txt", "bin|app.exe", "bin|empty.dat", "x|readme.txt", "y|readme.txt"};
    QTest::newRow("older client") << "1.0"
                                  << "1" << true << "Velmora" << all;
    QTest::newRow("newer client also differs") << "3.0"
                                               << "6" << true << "Dunmere Lite" << all;
    QTest::newRow("same version") << "2.0"
                                  << "4" << false << "Oskarin" << QStringList();
    QTest::newRow("unknown product") << "1.0"
                                     << "9" << true << "Unknown" << all;
}

void TestQUpdateTcpClient::versionCheck()
{
    QFETCH(QString, clientVersion);
    QFETCH(QString, productCode);
    QFETCH(bool, needUpdate);
    QFETCH(QString, productName);
    QFETCH(QStringList, files);
    QVERIFY(startService({QStringLiteral("--product-code"), productCode}));
    connectClient();
    QSignalSpy checked(m_client.get(), &QUpdateTcpClient::versionChecked);

    const VersionInfo info = m_client->checkVersion(versionRequest(clientVersion), 5000);
    QCOMPARE(info.needUpdate, needUpdate);
    QCOMPARE(info.version, QStringLiteral("2.0"));
    QCOMPARE(info.productName, productName);
    QStringList listed;
    for (const FileRecord& record : info.files) {
        listed.append(record.filePath() + QLatin1Char('|') + record.fileName());
    }
    QCOMPARE(listed, files);
    QCOMPARE(checked.count(), 1);
}

void TestQUpdateTcpClient::versionCheckTimesOut()
{
    QVERIFY(startService({QStringLiteral("--delay"), QStringLiteral("2500")}));
    connectClient();
    QSignalSpy checked(m_client.get(), &QUpdateTcpClient::versionChecked);
    const VersionInfo info = m_client->checkVersion(versionRequest(QStringLiteral("1.0")), 1000);
    QVERIFY(!info.needUpdate);
    QVERIFY(info.version.isEmpty());
    QVERIFY(info.files.isEmpty());
    // The call gave up before the answer: the late reply still arrives as a signal afterwards.
    QCOMPARE(checked.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(checked.count(), 1, 10000);
    QVERIFY(checked.at(0).at(0).value<VersionInfo>().needUpdate);
}

void TestQUpdateTcpClient::versionCheckErrorReply()
{
    QVERIFY(startService({QStringLiteral("--error-version")}));
    connectClient();
    QSignalSpy errors(m_client.get(), &QUpdateTcpClient::errorOccurred);
    const VersionInfo info = m_client->checkVersion(versionRequest(QStringLiteral("1.0")), 5000);
    QVERIFY(!info.needUpdate);
    // The reply's reason follows the fixed text.
    const QString expected = QStringLiteral("服务器返回错误: version check refused by --error-version");
    QCOMPARE(m_client->lastError(), expected);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), expected);
}

void TestQUpdateTcpClient::versionCheckCorruptReply()
{
    QVERIFY(startService({QStringLiteral("--corrupt")}));
    connectClient();
    QSignalSpy checked(m_client.get(), &QUpdateTcpClient::versionChecked);
    const VersionInfo info = m_client->checkVersion(versionRequest(QStringLiteral("1.0")), 1000);
    QVERIFY(!info.needUpdate);
    QCOMPARE(checked.count(), 0);
    // The stream starts afresh after the discarded bytes: the next exchange works.
    QSignalSpy heartbeats(m_client.get(), &QUpdateTcpClient::heartbeatReceived);
    QVERIFY(m_client->sendMessage(Heartbeat, encodeHeartbeat(QDateTime::currentMSecsSinceEpoch())));
    QTRY_COMPARE_WITH_TIMEOUT(heartbeats.count(), 1, 5000);
}

void TestQUpdateTcpClient::heartbeatIsAnswered()
{
    QVERIFY(startService());
    connectClient();
    QSignalSpy heartbeats(m_client.get(), &QUpdateTcpClient::heartbeatReceived);
    // The 30 s timer's slot, run now.
    QVERIFY(QMetaObject::invokeMethod(m_client.get(), "onHeartbeatTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(heartbeats.count(), 1, 5000);
}

void TestQUpdateTcpClient::downloadsEveryListedFile()
{
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("1000")}));
    connectClient();
    const VersionInfo info = m_client->checkVersion(versionRequest(QStringLiteral("1.0")), 5000);
    QCOMPARE(info.files.size(), 5);
    QSignalSpy progress(m_client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QSignalSpy failed(m_client.get(), &QUpdateTcpClient::sigFileDownloadError);

    for (const FileRecord& record : info.files) {
        QVERIFY2(m_client->downloadFile(request(record.filePath(), record.fileName()), -1),
                 qPrintable(record.fileName() + QLatin1Char(' ') + m_client->lastError()));
    }
    QCOMPARE(failed.count(), 0);
    QCOMPARE(completed.count(), 5);
    QCOMPARE(filesBelow(temp(QString())), filesBelow(m_release->path()));
    for (const QString& relative : filesBelow(m_release->path())) {
        QCOMPARE(readFile(temp(relative)), readFile(release(relative)));
    }
    // bin/app.exe: a first report at 0, then one per chunk of 1000 bytes up to the whole size.
    QList<uint32_t> appProgress;
    for (const QList<QVariant>& args : qAsConst(progress)) {
        if (args.at(1).toString() == QLatin1String("app.exe")) {
            QCOMPARE(args.at(3).value<uint32_t>(), uint32_t(10000));
            appProgress.append(args.at(2).value<uint32_t>());
        }
    }
    QCOMPARE(appProgress.size(), 11);
    QCOMPARE(appProgress.first(), uint32_t(0));
    QCOMPARE(appProgress.last(), uint32_t(10000));
}

void TestQUpdateTcpClient::serviceServesClientsAtOnce()
{
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("1000"),
                          QStringLiteral("--chunk-delay"), QStringLiteral("20")}));
    connectClient();
    // A second client with its own installation streams while the first one waits for its file.
    QTemporaryDir otherApp;
    QVERIFY(writeFile(otherApp.filePath(QStringLiteral("system.cfg")), "[Paths]\nTemp=temp/\n"));
    CConfigManager otherConfig(otherApp.filePath(QStringLiteral("system.cfg")));
    CFileDataWriter otherWriter(otherConfig, otherApp.path());
    QUpdateTcpClient other(&m_owner);
    other.setFileWriter(&otherWriter);
    QVERIFY(other.connectToServer(localHost, m_service->port()));
    QSignalSpy otherCompleted(&other, &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(other.sendMessage(FileDownloadRequest, encodeFileDownloadRequest(request("bin", "app.exe"))));

    QVERIFY(m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QTRY_COMPARE_WITH_TIMEOUT(otherCompleted.count(), 1, 10000);
    const QByteArray expected = readFile(release(QStringLiteral("bin/app.exe")));
    QCOMPARE(readFile(temp(QStringLiteral("bin/app.exe"))), expected);
    QCOMPARE(readFile(otherApp.filePath(QStringLiteral("temp/bin/app.exe"))), expected);
}

void TestQUpdateTcpClient::errorReplyDuringDownload()
{
    QVERIFY(startService({QStringLiteral("--error-file"), QStringLiteral("bin/app.exe")}));
    connectClient();
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(!m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QCOMPARE(m_client->lastError(), QStringLiteral("服务器返回错误: refused by --error-file: bin/app.exe"));
    QCOMPARE(completed.count(), 0);
    QVERIFY(!QFileInfo::exists(temp(QStringLiteral("bin/app.exe"))));
    // The session goes on: the next file arrives.
    QVERIFY(m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), -1));
    QCOMPARE(readFile(temp(QStringLiteral("a.txt"))), readFile(release(QStringLiteral("a.txt"))));
}

void TestQUpdateTcpClient::completionOfAnotherFileDoesNotEndTheWait()
{
    // The service streams bin/app.exe, completely, before every requested file.
    QVERIFY(startService({QStringLiteral("--prepend-file"), QStringLiteral("bin/app.exe"),
                          QStringLiteral("--delay"), QStringLiteral("200"), QStringLiteral("--chunk-size"),
                          QStringLiteral("4096")}));
    connectClient();
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(m_client->downloadFile(request(QStringLiteral("x"), QStringLiteral("readme.txt")), -1));
    QCOMPARE(completed.count(), 2);
    QCOMPARE(completed.at(0).at(1).toString(), QStringLiteral("app.exe"));
    QCOMPARE(completed.at(1).at(1).toString(), QStringLiteral("readme.txt"));
    QCOMPARE(readFile(temp(QStringLiteral("x/readme.txt"))),
             readFile(release(QStringLiteral("x/readme.txt"))));
}

void TestQUpdateTcpClient::sameNameInDifferentFolders()
{
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("5")}));
    connectClient();
    QVERIFY(m_client->downloadFile(request(QStringLiteral("x"), QStringLiteral("readme.txt")), -1));
    QVERIFY(m_client->downloadFile(request(QStringLiteral("y"), QStringLiteral("readme.txt")), -1));
    QCOMPARE(readFile(temp(QStringLiteral("x/readme.txt"))),
             readFile(release(QStringLiteral("x/readme.txt"))));
    QCOMPARE(readFile(temp(QStringLiteral("y/readme.txt"))),
             readFile(release(QStringLiteral("y/readme.txt"))));
}

void TestQUpdateTcpClient::emptyFinalChunk()
{
    QVERIFY(startService(
        {QStringLiteral("--empty-final-chunk"), QStringLiteral("--chunk-size"), QStringLiteral("1000")}));
    connectClient();
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QVERIFY(m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("empty.dat")), -1));
    QCOMPARE(completed.count(), 2);
    QCOMPARE(readFile(temp(QStringLiteral("bin/app.exe"))), readFile(release(QStringLiteral("bin/app.exe"))));
    QVERIFY(QFileInfo::exists(temp(QStringLiteral("bin/empty.dat"))));
    QCOMPARE(QFileInfo(temp(QStringLiteral("bin/empty.dat"))).size(), 0);
}

void TestQUpdateTcpClient::retryAfterDroppedConnectionStartsAfresh()
{
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("1000"),
                          QStringLiteral("--drop-after"), QStringLiteral("3500")}));
    connectClient();
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QSignalSpy firstAttempt(m_client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QVERIFY(!m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QCOMPARE(completed.count(), 0);
    QTRY_VERIFY(!m_client->isConnected());
    QVERIFY(!firstAttempt.isEmpty());
    const uint32_t partial = firstAttempt.last().at(2).value<uint32_t>();
    QVERIFY(partial > 0 && partial < 10000);

    QSignalSpy progress(m_client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QVERIFY(m_client->connectToServer(localHost, m_service->port()));
    QVERIFY(m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QCOMPARE(readFile(temp(QStringLiteral("bin/app.exe"))), readFile(release(QStringLiteral("bin/app.exe"))));
    QCOMPARE(progress.first().at(2).value<uint32_t>(), uint32_t(0));
    QCOMPARE(progress.last().at(2).value<uint32_t>(), uint32_t(10000));
}

void TestQUpdateTcpClient::retryOnLiveConnectionDrainsAbandonedTransfer()
{
    // 20 chunks, 100 ms apart: the first request gives up in the middle of the stream.
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("500"),
                          QStringLiteral("--chunk-delay"), QStringLiteral("100")}));
    connectClient();
    QSignalSpy failed(m_client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(!m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), 600));
    QCOMPARE(m_client->lastError(), QStringLiteral("文件下载超时"));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(2).toString(), QStringLiteral("下载超时"));

    QVERIFY(m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QCOMPARE(readFile(temp(QStringLiteral("bin/app.exe"))), readFile(release(QStringLiteral("bin/app.exe"))));
    // The rest of the abandoned stream was drained, not taken for the answer to the retry: after
    // the retry's own stream nothing of app.exe is left to arrive before the next file.
    QVERIFY(m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), -1));
    QCOMPARE(completed.count(), 2);
    QCOMPARE(completed.at(0).at(1).toString(), QStringLiteral("app.exe"));
    QCOMPARE(completed.at(1).at(1).toString(), QStringLiteral("a.txt"));
}

void TestQUpdateTcpClient::stalledTransferFailsWithoutTimeLimit()
{
    // The service keeps the connection open but goes quiet for 30 s after the first chunk.
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("500"),
                          QStringLiteral("--chunk-delay"), QStringLiteral("30000")}));
    connectClient();
    m_client->setStallTimeout(400);
    QSignalSpy failed(m_client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QVERIFY(!m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QCOMPARE(m_client->lastError(), QStringLiteral("文件下载超时"));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(2).toString(), QStringLiteral("下载超时"));
}

void TestQUpdateTcpClient::slowButSteadyTransferIsNotAStall()
{
    // Twenty chunks 100 ms apart take far longer than the stall limit, but none is late.
    QVERIFY(startService({QStringLiteral("--chunk-size"), QStringLiteral("500"),
                          QStringLiteral("--chunk-delay"), QStringLiteral("100")}));
    connectClient();
    m_client->setStallTimeout(1500);
    QVERIFY(m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), -1));
    QCOMPARE(readFile(temp(QStringLiteral("bin/app.exe"))), readFile(release(QStringLiteral("bin/app.exe"))));
}

void TestQUpdateTcpClient::failedFinalChunkEndsTheWait()
{
    QVERIFY(startService());
    connectClient();
    // A folder where the file should go: its one and final chunk cannot be saved.
    QVERIFY(QDir().mkpath(temp(QStringLiteral("a.txt"))));
    QSignalSpy failed(m_client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Failed to open file for writing:")));
    // Bounded only so that a regression fails instead of hanging: the wait must end on the failed
    // chunk itself, which the error text tells apart from the timeout.
    QVERIFY(!m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), 20000));
    QCOMPARE(m_client->lastError(), QStringLiteral("Failed to save file data: /a.txt"));
    QCOMPARE(failed.count(), 1);

    // Once the obstacle is gone the same file downloads on the same connection.
    QVERIFY(QDir(temp(QStringLiteral("a.txt"))).removeRecursively());
    QVERIFY(m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), -1));
    QCOMPARE(readFile(temp(QStringLiteral("a.txt"))), readFile(release(QStringLiteral("a.txt"))));
}

void TestQUpdateTcpClient::refusedListedPaths_data()
{
    QTest::addColumn<QString>("record");
    QTest::newRow("parent folder") << "..|evil.txt";
    QTest::newRow("climbing out of a folder") << "bin/../..|evil.txt";
    QTest::newRow("absolute") << "/tmp|evil.txt";
    QTest::newRow("drive letter") << "C:/Windows|evil.txt";
    QTest::newRow("backslashes") << "..\\..|evil.txt";
    QTest::newRow("name climbs") << "|../evil.txt";
}

void TestQUpdateTcpClient::refusedListedPaths()
{
    QFETCH(QString, record);
    QVERIFY(startService({QStringLiteral("--extra-record"), record}));
    connectClient();
    const VersionInfo info = m_client->checkVersion(versionRequest(QStringLiteral("1.0")), 5000);
    QCOMPARE(info.files.size(), 6);
    const FileRecord& forged = info.files.last();
    QSignalSpy failed(m_client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QVERIFY(!m_client->downloadFile(request(forged.filePath(), forged.fileName()), -1));
    QVERIFY(
        m_client->lastError().startsWith(QLatin1String("Refused file path outside the temporary folder")));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(filesBelow(m_app->path()), QStringList{"system.cfg"});
    // The refusal sends nothing, so the session is still in step.
    QVERIFY(m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), -1));
}

void TestQUpdateTcpClient::hostileChunkLabelsWriteNothingOutside()
{
    QTemporaryDir outside;
    const QString label =
        QStringLiteral("../../../../../../../..") + outside.path() + QStringLiteral("|pwn.txt");
    QVERIFY(startService({QStringLiteral("--answer-as"), label}));
    connectClient();
    QSignalSpy failed(m_client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Refused to write outside")));
    QVERIFY(!m_client->downloadFile(request(QString(), QStringLiteral("a.txt")), 1500));
    QVERIFY(filesBelow(outside.path()).isEmpty());
    QCOMPARE(filesBelow(m_app->path()), QStringList{"system.cfg"});
    QVERIFY(!failed.isEmpty());
    QVERIFY(failed.first().at(0).toString().startsWith(QLatin1String("../")));
}

void TestQUpdateTcpClient::incompleteStreamIsNotADownload_data()
{
    QTest::addColumn<QString>("announced");
    QTest::newRow("fewer bytes than announced") << "10001";
    QTest::newRow("more bytes than announced") << "9999";
}

void TestQUpdateTcpClient::incompleteStreamIsNotADownload()
{
    QFETCH(QString, announced);
    QVERIFY(startService({QStringLiteral("--announce-size"), announced, QStringLiteral("--chunk-size"),
                          QStringLiteral("1000")}));
    connectClient();
    QSignalSpy completed(m_client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(!m_client->downloadFile(request(QStringLiteral("bin"), QStringLiteral("app.exe")), 20000));
    QCOMPARE(m_client->lastError(),
             QStringLiteral("Connection delivered incomplete file data: bin/app.exe (10000 of %1 bytes)")
                 .arg(announced));
    QCOMPARE(completed.count(), 0);
}

QTEST_GUILESS_MAIN(TestQUpdateTcpClient)
#include "testqupdatetcpclient.moc"
