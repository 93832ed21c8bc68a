// Whole runs of update.exe over broken local files and folders and a full disk: each must end
// with the installation exactly the old version or exactly the new one.
#include "faultrun.h"
#include "support/applydriver.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/filesizelimit.h"
#include "support/httprelease.h"
#include "support/nginxserver.h"
#include "support/referenceservice.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray TempRefused("临时目录配置无效");
/// "%1" stands for the path of the missing file.
const QByteArray ConfigMissing("配置文件不存在: %1");
const QByteArray HttpFailed("取消/失败后清理临时文件完成");
const QByteArray TcpFailed("下载错误处理完成");

/// Larger than the file-size limit of the full-disk cases, so that it cannot be written whole.
const QByteArray LargeContent(300 * 1024, 'L');
constexpr int LimitKiB = 100;

const QMap<QString, QByteArray> Release = {
    {QStringLiteral("bin/core.dll"), "core 2.0"},
    {QStringLiteral("readme.txt"), "read me 2.0"},
    {QStringLiteral("large.dat"), LargeContent},
};

/// What a run may leave beside the installation proper; update.log lands at the top when the
/// configuration names no log folder.
const QStringList NotInstalled = {QStringLiteral("logs"), QStringLiteral("temp"),
                                  QStringLiteral("update.log"), QLatin1String(ApplyDriver::driverName)};

QMap<QString, QByteArray> installationState(const ScratchInstallation& installation)
{
    return snapshotFiles(installation.path(), NotInstalled);
}

/// The JSON line of a run refused at start for a folder setting: an error naming the setting, no
/// update (nothing was asked).
bool refusedAtStart(const QByteArray& jsonLine, const QByteArray& refusal)
{
    return jsonLine.startsWith(R"({"errormsg":")" + refusal) &&
           jsonLine.endsWith(R"(","success":false,"update":false})");
}

QByteArray hugeConfig()
{
    QByteArray text("[Update]\n");
    for (int i = 0; i < 100000; ++i) {
        text += "Key" + QByteArray::number(i) + "=\"" + QByteArray(30, char('a' + i % 26)) + "\"\n";
    }
    return text + QByteArray(1024 * 1024, '\xfe');
}

} // namespace

class TestFileFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void malformedSystemCfg_data();
    void malformedSystemCfg();
    void unquotedCommaInTempWithAnUpdate();
    void folderSettingsLeavingTheInstallation_data();
    void folderSettingsLeavingTheInstallation();
    void malformedInstalledManifestAndList();
    void generatedListStaysInsideTheInstallation();
    void runFolderIsAFile_data();
    void runFolderIsAFile();
    void diskFullDuringHttpDownload();
    void diskFullDuringTcpDownload();
    void diskFullDuringApply_data();
    void diskFullDuringApply();

private:
    void prepareHttp(ScratchInstallation& installation, const QMap<QString, QString>& overrides = {});
    bool releaseInstalled(const ScratchInstallation& installation) const;

    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;
};

void TestFileFaults::initTestCase()
{
    QVERIFY(writeHttpRelease(m_served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), Release));
    m_server = std::make_unique<NginxServer>(m_served.path());
    QVERIFY2(m_server->start(), qPrintable(m_server->lastError()));
}

void TestFileFaults::prepareHttp(ScratchInstallation& installation, const QMap<QString, QString>& overrides)
{
    QMap<QString, QString> config{{QStringLiteral("Update/HttpEnable"), QStringLiteral("true")},
                                  {QStringLiteral("Update/URL"), m_server->baseUrl()}};
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it) {
        config.insert(it.key(), it.value());
    }
    FaultRun::installOldVersion(installation, config);
    QVERIFY(installation.writeFile(QStringLiteral("md5.txt"), md5ListText(FaultRun::installedFiles())));
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"),
                                   manifestText(QStringLiteral("r1"), "1.0")));
}

bool TestFileFaults::releaseInstalled(const ScratchInstallation& installation) const
{
    for (auto it = Release.cbegin(); it != Release.cend(); ++it) {
        if (installation.readFile(it.key()) != it.value()) {
            return false;
        }
    }
    return installation.readFile(QStringLiteral("data/settings.dat")) == "kept";
}

