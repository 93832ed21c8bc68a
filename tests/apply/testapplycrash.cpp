#include "support/applydriver.h"
#include "support/crashloop.h"

#include <QtTest>

using namespace CrashLoop;

/// Stops a backup and replacement after every file operation in turn; the next start of update.exe
/// must leave the old installation or the new one.
class TestApplyCrash : public QObject
{
    Q_OBJECT

private slots:
    void interruptedReplacement()
    {
        const Stage stage = stageUpdate;
        const Snapshot oldState = stateBefore(stage);
        const Snapshot newState = stateAfter(stage, runDriver);
        QCOMPARE(newState.value(QStringLiteral("a.txt")), QByteArray("new a"));
        QCOMPARE(newState.value(QStringLiteral("plugins/p/p.dll")), QByteArray("added plugin"));
        QCOMPARE(newState.value(QStringLiteral("md5.txt")), QByteArray("new list"));

        const int points = crashAtEveryPoint(stage, runDriver, oldState, newState);
        QVERIFY2(points > 10, "see the warnings above");
    }
};

UPDATER_APPLY_DRIVER_TEST_MAIN(TestApplyCrash)
#include "testapplycrash.moc"
