#include "config/configmanager.h"
#include "config/confignames.h"
#include "formats/inireader.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

/// The configuration store over system.cfg and update.ini as Qt's INI reader sees them.
class TestConfigManager : public QObject
{
    Q_OBJECT

private:
    static CConfigManager storeWith(const QTemporaryDir& dir, const QByteArray& systemCfg)
    {
        QFile file(dir.filePath(QStringLiteral("system.cfg")));
        file.open(QIODevice::WriteOnly);
        file.write(systemCfg);
        file.close();
        return CConfigManager(dir.filePath(QStringLiteral("system.cfg")));
    }

private slots:
    void missingFileGivesDefaults()
    {
        QTemporaryDir dir;
        CConfigManager store(dir.filePath(QStringLiteral("system.cfg")));
        QVERIFY(store.isLoaded());
        QCOMPARE(store.getProjectType(), 1);
        QVERIFY(!store.isHttpEnabled());
        QVERIFY(store.getHostExe().isEmpty());
        QVERIFY(store.getTempDir().isEmpty());
        QCOMPARE(store.getTempDirWithSlash(), QStringLiteral("/"));
        QVERIFY(store.getSourceValue(QStringLiteral("URL")).isEmpty());
    }

    void httpEnable_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("true") << QByteArray("true") << true;
        QTest::newRow("TRUE") << QByteArray("TRUE") << true;
        QTest::newRow("True") << QByteArray("True") << true;
        QTest::newRow("1") << QByteArray("1") << true;
        QTest::newRow("yes") << QByteArray("yes") << false;
        QTest::newRow("on") << QByteArray("on") << false;
        QTest::newRow("2") << QByteArray("2") << false;
        QTest::newRow("false") << QByteArray("false") << false;
        QTest::newRow("empty") << QByteArray("") << false;
    }

    void httpEnable()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        QCOMPARE(storeWith(dir, "[Update]\nHttpEnable=" + value + "\n").isHttpEnabled(), enabled);
    }

    void projectType_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("type");
        QTest::newRow("0") << QByteArray("0") << 1;
        QTest::newRow("1") << QByteArray("1") << 1;
        QTest::newRow("3") << QByteArray("3") << 3;
        QTest::newRow("6") << QByteArray("6") << 6;
        QTest::newRow("7") << QByteArray("7") << 1;
        QTest::newRow("-2") << QByteArray("-2") << 1;
        QTest::newRow("abc") << QByteArray("abc") << 1;
        QTest::newRow("empty") << QByteArray("") << 1;
    }

    void projectType()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, type);
        QTemporaryDir dir;
        QCOMPARE(storeWith(dir, "[Project]\nType=" + value + "\n").getProjectType(), type);
    }

    void maxConnections_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("connections");
        QTest::newRow("empty") << QByteArray("") << 4;
        QTest::newRow("1") << QByteArray("1") << 1;
        QTest::newRow("6") << QByteArray(" 6 ") << 6;
        QTest::newRow("above Qt's six per server") << QByteArray("32") << 6;
        QTest::newRow("0") << QByteArray("0") << 4;
        QTest::newRow("-3") << QByteArray("-3") << 4;
        QTest::newRow("abc") << QByteArray("abc") << 4;
    }

    void maxConnections()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, connections);
        QTemporaryDir dir;
        QCOMPARE(storeWith(dir, "[Update]\nMaxConnections=" + value + "\n").getMaxConnections(), connections);
    }

    void tempFolderSlash_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("withSlash");
        QTest::newRow("without slash") << QByteArray("UpdateTmp") << "UpdateTmp"
                                       << "UpdateTmp/";
        QTest::newRow("with slash") << QByteArray("UpdateTmp/") << "UpdateTmp/"
                                    << "UpdateTmp/";
    }

    void tempFolderSlash()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, raw);
        QFETCH(QString, withSlash);
        QTemporaryDir dir;
        const CConfigManager store = storeWith(dir, "[Paths]\nTemp=" + value + "\n");
        QCOMPARE(store.getTempDir(), raw);
        QCOMPARE(store.getTempDirWithSlash(), withSlash);
    }

    void generalSectionNeedsPercentSign()
    {
        QTemporaryDir plain;
        QVERIFY(storeWith(plain, "[General]\nVersion=2.0\n").getVersion().isEmpty());
        QTemporaryDir escaped;
        QCOMPARE(storeWith(escaped, "[%General]\nVersion=2.0\n").getVersion(), QStringLiteral("2.0"));
    }

    void unquotedCommaReadsAsList()
    {
        QTemporaryDir dir;
        const CConfigManager store = storeWith(dir, "[Update]\nHostExe=a,b\nUpdateExe=\"a,b\"\n");
        QVERIFY(store.getHostExe().isEmpty());
        QCOMPARE(store.getUpdateExe(), QStringLiteral("a,b"));
    }

    void everyGetterReadsItsKey()
    {
        QTemporaryDir dir;
        const CConfigManager store = storeWith(dir, "[Update]\nURL=http://h/u/\nHostExe=bin/app.exe\n"
                                                    "UpdateExe=up.exe\nUpdateHelperExe=helper.exe\n"
                                                    "[Server]\nUpdateServer=10.0.0.1\nUpdatePort=70000\n"
                                                    "[Paths]\nBackup=bak/\nLog=logs/\n");
        QCOMPARE(store.getSourceValue(QStringLiteral("URL")), QStringLiteral("http://h/u/"));
        QCOMPARE(store.getHostExe(), QStringLiteral("bin/app.exe"));
        QCOMPARE(store.getUpdateExe(), QStringLiteral("up.exe"));
        QCOMPARE(store.getUpdateHelperExe(), QStringLiteral("helper.exe"));
        QCOMPARE(store.getUpdateServer(), QStringLiteral("10.0.0.1"));
        QCOMPARE(store.getUpdatePort(), QStringLiteral("70000"));
        QCOMPARE(static_cast<quint16>(store.getUpdatePort().toUInt()), quint16(4464));
        QCOMPARE(store.getBackupDir(), QStringLiteral("bak/"));
        QCOMPARE(store.getLogDir(), QStringLiteral("logs/"));
        // Names are exact: a key spelled in another case is a different key.
        QVERIFY(store.getValue("Update", "hostexe").isEmpty());
        QVERIFY(store.getValue("NoSuchSection", "HostExe").isEmpty());
    }

    void manifestIsReadBesideTheConfiguration()
    {
        QTemporaryDir dir;
        QFile manifest(dir.filePath(QStringLiteral("update.ini")));
        QVERIFY(manifest.open(QIODevice::WriteOnly));
        manifest.write("[Version]\nVersion=3.1\nMinRequiredVersion=2.0\n");
        manifest.close();
        const CConfigManager store = storeWith(dir, "");
        QCOMPARE(store.getManifestValue(ConfigNames::SectionVersion, ConfigNames::KeyVersion),
                 QStringLiteral("3.1"));
    }

    void reloadPicksUpAReplacedFile()
    {
        QTemporaryDir dir;
        CConfigManager store = storeWith(dir, "[Update]\nHostExe=old.exe\nURL=http://old/\n");
        QFile file(dir.filePath(QStringLiteral("system.cfg")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Update]\nHostExe=newer.exe\nURL=http://new/\n");
        file.close();
        store.reload();
        QCOMPARE(store.getHostExe(), QStringLiteral("newer.exe"));
        // The source values are read once.
        QCOMPARE(store.getSourceValue(QStringLiteral("URL")), QStringLiteral("http://old/"));
    }

    void binaryJunkDoesNotCrash()
    {
        QTemporaryDir dir;
        QByteArray junk;
        for (int i = 0; i < 4096; ++i) {
            junk.append(static_cast<char>((i * 7919) % 256));
        }
        const CConfigManager store = storeWith(dir, junk);
        QCOMPARE(store.getProjectType(), 1);
        QVERIFY(!store.isHttpEnabled());
    }

    // The plain-text reader must see every untyped file exactly as Qt's INI reader does, so that
    // installed files keep their meaning.
    void plainReaderMatchesQtReader_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("plain") << QByteArray(
            "[Paths]\nTemp=temp/\nBackup = backup/ \n[%General]\nVersion=1.0\n");
        QTest::newRow("root and General") << QByteArray("top=1\n[General]\nVersion=2\n[general]\nb=3\n");
        QTest::newRow("quotes and commas")
            << QByteArray("[A]\nq=\"a, b\"\nl=a, b\nt=a,\ne=\nsp=\"  x  \"\nmix=x \"y\" z\n");
        QTest::newRow("escapes") << QByteArray(
            "[A]\ne=a\\tb\\x41\\101\\\\c\\q\nh=\\x4e2d\\x6587\nend=x \\\n");
        QTest::newRow("continuation and comments")
            << QByteArray("; c\n[A]\nk=one\\\ntwo\nc=v ; comment\n;k2=x\nq=\"a;b\"\n");
        QTest::newRow("escaped keys and sections")
            << QByteArray("[Se%20c\\t]\nk%41y=1\nsub\\key=2\n%U4e2d=3\n[ Paths ]\nTemp=t/\n");
        QTest::newRow("repeats, CR LF, double at")
            << QByteArray("[A]\r\nk=1\r\n[B]\r\nx=@@at\r\n[A]\r\nk=2\r\nj=@odd\r\n");
        QTest::newRow("UTF-8 mark") << QByteArray("\xef\xbb\xbf[A]\nk=\xe4\xb8\xad\xe6\x96\x87\n");
        QTest::newRow("Latin-1 and quoted line break") << QByteArray("[A]\nk=\xe9t\xe9\nq=\"a\nb\"\nz=1\n");
        QTest::newRow("line without equals sign") << QByteArray("[A]\njunk\nk=v\n");
    }

    void plainReaderMatchesQtReader()
    {
        QFETCH(QByteArray, text);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file.ini"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        const QSettings qt(path, QSettings::IniFormat);
        IniReader plain;
        QCOMPARE(plain.load(path), IniReader::Status::Ok);
        QVERIFY(!plain.hasTypedValue());
        const QStringList keys = qt.allKeys();
        QVERIFY(!keys.isEmpty());
        for (const QString& key : keys) {
            QCOMPARE(plain.value(key), qt.value(key).toString());
        }
    }

    void typedValuesStayText_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("variant") << QByteArray("@Variant(\\0\\0\\0\\t\\0\\0\\0\\x1)");
        QTest::newRow("byte array") << QByteArray("@ByteArray(abc)");
        QTest::newRow("rect") << QByteArray("@Rect(1 2 3 4)");
        QTest::newRow("invalid") << QByteArray("@Invalid()");
        QTest::newRow("escaped at sign") << QByteArray("\\x40Variant(x)");
        QTest::newRow("in a list") << QByteArray("a, @Variant(x)");
    }

    void typedValuesStayText()
    {
        QFETCH(QByteArray, value);
        const IniReader reader("[Version]\nVersion=" + value + "\n");
        QVERIFY(reader.hasTypedValue());
        // The text itself, never a decoded object; a list reads as empty.
        QCOMPARE(reader.value(QStringLiteral("Version/Version")).startsWith(QLatin1Char('@')),
                 !value.contains(','));
        QVERIFY(!IniReader("[Version]\nVersion=@@Variant(x)\n").hasTypedValue());
    }
};

QTEST_GUILESS_MAIN(TestConfigManager)
#include "testconfigmanager.moc"
