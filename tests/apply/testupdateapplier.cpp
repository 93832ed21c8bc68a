#include "apply/applyjournal.h"
#include "apply/fileoperationmanager.h"
#include "apply/updateapplier.h"
#include "support/applyfixture.h"
#include "support/files.h"
#include "support/installsnapshot.h"
#include "support/logcapture.h"

#include <QtTest>

namespace {

const QStringList RunFolders = {QStringLiteral("temp"), QStringLiteral("backup")};

} // namespace

class TestUpdateApplier : public QObject
{
    Q_OBJECT

private:
    static CUpdateApplier applierFor(const ApplyFixture& fixture, CFileOperationManager& manager)
    {
        const ApplyFolders& folders = fixture.folders();
        return CUpdateApplier(folders.appDir, folders.tempDir, folders.backupDir, &manager);
    }

    /// An installation with a download that replaces two files, adds a file and a folder, and
    /// stages a new manifest.
    static void stageUpdate(const ApplyFixture& fixture)
    {
        fixture.write(QStringLiteral("a.txt"), "old a");
        fixture.write(QStringLiteral("lib/x.dll"), "old x");
        fixture.write(QStringLiteral("update/update.ini"), "old manifest");
        fixture.write(QStringLiteral("temp/a.txt"), "new a");
        fixture.write(QStringLiteral("temp/b-added.txt"), "added");
        fixture.write(QStringLiteral("temp/lib/x.dll"), "new x");
        fixture.write(QStringLiteral("temp/plugins/p.dll"), "added plugin");
        fixture.write(QStringLiteral("update/updateTmp.ini"), "new manifest");
    }

private slots:
    void runFolders_data()
    {
        QTest::addColumn<QString>("temp");
        QTest::addColumn<QString>("backup");
        QTest::addColumn<bool>("usable");

        QTest::newRow("sub-folders") << QStringLiteral("temp/") << QStringLiteral("backup/") << true;
        QTest::newRow("temp beside the installation")
            << QStringLiteral("../elsewhere/") << QStringLiteral("backup/") << false;
        QTest::newRow("backup beside the installation")
            << QStringLiteral("temp/") << QStringLiteral("../elsewhere/") << false;
        QTest::newRow("absolute temp")
            << QStringLiteral("/tmp/elsewhere/") << QStringLiteral("backup/") << false;
        QTest::newRow("drive letter")
            << QStringLiteral("C:/elsewhere/") << QStringLiteral("backup/") << false;
        QTest::newRow("backslashes climbing out")
            << QStringLiteral("temp\\..\\..\\x\\") << QStringLiteral("backup/") << false;
        QTest::newRow("link leading out") << QStringLiteral("outlink/") << QStringLiteral("backup/") << false;
        QTest::newRow("nested sub-folder")
            << QStringLiteral("run/temp/") << QStringLiteral("run/backup/") << true;
        QTest::newRow("empty temp") << QString() << QStringLiteral("backup/") << false;
        QTest::newRow("dot temp") << QStringLiteral("./") << QStringLiteral("backup/") << false;
        QTest::newRow("parent temp") << QStringLiteral("../") << QStringLiteral("backup/") << false;
        QTest::newRow("temp leads back") << QStringLiteral("temp/../") << QStringLiteral("backup/") << false;
        QTest::newRow("link to the installation")
            << QStringLiteral("link/") << QStringLiteral("backup/") << false;
        QTest::newRow("empty backup") << QStringLiteral("temp/") << QString() << false;
    }

    void runFolders()
    {
        QFETCH(QString, temp);
        QFETCH(QString, backup);
        QFETCH(bool, usable);
        if (temp.contains(QLatin1String("link"))) {
            SKIP_WITHOUT_FILE_LINKS();
        }
        ApplyFixture fixture;
        QVERIFY(QFile::link(fixture.folders().appDir, fixture.path(QStringLiteral("link"))));
        QVERIFY(QDir().mkpath(fixture.outside(QStringLiteral("elsewhere"))));
        QVERIFY(QFile::link(fixture.outside(QStringLiteral("elsewhere")),
                            fixture.path(QStringLiteral("outlink"))));
        const QString appDir = fixture.folders().appDir;
        auto slash = [](const QString& folder) {
            return folder.endsWith(QLatin1Char('/')) ? folder : folder + '/';
        };
        CFileOperationManager manager;
        CUpdateApplier applier(appDir, slash(appDir + temp), slash(appDir + backup), &manager);
        LogCapture log;

        QCOMPARE(applier.checkFolders(), usable);
        QCOMPARE(applier.lastError().isEmpty(), usable);
        if (!usable) {
            QCOMPARE(log.texts(QStringLiteral("ERROR")), QStringList{applier.lastError()});
            QVERIFY(applier.lastError().contains(QStringLiteral("拒绝更新")));
            // Neither step may start: the replacement would delete installed files.
            fixture.write(QStringLiteral("temp/a.txt"), "new");
            QVERIFY(!applier.backupFiles());
            QVERIFY(!applier.replaceFiles());
        }
    }

