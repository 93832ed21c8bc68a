// The release manifest's text: what a publisher writes reads back the same, and everything else
// (each way a file can be damaged, forged or unsafe) is refused with a reason.
#include "formats/releasemanifest.h"
#include "formats/sha256hash.h"

#include <QtTest>

class TestReleaseManifest : public QObject
{
    Q_OBJECT
private slots:
    void roundTrips();
    void refusesMalformed_data();
    void refusesMalformed();
    void findsListedPathsOnly();
    void comparesDottedVersions_data();
    void comparesDottedVersions();
    void sha256MatchesInEveryPiecing_data();
    void sha256MatchesInEveryPiecing();
};

namespace {

const QByteArray DigestA = QByteArray(64, 'a');
const QByteArray DigestB = QByteArray(64, 'b');

/// A well-formed manifest text with `header` lines after the format line and `files` lines after
/// the blank line.
QByteArray manifestText(const QByteArray& header, const QByteArray& files)
{
    return "release-manifest 1\n" + header + "\n" + files;
}

const QByteArray GoodHeader = "product: 1\nversion: 2.0\nfolder: v2\ncreated: 2026-12-08T15:30:00Z\n";

QByteArray fileLine(const QByteArray& path, const QByteArray& size = "5")
{
    return DigestA + '\t' + size + '\t' + path + '\n';
}

ReleaseManifest sampleManifest()
{
    ReleaseManifest manifest;
    manifest.productType = QStringLiteral("3");
    manifest.version = QStringLiteral("2.10");
    manifest.folder = QStringLiteral("v2.10");
    manifest.created = QDateTime(QDate(2026, 12, 8), QTime(15, 30), Qt::UTC);
    manifest.expires = manifest.created.addDays(30);
    // Given unsorted: the text lists them in the byte order of their UTF-8 names.
    manifest.files = {
        {QStringLiteral("数据/新.txt"), 0, QByteArray(32, '\x01')},
        {QStringLiteral("bin/app.exe"), 123456789012, QByteArray(32, '\xfe')},
        {QStringLiteral("Zeta.dll"), 7, QByteArray(32, '\0')},
        // UTF-16 would put the emoji's surrogates before U+FF01; UTF-8 puts it last.
        {QStringLiteral("😀.png"), 2, QByteArray(32, '\x02')},
        {QStringLiteral("！wide"), 1, QByteArray(32, '\x7f')},
    };
    return manifest;
}

} // namespace

void TestReleaseManifest::roundTrips()
{
    ReleaseManifest written = sampleManifest();
    const QByteArray text = written.serialize();
    QVERIFY(text.startsWith("release-manifest 1\nproduct: 3\nversion: 2.10\nfolder: v2.10\n"
                            "created: 2026-12-08T15:30:00Z\nexpires: 2027-01-07T15:30:00Z\n\n"));
    QVERIFY(text.contains(QByteArray(64, '0') + "\t7\tZeta.dll\n" + QByteArray(32, '\xfe').toHex() +
                          "\t123456789012\tbin/app.exe\n"));

    ReleaseManifest read;
    QString error;
    QVERIFY2(ReleaseManifest::parse(text, read, error), qPrintable(error));
    QCOMPARE(read.serialize(), text);
    QCOMPARE(read.productType, written.productType);
    QCOMPARE(read.version, written.version);
    QCOMPARE(read.folder, written.folder);
    QCOMPARE(read.created, written.created);
    QCOMPARE(read.expires, written.expires);
    QStringList paths;
    for (const ReleaseManifestFile& file : qAsConst(read.files)) {
        paths << file.path;
    }
    QCOMPARE(paths,
             (QStringList{QStringLiteral("Zeta.dll"), QStringLiteral("bin/app.exe"),
                          QStringLiteral("数据/新.txt"), QStringLiteral("！wide"), QStringLiteral("😀.png")}));
    QCOMPARE(read.files.at(1).size, qint64{123456789012});
    QCOMPARE(read.files.at(1).sha256, QByteArray(32, '\xfe'));

    written.expires = QDateTime();
    QVERIFY(ReleaseManifest::parse(written.serialize(), read, error));
    QVERIFY(read.expires.isNull());
}

