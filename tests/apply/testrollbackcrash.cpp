#include "support/applydriver.h"
#include "support/crashloop.h"

#include <QtTest>

using namespace CrashLoop;

/// Stops rollbacks after every file operation in turn; the next start of update.exe must finish
/// them.
class TestRollbackCrash : public QObject
{
    Q_OBJECT

private slots:
    void interruptedRollbackAfterAFailedReplacement()
    {
        const Stage stage = stageFailingUpdate;
        // b.txt is added before the failure and removed by the rollback with everything else new.
        const Snapshot oldState = stateBefore(stage);
        QCOMPARE(stateAfter(stage, runDriver), oldState);

        const int points = crashAtEveryPoint(stage, runDriver, oldState, oldState);
        QVERIFY2(points > 10, "see the warnings above");
    }

    void interruptedRollbackOfAFailedSelfUpdate()
    {
        const Stage stage = stageFailedSelfUpdate;
        const Snapshot replacedState = stateBefore(stage);
        const Snapshot oldState = stateAfter(stage, runHelperFailure);
        QCOMPARE(oldState.value(QStringLiteral("a.txt")), QByteArray("old a"));

        const int points = crashAtEveryPoint(stage, runHelperFailure, oldState, replacedState);
        QVERIFY2(points > 5, "see the warnings above");
    }
};

UPDATER_APPLY_DRIVER_TEST_MAIN(TestRollbackCrash)
#include "testrollbackcrash.moc"
