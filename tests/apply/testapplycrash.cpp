#include "apply/faultswitch.h"
#include "support/applydriver.h"
#include "support/installsnapshot.h"
#include "support/scratchinstallation.h"

#include <QtTest>

#include <functional>

namespace {

using Snapshot = QMap<QString, QByteArray>;

/// Neither part of the old nor of the new installation: the run folders, the log, the test's own
/// programs and what the relaunched host leaves behind.
const QStringList NotInstalled = {QStringLiteral("logs"),       QStringLiteral("temp"),
                                  QStringLiteral("backup"),     QLatin1String(ApplyDriver::driverName),
                                  QStringLiteral("update.exe"), QStringLiteral("host-started")};

/// More file operations than any scenario here makes; the loop ends long before.
constexpr int MaxFaultPoint = 300;

QMap<QString, QString> abortAfter(int operations)
{
    return {{QLatin1String(FaultSwitch::variableName), QString::number(operations)}};
}

} // namespace

/// Stops an update after every single file operation in turn and checks that the next start of
/// update.exe leaves the old installation or the new one, byte for byte, and nothing in between.
class TestApplyCrash : public QObject
{
    Q_OBJECT

private:
    using Stage = std::function<void(ScratchInstallation&)>;
    using Interrupt = std::function<ProcessResult(ScratchInstallation&, const QMap<QString, QString>&)>;

    static void prepare(ScratchInstallation& installation, const Stage& stage)
    {
        installation.writeConfig(ScratchInstallation::offlineConfig());
        stage(installation);
    }

    static ProcessResult runDriver(ScratchInstallation& installation,
                                   const QMap<QString, QString>& environment)
    {
        return ApplyDriver::run(installation, environment);
    }

    static ProcessResult runHelperFailure(ScratchInstallation& installation,
                                          const QMap<QString, QString>& environment)
    {
        return runProcessWithEnvironment(installation.updaterPath(),
                                         {QStringLiteral("updatehelper"), QStringLiteral("HelperFaile")},
                                         installation.path(), environment, 30000);
    }

    /// Runs `interrupt` stopped after 1, 2, ... file operations until it completes. After every
    /// stop, update.exe starts once; the installation must then equal `oldState` or `newState`.
    /// Returns how many fault points were tried.
    static int crashAtEveryPoint(const Stage& stage, const Interrupt& interrupt, const Snapshot& oldState,
                                 const Snapshot& newState)
    {
        for (int point = 1; point <= MaxFaultPoint; ++point) {
            ScratchInstallation installation;
            prepare(installation, stage);
            const ProcessResult interrupted = interrupt(installation, abortAfter(point));
            if (!interrupted.finished) {
                qWarning("fault point %d: the interrupted run did not end", point);
                return -1;
            }
            if (interrupted.exitCode != FaultSwitch::abortExitCode) {
                qInfo("stopped at each of %d fault points", point - 1);
                return point;
            }
            const ProcessResult next = installation.runUpdater({QStringLiteral("console")});
            if (!next.finished || next.exitCode != 0) {
                qWarning("fault point %d: the next run failed", point);
                return -1;
            }
            const Snapshot after = snapshotFiles(installation.path(), NotInstalled);
            if (after != oldState && after != newState) {
                qWarning("fault point %d: neither old (%s) nor new (%s)", point,
                         qPrintable(describeDifference(after, oldState)),
                         qPrintable(describeDifference(after, newState)));
                return -1;
            }
            if (installation.exists(QStringLiteral("backup"))) {
                qWarning("fault point %d: the backup outlived the recovery", point);
                return -1;
            }
        }
        return -1;
    }

    static Snapshot stateAfter(const Stage& stage, const Interrupt& run)
    {
        ScratchInstallation installation;
        prepare(installation, stage);
        run(installation, {});
        return snapshotFiles(installation.path(), NotInstalled);
    }