    void treesThatLeaveTheInstallation_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("installed folder links outside") << QStringLiteral("installed-link");
        QTest::newRow("downloaded folder links outside") << QStringLiteral("downloaded-link");
        QTest::newRow("download writes into the backup folder") << QStringLiteral("backup");
        QTest::newRow("download writes into the temporary folder") << QStringLiteral("temp");
        QTest::newRow("download overwrites the journal") << QStringLiteral("journal");
    }

    void treesThatLeaveTheInstallation()
    {
        QFETCH(QString, setup);
        if (setup.endsWith(QLatin1String("-link"))) {
            SKIP_WITHOUT_FILE_LINKS();
        }
        ApplyFixture fixture;
        fixture.write(QStringLiteral("a.txt"), "old a");
        fixture.write(QStringLiteral("temp/a.txt"), "new a");
        writeFile(fixture.outside(QStringLiteral("victim/system.dll")), "outside");
        if (setup == QLatin1String("installed-link")) {
            QVERIFY(QFile::link(fixture.outside(QStringLiteral("victim")),
                                fixture.path(QStringLiteral("plugins"))));
            fixture.write(QStringLiteral("temp/plugins/system.dll"), "evil");
        } else if (setup == QLatin1String("downloaded-link")) {
            QVERIFY(QFile::link(fixture.outside(QStringLiteral("victim")),
                                fixture.path(QStringLiteral("temp/data"))));
        } else if (setup == QLatin1String("journal")) {
            fixture.write(QStringLiteral("temp/") + QLatin1String(CApplyJournal::fileName),
                          "backup=../../victim/\n");
        } else {
            fixture.write(QStringLiteral("temp/") + setup + QStringLiteral("/a.txt"),
                          "overwrites a saved copy");
        }
        const auto installed = snapshotFiles(fixture.folders().appDir, {QStringLiteral("temp")});
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);
        LogCapture log;

        QVERIFY(!applier.backupFiles());
        QVERIFY(!applier.replaceFiles());
        QVERIFY(applier.lastError().contains(QStringLiteral("拒绝更新")));
        QCOMPARE(snapshotFiles(fixture.folders().appDir, {QStringLiteral("temp")}), installed);
        QCOMPARE(snapshotFiles(fixture.outside(QStringLiteral("victim"))).value(QStringLiteral("system.dll")),
                 QByteArray("outside"));
        QVERIFY(!fixture.exists(QStringLiteral("backup")));
        QVERIFY(!fixture.exists(QLatin1String(CApplyJournal::fileName)));
    }

    void successfulApplyLeavesNoJournal()
    {
        ApplyFixture fixture;
        stageUpdate(fixture);
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);

        QVERIFY(applier.backupFiles());
        QVERIFY(applier.replaceFiles());
        QVERIFY(!applier.hasInterruptedApply());
        QCOMPARE(fixture.read(QStringLiteral("a.txt")), QByteArray("new a"));
        QCOMPARE(fixture.read(QStringLiteral("update/update.ini")), QByteArray("new manifest"));
    }

    void interruptedApplyIsUndoneExactly()
    {
        SKIP_WITHOUT_FILE_LINKS();
        ApplyFixture fixture;
        stageUpdate(fixture);
        // Listed after the added file and the first replaced one: the replacement stops here.
        QVERIFY(QFile::link(fixture.path(QStringLiteral("nowhere")), fixture.path(QStringLiteral("c.txt"))));
        fixture.write(QStringLiteral("temp/c.txt"), "new c");
        const auto before = snapshotFiles(fixture.folders().appDir, RunFolders);
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);

        QVERIFY(applier.backupFiles());
        QVERIFY(!applier.replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("b-added.txt")), QByteArray("added"));
        QVERIFY(applier.hasInterruptedApply());
        CApplyJournal journal(fixture.folders().appDir);
        QVERIFY(journal.read());
        QCOMPARE(journal.backupFolder(), QStringLiteral("backup/"));
        QCOMPARE(journal.addedPaths(), (QStringList{QStringLiteral("b-added.txt"), QStringLiteral("plugins"),
                                                    QStringLiteral("plugins/p.dll")}));

        // What a later run does first: the installation is the old one again, byte for byte.
        CFileOperationManager laterManager;
        CUpdateApplier later = applierFor(fixture, laterManager);
        LogCapture log;
        QVERIFY(later.recoverInterruptedApply());
        QVERIFY(!later.hasInterruptedApply());
        const auto after = snapshotFiles(fixture.folders().appDir, RunFolders);
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
        QVERIFY(!fixture.exists(QStringLiteral("plugins")));
        QCOMPARE(log.texts(QStringLiteral("WARN")).value(0),
                 QStringLiteral("发现未完成的更新，从备份恢复安装:") +
                     fixture.path(QStringLiteral("backup/")));
        QCOMPARE(log.texts(QStringLiteral("INFO")).last(), QStringLiteral("已从备份恢复安装"));
    }

    void recoveryWithoutBackupKeepsTheInstallation()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("added.txt"), "kept");
        CApplyJournal journal(fixture.folders().appDir);
        QVERIFY(journal.write(QStringLiteral("backup/"), {QStringLiteral("added.txt")}));
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);

        QVERIFY(applier.recoverInterruptedApply());
        QCOMPARE(fixture.read(QStringLiteral("added.txt")), QByteArray("kept"));
        QVERIFY(!journal.exists());
    }

    void recoveryRefusesABackupThatIsTheInstallation()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("a.txt"), "installed");
        CApplyJournal journal(fixture.folders().appDir);
        QVERIFY(journal.write(QStringLiteral("./"), {QStringLiteral("a.txt")}));
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);
        LogCapture log;

        QVERIFY(!applier.recoverInterruptedApply());
        QCOMPARE(applier.lastError(),
                 QStringLiteral("备份目录无效，无法恢复未完成的更新:") + fixture.path(QStringLiteral("./")));
        QCOMPARE(fixture.read(QStringLiteral("a.txt")), QByteArray("installed"));
        QVERIFY(journal.exists());
    }

    void failedRecoveryKeepsJournalAndBackup()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("backup/a.txt"), "old a");
        fixture.write(QStringLiteral("a.txt/inside"), "cannot be replaced");
        CApplyJournal journal(fixture.folders().appDir);
        QVERIFY(journal.write(QStringLiteral("backup/"), {}));
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);
        LogCapture log;

        QVERIFY(!applier.recoverInterruptedApply());
        QCOMPARE(applier.lastError(), QStringLiteral("从备份恢复安装失败:删除目标文件失败: ") +
                                          fixture.path(QStringLiteral("a.txt")));
        QVERIFY(journal.exists());
        QVERIFY(fixture.exists(QStringLiteral("backup/a.txt")));
    }

    void selfUpdateCheck_data()
    {
        QTest::addColumn<QString>("staged");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("logged");
        QTest::newRow("top level") << QStringLiteral("temp/update.exe") << true
                                   << QStringLiteral("INFO:发现需要自我更新的update.exe文件:{t}update.exe");
        QTest::newRow("only in a sub-folder")
            << QStringLiteral("temp/bin/update.exe") << false
            << QStringLiteral("INFO:临时目录下没有update.exe文件，无需自我更新");
        QTest::newRow("no temporary folder")
            << QString() << false << QStringLiteral("ERROR:临时目录不存在:{t}");
    }

    void selfUpdateCheck()
    {
        QFETCH(QString, staged);
        QFETCH(bool, expected);
        QFETCH(QString, logged);
        ApplyFixture fixture;
        if (!staged.isEmpty()) {
            fixture.write(staged, "program");
        }
        CFileOperationManager manager;
        CUpdateApplier applier = applierFor(fixture, manager);
        LogCapture log;

        QCOMPARE(applier.checkSelfUpdate(), expected);
        const QString level = logged.section(QLatin1Char(':'), 0, 0);
        const QString text =
            logged.section(QLatin1Char(':'), 1).replace(QStringLiteral("{t}"), fixture.folders().tempDir);
        QCOMPARE(log.texts(level), QStringList{text});
    }
};

QTEST_GUILESS_MAIN(TestUpdateApplier)
#include "testupdateapplier.moc"
