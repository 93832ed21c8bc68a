// The file-system primitives of the apply steps at their edges: links pointing out, dangling
// links, hidden entries, case, and destinations that are already taken.
#include "apply/filesystem.h"
#include "apply/syncbatch.h"
#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestFileSystem : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void listEntries_data();
    void listEntries();
    void copyFile_data();
    void copyFile();
    void syncBatch();
    void makePath_data();
    void makePath();
    void writeFileAtomically_data();
    void writeFileAtomically();
    void parentFolder_data();
    void parentFolder();

private:
    QString path(const QString& relative) const { return m_dir.filePath(relative); }

    QTemporaryDir m_dir;
};

void TestFileSystem::initTestCase()
{
    // list/ holds names that differ in case, a hidden file, a folder, a link pointing out and a
    // dangling link; outside/ is where links point to.
    QVERIFY(m_dir.isValid());
    for (const char* name : {"list/a", "list/B", "list/c", "list/.hidden", "list/folder/x", "src/data",
                             "taken/data", "outside/secret"}) {
        QVERIFY(writeFile(path(QLatin1String(name)), name));
    }
    QVERIFY(QFile::link(path(QStringLiteral("outside/secret")), path(QStringLiteral("list/out"))));
    QVERIFY(QFile::link(path(QStringLiteral("outside/none")), path(QStringLiteral("list/dangling"))));
    QVERIFY(QFile::link(path(QStringLiteral("outside/secret")), path(QStringLiteral("taken/out"))));
    QVERIFY(QFile::link(path(QStringLiteral("outside/missing")), path(QStringLiteral("taken/dangling"))));
}

void TestFileSystem::listEntries_data()
{
    QTest::addColumn<Qt::CaseSensitivity>("sorting");
    QTest::addColumn<QStringList>("names");

    // No hidden entry, no dangling link; a link to a file lists like the file.
    QTest::newRow("case-sensitive order") << Qt::CaseSensitive << QStringList{"B", "a", "c", "folder", "out"};
    QTest::newRow("case-blind order") << Qt::CaseInsensitive << QStringList{"a", "B", "c", "folder", "out"};
}

void TestFileSystem::listEntries()
{
    QFETCH(Qt::CaseSensitivity, sorting);
    QFETCH(QStringList, names);
    QStringList listed;
    for (const QFileInfo& entry : FileSystem::listEntries(path(QStringLiteral("list")), sorting)) {
        listed.append(entry.fileName());
    }
    QCOMPARE(listed, names);
    QVERIFY(FileSystem::listEntries(path(QStringLiteral("missing")), sorting).isEmpty());
}

void TestFileSystem::copyFile_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<bool>("copied");
    QTest::addColumn<bool>("batched");

    QTest::newRow("plain copy") << "src/data"
                                << "copies/plain" << true << false;
    QTest::newRow("copy in a batch") << "src/data"
                                     << "copies/batched" << true << true;
    QTest::newRow("refused copy in a batch") << "src/data"
                                             << "taken/data" << false << true;
    QTest::newRow("destination exists") << "src/data"
                                        << "taken/data" << false << false;
    QTest::newRow("destination is a link pointing out") << "src/data"
                                                        << "taken/out" << false << false;
    QTest::newRow("destination is a dangling link") << "src/data"
                                                    << "taken/dangling" << false << false;
    QTest::newRow("destination folder missing") << "src/data"
                                                << "nowhere/data" << false << false;
    QTest::newRow("source missing") << "src/none"
                                    << "copies/none" << false << false;
    QTest::newRow("source is a folder") << "list/folder"
                                        << "copies/folder" << false << false;
    // Links are copied as links, never followed: even one that leads nowhere.
    QTest::newRow("source is a dangling link") << "list/dangling"
                                               << "copies/dangling" << true << false;
}

