#include "app/singleinstanceguard.h"
#include "support/applydriver.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/scratchinstallation.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSharedMemory>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

/// Whole runs of update.exe in scratch installations without any update source.
class TestUpdaterRun : public QObject
{
    Q_OBJECT

private:
    static QString lockKey(const ScratchInstallation& installation)
    {
        const QString exe = QFileInfo(installation.updaterPath()).canonicalFilePath();
        return SingleInstanceGuard::baseKey(exe) + QStringLiteral("_mem");
    }

    /// Forks a process that holds the installation's lock until it is killed.
    static pid_t holdLockInChild(const ScratchInstallation& installation)
    {
        const QString key = lockKey(installation);
        int ready[2];
        if (pipe(ready) != 0) {
            return -1;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            QSharedMemory segment(key);
            const char ok = segment.create(1) ? '1' : '0';
            (void)!write(ready[1], &ok, 1);
            for (;;) {
                pause();
            }
        }
        char ok = '0';
        (void)!read(ready[0], &ok, 1);
        close(ready[0]);
        close(ready[1]);
        return ok == '1' ? pid : -1;
    }

    static void killChild(pid_t pid)
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

private slots:
    void consoleReportsUnreachableService()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        const ProcessResult result = installation.runUpdater({QStringLiteral("console")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.jsonLine(), ConsoleResult::serviceUnreachable());
        QCOMPARE(result.standardOutput.count('{'), 1);
    }

