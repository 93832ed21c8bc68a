// Whole runs of update.exe over the HTTP channel against nginx.
#include "apply/resumestore.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/installsnapshot.h"
#include "support/linkemulator.h"
#include "support/nginxserver.h"
#include "support/scratchinstallation.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray FailureMarker("取消/失败后清理临时文件完成");
const QString HostMarker = QStringLiteral("host-started.txt");

const QMap<QString, QByteArray> InstalledFiles{
    {QStringLiteral("app.bin"), QByteArray("old program")},
    {QStringLiteral("same.txt"), QByteArray("unchanged\n")},
};

const QMap<QString, QByteArray> ReleaseFiles{
    {QStringLiteral("app.bin"), QByteArray("new program")},
    {QStringLiteral("same.txt"), QByteArray("unchanged\n")},
    {QStringLiteral("data/new.txt"), QByteArray("added\n")},
};

// What a run may change without touching the installation proper.
const QStringList RunFolders{QStringLiteral("logs"), QStringLiteral("temp")};

const QString BigFile = QStringLiteral("big.bin");

/// The release of ReleaseFiles with `smallFiles` more small files and a 2 MiB file, as a
/// customer's link would carry it: many round trips and one file long enough to break in.
QMap<QString, QByteArray> linkRelease(int smallFiles)
{
    QMap<QString, QByteArray> files = ReleaseFiles;
    for (int i = 0; i < smallFiles; ++i) {
        files.insert(QStringLiteral("many/f%1.txt").arg(i, 3, 10, QLatin1Char('0')),
                     QByteArray::number(i).repeated(200 + i));
    }
    QByteArray big;
    for (int i = 0; big.size() < 2 * 1024 * 1024; ++i) {
        big += QByteArray::number(i * 7919) + '\n';
    }
    files.insert(BigFile, big);
    return files;
}

qint64 totalSize(const QMap<QString, QByteArray>& files)
{
    qint64 total = 0;
    for (const QByteArray& content : files) {
        total += content.size();
    }
    return total;
}

/// Shortens the transfer timeout of the update.exe runs of one test.
struct TransferTimeoutForRuns
{
    explicit TransferTimeoutForRuns(int milliseconds)
    {
        qputenv("UPDATER_TEST_TRANSFER_TIMEOUT_MS", QByteArray::number(milliseconds));
    }
    ~TransferTimeoutForRuns() { qunsetenv("UPDATER_TEST_TRANSFER_TIMEOUT_MS"); }
    TransferTimeoutForRuns(const TransferTimeoutForRuns&) = delete;
    TransferTimeoutForRuns& operator=(const TransferTimeoutForRuns&) = delete;
};

} // namespace

class TestHttpRun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void updatesChangedFilesOnly();
    void followsRedirects();
    void equalVersionsEndTheCheck();
    void missingInstalledListIsGeneratedAndKept();
    void failedDownloadLeavesInstallationUnchanged_data();
    void failedDownloadLeavesInstallationUnchanged();
    void updatesOverACustomersLink_data();
    void updatesOverACustomersLink();
    void failuresOverACustomersLinkStopEveryTransfer_data();
    void failuresOverACustomersLinkStopEveryTransfer();

private:
    void prepare(ScratchInstallation& installation, const QMap<QString, QByteArray>& files, bool withList,
                 const QString& version, const QString& baseUrl = QString(), int maxConnections = 0);
    QString served(const QString& relative) const { return m_served.filePath(relative); }
    QByteArray servedFile(const QString& relative) const;

    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;
};

void TestHttpRun::initTestCase()
{
    m_server = std::make_unique<NginxServer>(
        m_served.path(), QStringLiteral("location /moved/ { rewrite ^/moved/(.*)$ /r2/$1 permanent; }"));
    QVERIFY2(m_server->start(), qPrintable(m_server->lastError()));
}

void TestHttpRun::init()
{
    QDir(m_served.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_served.path()));
    m_server->clearRequestLog();
    QVERIFY(writeHttpRelease(m_served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles));
}

