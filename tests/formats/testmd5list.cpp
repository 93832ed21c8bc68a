#include "formats/md5list.h"
#include "support/files.h"
#include "support/httprelease.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

class TestMd5List : public QObject
{
    Q_OBJECT
private slots:
    void loadsLines_data();
    void loadsLines();
    void readsNamesInUtf8OrTheLocalCodePage_data();
    void readsNamesInUtf8OrTheLocalCodePage();
    void missingListIsEmpty();
    void diffsLists_data();
    void diffsLists();
    void generatesSortedListOfWholeTree();
    void generateIgnoresEmptyFolder();
    void collectsFilesWithLeadingSlash();
    void mapsKeysInsideFolderOnly_data();
    void mapsKeysInsideFolderOnly();
    void writesUtf8InEveryCodePage_data();
    void writesUtf8InEveryCodePage();
};

namespace {

/// Makes `codec` the local code page for the life of the object (none: the system's own).
class LocalCodePage
{
public:
    explicit LocalCodePage(const QByteArray& codec)
    {
        if (!codec.isEmpty()) {
            QTextCodec::setCodecForLocale(QTextCodec::codecForName(codec));
        }
    }
    ~LocalCodePage() { QTextCodec::setCodecForLocale(nullptr); }
    LocalCodePage(const LocalCodePage&) = delete;
    LocalCodePage& operator=(const LocalCodePage&) = delete;
};

} // namespace

void TestMd5List::loadsLines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Md5Map>("expected");

    QTest::newRow("two lines") << QByteArray("aa\t/a.txt\nbb\t/sub/b.bin\n")
                               << Md5Map{{"/a.txt", "aa"}, {"/sub/b.bin", "bb"}};
    QTest::newRow("line without tab skipped") << QByteArray("aa /a.txt\nbb\t/b\n") << Md5Map{{"/b", "bb"}};
    QTest::newRow("third field ignored") << QByteArray("aa\t/a\textra\n") << Md5Map{{"/a", "aa"}};
    QTest::newRow("repeated path keeps last") << QByteArray("aa\t/a\nbb\t/a\n") << Md5Map{{"/a", "bb"}};
    QTest::newRow("CR LF line ends") << QByteArray("aa\t/a\r\nbb\t/b\r\n")
                                     << Md5Map{{"/a", "aa"}, {"/b", "bb"}};
    QTest::newRow("empty digest kept") << QByteArray("\t/a\n") << Md5Map{{"/a", ""}};
    QTest::newRow("no final line end") << QByteArray("aa\t/a") << Md5Map{{"/a", "aa"}};
    QTest::newRow("empty lines skipped") << QByteArray("\n\naa\t/a\n\n") << Md5Map{{"/a", "aa"}};
    QTest::newRow("upper-case digest as is") << QByteArray("ABCDEF\t/a\n") << Md5Map{{"/a", "ABCDEF"}};
    QTest::newRow("case-different paths distinct")
        << QByteArray("aa\t/A.txt\nbb\t/a.txt\n") << Md5Map{{"/A.txt", "aa"}, {"/a.txt", "bb"}};
    QTest::newRow("empty file") << QByteArray() << Md5Map();
}

void TestMd5List::loadsLines()
{
    QFETCH(QByteArray, content);
    QFETCH(Md5Map, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeFile(path, content));
    QCOMPARE(loadMd5List(path), expected);
}

void TestMd5List::readsNamesInUtf8OrTheLocalCodePage_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Md5Map>("expected");
    QTest::addColumn<QByteArray>("codePage");

    const Md5Map chineseName{{QStringLiteral("/数据/新.txt"), QStringLiteral("aa")}};
    const QByteArray utf8List = QStringLiteral("aa\t/数据/新.txt\n").toUtf8();
    QTest::newRow("UTF-8 name on a Chinese system") << utf8List << chineseName << QByteArray("GBK");
    QTest::newRow("UTF-8 name on a Western system") << utf8List << chineseName << QByteArray("windows-1252");
    QTest::newRow("UTF-8 with byte order mark")
        << "\xEF\xBB\xBF" + utf8List << chineseName << QByteArray("GBK");
    QTest::newRow("old GBK list on a Chinese system")
        << QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("aa\t/数据/新.txt\n")) << chineseName
        << QByteArray("GBK");
    QTest::newRow("old 1252 list on a Western system")
        << QByteArray("aa\t/caf\xE9.txt\n") << Md5Map{{QStringLiteral("/café.txt"), QStringLiteral("aa")}}
        << QByteArray("windows-1252");
}

void TestMd5List::readsNamesInUtf8OrTheLocalCodePage()
{
    QFETCH(QByteArray, content);
    QFETCH(Md5Map, expected);
    QFETCH(QByteArray, codePage);
    const LocalCodePage local(codePage);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeFile(path, content));
    QCOMPARE(loadMd5List(path), expected);
}

void TestMd5List::missingListIsEmpty()
{
    QTemporaryDir dir;
    QVERIFY(loadMd5List(dir.filePath(QStringLiteral("absent.txt"))).isEmpty());
    QVERIFY(loadMd5List(dir.path()).isEmpty());
}

