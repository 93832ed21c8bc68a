// Where received chunks land on disk, and which targets are refused.
#include "config/configmanager.h"
#include "tcp/filedatawriter.h"

#include "support/files.h"

#include <QtTest>

namespace {

/// An application folder with a system.cfg naming `temp` as the temporary folder.
struct Installation
{
    explicit Installation(const QString& temp)
    {
        writeFile(dir.filePath(QStringLiteral("system.cfg")), "[Paths]\nTemp=" + temp.toUtf8() + "\n");
        config = std::make_unique<CConfigManager>(dir.filePath(QStringLiteral("system.cfg")));
        writer = std::make_unique<CFileDataWriter>(*config, dir.path());
    }
    QString path(const QString& relative) const { return dir.filePath(relative); }

    QTemporaryDir dir;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<CFileDataWriter> writer;
};

} // namespace

class TestFileDataWriter : public QObject
{
    Q_OBJECT
private slots:
    void temporaryFolder_data();
    void temporaryFolder();
    void refusedTargets_data();
    void refusedTargets();
    void chunksAppendAndFinalChunkCloses();
    void newTransferTruncatesLeftover();
    void discardStartsAfresh();
    void collidingKeysKeepTheirTargets();
    void digestsCoverOnlyFilesWrittenWhole();
    void folderInTheWay();
    void targetIsAFolder();
};

void TestFileDataWriter::temporaryFolder_data()
{
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("expectedRelative");
    QTest::newRow("relative with slash") << "UpdateTmp/"
                                         << "UpdateTmp/bin/a.txt";
    QTest::newRow("relative without slash") << "UpdateTmp"
                                            << "UpdateTmp/bin/a.txt";
    QTest::newRow("nested relative") << "var/tmp/"
                                     << "var/tmp/bin/a.txt";
}

void TestFileDataWriter::temporaryFolder()
{
    QFETCH(QString, temp);
    QFETCH(QString, expectedRelative);
    Installation installation(temp);
    // The working directory is elsewhere: the files must still land below the application folder.
    QTemporaryDir elsewhere;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(elsewhere.path());
    const bool written =
        installation.writer->writeChunk(QStringLiteral("bin"), QStringLiteral("a.txt"), "data", true);
    QDir::setCurrent(previous);
    QVERIFY(written);
    QCOMPARE(readFile(installation.path(expectedRelative)), QByteArray("data"));
    QVERIFY(filesBelow(elsewhere.path()).isEmpty());
}

void TestFileDataWriter::refusedTargets_data()
{
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("refused");

    QTest::newRow("parent folder") << ".."
                                   << "x.txt" << true;
    QTest::newRow("climbing in the middle") << "a/../../b"
                                            << "x.txt" << true;
    QTest::newRow("climbing back inside") << "a/.."
                                          << "x.txt" << true;
    QTest::newRow("absolute path") << "/etc"
                                   << "x.txt" << true;
    QTest::newRow("drive letter") << "C:/Windows"
                                  << "x.txt" << true;
    QTest::newRow("bare drive") << "C:"
                                << "x.txt" << true;
    QTest::newRow("backslash separators") << "a\\..\\.."
                                          << "x.txt" << true;
    QTest::newRow("backslash in the name") << ""
                                           << "..\\x.txt" << true;
    QTest::newRow("name is parent") << "a"
                                    << ".." << true;
    QTest::newRow("name is current") << "a"
                                     << "." << true;
    QTest::newRow("name with slash") << ""
                                     << "../x.txt" << true;
    QTest::newRow("empty name") << "a"
                                << "" << true;
    QTest::newRow("stream name") << ""
                                 << "x.txt:hidden" << true;
    QTest::newRow("top level") << ""
                               << "update.exe" << false;
    QTest::newRow("nested") << "bin/plugins"
                            << "a.dll" << false;
    QTest::newRow("current folder") << "."
                                    << "a.txt" << false;
    QTest::newRow("dots inside names") << "..data"
                                       << "...x" << false;
}

void TestFileDataWriter::refusedTargets()
{
    QFETCH(QString, filePath);
    QFETCH(QString, fileName);
    QFETCH(bool, refused);
    Installation installation(QStringLiteral("deep/temp/"));
    QCOMPARE(CFileDataWriter::isSafeTarget(filePath, fileName), !refused);
    if (refused) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Refused to write outside")));
    }
    QCOMPARE(installation.writer->writeChunk(filePath, fileName, "evil", true), !refused);
    if (refused) {
        QVERIFY(installation.writer->lastError().contains(QLatin1String("Refused")));
        QCOMPARE(filesBelow(installation.dir.path()), QStringList{"system.cfg"});
        QVERIFY(!QFileInfo::exists(installation.path(QStringLiteral("deep/temp"))));
    } else {
        QCOMPARE(filesBelow(installation.path(QStringLiteral("deep/temp"))).size(), 1);
    }
}

void TestFileDataWriter::chunksAppendAndFinalChunkCloses()
{
    Installation installation(QStringLiteral("temp/"));
    CFileDataWriter& writer = *installation.writer;
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("f.bin"), "ab", false));
    QVERIFY(writer.isOpen(QStringLiteral("d"), QStringLiteral("f.bin")));
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("f.bin"), QByteArray(), false));
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("f.bin"), "cd", true));
    QVERIFY(!writer.isOpen(QStringLiteral("d"), QStringLiteral("f.bin")));
    QCOMPARE(readFile(installation.path(QStringLiteral("temp/d/f.bin"))), QByteArray("abcd"));
}

