#include "apply/updatebackup.h"
#include "support/applyfixture.h"
#include "support/logcapture.h"

#include <QDirIterator>
#include <QtTest>

class TestUpdateBackup : public QObject
{
    Q_OBJECT

private:
    /// Files and folders below the backup folder, relative to it, sorted.
    static QStringList backupEntries(const ApplyFixture& fixture)
    {
        QStringList entries;
        const QDir base(fixture.folders().backupDir);
        QDirIterator it(fixture.folders().backupDir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            entries << base.relativeFilePath(path) +
                           (QFileInfo(path).isDir() ? QStringLiteral("/") : QString());
        }
        entries.sort();
        return entries;
    }

private slots:
    void onlyNewFilesLeaveEmptyMirrors()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("temp/new.txt"), "new");
        fixture.write(QStringLiteral("temp/plugins/deep/new.dll"), "new");
        LogCapture log;

        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QCOMPARE(backupEntries(fixture),
                 (QStringList{QStringLiteral("plugins/"), QStringLiteral("plugins/deep/")}));
        QCOMPARE(log.texts(QStringLiteral("INFO")),
                 (QStringList{QStringLiteral("开始执行文件备份操作"), QStringLiteral("文件备份操作完成")}));
    }

    void savesInstalledCounterpartsWithTheirLayout()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("app.bin"), "old app");
        fixture.write(QStringLiteral("lib/a.dll"), "old a");
        fixture.write(QStringLiteral("lib/keep.dll"), "not in the update");
        fixture.write(QStringLiteral("temp/app.bin"), "new app");
        fixture.write(QStringLiteral("temp/lib/a.dll"), "new a");

        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QCOMPARE(backupEntries(fixture), (QStringList{QStringLiteral("app.bin"), QStringLiteral("lib/"),
                                                      QStringLiteral("lib/a.dll")}));
        QCOMPARE(fixture.read(QStringLiteral("backup/app.bin")), QByteArray("old app"));
        QCOMPARE(fixture.read(QStringLiteral("backup/lib/a.dll")), QByteArray("old a"));
    }

    void skipsTopLevelNamesOnly()
    {
        ApplyFixture fixture;
        for (const char* name : {"update.exe", "update.ini", "md5.txt"}) {
            const QString file = QLatin1String(name);
            fixture.write(file, "installed top " + QByteArray(name));
            fixture.write(QStringLiteral("sub/") + file, "installed sub " + QByteArray(name));
            fixture.write(QStringLiteral("temp/") + file, "new");
            fixture.write(QStringLiteral("temp/sub/") + file, "new");
        }
        fixture.write(QStringLiteral("update/update.ini"), "installed manifest");

        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QCOMPARE(
            backupEntries(fixture),
            (QStringList{QStringLiteral("md5.txt"), QStringLiteral("sub/"), QStringLiteral("sub/md5.txt"),
                         QStringLiteral("sub/update.exe"), QStringLiteral("sub/update.ini"),
                         QStringLiteral("update/"), QStringLiteral("update/update.ini")}));
        // The manifest comes from the "update/" sub-folder, not from the top of the installation.
        QCOMPARE(fixture.read(QStringLiteral("backup/update/update.ini")), QByteArray("installed manifest"));
        QCOMPARE(fixture.read(QStringLiteral("backup/md5.txt")), QByteArray("installed top md5.txt"));
        QCOMPARE(fixture.read(QStringLiteral("backup/sub/update.exe")),
                 QByteArray("installed sub update.exe"));
    }

    void specialFilesLogBothPaths()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("update/update.ini"), "manifest");
        fixture.write(QStringLiteral("md5.txt"), "list");
        LogCapture log;

        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        const QStringList infos = log.texts(QStringLiteral("INFO"));
        QVERIFY(infos.contains(QStringLiteral("备份update.ini成功:") +
                               fixture.path(QStringLiteral("update/update.ini")) + QStringLiteral("->") +
                               fixture.path(QStringLiteral("backup/update/update.ini"))));
        QVERIFY(infos.contains(QStringLiteral("备份md5.txt成功:") + fixture.path(QStringLiteral("md5.txt")) +
                               QStringLiteral("->") + fixture.path(QStringLiteral("backup/md5.txt"))));
    }

    void updateFolderInDownloadSavesTheManifestOnce()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("update/update.ini"), "installed manifest");
        fixture.write(QStringLiteral("md5.txt"), "installed list");
        fixture.write(QStringLiteral("temp/update/update.ini"), "new manifest");
        LogCapture log;

        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QVERIFY(log.texts(QStringLiteral("ERROR")).isEmpty());
        QCOMPARE(fixture.read(QStringLiteral("backup/update/update.ini")), QByteArray("installed manifest"));
        QCOMPARE(fixture.read(QStringLiteral("backup/md5.txt")), QByteArray("installed list"));
    }

    void missingTempFolderStillSavesSpecialFiles()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("md5.txt"), "list");
        LogCapture log;

        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QCOMPARE(log.texts(QStringLiteral("ERROR")),
                 QStringList{QStringLiteral("临时目录不存在:") + fixture.folders().tempDir});
        QCOMPARE(backupEntries(fixture), QStringList{QStringLiteral("md5.txt")});
    }

    void noSpecialFilesInstalledIsFine()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("temp/a.txt"), "new");
        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QVERIFY(backupEntries(fixture).isEmpty());
    }

    void hiddenDownloadsAreNotListed()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral(".settings"), "installed hidden");
        fixture.write(QStringLiteral("temp/.settings"), "new hidden");
        QVERIFY(CUpdateBackup(fixture.folders()).backupFiles());
        QVERIFY(backupEntries(fixture).isEmpty());
    }

    void failedOrdinaryCopyFailsTheBackup()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("a.txt"), "old a");
        fixture.write(QStringLiteral("b.txt"), "old b");
        fixture.write(QStringLiteral("temp/a.txt"), "new a");
        fixture.write(QStringLiteral("temp/b.txt"), "new b");
        // A copy never overwrites: an existing destination makes it fail. Replacing a.txt now
        // would leave no way back to "old a".
        fixture.write(QStringLiteral("backup/a.txt"), "stale");
        LogCapture log;

        QVERIFY(!CUpdateBackup(fixture.folders()).backupFiles());
        QCOMPARE(fixture.read(QStringLiteral("backup/a.txt")), QByteArray("stale"));
        QCOMPARE(fixture.read(QStringLiteral("backup/b.txt")), QByteArray("old b"));
        QCOMPARE(
            log.texts(QStringLiteral("ERROR")),
            (QStringList{QStringLiteral("备份文件失败:") + fixture.path(QStringLiteral("a.txt")) +
                             QStringLiteral("->") + fixture.folders().backupDir + QStringLiteral("a.txt"),
                         QStringLiteral("文件备份不完整，不替换任何文件")}));
    }

    void vanishedDownloadFolderIsReported()
    {
        ApplyFixture fixture;
        LogCapture log;
        const QString listed = fixture.path(QStringLiteral("temp/gone"));
        CUpdateBackup(fixture.folders())
            .backupDirectory(listed, fixture.path(QStringLiteral("gone")),
                             fixture.path(QStringLiteral("backup/gone")));
        QCOMPARE(log.texts(QStringLiteral("ERROR")),
                 QStringList{QStringLiteral("源目录不存在，无法备份:") + listed});
        QVERIFY(!fixture.exists(QStringLiteral("backup/gone")));
    }
};

QTEST_GUILESS_MAIN(TestUpdateBackup)
#include "testupdatebackup.moc"