void TestReleaseManifest::refusesMalformed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");

    const QByteArray files = fileLine("a.txt");
    QTest::newRow("empty") << QByteArray() << "line feed";
    QTest::newRow("other format") << "ini-manifest 1\n" + GoodHeader + "\n" + files
                                  << "not a release manifest";
    QTest::newRow("format version 2")
        << "release-manifest 2\n" + GoodHeader + "\n" + files << "unknown format version";
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + manifestText(GoodHeader, files) << "not a release";
    QTest::newRow("CR LF line ends") << manifestText(GoodHeader, files).replace("\n", "\r\n") << "LF alone";
    QTest::newRow("no final line feed") << manifestText(GoodHeader, files).chopped(1) << "line feed";
    QTest::newRow("not UTF-8") << manifestText(GoodHeader, fileLine("caf\xE9.txt")) << "not UTF-8";
    QTest::newRow("larger than the limit")
        << manifestText(GoodHeader, files) + QByteArray(int(ReleaseManifest::MaxBytes), 'x') << "larger than";
    QTest::newRow("no product") << manifestText(QByteArray(GoodHeader).replace("product: 1\n", ""), files)
                                << "no product";
    QTest::newRow("no created") << manifestText(
                                       QByteArray(GoodHeader).replace("created: 2026-12-08T15:30:00Z\n", ""),
                                       files)
                                << "no created";
    QTest::newRow("repeated key") << manifestText(GoodHeader + "version: 3.0\n", files)
                                  << "version is given twice";
    QTest::newRow("keys out of order") << manifestText("version: 2.0\nproduct: 1\nfolder: v2\n", files)
                                       << "product must come before version";
    QTest::newRow("unknown key") << manifestText(GoodHeader + "signer: me\n", files) << "not a header line";
    QTest::newRow("empty value") << manifestText(GoodHeader + "expires: \n", files) << "empty value";
    QTest::newRow("local time") << manifestText(QByteArray(GoodHeader).replace("00Z", "00"), files)
                                << "UTC time";
    QTest::newRow("no such day") << manifestText(QByteArray(GoodHeader).replace("12-08", "02-30"), files)
                                 << "UTC time";
    QTest::newRow("expires before made")
        << manifestText(GoodHeader + "expires: 2026-12-08T15:29:59Z\n", files) << "expires before";
    QTest::newRow("folder with slash")
        << manifestText(QByteArray(GoodHeader).replace("v2", "a/b"), files) << "one folder name";
    QTest::newRow("no file") << manifestText(GoodHeader, QByteArray()) << "lists no file";
    QTest::newRow("blank line among files")
        << manifestText(GoodHeader, files + "\n" + fileLine("b")) << "tabs";
    QTest::newRow("two fields") << manifestText(GoodHeader, DigestA + "\ta.txt\n") << "tabs";
    QTest::newRow("tab in path") << manifestText(GoodHeader, fileLine("a\tb")) << "tabs";
    QTest::newRow("short digest") << manifestText(GoodHeader, DigestA.mid(1) + "\t5\ta\n") << "64 lower-case";
    QTest::newRow("upper-case digest")
        << manifestText(GoodHeader, DigestA.toUpper() + "\t5\ta\n") << "64 lower-case";
    QTest::newRow("negative size") << manifestText(GoodHeader, fileLine("a", "-5")) << "decimal number";
    QTest::newRow("leading zero size") << manifestText(GoodHeader, fileLine("a", "05")) << "decimal number";
    QTest::newRow("huge size") << manifestText(GoodHeader, fileLine("a", "9999999999999999999"))
                               << "decimal number";
    QTest::newRow("NUL in path") << manifestText(GoodHeader, fileLine(QByteArray("dat\0/x.txt", 9)))
                                 << "control character";
    QTest::newRow("NUL in value") << manifestText(
                                         QByteArray(GoodHeader).replace("2.0", QByteArray("2.0\0x", 5)),
                                         files)
                                  << "control character";
    QTest::newRow("absolute path") << manifestText(GoodHeader, fileLine("/etc/passwd")) << "absolute";
    QTest::newRow("parent segment") << manifestText(GoodHeader, fileLine("a/../../x")) << "'..'";
    QTest::newRow("empty segment") << manifestText(GoodHeader, fileLine("a//b")) << "empty, '.'";
    QTest::newRow("trailing slash") << manifestText(GoodHeader, fileLine("a/")) << "empty, '.'";
    QTest::newRow("backslash") << manifestText(GoodHeader, fileLine("..\\x")) << "backslash";
    QTest::newRow("drive letter") << manifestText(GoodHeader, fileLine("C:/x")) << "colon";
    QTest::newRow("lists itself") << manifestText(GoodHeader, fileLine("update/release.manifest"))
                                  << "not listed in it";
    QTest::newRow("lists its signature")
        << manifestText(GoodHeader, fileLine("Release.Manifest.sig")) << "not listed in it";
    QTest::newRow("unsorted") << manifestText(GoodHeader, fileLine("b") + fileLine("a")) << "sorted order";
    QTest::newRow("repeated path") << manifestText(GoodHeader, fileLine("a") + fileLine("a"))
                                   << "listed twice";
    QTest::newRow("paths differing in case")
        << manifestText(GoodHeader, fileLine("A") + fileLine("a")) << "only in case";
}

