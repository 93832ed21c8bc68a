#include "apply/applyjournal.h"
#include "support/applydriver.h"
#include "support/crashloop.h"
#include "support/filesizelimit.h"
#include "support/installsnapshot.h"
#include "support/scratchinstallation.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const QStringList NotInstalled = {QStringLiteral("logs"), QStringLiteral("temp"), QStringLiteral("backup"),
                                  QLatin1String(ApplyDriver::driverName)};

/// Larger than the file-size limit of runDriverOnFullDisk(): it cannot be put in place.
const QByteArray TooLarge(300 * 1024, 'L');
constexpr int LimitKiB = 100;

const QByteArray InstallFailedText("window text: 更新安装失败，已恢复原版本: ");

QString logOf(const ScratchInstallation& installation)
{
    return QString::fromUtf8(installation.readFile(QStringLiteral("logs/update.log")));
}

/// The apply driver on a disk where no file may grow beyond LimitKiB.
ProcessResult runDriverOnFullDisk(const ScratchInstallation& installation)
{
    const QString driver = ApplyDriver::install(installation);
    return runProcess(FileSizeLimit::wrapper(),
                      FileSizeLimit::arguments(driver, {QLatin1String(ApplyDriver::driverSwitch)}, LimitKiB),
                      installation.path(), 30000);
}

/// `files` without the lists an HTTP check stages: no run leaves them behind.
QMap<QString, QByteArray> withoutStagedLists(QMap<QString, QByteArray> files)
{
    files.remove(QStringLiteral("update/updateTmp.ini"));
    files.remove(QStringLiteral("update/md5Tmp.txt"));
    return files;
}

} // namespace

/// Whole runs of the apply steps: update.exe in the update-helper mode and at start, and the apply
/// driver for the runs that follow a download.
class TestApplyRuns : public QObject
{
    Q_OBJECT

private:
    /// Offline configuration with the marker host; `overrides` replace single keys.
    static void configure(ScratchInstallation& installation, const QMap<QString, QString>& overrides = {})
    {
        QMap<QString, QString> config = ScratchInstallation::offlineConfig();
        for (auto it = overrides.cbegin(); it != overrides.cend(); ++it) {
            config.insert(it.key(), it.value());
        }
        installation.writeConfig(config);
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-started")));
    }

    static void installOldVersion(ScratchInstallation& installation)
    {
        installation.writeFile(QStringLiteral("a.txt"), "old a");
        installation.writeFile(QStringLiteral("b.txt"), "old b");
        installation.writeFile(QStringLiteral("lib/x.dll"), "old x");
        installation.writeFile(QStringLiteral("update/update.ini"), "old manifest");
        installation.writeFile(QStringLiteral("md5.txt"), "old list");
    }

    static void stageDownload(ScratchInstallation& installation)
    {
        installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
        installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
        installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest");
        installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "new list");
    }

    /// The state after a replacement whose self-update still waits: new files installed, the old
    /// ones in the backup.
    static void stageReplacedInstallation(ScratchInstallation& installation)
    {
        installOldVersion(installation);
        CrashLoop::replaceForSelfUpdate(installation);
    }