void TestFileFaults::malformedSystemCfg_data()
{
    // A null config stands for no system.cfg at all.
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("refusal");

    QTest::newRow("binary junk") << QByteArray("\x7f"
                                               "ELF\x00\x01[\xff\xfe]\n=\x00=\n[Paths]\x00Temp=/\n",
                                               28)
                                 << TempRefused;
    QTest::newRow("huge file") << hugeConfig() << TempRefused;
    QTest::newRow("unquoted commas in the folders")
        << QByteArray("[Paths]\nTemp=temp/,x\nBackup=,\nLog=logs/,\n[Server]\nUpdateServer=127.0.0.1\n"
                      "UpdatePort=1,2\n")
        << TempRefused;
    QTest::newRow("folders climbing out")
        << QByteArray("[Paths]\nTemp=../\nBackup=../../\nLog=logs/\n") << TempRefused;
    QTest::newRow("sections only") << QByteArray("[Update]\n[Server]\n[Paths]\n") << TempRefused;
    QTest::newRow("no file at all") << QByteArray() << ConfigMissing;
}

void TestFileFaults::malformedSystemCfg()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, refusal);
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation);
    const QString configPath = installation.filePath(QStringLiteral("system.cfg"));
    QVERIFY(config.isNull() ? QFile::remove(configPath)
                            : installation.writeFile(QStringLiteral("system.cfg"), config));
    refusal.replace("%1", configPath.toUtf8());
    // What a run that removed its folders too eagerly would take with it.
    QVERIFY(installation.writeFile(QStringLiteral("temp,x/kept.txt"), "kept"));
    const auto before = installationState(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")});

    // Every row leaves Temp unknown or unusable (no file, missing, a list, climbing out): refused
    // before any channel.
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(refusedAtStart(result.jsonLine(), refusal), result.jsonLine().constData());
    QCOMPARE(installationState(installation), before);
    QVERIFY(!installation.exists(FaultRun::HostMarker));
}

void TestFileFaults::unquotedCommaInTempWithAnUpdate()
{
    // The comma makes the value a list, read as empty: the temporary folder would be the
    // installation itself, which must never receive a download. Refused before the check, so
    // nothing is fetched or staged.
    ScratchInstallation installation;
    prepareHttp(installation, {{QStringLiteral("Paths/Temp"), QStringLiteral("temp/,x")}});
    const auto before = installationState(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(refusedAtStart(result.jsonLine(), TempRefused), result.jsonLine().constData());
    QCOMPARE(installationState(installation), before);
    QVERIFY(!installation.exists(FaultRun::HostMarker));
}

void TestFileFaults::folderSettingsLeavingTheInstallation_data()
{
    // "%1" stands for a folder beside the installation, "%2" for its absolute path. Such values
    // arrive with a release that replaces system.cfg.
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("refusal");
    const QStringList console{QStringLiteral("console")};
    QTest::newRow("Backup beside the installation")
        << QStringLiteral("Paths/Backup") << QStringLiteral("../%1/") << console
        << QByteArray("备份目录配置无效");
    QTest::newRow("Temp beside the installation")
        << QStringLiteral("Paths/Temp") << QStringLiteral("../%1/") << console << TempRefused;
    QTest::newRow("absolute Temp") << QStringLiteral("Paths/Temp") << QStringLiteral("%2/") << console
                                   << TempRefused;
    QTest::newRow("Temp through a link leading out")
        << QStringLiteral("Paths/Temp") << QStringLiteral("outlink/") << console << TempRefused;
    QTest::newRow("UpdateExe climbing out, after a self-update")
        << QStringLiteral("Update/UpdateExe") << QStringLiteral("../../%1/kept.txt")
        << QStringList{QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")}
        << QByteArray("UpdateExe配置无效");
}

void TestFileFaults::folderSettingsLeavingTheInstallation()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, refusal);
    ScratchInstallation installation;
    const QFileInfo installFolder(installation.path());
    const QString besideName = installFolder.fileName() + QStringLiteral("-beside");
    QDir beside(installFolder.dir().filePath(besideName));
    QVERIFY(beside.mkpath(QStringLiteral(".")));
    QVERIFY(writeFile(beside.filePath(QStringLiteral("kept.txt")), "not the updater's"));
    QVERIFY(QFile::link(beside.path(), installation.filePath(QStringLiteral("outlink"))));
    prepareHttp(
        installation,
        {{key,
          value.replace(QStringLiteral("%1"), besideName).replace(QStringLiteral("%2"), beside.path())}});
    QVERIFY(installation.writeFile(QStringLiteral("UpdateTmp/update.exe"), "left over"));
    const auto before = installationState(installation);

    const ProcessResult result = installation.runUpdater(arguments, 60000);

    const bool kept = QFile::exists(beside.filePath(QStringLiteral("kept.txt")));
    const auto after = installationState(installation);
    beside.removeRecursively();
    QVERIFY(result.finished);
    QVERIFY2(kept, "a file beside the installation was removed");
    if (arguments.contains(QStringLiteral("console"))) {
        QVERIFY2(refusedAtStart(result.jsonLine(), refusal), result.jsonLine().constData());
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
    } else {
        QVERIFY(installation.readFile(QStringLiteral("logs/update.log")).contains(refusal));
    }
}

