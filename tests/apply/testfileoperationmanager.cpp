#include "apply/fileoperationmanager.h"
#include "support/applyfixture.h"
#include "support/logcapture.h"

#include <QtTest>

class TestFileOperationManager : public QObject
{
    Q_OBJECT

private slots:
    void restoresEveryTopLevelEntry()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("backup/a.txt"), "old a");
        fixture.write(QStringLiteral("backup/lib/x.dll"), "old x");
        fixture.write(QStringLiteral("backup/update/update.ini"), "old manifest");
        fixture.write(QStringLiteral("backup/md5.txt"), "old list");
        fixture.write(QStringLiteral("a.txt"), "new a");
        fixture.write(QStringLiteral("lib/x.dll"), "new x");
        fixture.write(QStringLiteral("lib/added.dll"), "added by the update");
        fixture.write(QStringLiteral("update/update.ini"), "new manifest");
        fixture.write(QStringLiteral("update/updateTmp.ini"), "staged manifest");
        fixture.write(QStringLiteral("update/md5Tmp.txt"), "staged list");
        fixture.write(QStringLiteral("md5.txt"), "new list");
        LogCapture log;

        CFileOperationManager manager;
        const QString backup = fixture.path(QStringLiteral("backup"));
        QVERIFY(manager.restoreFromBackup(backup, fixture.folders().appDir));
        QCOMPARE(fixture.read(QStringLiteral("a.txt")), QByteArray("old a"));
        QCOMPARE(fixture.read(QStringLiteral("lib/x.dll")), QByteArray("old x"));
        QCOMPARE(fixture.read(QStringLiteral("lib/added.dll")), QByteArray("added by the update"));
        QCOMPARE(fixture.read(QStringLiteral("update/update.ini")), QByteArray("old manifest"));
        QCOMPARE(fixture.read(QStringLiteral("update/updateTmp.ini")), QByteArray("staged manifest"));
        QCOMPARE(fixture.read(QStringLiteral("update/md5Tmp.txt")), QByteArray("staged list"));
        QCOMPARE(fixture.read(QStringLiteral("md5.txt")), QByteArray("old list"));
        QVERIFY(manager.lastError().isEmpty());
        // One line per top-level entry, folders included, in case-ignoring name order.
        const QString install = fixture.folders().appDir;
        QStringList expected;
        for (const char* name : {"a.txt", "lib", "md5.txt", "update"}) {
            expected << QStringLiteral("回退文件成功:") + backup + QLatin1Char('/') + QLatin1String(name) +
                            QStringLiteral("->") + install + QLatin1String(name);
        }
        QCOMPARE(log.texts(QStringLiteral("INFO")), expected);
    }

    void missingBackupRestoresNothing()
    {
        ApplyFixture fixture;
        CFileOperationManager manager;
        QVERIFY(manager.restoreFromBackup(fixture.path(QStringLiteral("nothing")), fixture.folders().appDir));
    }

    void failureTexts_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("expected");

        QTest::newRow("installed file is a folder") << QStringLiteral("a.txt/inside") << QStringList()
                                                    << QStringLiteral("删除目标文件失败: {i}a.txt");
        QTest::newRow("file inside a restored folder") << QStringLiteral("lib/x.dll/inside") << QStringList()
                                                       << QStringLiteral("回退目录失败: {b}/lib -> {i}lib");
        QTest::newRow("parent is a file")
            << QStringLiteral("sub") << QStringList{QStringLiteral("sub/deep/y.txt")}
            << QStringLiteral("无法创建目标文件目录: {i}sub/deep");
    }

    void failureTexts()
    {
        QFETCH(QString, blocker);
        QFETCH(QStringList, names);
        QFETCH(QString, expected);
        ApplyFixture fixture;
        fixture.write(QStringLiteral("backup/a.txt"), "old a");
        fixture.write(QStringLiteral("backup/lib/x.dll"), "old x");
        fixture.write(QStringLiteral("backup/sub/deep/y.txt"), "old y");
        fixture.write(blocker, "in the way");

        CFileOperationManager manager;
        const QString backup = fixture.path(QStringLiteral("backup"));
        QVERIFY(!manager.restoreFromBackup(backup, fixture.folders().appDir, names));
        const QString text = QString(expected)
                                 .replace(QStringLiteral("{b}"), backup)
                                 .replace(QStringLiteral("{i}"), fixture.folders().appDir);
        QCOMPARE(manager.lastError(), text);
    }

    void restoreDirectoryOverwritesAndKeepsExtras()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("backup/lib/a.dll"), "old a");
        fixture.write(QStringLiteral("backup/lib/Deep/b.dll"), "old b");
        fixture.write(QStringLiteral("lib/a.dll"), "new a");
        fixture.write(QStringLiteral("lib/extra.dll"), "extra");

        CFileOperationManager manager;
        QVERIFY(manager.restoreDirectory(fixture.path(QStringLiteral("backup/lib")),
                                         fixture.path(QStringLiteral("lib"))));
        QCOMPARE(fixture.read(QStringLiteral("lib/a.dll")), QByteArray("old a"));
        QCOMPARE(fixture.read(QStringLiteral("lib/Deep/b.dll")), QByteArray("old b"));
        QCOMPARE(fixture.read(QStringLiteral("lib/extra.dll")), QByteArray("extra"));
        QVERIFY(!manager.restoreDirectory(fixture.path(QStringLiteral("backup/none")),
                                          fixture.path(QStringLiteral("none"))));
    }
};

QTEST_GUILESS_MAIN(TestFileOperationManager)
#include "testfileoperationmanager.moc"
