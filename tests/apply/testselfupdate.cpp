#include "app/singleinstanceguard.h"
#include "support/applydriver.h"
#include "support/applyfixture.h"
#include "support/referenceservice.h"
#include "support/scratchinstallation.h"

#include <QProcess>
#include <QSharedMemory>
#include <QtTest>

namespace {

constexpr int ChainTimeoutMs = 30000;

QString logOf(const ScratchInstallation& installation, const QString& name = QStringLiteral("update.log"))
{
    return QString::fromUtf8(installation.readFile(QStringLiteral("logs/") + name));
}

} // namespace

/// The self-update with the real update helper: the applying run hands over to the helper and
/// quits, the helper swaps update.exe and starts it again in the finishing mode.
class TestSelfUpdate : public QObject
{
    Q_OBJECT

private:
    /// An installation with the helper beside update.exe and a download that holds a new
    /// update.exe (the built program with a tail, so that it differs and still runs).
    static QByteArray prepare(ScratchInstallation& installation)
    {
        installation.writeConfig(ScratchInstallation::offlineConfig());
        if (!installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-started"))) {
            qFatal("cannot write the marker host");
        }
        QFile::copy(builtProgram(QStringLiteral("update-helper")),
                    installation.filePath(QStringLiteral("update-helper")));
        installation.writeFile(QStringLiteral("a.txt"), "old a");
        installation.writeFile(QStringLiteral("md5.txt"), "old list");
        installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
        installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "new list");
        installation.writeFile(QStringLiteral("UpdateTmp/update.exe"), "leftover of an earlier self-update");
        return installation.readFile(QStringLiteral("update.exe")) + "\nnew build\n";
    }

    static bool rolledBack(const ScratchInstallation& installation)
    {
        return !installation.exists(QStringLiteral("backup")) &&
               logOf(installation).contains(QStringLiteral("文件回退完成"));
    }