void TestFileFaults::malformedInstalledManifestAndList()
{
    // An unreadable installed manifest differs from every offered version, and an unreadable
    // installed list makes every listed file a change: the whole release is installed.
    ScratchInstallation installation;
    prepareHttp(installation);
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"),
                                   QByteArray("\x00\xff[Version\nVersion", 18)));
    QVERIFY(installation.writeFile(QStringLiteral("md5.txt"), QByteArray("\xff\xfe\x00\x01\n\t\t\n", 8)));

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);

    QVERIFY2(result.finished, result.standardOutput.right(3000).constData());
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    QVERIFY(releaseInstalled(installation));
    QCOMPARE(installation.readFile(QStringLiteral("md5.txt")), md5ListText(Release));
    QVERIFY(waitForFile(installation.filePath(FaultRun::HostMarker), 15000));
}

void TestFileFaults::generatedListStaysInsideTheInstallation()
{
    // Without an installed md5.txt the check lists the installation itself. Links that loop back
    // (two of them: every path through them would be walked) or lead out must not be followed.
    const QString base = QStringLiteral("same");
    QVERIFY(writeHttpRelease(m_served.filePath(base), QStringLiteral("r1"), QStringLiteral("2.0"),
                             FaultRun::installedFiles()));
    ScratchInstallation installation;
    prepareHttp(installation, {{QStringLiteral("Update/URL"), m_server->baseUrl() + base + '/'}});
    QVERIFY(QFile::remove(installation.filePath(QStringLiteral("md5.txt"))));
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath(QStringLiteral("secret.txt")), "not the installation's"));
    QVERIFY(QFile::link(installation.path(), installation.filePath(QStringLiteral("loop1"))));
    QVERIFY(QFile::link(installation.path(), installation.filePath(QStringLiteral("bin/loop2"))));
    QVERIFY(QFile::link(outside.path(), installation.filePath(QStringLiteral("outside"))));

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);

    QVERIFY(result.finished);
    QCOMPARE(result.jsonLine(), ConsoleResult::noUpdate());
    const QByteArray list = installation.readFile(QStringLiteral("md5.txt"));
    QVERIFY2(list.contains("\t/bin/core.dll\n"), list.constData());
    QVERIFY2(!list.contains("loop") && !list.contains("secret"), list.constData());
}

void TestFileFaults::runFolderIsAFile_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("failure");
    QTest::newRow("temporary folder is a file") << QStringLiteral("temp") << HttpFailed;
    QTest::newRow("backup folder is a file")
        << QStringLiteral("backup") << QByteArray("更新安装失败，已恢复原版本: 备份文件失败:");
}

void TestFileFaults::runFolderIsAFile()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, failure);
    ScratchInstallation installation;
    prepareHttp(installation);
    QVERIFY(installation.writeFile(folder, "a file where a folder belongs"));
    const auto before = installationState(installation);

    const ProcessResult result = installation.runUpdaterUntil({QStringLiteral("console")}, failure, 60000);

    // The download or the backup fails, and nothing installed changes; the lists staged by the
    // check are gone with the update they described. A failed backup is shown as such, never as
    // a finished update.
    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    const auto after = installationState(installation);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
    QVERIFY(!installation.exists(FaultRun::HostMarker));
}

