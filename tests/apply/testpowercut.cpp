#include "apply/applyjournal.h"
#include "apply/faultswitch.h"
#include "support/applydriver.h"
#include "support/crashloop.h"
#include "support/powercut.h"

#include <QtTest>

using namespace CrashLoop;

namespace {

void stageNestedBackup(ScratchInstallation& installation)
{
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    config.insert(QStringLiteral("Paths/Backup"), QStringLiteral("run/deep/backup/"));
    installation.writeConfig(config);
    stageUpdate(installation);
}

/// A download that brings a file where a folder is installed and a folder where a file is.
void stageSwappedKinds(ScratchInstallation& installation)
{
    installOldVersion(installation);
    installation.writeFile(QStringLiteral("docs/readme.txt"), "old readme");
    installation.writeFile(QStringLiteral("docs/.hidden"), "old hidden");
    installation.writeFile(QStringLiteral("settings"), "old settings file");
    installation.writeFile(QStringLiteral("temp/docs"), "docs as one file");
    installation.writeFile(QStringLiteral("temp/settings/main.ini"), "settings as a folder");
    installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
}

void stageSelfUpdate(ScratchInstallation& installation)
{
    stageUpdate(installation);
    installation.writeFile(QStringLiteral("temp/update.exe"), "new program");
}

/// What a run that died in the middle of its replacement left: some files replaced, some added,
/// the backup whole and the journal naming it.
void stageInterruptedApply(ScratchInstallation& installation)
{
    installOldVersion(installation);
    saveInBackup(installation);
    installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
    installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
    installation.writeFile(QStringLiteral("temp/plugins/p/p.dll"), "added plugin");
    installation.writeFile(QStringLiteral("a.txt"), "new a");
    installation.writeFile(QStringLiteral("plugins/p/p.dll"), "added plugin");
    CApplyJournal(installation.path() + QLatin1Char('/'))
        .write(QStringLiteral("backup/"),
               {QStringLiteral("plugins/p/p.dll"), QStringLiteral("plugins/p"), QStringLiteral("plugins")});
}

/// A recovery killed after it copied a saved file back but before it flushed it, then started
/// again: what the first one wrote may still be in the cache only.
ProcessResult runKilledRecoveryThenAgain(ScratchInstallation& installation,
                                         const QMap<QString, QString>& environment)
{
    QMap<QString, QString> killed = environment;
    // Three removals of added paths, then the removal and the copy of a.txt.
    killed.insert(QLatin1String(FaultSwitch::variableName), QStringLiteral("5"));
    runConsole(installation, killed);
    return runConsole(installation, environment);
}

struct Scenario
{
    Stage stage;
    Interrupt run;
    /// False when the staged installation is itself half replaced: only the run's end will do.
    bool stagedIsWhole;
};

} // namespace

/// Power cuts at every flush of an apply, a rollback, a self-update hand-over and a recovery: the
/// next start of update.exe must find the old installation or the new one.
class TestPowerCut : public QObject
{
    Q_OBJECT

private slots:
    void powerCutAtEveryFlush_data()
    {
        QTest::addColumn<int>("scenario");
        QTest::newRow("backup and replacement") << 0;
        QTest::newRow("backup in a nested folder") << 1;
        QTest::newRow("self-update hand-over") << 2;
        QTest::newRow("files and folders trading places") << 7;
        QTest::newRow("rollback of a failed replacement") << 3;
        QTest::newRow("rollback of a failed self-update") << 4;
        QTest::newRow("finishing a self-update") << 5;
        QTest::newRow("recovery of an interrupted apply") << 6;
        QTest::newRow("recovery killed, then recovered again") << 8;
    }

    void powerCutAtEveryFlush()
    {
        QFETCH(int, scenario);
        const Scenario scenarios[] = {
            {stageUpdate, runDriver, true},
            {stageNestedBackup, runDriver, true},
            {stageSelfUpdate, runDriver, true},
            {stageFailingUpdate, runDriver, true},
            {stageFailedSelfUpdate, runHelperFailure, true},
            {stageFailedSelfUpdate, runHelperSuccess, true},
            {stageInterruptedApply, runConsole, false},
            {stageSwappedKinds, runDriver, true},
            {stageInterruptedApply, runKilledRecoveryThenAgain, false},
        };
        const Scenario& chosen = scenarios[scenario];
        const Snapshot newState = stateAfter(chosen.stage, chosen.run);
        const Snapshot oldState = chosen.stagedIsWhole ? stateBefore(chosen.stage) : newState;
        if (!chosen.stagedIsWhole) {
            QCOMPARE(newState, stateBefore(installOldVersion));
        }

        const PowerCut::Outcome outcome =
            PowerCut::checkEveryPowerCut(chosen.stage, chosen.run, oldState, newState);
        QVERIFY2(outcome.states > 0, "see the warnings above");
        // A run whose record stayed empty would leave one disk, the staged one, and prove nothing.
        QVERIFY(outcome.flushPoints > 2);
    }
};

UPDATER_APPLY_DRIVER_TEST_MAIN(TestPowerCut)
#include "testpowercut.moc"