void TestFileSystem::copyFile()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(bool, copied);
    QFETCH(bool, batched);
    QDir().mkpath(path(QStringLiteral("copies")));
    const QByteArray before = readFile(path(destination));

    std::unique_ptr<SyncBatch> batch(batched ? new SyncBatch : nullptr);
    QCOMPARE(FileSystem::copyFile(path(source), path(destination)), copied);
    if (batch) {
        QVERIFY(batch->flush());
        QVERIFY(batch->failedPath().isEmpty());
    }
    if (copied) {
        QCOMPARE(readFile(path(destination)), readFile(path(source)));
    } else {
        // A refused copy neither leaves a file nor writes through a link.
        QCOMPARE(readFile(path(destination)), before);
        QCOMPARE(readFile(path(QStringLiteral("outside/secret"))), QByteArray("outside/secret"));
        QVERIFY(!QFile::exists(path(QStringLiteral("outside/missing"))));
    }
}

void TestFileSystem::syncBatch()
{
    QVERIFY(SyncBatch::current() == nullptr);
    SyncBatch outer;
    {
        SyncBatch inner;
        QCOMPARE(SyncBatch::current(), &inner);
        // Written and removed again within the phase: nothing is left to flush, and that is no
        // failure; the same for a folder made and removed.
        QVERIFY(FileSystem::makePath(path(QStringLiteral("batch/sub"))));
        QVERIFY(
            FileSystem::copyFile(path(QStringLiteral("src/data")), path(QStringLiteral("batch/sub/gone"))));
        QVERIFY(FileSystem::removeFolderRecursively(path(QStringLiteral("batch/sub"))));
        QVERIFY(inner.flush());
    }
    QCOMPARE(SyncBatch::current(), &outer);
    // A file that cannot be opened to be flushed any more names the failure.
    QVERIFY(FileSystem::copyFile(path(QStringLiteral("src/data")), path(QStringLiteral("batch/linked"))));
    QVERIFY(QFile::remove(path(QStringLiteral("batch/linked"))));
    QVERIFY(QFile::link(path(QStringLiteral("src/data")), path(QStringLiteral("batch/linked"))));
    QVERIFY(!outer.flush());
    QCOMPARE(outer.failedPath(), path(QStringLiteral("batch/linked")));
}

void TestFileSystem::makePath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("made");

    QTest::newRow("nested new folders") << "made/a/b/c" << true;
    QTest::newRow("existing folder") << "list/folder" << true;
    QTest::newRow("a file in the way") << "src/data" << false;
    QTest::newRow("a file in the way of a parent") << "src/data/below" << false;
    QTest::newRow("a dangling link in the way") << "list/dangling/below" << false;
}

void TestFileSystem::makePath()
{
    QFETCH(QString, folder);
    QFETCH(bool, made);
    QCOMPARE(FileSystem::makePath(path(folder)), made);
    QCOMPARE(FileSystem::isFolder(path(folder)), made);
}

void TestFileSystem::writeFileAtomically_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("written");

    QTest::newRow("new file") << "atomic/new" << true;
    QTest::newRow("file exists") << "taken/data" << false;
    QTest::newRow("link pointing out") << "taken/out" << false;
}

void TestFileSystem::writeFileAtomically()
{
    QFETCH(QString, target);
    QFETCH(bool, written);
    QDir().mkpath(path(QStringLiteral("atomic")));
    const QByteArray before = readFile(path(target));

    QCOMPARE(FileSystem::writeFileAtomically(path(target), "journal"), written);
    QCOMPARE(readFile(path(target)), written ? QByteArray("journal") : before);
    QVERIFY(!QFile::exists(path(target) + QStringLiteral(".part")));
    QCOMPARE(readFile(path(QStringLiteral("outside/secret"))), QByteArray("outside/secret"));
}

void TestFileSystem::parentFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("parent");

    QTest::newRow("nested") << "a/b/c"
                            << "a/b";
    QTest::newRow("trailing slashes") << "a/b//"
                                      << "a";
    QTest::newRow("absolute") << "/a/b"
                              << "/a";
    QTest::newRow("below the root") << "/a"
                                    << "/";
    QTest::newRow("the root") << "/"
                              << "/";
    QTest::newRow("bare name") << "a"
                               << ".";
}

void TestFileSystem::parentFolder()
{
    QFETCH(QString, path);
    QFETCH(QString, parent);
    QCOMPARE(FileSystem::parentFolder(path), parent);
}

QTEST_GUILESS_MAIN(TestFileSystem)
#include "testfilesystem.moc"