void TestReleaseManifest::refusesMalformed()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    ReleaseManifest manifest = sampleManifest();
    QString error;
    QVERIFY(!ReleaseManifest::parse(text, manifest, error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(manifest.version, QStringLiteral("2.10"));
}

void TestReleaseManifest::findsListedPathsOnly()
{
    ReleaseManifest manifest;
    QString error;
    QVERIFY(ReleaseManifest::parse(sampleManifest().serialize(), manifest, error));
    for (const ReleaseManifestFile& file : qAsConst(manifest.files)) {
        QCOMPARE(manifest.find(file.path), &file);
    }
    QVERIFY(!manifest.find(QStringLiteral("bin/App.exe")));
    QVERIFY(!manifest.find(QStringLiteral("bin")));
    QVERIFY(!manifest.find(QString()));
}

void TestReleaseManifest::comparesDottedVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");

    QTest::newRow("equal") << "1.2.3"
                           << "1.2.3" << 0;
    QTest::newRow("numeric, not text") << "1.10"
                                       << "1.9" << 1;
    QTest::newRow("missing part is 0") << "2"
                                       << "2.0.0" << 0;
    QTest::newRow("extra part") << "2.0"
                                << "2.0.1" << -1;
    QTest::newRow("leading zeros") << "1.010"
                                   << "1.9" << 1;
    QTest::newRow("beyond 64 bits") << "1.99999999999999999999"
                                    << "1.99999999999999999998" << 1;
    QTest::newRow("letters after digits") << "3rc1"
                                          << "3" << 0;
    QTest::newRow("empty") << ""
                           << "0.1" << -1;
}

void TestReleaseManifest::comparesDottedVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(ReleaseManifest::compareVersions(a, b), order);
    QCOMPARE(ReleaseManifest::compareVersions(b, a), -order);
}

void TestReleaseManifest::sha256MatchesInEveryPiecing_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("piece");
    // Lengths at the edges of the 64-byte block and of its 56-byte room for the length.
    const QList<int> lengths = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, (1 << 20) + 13};
    for (int length : lengths) {
        for (int piece : {1, 7, 64, 1000, 0}) {
            if (length > 4096 && piece > 0 && piece < 64) {
                continue;
            }
            QTest::addRow("%d bytes in pieces of %d", length, piece) << length << piece;
        }
    }
}

void TestReleaseManifest::sha256MatchesInEveryPiecing()
{
    QFETCH(int, length);
    QFETCH(int, piece);
    QByteArray data(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i) {
        data[i] = char((i * 2654435761u) >> 13);
    }
    Sha256Hash hash;
    const int step = piece > 0 ? piece : qMax(length, 1);
    for (int offset = 0; offset < length; offset += step) {
        hash.addData(data.constData() + offset, qMin(step, length - offset));
    }
    QCOMPARE(hash.result().toHex(), QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    if (length == 0) {
        Sha256Hash abc;
        abc.addData(QByteArrayLiteral("abc"));
        QCOMPARE(abc.result().toHex(),
                 QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
        QVERIFY(Sha256Hash::ofFile(QStringLiteral("/nonexistent/sha256-input")).isEmpty());
        qInfo("SHA instructions in use: %s", Sha256Hash::usesProcessorInstructions() ? "yes" : "no");
    }
}

QTEST_APPLESS_MAIN(TestReleaseManifest)
#include "testreleasemanifest.moc"