void TestFileFaults::diskFullDuringHttpDownload()
{
    ScratchInstallation installation;
    prepareHttp(installation);
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = runProcessUntil(
        FileSizeLimit::wrapper(),
        FileSizeLimit::arguments(installation.updaterPath(), {QStringLiteral("console")}, LimitKiB),
        installation.path(), HttpFailed, 60000);

    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QVERIFY(result.standardOutput.contains("large.dat"));
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestFileFaults::diskFullDuringTcpDownload()
{
    ReferenceService service;
    QVERIFY2(service.start(m_served.filePath(QStringLiteral("r2")), QStringLiteral("2.0")),
             qPrintable(service.errorString()));
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = runProcessUntil(
        FileSizeLimit::wrapper(),
        FileSizeLimit::arguments(installation.updaterPath(), {QStringLiteral("console")}, LimitKiB),
        installation.path(), TcpFailed, 60000);

    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QVERIFY(result.standardOutput.contains("文件下载失败: large.dat"));
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestFileFaults::diskFullDuringApply_data()
{
    QTest::addColumn<QByteArray>("installedA");
    QTest::addColumn<QByteArray>("newA");
    QTest::addColumn<QByteArray>("installedB");
    QTest::addColumn<QByteArray>("newB");

    QTest::newRow("new file too large to put in place")
        << QByteArray("old a") << QByteArray("new a") << QByteArray("old b") << LargeContent;
    QTest::newRow("installed file too large to back up")
        << LargeContent << QByteArray("new a") << QByteArray("old b") << QByteArray("new b");
    QTest::newRow("too large to back up, then too large to put in place")
        << LargeContent << QByteArray("new a") << QByteArray("old b") << LargeContent;
}

void TestFileFaults::diskFullDuringApply()
{
    QFETCH(QByteArray, installedA);
    QFETCH(QByteArray, newA);
    QFETCH(QByteArray, installedB);
    QFETCH(QByteArray, newB);
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation);
    QVERIFY(installation.writeFile(QStringLiteral("a.dat"), installedA));
    QVERIFY(installation.writeFile(QStringLiteral("b.dat"), installedB));
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"), "old manifest"));
    QVERIFY(installation.writeFile(QStringLiteral("md5.txt"), "old list"));
    auto expectedNew = installationState(installation);
    expectedNew.insert(QStringLiteral("a.dat"), newA);
    expectedNew.insert(QStringLiteral("b.dat"), newB);
    expectedNew.insert(QStringLiteral("update/update.ini"), "new manifest");
    expectedNew.insert(QStringLiteral("md5.txt"), "new list");
    // The download of this update is complete; only applying it meets the full disk.
    QVERIFY(installation.writeFile(QStringLiteral("temp/a.dat"), newA));
    QVERIFY(installation.writeFile(QStringLiteral("temp/b.dat"), newB));
    QVERIFY(installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest"));
    QVERIFY(installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "new list"));
    auto expectedOld = installationState(installation);
    expectedOld.remove(QStringLiteral("update/updateTmp.ini"));
    expectedOld.remove(QStringLiteral("update/md5Tmp.txt"));

    const QString driver = ApplyDriver::install(installation);
    const ProcessResult applied =
        runProcess(FileSizeLimit::wrapper(),
                   FileSizeLimit::arguments(driver, {QLatin1String(ApplyDriver::driverSwitch)}, LimitKiB),
                   installation.path(), 30000);
    QVERIFY(applied.finished);
    // The next start finishes whatever the full disk interrupted.
    QVERIFY(installation.runUpdater({QStringLiteral("console")}).finished);

    auto after = installationState(installation);
    after.remove(QStringLiteral("update/updateTmp.ini"));
    after.remove(QStringLiteral("update/md5Tmp.txt"));
    QVERIFY2(after == expectedOld || after == expectedNew,
             qPrintable(QStringLiteral("old: ") + describeDifference(after, expectedOld) +
                        QStringLiteral("; new: ") + describeDifference(after, expectedNew)));
    QVERIFY(installation.listFiles(QStringLiteral("backup")).isEmpty());
}

UPDATER_APPLY_DRIVER_TEST_MAIN(TestFileFaults)
#include "testfilefaults.moc"