private slots:
    void unusableTempFolderRefusesTheRun_data()
    {
        QTest::addColumn<QString>("temp");
        QTest::newRow("empty") << QString();
        QTest::newRow("installation itself") << QStringLiteral("./");
    }

    void unusableTempFolderRefusesTheRun()
    {
        QFETCH(QString, temp);
        ScratchInstallation installation;
        configure(installation, {{QStringLiteral("Paths/Temp"), temp}});
        installOldVersion(installation);
        stageDownload(installation);
        const auto before = withoutStagedLists(snapshotFiles(installation.path(), {QStringLiteral("logs")}));

        // The start of a run clears nothing that would be the installation.
        const ProcessResult result = installation.runUpdater({QStringLiteral("console")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(snapshotFiles(installation.path(), {QStringLiteral("logs")}), before);

        // The apply after a download refuses before anything is saved or replaced.
        const ProcessResult applied = ApplyDriver::run(installation);
        QCOMPARE(applied.exitCode, 2);
        QVERIFY(applied.standardOutput.contains(InstallFailedText + "临时目录配置无效"));
        QCOMPARE(snapshotFiles(installation.path(),
                               {QStringLiteral("logs"), QLatin1String(ApplyDriver::driverName)}),
                 before);
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(logOf(installation)
                    .contains(QStringLiteral("临时目录配置无效(必须是安装目录内的子目录)，拒绝更新:")));
    }

    void appliedUpdateRelaunchesTheHost()
    {
        ScratchInstallation installation;
        configure(installation);
        installOldVersion(installation);
        stageDownload(installation);
        installation.writeFile(QStringLiteral("temp/plugins/new.dll"), "added");

        QCOMPARE(ApplyDriver::run(installation).exitCode, 0);
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("new a"));
        QCOMPARE(installation.readFile(QStringLiteral("b.txt")), QByteArray("old b"));
        QCOMPARE(installation.readFile(QStringLiteral("lib/x.dll")), QByteArray("new x"));
        QCOMPARE(installation.readFile(QStringLiteral("plugins/new.dll")), QByteArray("added"));
        QCOMPARE(installation.readFile(QStringLiteral("update/update.ini")), QByteArray("new manifest"));
        QCOMPARE(installation.readFile(QStringLiteral("md5.txt")), QByteArray("new list"));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QLatin1String(CApplyJournal::fileName)));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-started")), 15000));
    }

    void failedReplacementRestoresWhatItChanged()
    {
        ScratchInstallation installation;
        configure(installation);
        installOldVersion(installation);
        stageDownload(installation);
        installation.writeFile(QStringLiteral("temp/b.txt"), "new b");
        // An installed link is restored as the link it was, not as a copy of what it points to.
        const QString link = installation.filePath(QStringLiteral("b.txt"));
        QVERIFY(QFile::remove(link) && QFile::link(QStringLiteral("lib/x.dll"), link));
        installation.writeFile(QStringLiteral("temp/b-added.txt"), "added");
        installation.writeFile(QStringLiteral("temp/c.txt"), TooLarge);
        installation.writeFile(QStringLiteral("temp/d.txt"), "never reached");
        // lib/x.dll comes after the failing c.txt: saved, never replaced, and so never rewritten.
        const QDateTime longAgo = QDateTime::currentDateTime().addYears(-1);
        QFile untouched(installation.filePath(QStringLiteral("lib/x.dll")));
        QVERIFY(untouched.open(QIODevice::ReadWrite) &&
                untouched.setFileTime(longAgo, QFileDevice::FileModificationTime));
        untouched.close();
        const auto before = withoutStagedLists(snapshotFiles(installation.path(), NotInstalled));

        const ProcessResult result = runDriverOnFullDisk(installation);

        // The window says so and closes with its button; everything the update changed is back and
        // the file it added is gone.
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.standardOutput.contains(InstallFailedText), result.standardOutput.constData());
        QVERIFY(!result.standardOutput.contains("升级成功"));
        const auto after = snapshotFiles(installation.path(), NotInstalled);
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
        QCOMPARE(QFileInfo(untouched).lastModified(), longAgo);
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(link).symLinkTarget(), installation.filePath(QStringLiteral("lib/x.dll")));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QLatin1String(CApplyJournal::fileName)));
        QVERIFY(logOf(installation).contains(QStringLiteral("文件回退完成")));
        QVERIFY(!installation.exists(QStringLiteral("host-started")));
    }

    void fileAndFolderTradePlaces_data()
    {
        QTest::addColumn<bool>("fileBecomesFolder");
        QTest::addColumn<bool>("failsLater");
        QTest::newRow("file becomes a folder") << true << false;
        QTest::newRow("folder becomes a file") << false << false;
        QTest::newRow("file becomes a folder, then the update fails") << true << true;
        QTest::newRow("folder becomes a file, then the update fails") << false << true;
    }

    void fileAndFolderTradePlaces()
    {
        QFETCH(bool, fileBecomesFolder);
        QFETCH(bool, failsLater);
        ScratchInstallation installation;
        configure(installation);
        installOldVersion(installation);
        QMap<QString, QByteArray> added;
        if (fileBecomesFolder) {
            installation.writeFile(QStringLiteral("plugins"), "old plugins file");
            added = {{QStringLiteral("plugins/x.dll"), "new x"},
                     {QStringLiteral("plugins/sub/y.dll"), "new y"}};
        } else {
            installation.writeFile(QStringLiteral("plugins/x.dll"), "old x");
            installation.writeFile(QStringLiteral("plugins/.hidden"), "old hidden");
            added = {{QStringLiteral("plugins"), "new plugins file"}};
        }
        for (auto it = added.cbegin(); it != added.cend(); ++it) {
            installation.writeFile(QStringLiteral("temp/") + it.key(), it.value());
        }
        if (failsLater) {
            installation.writeFile(QStringLiteral("temp/zz.dat"), TooLarge);
        }
        const auto before = snapshotFiles(installation.path(), NotInstalled);
        auto expected = before;
        if (!failsLater) {
            for (const QString& path : before.keys()) {
                if (path.startsWith(QStringLiteral("plugins"))) {
                    expected.remove(path);
                }
            }
            expected.insert(added);
        }

        const ProcessResult result =
            failsLater ? runDriverOnFullDisk(installation) : ApplyDriver::run(installation);

        QCOMPARE(result.exitCode, failsLater ? 2 : 0);
        const auto after = snapshotFiles(installation.path(), NotInstalled);
        QVERIFY2(after == expected, qPrintable(describeDifference(after, expected)));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QLatin1String(CApplyJournal::fileName)));
        // The next start finds nothing to recover and goes on to its check.
        const ProcessResult next = installation.runUpdater({QStringLiteral("console")});
        QCOMPARE(
            QJsonDocument::fromJson(next.jsonLine()).object().value(QStringLiteral("errormsg")).toString(),
            QStringLiteral("TCP升级服务连接失败"));
    }

    void treeLeavingTheInstallationIsRefused()
    {
        ScratchInstallation installation;
        QTemporaryDir outside;
        QVERIFY(installation.isValid() && outside.isValid());
        configure(installation);
        installOldVersion(installation);
        QVERIFY(QFile::link(outside.path(), installation.filePath(QStringLiteral("plugins"))));
        stageDownload(installation);
        installation.writeFile(QStringLiteral("temp/plugins/evil.dll"), "evil");
        const auto before = withoutStagedLists(snapshotFiles(installation.path(), NotInstalled));

        QCOMPARE(ApplyDriver::run(installation).exitCode, 2);
        QVERIFY(!QFileInfo::exists(outside.filePath(QStringLiteral("evil.dll"))));
        QCOMPARE(snapshotFiles(installation.path(), NotInstalled), before);
        QVERIFY(logOf(installation).contains(QStringLiteral("更新文件路径超出安装目录，拒绝更新:")));
    }

    void helperFailureRollsBack_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("HelperFaile") << QStringList{QStringLiteral("updatehelper"),
                                                    QStringLiteral("HelperFaile")};
        QTest::newRow("no report") << QStringList{QStringLiteral("updatehelper")};
        QTest::newRow("console ignored")
            << QStringList{QStringLiteral("console"), QStringLiteral("updatehelper")};
    }

    void helperFailureRollsBack()
    {
        QFETCH(QStringList, arguments);
        ScratchInstallation installation;
        configure(installation);
        installOldVersion(installation);
        const auto before = snapshotFiles(installation.path(), NotInstalled);
        stageReplacedInstallation(installation);

        const ProcessResult result = installation.runUpdater(arguments);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.jsonLine().isEmpty());
        const auto after = snapshotFiles(installation.path(), NotInstalled);
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QLatin1String(CApplyJournal::fileName)));
        QVERIFY(logOf(installation)
                    .contains(QStringLiteral("回退文件成功:") +
                              installation.filePath(QStringLiteral("backup/a.txt")) + QStringLiteral("->") +
                              installation.filePath(QStringLiteral("a.txt"))));
    }

    void emptyBackupFolderRollsBackAtOnce()
    {
        ScratchInstallation installation;
        configure(installation);
        installation.writeFile(QStringLiteral("a.txt"), "new a");
        installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
        QVERIFY(QDir().mkpath(installation.filePath(QStringLiteral("backup"))));

        QCOMPARE(installation.runUpdater({QStringLiteral("updatehelper")}).exitCode, 0);
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("new a"));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(logOf(installation).contains(QStringLiteral("文件回退完成")));
        QVERIFY(!logOf(installation).contains(QStringLiteral("回退文件成功:")));
    }

    void emptyBackupValueRollsNothingBack()
    {
        ScratchInstallation installation;
        configure(installation, {{QStringLiteral("Paths/Backup"), QString()}});
        stageReplacedInstallation(installation);
        const auto before = snapshotFiles(installation.path(), {QStringLiteral("logs")});

        QCOMPARE(installation.runUpdater({QStringLiteral("updatehelper")}).exitCode, 0);
        QCOMPARE(snapshotFiles(installation.path(), {QStringLiteral("logs")}), before);
        QVERIFY(logOf(installation).contains(QStringLiteral("备份目录未配置")));
    }

    void failedRollbackKeepsTheBackupForTheNextRun()
    {
        ScratchInstallation installation;
        configure(installation);
        stageReplacedInstallation(installation);
        QVERIFY(QFile::remove(installation.filePath(QStringLiteral("a.txt"))));
        installation.writeFile(QStringLiteral("a.txt/blocker"), "in the way");

        QCOMPARE(
            installation.runUpdater({QStringLiteral("updatehelper"), QStringLiteral("HelperFaile")}).exitCode,
            0);
        const QString failure =
            QStringLiteral("删除目标文件失败: ") + installation.filePath(QStringLiteral("a.txt"));
        QVERIFY(logOf(installation).contains(QStringLiteral("回退文件失败:") + failure));
        QVERIFY(installation.exists(QStringLiteral("backup/a.txt")));
        QVERIFY(installation.exists(QStringLiteral("temp/a.txt")));

        // The next run must not clear the only good copy: it tries the restore again and fails.
        const ProcessResult next = installation.runUpdater({QStringLiteral("console")});
        const QJsonObject json = QJsonDocument::fromJson(next.jsonLine()).object();
        QCOMPARE(json.value(QStringLiteral("success")).toBool(true), false);
        QCOMPARE(json.value(QStringLiteral("errormsg")).toString(),
                 QStringLiteral("从备份恢复安装失败:") + failure);
        QVERIFY(installation.exists(QStringLiteral("backup/a.txt")));

        // Started by a user, it shows why nothing happens and still runs the host, which the
        // failed restore did not touch.
        const ProcessResult normal = installation.runUpdaterUntil({}, "恢复未完成，照常启动主程序", 15000);
        QVERIFY2(normal.markerSeen, normal.standardOutput.constData());
        QVERIFY(normal.standardOutput.contains(("从备份恢复安装失败:" + failure).toUtf8()));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-started")), 15000));

        // Once the obstacle is gone the run after that restores the installation.
        QVERIFY(QDir(installation.filePath(QStringLiteral("a.txt"))).removeRecursively());
        QCOMPARE(installation.runUpdater({QStringLiteral("console")}).exitCode, 0);
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("old a"));
        QCOMPARE(installation.readFile(QStringLiteral("lib/x.dll")), QByteArray("old x"));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QLatin1String(CApplyJournal::fileName)));
    }

    void helperSuccessCleansUpAndRelaunches_data()
    {
        QTest::addColumn<QString>("updateExe");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("leftoverRemains");
        QTest::newRow("leftover removed")
            << QStringLiteral("update.exe") << QStringLiteral("Deleted temp file: {p}UpdateTmp/update.exe")
            << false;
        QTest::newRow("empty name names the folder")
            << QString() << QStringLiteral("Failed to delete file: {p}UpdateTmp/") << true;
    }

    void helperSuccessCleansUpAndRelaunches()
    {
        QFETCH(QString, updateExe);
        QFETCH(QString, logged);
        QFETCH(bool, leftoverRemains);
        ScratchInstallation installation;
        configure(installation, {{QStringLiteral("Update/UpdateExe"), updateExe}});
        stageReplacedInstallation(installation);
        installation.writeFile(QStringLiteral("UpdateTmp/update.exe"), "leftover");

        const ProcessResult result =
            installation.runUpdater({QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QCOMPARE(installation.exists(QStringLiteral("UpdateTmp/update.exe")), leftoverRemains);
        QVERIFY(installation.exists(QStringLiteral("UpdateTmp")));
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("new a.txt"));
        QVERIFY(logOf(installation)
                    .contains(QString(logged).replace(QStringLiteral("{p}"), installation.path() + '/')));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-started")), 15000));
    }

    void interruptedApplyIsRecoveredAtStart()
    {
        ScratchInstallation installation;
        configure(installation);
        installOldVersion(installation);
        const auto before = snapshotFiles(installation.path(), NotInstalled);
        stageReplacedInstallation(installation);
        installation.writeFile(QStringLiteral("added.txt"), "added by the interrupted update");
        installation.writeFile(QLatin1String(CApplyJournal::fileName), "backup=backup/\nadded=added.txt\n");

        const ProcessResult result = installation.runUpdater({QStringLiteral("console")});
        QCOMPARE(result.exitCode, 0);
        // The run goes on as usual after the recovery: here the offline check fails.
        const QJsonObject json = QJsonDocument::fromJson(result.jsonLine()).object();
        QCOMPARE(json.value(QStringLiteral("errormsg")).toString(), QStringLiteral("TCP升级服务连接失败"));
        const auto after = snapshotFiles(installation.path(), NotInstalled);
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QLatin1String(CApplyJournal::fileName)));
        QVERIFY(logOf(installation).contains(QStringLiteral("发现未完成的更新，从备份恢复安装:")));
    }
};

UPDATER_APPLY_DRIVER_TEST_MAIN(TestApplyRuns)
#include "testapplyruns.moc"
