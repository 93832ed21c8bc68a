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
        const Stage stage = [](ScratchInstallation& installation) {
            installOldVersion(installation);
            // A link to nothing cannot be replaced: a new file is never written through a link.
            QFile::link(installation.filePath(QStringLiteral("nowhere")),
                        installation.filePath(QStringLiteral("c.txt")));
            installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
            installation.writeFile(QStringLiteral("temp/b.txt"), "new b");
            installation.writeFile(QStringLiteral("temp/c.txt"), "cannot replace the link");
            installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
            installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest");
        };
        // b.txt is added before the failure and removed by the rollback with everything else new.
        const Snapshot oldState = stateBefore(stage);
        QCOMPARE(stateAfter(stage, runDriver), oldState);

        const int points = crashAtEveryPoint(stage, runDriver, oldState, oldState);
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

UPDATER_APPLY_DRIVER_TEST_MAIN(TestRollbackCrash)
#include "testrollbackcrash.moc"