private slots:
    void helperSwapsTheProgramAndTheFinishingRunRelaunchesTheHost()
    {
        ScratchInstallation installation;
        const QByteArray newProgram = prepare(installation);
        installation.writeFile(QStringLiteral("temp/update.exe"), newProgram);
        QVERIFY(QFile::setPermissions(installation.filePath(QStringLiteral("temp/update.exe")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QCOMPARE(ApplyDriver::run(installation).exitCode, 0);
        QVERIFY(logOf(installation).contains(QStringLiteral("发现需要自我更新的update.exe文件:")));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-started")), ChainTimeoutMs));

        QCOMPARE(installation.readFile(QStringLiteral("update.exe")), newProgram);
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("new a"));
        QCOMPARE(installation.readFile(QStringLiteral("md5.txt")), QByteArray("new list"));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QStringLiteral("UpdateTmp/update.exe")));
        QVERIFY(logOf(installation, QStringLiteral("update-helper.log"))
                    .contains(QStringLiteral("updatehelper HelperSuccess")));

        // The swapped program is a working updater.
        const ProcessResult next = installation.runUpdater({QStringLiteral("console")});
        QCOMPARE(next.exitCode, 0);
        QVERIFY(!next.jsonLine().isEmpty());
    }

    void wholeSelfUpdateFromTheUpdateService()
    {
        ScratchInstallation installation;
        const QByteArray newProgram = prepare(installation);
        QTemporaryDir release;
        QVERIFY(release.isValid());
        writeFile(release.filePath(QStringLiteral("a.txt")), "new a");
        writeFile(release.filePath(QStringLiteral("update.exe")), newProgram);
        ReferenceService service;
        QVERIFY2(service.start(release.path(), QStringLiteral("2.0")), qPrintable(service.errorString()));
        QMap<QString, QString> config = ScratchInstallation::offlineConfig();
        config.insert(QStringLiteral("Server/UpdatePort"), QString::number(service.port()));
        installation.writeConfig(config);

        // The first run downloads, installs a.txt, hands over to the helper and quits.
        const ProcessResult first = installation.runUpdater({});
        QVERIFY(first.finished);
        QCOMPARE(first.exitCode, 0);
        QVERIFY(logOf(installation).contains(QStringLiteral("发现需要自我更新的update.exe文件:")));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-started")), ChainTimeoutMs));

        QCOMPARE(installation.readFile(QStringLiteral("update.exe")), newProgram);
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("new a"));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
    }

    void emptyTempRefusesTheOfferedDownload()
    {
        ScratchInstallation installation;
        prepare(installation);
        QTemporaryDir release;
        QVERIFY(release.isValid());
        writeFile(release.filePath(QStringLiteral("a.txt")), "new a");
        ReferenceService service;
        QVERIFY2(service.start(release.path(), QStringLiteral("2.0")), qPrintable(service.errorString()));
        QMap<QString, QString> config = ScratchInstallation::offlineConfig();
        config.insert(QStringLiteral("Server/UpdatePort"), QString::number(service.port()));
        config.insert(QStringLiteral("Paths/Temp"), QString());
        installation.writeConfig(config);

        const ProcessResult result = installation.runUpdater({QStringLiteral("console")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        const QJsonObject json = QJsonDocument::fromJson(result.jsonLine()).object();
        QCOMPARE(json.value(QStringLiteral("success")).toBool(true), false);
        // Refused at start, before the service was asked.
        QCOMPARE(json.value(QStringLiteral("update")).toBool(true), false);
        QVERIFY(
            json.value(QStringLiteral("errormsg")).toString().startsWith(QStringLiteral("临时目录配置无效")));
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("old a"));
    }

    void failedSwapRollsTheInstallationBack()
    {
        ScratchInstallation installation;
        prepare(installation);
        const QByteArray oldProgram = installation.readFile(QStringLiteral("update.exe"));
        // Something the helper cannot install: a folder where the new program should be.
        installation.writeFile(QStringLiteral("temp/update.exe/not-a-program"), "x");
        installation.writeFile(QStringLiteral("temp/plugins/added.dll"), "added by the update");

        QCOMPARE(ApplyDriver::run(installation).exitCode, 0);
        QVERIFY(waitUntil([&] { return rolledBack(installation); }, ChainTimeoutMs));
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("old a"));
        QVERIFY(!installation.exists(QStringLiteral("plugins")));
        QCOMPARE(installation.readFile(QStringLiteral("md5.txt")), QByteArray("old list"));
        QCOMPARE(installation.readFile(QStringLiteral("update.exe")), oldProgram);
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(logOf(installation, QStringLiteral("update-helper.log"))
                    .contains(QStringLiteral("updatehelper HelperFaile")));
        QVERIFY(!installation.exists(QStringLiteral("host-started")));
    }

    void helperRefusesNamesWithPaths()
    {
        ScratchInstallation installation;
        prepare(installation);
        installation.writeFile(QStringLiteral("backup/a.txt"), "old a");
        installation.writeFile(QStringLiteral("a.txt"), "new a");
        installation.writeFile(QStringLiteral("outside.exe"), "not to be installed");

        const ProcessResult helper =
            runProcess(installation.filePath(QStringLiteral("update-helper")),
                       {QStringLiteral("../outside.exe"), QStringLiteral("update.exe")}, installation.path(),
                       ChainTimeoutMs);
        QCOMPARE(helper.exitCode, 1);
        QVERIFY(waitUntil([&] { return rolledBack(installation); }, ChainTimeoutMs));
        QCOMPARE(installation.readFile(QStringLiteral("a.txt")), QByteArray("old a"));
        QVERIFY(installation.readFile(QStringLiteral("update.exe")) != QByteArray("not to be installed"));
    }

    void helperWaitsWhileTheUpdaterRuns()
    {
        ScratchInstallation installation;
        const QByteArray newProgram = prepare(installation);
        installation.writeFile(QStringLiteral("temp/update.exe"), newProgram);
        installation.writeFile(QStringLiteral("backup/a.txt"), "old a");
        const QByteArray oldProgram = installation.readFile(QStringLiteral("update.exe"));

        // Hold the updater's single-instance lock as a running update.exe would.
        const QString key =
            SingleInstanceGuard::baseKey(QFileInfo(installation.updaterPath()).canonicalFilePath());
        QSharedMemory lock(key + QStringLiteral("_mem"));
        QVERIFY(lock.create(1));

        QProcess helper;
        helper.setWorkingDirectory(installation.path());
        helper.start(installation.filePath(QStringLiteral("update-helper")),
                     {QStringLiteral("update.exe"), QStringLiteral("update.exe")});
        QVERIFY(helper.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(helper.state(), QProcess::Running);
        QCOMPARE(installation.readFile(QStringLiteral("update.exe")), oldProgram);

        lock.detach();
        QVERIFY(helper.waitForFinished(ChainTimeoutMs));
        QCOMPARE(helper.exitCode(), 0);
        QCOMPARE(installation.readFile(QStringLiteral("update.exe")), newProgram);
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-started")), ChainTimeoutMs));
    }
};

UPDATER_APPLY_DRIVER_TEST_MAIN(TestSelfUpdate)
#include "testselfupdate.moc"