QByteArray TestHttpRun::servedFile(const QString& relative) const
{
    QFile file(served(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestHttpRun::prepare(ScratchInstallation& installation, const QMap<QString, QByteArray>& files,
                          bool withList, const QString& version, const QString& baseUrl, int maxConnections)
{
    QVERIFY(installation.isValid());
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    config.insert(QStringLiteral("Update/HttpEnable"), QStringLiteral("true"));
    config.insert(QStringLiteral("Update/URL"), baseUrl.isEmpty() ? m_server->baseUrl() : baseUrl);
    if (maxConnections > 0) {
        config.insert(QStringLiteral("Update/MaxConnections"), QString::number(maxConnections));
    }
    installation.writeConfig(config);
    QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), HostMarker));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(installation.writeFile(it.key(), it.value()));
    }
    if (withList) {
        QVERIFY(installation.writeFile(QStringLiteral("md5.txt"), md5ListText(files)));
    }
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"),
                                   manifestText(QStringLiteral("r1"), version)));
}

void TestHttpRun::updatesChangedFilesOnly()
{
    ScratchInstallation installation;
    prepare(installation, InstalledFiles, true, QStringLiteral("1.0"));
    const QDateTime unchangedTime =
        QFileInfo(installation.filePath(QStringLiteral("same.txt"))).lastModified();

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);
    QVERIFY2(result.finished, result.standardOutput.constData());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());

    QCOMPARE(installation.readFile(QStringLiteral("app.bin")), QByteArray("new program"));
    QCOMPARE(installation.readFile(QStringLiteral("data/new.txt")), QByteArray("added\n"));
    QCOMPARE(installation.readFile(QStringLiteral("same.txt")), QByteArray("unchanged\n"));
    QCOMPARE(QFileInfo(installation.filePath(QStringLiteral("same.txt"))).lastModified(), unchangedTime);
    QVERIFY(!m_server->requestLog().contains("same.txt"));
    // The staged manifest and list became the installed ones.
    QCOMPARE(installation.readFile(QStringLiteral("update/update.ini")),
             servedFile(QStringLiteral("update.ini")));
    QCOMPARE(installation.readFile(QStringLiteral("md5.txt")), servedFile(QStringLiteral("r2/md5.txt")));
    QVERIFY(!installation.exists(QStringLiteral("temp")));
    QVERIFY(!installation.exists(QStringLiteral("backup")));
    QVERIFY(waitForFile(installation.filePath(HostMarker), 15000));
}

void TestHttpRun::followsRedirects()
{
    QVERIFY(writeFile(served(QStringLiteral("update.ini")), manifestText(QStringLiteral("moved"), "2.0")));
    ScratchInstallation installation;
    prepare(installation, InstalledFiles, true, QStringLiteral("1.0"));

    const ProcessResult result = installation.runUpdater({}, 60000);
    QVERIFY2(result.finished, result.standardOutput.constData());
    QCOMPARE(installation.readFile(QStringLiteral("app.bin")), QByteArray("new program"));
    QCOMPARE(installation.readFile(QStringLiteral("data/new.txt")), QByteArray("added\n"));
    QVERIFY(m_server->requestLog().contains("GET /moved//app.bin"));
    QVERIFY(waitForFile(installation.filePath(HostMarker), 15000));
}

void TestHttpRun::equalVersionsEndTheCheck()
{
    ScratchInstallation installation;
    prepare(installation, InstalledFiles, true, QStringLiteral("2.0"));
    const auto before = snapshotFiles(installation.path(), RunFolders);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 30000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), ConsoleResult::noUpdate());
    QVERIFY(m_server->requestLog().contains("GET /update.ini"));
    QVERIFY(!m_server->requestLog().contains("md5.txt"));
    const auto after = snapshotFiles(installation.path(), RunFolders);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
}