void TestFileDataWriter::newTransferTruncatesLeftover()
{
    Installation installation(QStringLiteral("temp/"));
    QVERIFY(writeFile(installation.path(QStringLiteral("temp/f.txt")), "a much longer leftover"));
    QVERIFY(installation.writer->writeChunk(QString(), QStringLiteral("f.txt"), "new", true));
    QCOMPARE(readFile(installation.path(QStringLiteral("temp/f.txt"))), QByteArray("new"));
}

void TestFileDataWriter::discardStartsAfresh()
{
    Installation installation(QStringLiteral("temp/"));
    CFileDataWriter& writer = *installation.writer;
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("f"), "half of an old attempt", false));
    writer.discard(QStringLiteral("d"), QStringLiteral("f"));
    QVERIFY(!writer.isOpen(QStringLiteral("d"), QStringLiteral("f")));
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("f"), "retry", true));
    QCOMPARE(readFile(installation.path(QStringLiteral("temp/d/f"))), QByteArray("retry"));
}

void TestFileDataWriter::collidingKeysKeepTheirTargets()
{
    Installation installation(QStringLiteral("temp/"));
    CFileDataWriter& writer = *installation.writer;
    // "a_b" + "c" and "a" + "b_c" share the key "a_b_c".
    QVERIFY(writer.writeChunk(QStringLiteral("a_b"), QStringLiteral("c"), "first", false));
    QVERIFY(writer.writeChunk(QStringLiteral("a"), QStringLiteral("b_c"), "second", true));
    QCOMPARE(readFile(installation.path(QStringLiteral("temp/a_b/c"))), QByteArray("first"));
    QCOMPARE(readFile(installation.path(QStringLiteral("temp/a/b_c"))), QByteArray("second"));
}

void TestFileDataWriter::digestsCoverOnlyFilesWrittenWhole()
{
    Installation installation(QStringLiteral("temp/"));
    CFileDataWriter& writer = *installation.writer;
    writer.beginDownload(true);
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("whole"), "ab", false));
    QVERIFY(writer.writeChunk(QStringLiteral("d"), QStringLiteral("whole"), "cd", true));
    // Interrupted by another transfer and continued: its digests would miss the first part.
    QVERIFY(writer.writeChunk(QString(), QStringLiteral("interrupted"), "12", false));
    QVERIFY(writer.writeChunk(QString(), QStringLiteral("other"), "x", true));
    QVERIFY(writer.writeChunk(QString(), QStringLiteral("interrupted"), "34", true));
    QCOMPARE(readFile(installation.path(QStringLiteral("temp/interrupted"))), QByteArray("1234"));
    QVERIFY(writer.writeChunk(QString(), QStringLiteral("retried"), "old attempt", false));
    writer.discard(QString(), QStringLiteral("retried"));
    QVERIFY(writer.writeChunk(QString(), QStringLiteral("retried"), "retry", true));

    const ArrivedDigests& arrived = writer.arrivedDigests();
    QCOMPARE(arrived.count(), 3);
    const ArrivedDigests::File* whole = arrived.find(QStringLiteral("d/whole"));
    QVERIFY(whole);
    QCOMPARE(whole->size, 4);
    QCOMPARE(whole->md5, QCryptographicHash::hash("abcd", QCryptographicHash::Md5).toHex());
    QCOMPARE(whole->sha256, QCryptographicHash::hash("abcd", QCryptographicHash::Sha256));
    QVERIFY(!arrived.find(QStringLiteral("interrupted")));
    QCOMPARE(arrived.find(QStringLiteral("retried"))->sha256,
             QCryptographicHash::hash("retry", QCryptographicHash::Sha256));

    writer.beginDownload(false);
    QVERIFY(writer.writeChunk(QString(), QStringLiteral("unsigned"), "data", true));
    QCOMPARE(writer.arrivedDigests().count(), 0);
}

void TestFileDataWriter::folderInTheWay()
{
    Installation installation(QStringLiteral("temp/"));
    QVERIFY(writeFile(installation.path(QStringLiteral("temp/sub")), "a file, not a folder"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "^Failed to create directory for file: \".*/temp/sub/x\"$")));
    QVERIFY(!installation.writer->writeChunk(QStringLiteral("sub"), QStringLiteral("x"), "data", true));
}

void TestFileDataWriter::targetIsAFolder()
{
    Installation installation(QStringLiteral("temp/"));
    QVERIFY(QDir().mkpath(installation.path(QStringLiteral("temp/d/x"))));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "^Failed to open file for writing: \".*/temp/d/x\"$")));
    QVERIFY(!installation.writer->writeChunk(QStringLiteral("d"), QStringLiteral("x"), "data", true));
    QVERIFY(!installation.writer->isOpen(QStringLiteral("d"), QStringLiteral("x")));
}

QTEST_GUILESS_MAIN(TestFileDataWriter)
#include "testfiledatawriter.moc"