    static Snapshot stateBefore(const Stage& stage)
    {
        ScratchInstallation installation;
        prepare(installation, stage);
        return snapshotFiles(installation.path(), NotInstalled);
    }

    static void installOldVersion(ScratchInstallation& installation)
    {
        installation.writeFile(QStringLiteral("a.txt"), "old a");
        installation.writeFile(QStringLiteral("keep.txt"), "untouched");
        installation.writeFile(QStringLiteral("lib/x.dll"), "old x");
        installation.writeFile(QStringLiteral("lib/y.dll"), "old y");
        installation.writeFile(QStringLiteral("update/update.ini"), "old manifest");
        installation.writeFile(QStringLiteral("md5.txt"), "old list");
    }

private slots:
    void interruptedReplacement()
    {
        const Stage stage = [](ScratchInstallation& installation) {
            installOldVersion(installation);
            installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
            installation.writeFile(QStringLiteral("temp/added.txt"), "added");
            installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
            installation.writeFile(QStringLiteral("temp/lib/z.dll"), "added z");
            installation.writeFile(QStringLiteral("temp/plugins/p/p.dll"), "added plugin");
            installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest");
            installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "new list");
        };
        const Snapshot oldState = stateBefore(stage);
        const Snapshot newState = stateAfter(stage, runDriver);
        QCOMPARE(newState.value(QStringLiteral("a.txt")), QByteArray("new a"));
        QCOMPARE(newState.value(QStringLiteral("plugins/p/p.dll")), QByteArray("added plugin"));
        QCOMPARE(newState.value(QStringLiteral("md5.txt")), QByteArray("new list"));

        const int points = crashAtEveryPoint(stage, runDriver, oldState, newState);
        QVERIFY2(points > 10, "see the warnings above");
    }

    void interruptedRollbackAfterAFailedReplacement()
    {
        const Stage stage = [](ScratchInstallation& installation) {
            installOldVersion(installation);
            installation.writeFile(QStringLiteral("c.txt/inside"), "an installed folder");
            installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
            installation.writeFile(QStringLiteral("temp/b.txt"), "new b");
            installation.writeFile(QStringLiteral("temp/c.txt"), "cannot replace the folder");
            installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
            installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest");
        };
        const Snapshot oldState = stateBefore(stage);
        // b.txt is added before the failure and kept by the rollback, as rollbacks keep additions.
        Snapshot rolledBack = oldState;
        rolledBack.insert(QStringLiteral("b.txt"), "new b");
        QCOMPARE(stateAfter(stage, runDriver), rolledBack);

        const int points = crashAtEveryPoint(stage, runDriver, oldState, rolledBack);
        QVERIFY2(points > 10, "see the warnings above");
    }

    void interruptedRollbackOfAFailedSelfUpdate()
    {
        const Stage stage = [](ScratchInstallation& installation) {
            installOldVersion(installation);
            for (const QString& file : {QStringLiteral("a.txt"), QStringLiteral("lib/x.dll"),
                                        QStringLiteral("update/update.ini"), QStringLiteral("md5.txt")}) {
                installation.writeFile(QStringLiteral("backup/") + file, installation.readFile(file));
                installation.writeFile(file, "new " + file.toUtf8());
                installation.writeFile(QStringLiteral("temp/") + file, "new " + file.toUtf8());
            }
            installation.writeFile(QStringLiteral("temp/update.exe"), "new program");
        };
        const Snapshot replacedState = stateBefore(stage);
        const Snapshot oldState = stateAfter(stage, runHelperFailure);
        QCOMPARE(oldState.value(QStringLiteral("a.txt")), QByteArray("old a"));

        const int points = crashAtEveryPoint(stage, runHelperFailure, oldState, replacedState);
        QVERIFY2(points > 5, "see the warnings above");
    }
};

UPDATER_APPLY_DRIVER_TEST_MAIN(TestApplyCrash)
#include "testapplycrash.moc"