void TestMd5List::diffsLists_data()
{
    QTest::addColumn<Md5Map>("local");
    QTest::addColumn<Md5Map>("server");
    QTest::addColumn<Md5Map>("changed");

    const QString digest = md5Hex("content");
    QTest::newRow("equal") << Md5Map{{"/a", digest}} << Md5Map{{"/a", digest}} << Md5Map();
    QTest::newRow("different digest") << Md5Map{{"/a", "11"}} << Md5Map{{"/a", "22"}} << Md5Map{{"/a", "22"}};
    QTest::newRow("new on server") << Md5Map() << Md5Map{{"/n", "22"}} << Md5Map{{"/n", "22"}};
    QTest::newRow("only local ignored") << Md5Map{{"/old", "11"}} << Md5Map() << Md5Map();
    QTest::newRow("upper-case server digest")
        << Md5Map{{"/a", digest}} << Md5Map{{"/a", digest.toUpper()}} << Md5Map{{"/a", digest.toUpper()}};
    QTest::newRow("case-different path is new")
        << Md5Map{{"/a.txt", "11"}} << Md5Map{{"/A.txt", "11"}} << Md5Map{{"/A.txt", "11"}};
    QTest::newRow("empty local digest") << Md5Map{{"/a", ""}} << Md5Map{{"/a", "11"}} << Md5Map{{"/a", "11"}};
}

void TestMd5List::diffsLists()
{
    QFETCH(Md5Map, local);
    QFETCH(Md5Map, server);
    QFETCH(Md5Map, changed);
    QCOMPARE(diffMd5Lists(local, server), changed);
}

void TestMd5List::generatesSortedListOfWholeTree()
{
    QTemporaryDir dir;
    const QString root = dir.path() + QLatin1Char('/');
    QVERIFY(writeFile(root + QStringLiteral("b.txt"), "bee"));
    QVERIFY(writeFile(root + QStringLiteral("A.txt"), "ay"));
    QVERIFY(writeFile(root + QStringLiteral("sub/deep/c.bin"), QByteArray(100000, 'c')));
    QVERIFY(writeFile(root + QStringLiteral("sub/empty.dat"), QByteArray()));
    QVERIFY(QDir(root).mkpath(QStringLiteral("emptyfolder")));

    generateMd5List(root);

    const QByteArray expected = md5Hex("ay").toLatin1() + "\t/A.txt\n" + md5Hex("bee").toLatin1() +
                                "\t/b.txt\n" + md5Hex(QByteArray(100000, 'c')).toLatin1() +
                                "\t/sub/deep/c.bin\n" + md5Hex(QByteArray()).toLatin1() +
                                "\t/sub/empty.dat\n";
    QFile list(root + QStringLiteral("md5.txt"));
    QVERIFY(list.open(QIODevice::ReadOnly));
    QCOMPARE(list.readAll(), expected);
    // What is written reads back to the same entries.
    QCOMPARE(loadMd5List(root + QStringLiteral("md5.txt")).size(), 4);
}

void TestMd5List::generateIgnoresEmptyFolder()
{
    QTemporaryDir dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    generateMd5List(QString());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("md5.txt"))));
}

void TestMd5List::collectsFilesWithLeadingSlash()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("x/y/z.txt")), "z"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("top.txt")), "t"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral(".hidden")), "h"));
    QStringList out{QStringLiteral("kept")};
    collectFiles(dir.path() + QLatin1Char('/'), QString(), out);
    out.sort();
    QCOMPARE(out,
             (QStringList{QStringLiteral("/top.txt"), QStringLiteral("/x/y/z.txt"), QStringLiteral("kept")}));
}

void TestMd5List::mapsKeysInsideFolderOnly_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("accepted");

    const QString temp = QStringLiteral("/inst/temp/");
    QTest::newRow("plain") << temp << "/a.txt" << true;
    QTest::newRow("nested") << temp << "/sub/dir/b.bin" << true;
    QTest::newRow("dot segment") << temp << "/./a.txt" << true;
    QTest::newRow("folder value without slash") << QStringLiteral("/inst/temp") << "/a.txt" << true;
    QTest::newRow("key without slash") << temp << "a.txt" << true;
    QTest::newRow("key without slash leaves folder") << QStringLiteral("/inst/temp") << "a.txt" << false;
    QTest::newRow("parent") << temp << "/../update.exe" << false;
    QTest::newRow("parent deep") << temp << "/sub/../../../etc/passwd" << false;
    QTest::newRow("parent at end") << temp << "/sub/.." << false;
    QTest::newRow("backslash") << temp << "/..\\update.exe" << false;
    QTest::newRow("backslash only") << temp << "\\sub\\a.txt" << false;
    QTest::newRow("drive letter") << temp << "C:/Windows/a.dll" << false;
    QTest::newRow("drive after slash") << temp << "/C:/Windows/a.dll" << false;
    QTest::newRow("control character") << temp << QStringLiteral("/a\nb") << false;
    QTest::newRow("folder itself") << temp << "/" << false;
    QTest::newRow("trailing slash") << temp << "/sub/" << false;
    QTest::newRow("empty") << temp << "" << false;
}

void TestMd5List::mapsKeysInsideFolderOnly()
{
    QFETCH(QString, folder);
    QFETCH(QString, key);
    QFETCH(bool, accepted);
    const QString path = localPathForKey(folder, key);
    QCOMPARE(!path.isEmpty(), accepted);
    if (accepted) {
        QCOMPARE(path, folder + key);
    }
}

void TestMd5List::writesUtf8InEveryCodePage_data()
{
    QTest::addColumn<QByteArray>("codePage");
    QTest::newRow("Chinese system") << QByteArray("GBK");
    QTest::newRow("Western system") << QByteArray("windows-1252");
}

void TestMd5List::writesUtf8InEveryCodePage()
{
    QFETCH(QByteArray, codePage);
    const LocalCodePage local(codePage);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QString error;
    QVERIFY(writeMd5List(path,
                         {{QStringLiteral("/数据/新.txt"), QStringLiteral("aa")},
                          {QStringLiteral("/b"), QStringLiteral("bb")}},
                         error));
    QCOMPARE(readFile(path), QStringLiteral("bb\t/b\naa\t/数据/新.txt\n").toUtf8());
}

QTEST_GUILESS_MAIN(TestMd5List)
#include "testmd5list.moc"