    void consoleSwitchMatchesOnlyAsWholeExactWord_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("none") << QStringList();
        QTest::newRow("capitalised") << QStringList{QStringLiteral("Console")};
        QTest::newRow("dashes") << QStringList{QStringLiteral("--console")};
        QTest::newRow("part of a word") << QStringList{QStringLiteral("consoles")};
        QTest::newRow("helper wins") << QStringList{QStringLiteral("console"),
                                                    QStringLiteral("updatehelper")};
    }

    void consoleSwitchMatchesOnlyAsWholeExactWord()
    {
        QFETCH(QStringList, arguments);
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-ran.txt")));
        const ProcessResult result = installation.runUpdater(arguments);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.jsonLine().isEmpty());
    }

    void logFileHasArgumentsAndDebugStaysOutOfConsole()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        const ProcessResult result =
            installation.runUpdater({QStringLiteral("console"), QStringLiteral("{}%s")});
        QVERIFY(result.standardOutput.contains("[info]"));
        QVERIFY(result.standardOutput.contains("Update started"));
        QVERIFY(!result.standardOutput.contains("Command Line Arguments:"));

        const QByteArray log = installation.readFile(QStringLiteral("logs/update.log"));
        QVERIFY(log.contains("] [info] ["));
        QVERIFY(log.contains("Update started\r\n"));
        QVERIFY(log.contains("Command Line Arguments:\r\n"));
        QVERIFY(log.contains("argv[0] =" + installation.updaterPath().toUtf8()));
        QVERIFY(log.contains("argv[1] =console\r\n"));
        QVERIFY(log.contains("argv[2] ={}%s\r\n"));
        QVERIFY(log.contains("临时目录:" + installation.filePath(QStringLiteral("temp/")).toUtf8()));
        QVERIFY(log.contains("备份目录:" + installation.filePath(QStringLiteral("backup/")).toUtf8()));
    }

    void logBesideExecutableWhenFolderEmpty()
    {
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Paths/Log")] = QString();
        installation.writeConfig(config);
        installation.runUpdater({QStringLiteral("console")});
        QVERIFY(installation.exists(QStringLiteral("update.log")));
    }

    void missingConfigurationStillAnswers()
    {
        ScratchInstallation installation;
        const ProcessResult result = installation.runUpdater({QStringLiteral("console")});
        QCOMPARE(result.exitCode, 0);
        // The run is refused before any channel is asked, naming the file it looked for.
        const QByteArray missing =
            "配置文件不存在: " + installation.filePath(QStringLiteral("system.cfg")).toUtf8();
        QCOMPARE(result.jsonLine(), R"({"errormsg":")" + missing + R"(","success":false,"update":false})");
        QVERIFY(installation.readFile(QStringLiteral("update.log")).contains(missing));
    }

    void secondCopyIsRefusedAndStaleLockIsCleared()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        const pid_t holder = holdLockInChild(installation);
        QVERIFY(holder > 0);

        const ProcessResult refused = installation.runUpdater({QStringLiteral("console")});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.jsonLine().isEmpty());

        // A second name for the same program in the same installation is the same updater.
        const QString hardLink = installation.filePath(QStringLiteral("second-name.exe"));
        QCOMPARE(::link(QFile::encodeName(installation.updaterPath()).constData(),
                        QFile::encodeName(hardLink).constData()),
                 0);
        const ProcessResult secondName =
            runProcess(hardLink, {QStringLiteral("console")}, installation.path(), 30000);
        QCOMPARE(secondName.exitCode, 1);
        QVERIFY(secondName.jsonLine().isEmpty());

        // A copy in another folder has its own lock.
        ScratchInstallation other;
        other.writeConfig(ScratchInstallation::offlineConfig());
        QCOMPARE(other.runUpdater({QStringLiteral("console")}).exitCode, 0);

        // The holder dies without cleaning up: its segment must not lock the updater out.
        killChild(holder);
        const ProcessResult after = installation.runUpdater({QStringLiteral("console")});
        QCOMPARE(after.exitCode, 0);
        QVERIFY(!after.jsonLine().isEmpty());
    }

    void helperSuccessCleansUpAndLaunchesHost()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-ran.txt")));
        installation.writeFile(QStringLiteral("backup/app.bin"), "old");
        installation.writeFile(QStringLiteral("temp/app.bin"), "new");

        const ProcessResult result = installation.runUpdater(
            {QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess"), QStringLiteral("console")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.jsonLine().isEmpty());
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        // The host starts about one second later through the delayed-start script.
        QVERIFY(!installation.exists(QStringLiteral("host-ran.txt")));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-ran.txt")), 10000));
        // The marker file appears before the host has written into it.
        QTRY_COMPARE_WITH_TIMEOUT(installation.readFile(QStringLiteral("host-ran.txt")), QByteArray("\n"),
                                  5000);
    }

    void hostInSubfolderWithSpacesIsLaunched()
    {
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Update/HostExe")] = QStringLiteral("my bin/host app.sh");
        installation.writeConfig(config);
        QVERIFY(installation.writeMarkerHost(QStringLiteral("my bin/host app.sh"),
                                             QStringLiteral("host-ran.txt")));
        const ProcessResult result =
            installation.runUpdater({QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-ran.txt")), 10000));
    }

    void emptyFolderValuesNeverRemoveTheInstallation_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("console run") << QStringList{QStringLiteral("console")};
        QTest::newRow("helper success")
            << QStringList{QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")};
    }

    void emptyFolderValuesNeverRemoveTheInstallation()
    {
        QFETCH(QStringList, arguments);
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Paths/Backup")] = QString();
        config[QStringLiteral("Paths/Temp")] = QString();
        config[QStringLiteral("Update/HostExe")] = QStringLiteral("missing-host");
        installation.writeConfig(config);
        installation.writeFile(QStringLiteral("data/app.bin"), "installed");
        installation.runUpdater(arguments);
        QCOMPARE(installation.readFile(QStringLiteral("data/app.bin")), QByteArray("installed"));
        QVERIFY(installation.exists(QStringLiteral("update.exe")));
        QVERIFY(installation.exists(QStringLiteral("system.cfg")));
    }

    void closedOutputPipeDoesNotEndTheRun()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        // The reader exits at once, so every write of the updater meets a closed pipe.
        const ProcessResult result = runProcess(
            QStringLiteral("/bin/bash"),
            {QStringLiteral("-c"), QStringLiteral("./update.exe console | true; echo ${PIPESTATUS[0]}")},
            installation.path(), 30000);
        QVERIFY(result.finished);
        QCOMPARE(result.standardOutput.trimmed(), QByteArray("0"));
        QVERIFY(installation.readFile(QStringLiteral("logs/update.log")).contains("备份目录:"));
    }

    void relaunchedHostDoesNotHoldTheOutput()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        // The host outlives the run: it records its pid and its standard input, then waits.
        const QString pidFile = installation.filePath(QStringLiteral("host.pid"));
        const QString inputFile = installation.filePath(QStringLiteral("host-input.txt"));
        const QByteArray hostScript = "#!/bin/sh\nreadlink /proc/self/fd/0 > '" + inputFile.toUtf8() +
                                      "'\necho $$ > '" + pidFile.toUtf8() + "'\nexec sleep 30\n";
        QVERIFY(installation.writeFile(QStringLiteral("host.sh"), hostScript));
        QVERIFY(QFile::setPermissions(installation.filePath(QStringLiteral("host.sh")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        // A caller that reads the output to its end gets end-of-file when update.exe exits.
        const ProcessResult result = runProcess(
            QStringLiteral("/bin/bash"),
            {QStringLiteral("-c"), QStringLiteral("./update.exe updatehelper HelperSuccess | cat")},
            installation.path(), 15000);

        QVERIFY(waitForFile(pidFile, 10000));
        QTRY_VERIFY_WITH_TIMEOUT(!installation.readFile(QStringLiteral("host.pid")).trimmed().isEmpty(),
                                 5000);
        const pid_t host = installation.readFile(QStringLiteral("host.pid")).trimmed().toInt();
        kill(host, SIGKILL);
        QVERIFY2(result.finished, "the host program held the updater's output open");
        QCOMPARE(installation.readFile(QStringLiteral("host-input.txt")).trimmed(), QByteArray("/dev/null"));
    }

    void plantedLaunchScriptNamesAreNeverUsed()
    {
        // A user without rights plants links at every name the delayed-start script could get in
        // a temporary folder that everyone may write, each pointing at a file only root may change.
        QTemporaryDir shared;
        QVERIFY(QFile::setPermissions(shared.path(), QFileDevice::Permissions(0x7777)));
        const QString victim = shared.filePath(QStringLiteral("root-only/victim.txt"));
        QVERIFY(QDir().mkpath(QFileInfo(victim).path()));
        QVERIFY(writeFile(victim, "root's data"));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QString planter =
            QStringLiteral("for $t (%1 .. %2) { symlink('%3', '%4/delay_start_' . $t . '.sh') }")
                .arg(now - 1000)
                .arg(now + 20000)
                .arg(victim, shared.path());
        const ProcessResult planted = runProcess(
            QStringLiteral("setpriv"),
            {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
             QStringLiteral("--clear-groups"), QStringLiteral("perl"), QStringLiteral("-e"), planter},
            shared.path(), 30000);
        if (!planted.finished || planted.exitCode != 0 ||
            !QFileInfo(shared.filePath(QStringLiteral("delay_start_%1.sh").arg(now))).isSymLink()) {
            QSKIP("cannot run a planter as another user here; the exclusive creation has its unit test");
        }
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-ran.txt")));

        const ProcessResult result = runProcessWithEnvironment(
            installation.updaterPath(), {QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")},
            installation.path(), {{QStringLiteral("TMPDIR"), shared.path()}}, 30000);

        QCOMPARE(result.exitCode, 0);
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-ran.txt")), 10000));
        QFile file(victim);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("root's data"));
        // The script removes itself and its private folder once the host has ended.
        QVERIFY(waitUntil(
            [&shared] {
                return QDir(shared.path())
                    .entryList({QStringLiteral("update-launch-*")}, QDir::AllEntries)
                    .isEmpty();
            },
            10000));
    }

    void previousRunFoldersAreRemovedAtStart()
    {
        ScratchInstallation installation;
        installation.writeConfig(ScratchInstallation::offlineConfig());
        installation.writeFile(QStringLiteral("backup/old.bin"), "x");
        installation.writeFile(QStringLiteral("temp/old.bin"), "y");
        installation.runUpdater({QStringLiteral("console")});
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
    }
};

QTEST_GUILESS_MAIN(TestUpdaterRun)
#include "testupdaterrun.moc"
