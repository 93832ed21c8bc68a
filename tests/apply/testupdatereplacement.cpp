#include "apply/updatereplacement.h"
#include "support/applyfixture.h"
#include "support/files.h"
#include "support/installsnapshot.h"
#include "support/logcapture.h"

#include <QtTest>

class TestUpdateReplacement : public QObject
{
    Q_OBJECT

private slots:
    void emptyDownloadWarnsAboutBothStagedFiles()
    {
        ApplyFixture fixture;
        LogCapture log;
        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(log.texts(QStringLiteral("WARN")),
                 (QStringList{QStringLiteral("临时update.ini文件不存在:") +
                                  fixture.path(QStringLiteral("update/updateTmp.ini")),
                              QStringLiteral("临时md5.txt文件不存在:") +
                                  fixture.path(QStringLiteral("update/md5Tmp.txt"))}));
        QCOMPARE(log.texts(QStringLiteral("INFO")),
                 (QStringList{QStringLiteral("开始执行文件替换操作"), QStringLiteral("文件替换操作完成")}));
    }

    void replacedProgramKeepsItsPermissions()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows files have no execute permission bits");
#endif
        ApplyFixture fixture;
        fixture.write(QStringLiteral("bin/app.sh"), "#!/bin/sh\necho old\n");
        const QFile::Permissions runnable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                            QFile::ExeOther;
        QVERIFY(QFile::setPermissions(fixture.path(QStringLiteral("bin/app.sh")), runnable));
        fixture.write(QStringLiteral("temp/bin/app.sh"), "#!/bin/sh\necho new\n");
        fixture.write(QStringLiteral("temp/bin/added.sh"), "#!/bin/sh\n");
        LogCapture log;

        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("bin/app.sh")), QByteArray("#!/bin/sh\necho new\n"));
        QCOMPARE(QFile::permissions(fixture.path(QStringLiteral("bin/app.sh"))) & runnable, runnable);
        QCOMPARE(QFile::permissions(fixture.path(QStringLiteral("bin/added.sh"))),
                 QFile::permissions(fixture.path(QStringLiteral("temp/bin/added.sh"))));
    }

    void replacesFilesAndCreatesNewFolders()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("app.bin"), "old");
        fixture.write(QStringLiteral("lib/a.dll"), "old a");
        fixture.write(QStringLiteral("lib/keep.dll"), "keep");
        fixture.write(QStringLiteral("temp/app.bin"), "new");
        fixture.write(QStringLiteral("temp/lib/a.dll"), "new a");
        fixture.makeFolder(QStringLiteral("temp/plugins/empty"));
        fixture.write(QStringLiteral("temp/plugins/p.dll"), "plugin");
        LogCapture log;

        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("app.bin")), QByteArray("new"));
        QCOMPARE(fixture.read(QStringLiteral("lib/a.dll")), QByteArray("new a"));
        QCOMPARE(fixture.read(QStringLiteral("lib/keep.dll")), QByteArray("keep"));
        QCOMPARE(fixture.read(QStringLiteral("plugins/p.dll")), QByteArray("plugin"));
        QVERIFY(fixture.isFolder(QStringLiteral("plugins/empty")));
        // The download stays in the temporary folder.
        QCOMPARE(fixture.read(QStringLiteral("temp/app.bin")), QByteArray("new"));
        QVERIFY(log.texts(QStringLiteral("INFO"))
                    .contains(QStringLiteral("文件复制成功:") + fixture.path(QStringLiteral("temp/app.bin")) +
                              QStringLiteral("->") + fixture.path(QStringLiteral("app.bin"))));
    }

    void topLevelUpdateExeStaysInTheTemporaryFolder()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("update.exe"), "running");
        fixture.write(QStringLiteral("temp/update.exe"), "new program");
        fixture.write(QStringLiteral("temp/tools/update.exe"), "ordinary file");

        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("update.exe")), QByteArray("running"));
        QCOMPARE(fixture.read(QStringLiteral("temp/update.exe")), QByteArray("new program"));
        QCOMPARE(fixture.read(QStringLiteral("tools/update.exe")), QByteArray("ordinary file"));
    }

    void specialNamesAndStagedFiles_data()
    {
        QTest::addColumn<bool>("staged");
        QTest::newRow("download only") << false;
        QTest::newRow("staged files win") << true;
    }

    void specialNamesAndStagedFiles()
    {
        QFETCH(bool, staged);
        ApplyFixture fixture;
        fixture.write(QStringLiteral("update/update.ini"), "old manifest");
        fixture.write(QStringLiteral("md5.txt"), "old list");
        fixture.write(QStringLiteral("temp/update.ini"), "downloaded manifest");
        fixture.write(QStringLiteral("temp/md5.txt"), "downloaded list");
        if (staged) {
            fixture.write(QStringLiteral("update/updateTmp.ini"), "staged manifest");
            fixture.write(QStringLiteral("update/md5Tmp.txt"), "staged list");
        }

        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("update/update.ini")),
                 staged ? QByteArray("staged manifest") : QByteArray("downloaded manifest"));
        QCOMPARE(fixture.read(QStringLiteral("md5.txt")),
                 staged ? QByteArray("staged list") : QByteArray("downloaded list"));
        // Never installed at the top of the installation.
        QVERIFY(!fixture.exists(QStringLiteral("update.ini")));
        if (staged) {
            QCOMPARE(fixture.read(QStringLiteral("update/updateTmp.ini")), QByteArray("staged manifest"));
        }
    }

    void failureStopsAtTheFailingEntry()
    {
        SKIP_WITHOUT_FILE_LINKS();
        ApplyFixture fixture;
        for (const char* name : {"a.txt", "b.txt", "d.txt"}) {
            fixture.write(QLatin1String(name), "old");
            fixture.write(QStringLiteral("temp/") + QLatin1String(name), "new");
        }
        // Listed third (case ignored): a link to nothing, which a new file is never written through.
        QVERIFY(QFile::link(fixture.path(QStringLiteral("nowhere")), fixture.path(QStringLiteral("C.txt"))));
        fixture.write(QStringLiteral("temp/C.txt"), "new");
        LogCapture log;

        QVERIFY(!CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("a.txt")), QByteArray("new"));
        QCOMPARE(fixture.read(QStringLiteral("b.txt")), QByteArray("new"));
        QVERIFY(!fixture.exists(QStringLiteral("nowhere")));
        QCOMPARE(fixture.read(QStringLiteral("d.txt")), QByteArray("old"));
        const QString source = fixture.path(QStringLiteral("temp/C.txt"));
        const QString target = fixture.path(QStringLiteral("C.txt"));
        QCOMPARE(log.texts(QStringLiteral("ERROR")),
                 (QStringList{QStringLiteral("文件复制失败:") + source + QStringLiteral("->") + target,
                              QStringLiteral("替换文件失败:") + source + QStringLiteral("->") + target}));
    }

    void fileAndFolderTradePlaces()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("plugins"), "a file, not a folder");
        fixture.write(QStringLiteral("temp/plugins/p.dll"), "new");
        fixture.write(QStringLiteral("docs/old.txt"), "a folder, not a file");
        fixture.write(QStringLiteral("temp/docs"), "new docs");

        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QCOMPARE(fixture.read(QStringLiteral("plugins/p.dll")), QByteArray("new"));
        QCOMPARE(fixture.read(QStringLiteral("docs")), QByteArray("new docs"));
    }

    void missingSourceFolder()
    {
        ApplyFixture fixture;
        LogCapture log;
        const QString source = fixture.path(QStringLiteral("temp/gone"));
        QVERIFY(!CUpdateReplacement(fixture.folders())
                     .copyDirectory(source, fixture.path(QStringLiteral("gone"))));
        QCOMPARE(log.texts(QStringLiteral("ERROR")),
                 QStringList{QStringLiteral("源目录不存在，无法拷贝:") + source});
    }

    void failedSpecialFileLogsThreeLines()
    {
        SKIP_WITHOUT_FILE_LINKS();
        ApplyFixture fixture;
        fixture.write(QStringLiteral("update/updateTmp.ini"), "staged manifest");
        QVERIFY(QFile::link(fixture.path(QStringLiteral("nowhere")),
                            fixture.path(QStringLiteral("update/update.ini"))));
        LogCapture log;

        QVERIFY(!CUpdateReplacement(fixture.folders()).replaceFiles());
        const QString staged = fixture.path(QStringLiteral("update/updateTmp.ini"));
        const QString target = fixture.path(QStringLiteral("update/update.ini"));
        QCOMPARE(log.texts(QStringLiteral("ERROR")),
                 (QStringList{QStringLiteral("文件复制失败:") + staged + QStringLiteral("->") + target,
                              QStringLiteral("替换update.ini失败:") + staged + QStringLiteral("->") + target,
                              QStringLiteral("替换特殊文件失败")}));
    }

    void secondRunGivesTheSameInstallation()
    {
        ApplyFixture fixture;
        fixture.write(QStringLiteral("app.bin"), "old");
        fixture.write(QStringLiteral("temp/app.bin"), "new");
        fixture.write(QStringLiteral("temp/lib/x/y.dll"), "new y");
        fixture.write(QStringLiteral("update/updateTmp.ini"), "staged");

        CUpdateReplacement replacement(fixture.folders());
        QVERIFY(replacement.replaceFiles());
        const auto first = snapshotFiles(fixture.folders().appDir);
        QVERIFY(replacement.replaceFiles());
        QCOMPARE(snapshotFiles(fixture.folders().appDir), first);
    }

    void copyKeepsPermissions()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows files have no execute permission bits");
#endif
        ApplyFixture fixture;
        fixture.write(QStringLiteral("temp/tool.sh"), "#!/bin/sh\n");
        const QFileDevice::Permissions executable =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ExeUser;
        QVERIFY(QFile::setPermissions(fixture.path(QStringLiteral("temp/tool.sh")), executable));
        QVERIFY(CUpdateReplacement(fixture.folders()).replaceFiles());
        QVERIFY(QFileInfo(fixture.path(QStringLiteral("tool.sh"))).permission(QFileDevice::ExeOwner));
    }
};

QTEST_GUILESS_MAIN(TestUpdateReplacement)
#include "testupdatereplacement.moc"
