// Whole runs of update.exe over the HTTP channel against nginx.
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/installsnapshot.h"
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

private:
    void prepare(ScratchInstallation& installation, const QMap<QString, QByteArray>& files, bool withList,
                 const QString& version);
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
                          bool withList, const QString& version)
{
    QVERIFY(installation.isValid());
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    config.insert(QStringLiteral("Update/HttpEnable"), QStringLiteral("true"));
    config.insert(QStringLiteral("Update/URL"), m_server->baseUrl());
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

QTEST_GUILESS_MAIN(TestHttpRun)
#include "testhttprun.moc"