void TestHttpRun::missingInstalledListIsGeneratedAndKept()
{
    // Everything installed already matches the release; only the list is missing.
    ScratchInstallation installation;
    prepare(installation, ReleaseFiles, false, QStringLiteral("1.0"));

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 30000);
    QVERIFY(result.finished);
    QCOMPARE(result.jsonLine(), ConsoleResult::noUpdate());
    const QByteArray list = installation.readFile(QStringLiteral("md5.txt"));
    for (auto it = ReleaseFiles.cbegin(); it != ReleaseFiles.cend(); ++it) {
        QVERIFY2(list.contains(md5Hex(it.value()).toLatin1() + "\t/" + it.key().toUtf8() + '\n'),
                 list.constData());
    }
    QVERIFY(list.contains("\t/update.exe\n"));
}

void TestHttpRun::failedDownloadLeavesInstallationUnchanged_data()
{
    QTest::addColumn<QByteArray>("extraListLine");
    QTest::addColumn<QByteArray>("servedAppContent");

    const QByteArray appDigest = md5Hex("new program").toLatin1();
    QTest::newRow("file not found") << QByteArray(appDigest + "\t/zz-absent.bin\n")
                                    << QByteArray("new program");
    QTest::newRow("wrong digest") << QByteArray() << QByteArray("tampered program");
    QTest::newRow("traversal key") << QByteArray(appDigest + "\t/../../evil.txt\n")
                                   << QByteArray("new program");
    QTest::newRow("absolute drive key")
        << QByteArray(appDigest + "\tC:/evil.txt\n") << QByteArray("new program");
}

void TestHttpRun::failedDownloadLeavesInstallationUnchanged()
{
    QFETCH(QByteArray, extraListLine);
    QFETCH(QByteArray, servedAppContent);
    QVERIFY(writeFile(served(QStringLiteral("r2/app.bin")), servedAppContent));
    QVERIFY(writeFile(served(QStringLiteral("r2/md5.txt")), md5ListText(ReleaseFiles) + extraListLine));
    QVERIFY(writeFile(served(QStringLiteral("evil.txt")), "evil"));
    ScratchInstallation installation;
    prepare(installation, InstalledFiles, true, QStringLiteral("1.0"));
    const auto before = snapshotFiles(installation.path(), RunFolders);

    // A failed download keeps the dialog open: the run is ended once the failure is logged.
    const ProcessResult result =
        installation.runUpdaterUntil({QStringLiteral("console")}, FailureMarker, 60000);
    QVERIFY2(result.markerSeen, result.standardOutput.constData());
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());

    const auto after = snapshotFiles(installation.path(), RunFolders);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
    QVERIFY(!QFileInfo::exists(installation.filePath(QStringLiteral("../evil.txt"))));
    QVERIFY(!QFileInfo::exists(installation.filePath(QStringLiteral("../../evil.txt"))));
    QVERIFY(!installation.exists(QStringLiteral("backup")));
    QTest::qWait(1500);
    QVERIFY(!installation.exists(HostMarker));
}

void TestHttpRun::updatesOverACustomersLink_data()
{
    QTest::addColumn<int>("maxConnections");
    QTest::addColumn<qint64>("dropAfter");

    QTest::newRow("one file at a time") << 1 << qint64(0);
    QTest::newRow("four files at once") << 4 << qint64(0);
    // Counted from the start of the run: the lists and the small files come first.
    QTest::newRow("a drop in the middle of the large file") << 4 << qint64(1024 * 1024);
}

void TestHttpRun::updatesOverACustomersLink()
{
    QFETCH(int, maxConnections);
    QFETCH(qint64, dropAfter);
    const QMap<QString, QByteArray> release = linkRelease(40);
    QVERIFY(writeHttpRelease(m_served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), release));
    LinkEmulator link(m_server->port());
    QVERIFY(link.startListening());
    link.setDelayMs(20, 20);
    link.setDropAfter(dropAfter);
    ScratchInstallation installation;
    prepare(installation, InstalledFiles, true, QStringLiteral("1.0"),
            QStringLiteral("http://127.0.0.1:%1/").arg(link.port()), maxConnections);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 120000);
    QVERIFY2(result.finished, result.standardOutput.right(3000).constData());
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    for (auto it = release.cbegin(); it != release.cend(); ++it) {
        QVERIFY2(installation.readFile(it.key()) == it.value(), qPrintable(it.key()));
    }
    QVERIFY(waitForFile(installation.filePath(HostMarker), 15000));
    // Every file crossed the link once (plus headers and lists): the broken one was resumed.
    QVERIFY2(link.bytesDown() < totalSize(release) + 200 * 1024,
             qPrintable(QString::number(link.bytesDown())));
    if (dropAfter > 0) {
        QCOMPARE(link.dropCount(), 1);
        QVERIFY(result.standardOutput.contains("重试下载: big.bin, 尝试次数: 1"));
    } else {
        // Keep-alive connections: no more of them than transfers at once.
        QVERIFY2(link.connectionCount() <= maxConnections,
                 qPrintable(QString::number(link.connectionCount())));
        QVERIFY(maxConnections == 1 || link.connectionCount() > 1);
    }
}

void TestHttpRun::failuresOverACustomersLinkStopEveryTransfer_data()
{
    QTest::addColumn<qint64>("stallAfter");
    QTest::addColumn<QByteArray>("extraListLine");
    QTest::addColumn<QByteArray>("expectedInLog");

    QTest::newRow("a stall outlasting the retries")
        << qint64(1024 * 1024) << QByteArray() << QByteArray("下载最终失败，已达到最大重试次数: ");
    // Sorted first: it fails while the next files are on their way.
    QTest::newRow("a missing file among several in flight")
        << qint64(0) << QByteArray(md5Hex("absent").toLatin1() + "\t/0absent.bin\n")
        << QByteArray("下载文件 \"0absent.bin\" 时出错: ");
}

void TestHttpRun::failuresOverACustomersLinkStopEveryTransfer()
{
    QFETCH(qint64, stallAfter);
    QFETCH(QByteArray, extraListLine);
    QFETCH(QByteArray, expectedInLog);
    const QMap<QString, QByteArray> release = linkRelease(40);
    QVERIFY(writeHttpRelease(m_served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), release));
    QVERIFY(writeFile(served(QStringLiteral("r2/md5.txt")), md5ListText(release) + extraListLine));
    LinkEmulator link(m_server->port());
    QVERIFY(link.startListening());
    link.setDelayMs(20, 20);
    link.setBandwidth(0, 2 * 1024 * 1024);
    link.setStallAfter(stallAfter);
    const TransferTimeoutForRuns timeout(1000);
    ScratchInstallation installation;
    prepare(installation, InstalledFiles, true, QStringLiteral("1.0"),
            QStringLiteral("http://127.0.0.1:%1/").arg(link.port()), 4);
    const auto before = snapshotFiles(installation.path(), RunFolders);

    const ProcessResult result =
        installation.runUpdaterUntil({QStringLiteral("console")}, FailureMarker, 90000);
    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QVERIFY2(result.standardOutput.contains(expectedInLog), result.standardOutput.right(3000).constData());
    const auto after = snapshotFiles(installation.path(), RunFolders);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
    QVERIFY(!installation.exists(QStringLiteral("backup")));
    // The transfers still running were stopped: what stays in the temporary folder is whole.
    for (const QString& file : installation.listFiles(QStringLiteral("temp"))) {
        const QString key = file.mid(file.indexOf(QLatin1Char('/')) + 1);
        if (key == QLatin1String(ResumeStore::RecordName)) {
            continue;
        }
        QVERIFY2(installation.readFile(file) == release.value(key), qPrintable(file));
    }
    if (stallAfter == 0) {
        QVERIFY(!m_server->requestLog().contains("f039.txt"));
    } else {
        QVERIFY(result.standardOutput.contains("超过1000毫秒未收到数据"));
    }
    QTest::qWait(1000);
    QVERIFY(!installation.exists(HostMarker));
}

QTEST_GUILESS_MAIN(TestHttpRun)
#include "testhttprun.moc"
