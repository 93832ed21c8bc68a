// The patches of a release: both lists read back what is written and refuse anything else, and
// applying a patch gives the new file only over the base it was made against, within the window.
#include "formats/patchapplier.h"
#include "formats/patchindex.h"
#include "formats/patchmaker.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <zstd.h>

class TestPatches : public QObject
{
    Q_OBJECT
private slots:
    void listsRoundTrip();
    void refusesMalformedLists_data();
    void refusesMalformedLists();
    void appliesOnlyWhatFits_data();
    void appliesOnlyWhatFits();
};

namespace {

const QByteArray Md5A = QByteArray(32, 'a');
const QByteArray Md5B = QByteArray(32, 'b');
const QByteArray ShaA = QByteArray(64, 'a');
const QByteArray SignedHeader = "release-patches 2\nversion: 2.0\nfolder: v2\n\n";

PatchIndex sampleIndex()
{
    PatchIndex index;
    index.version = QStringLiteral("2.0");
    index.folder = QStringLiteral("v2");
    // Given unsorted; both texts sort by path, then base digest.
    index.entries = {
        {QStringLiteral("/数据/b.bin"), QString(Md5B), QString(Md5A), QByteArray(32, '\x02'),
         QByteArray(32, '\x03'), 7},
        {QStringLiteral("/app.exe"), QString(Md5B), QString(Md5A), QByteArray(32, '\x01'),
         QByteArray(32, '\x04'), 12},
        {QStringLiteral("/app.exe"), QString(Md5A), QString(Md5B), QByteArray(32, '\x00'),
         QByteArray(32, '\x05'), 0},
    };
    return index;
}

/// Deterministic bytes that do not compress by themselves, so that only a base can shrink them.
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

/// A frame made against no base with a window of 2^windowLog: its header asks for that window.
QByteArray frameWithWindow(const QByteArray& content, int windowLog)
{
    ZSTD_CCtx* encoder = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(encoder, ZSTD_c_windowLog, windowLog);
    // Without a known size the decoder must reserve the whole window.
    ZSTD_CCtx_setParameter(encoder, ZSTD_c_contentSizeFlag, 0);
    QByteArray frame(int(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    ZSTD_outBuffer out{frame.data(), size_t(frame.size()), 0};
    ZSTD_inBuffer in{content.constData(), size_t(content.size()), 0};
    // Fed in two calls, so that the encoder never learns the size and keeps the whole window.
    ZSTD_compressStream2(encoder, &out, &in, ZSTD_e_continue);
    ZSTD_inBuffer none{nullptr, 0, 0};
    while (ZSTD_compressStream2(encoder, &out, &none, ZSTD_e_end) > 0) {
    }
    ZSTD_freeCCtx(encoder);
    frame.resize(int(out.pos));
    return frame;
}

} // namespace

void TestPatches::listsRoundTrip()
{
    const PatchIndex written = sampleIndex();
    const QByteArray plain = written.serializePlain();
    QCOMPARE(plain, Md5A + '\t' + Md5B + "\t0\t/app.exe\n" + Md5B + '\t' + Md5A + "\t12\t/app.exe\n" + Md5B +
                        '\t' + Md5A + "\t7\t" + QStringLiteral("/数据/b.bin").toUtf8() + '\n');
    PatchIndex read;
    QString error;
    QVERIFY2(PatchIndex::parsePlain(plain, read, error), qPrintable(error));
    QCOMPARE(read.serializePlain(), plain);
    QVERIFY(read.findByMd5(QStringLiteral("/app.exe"), QString(Md5B)));
    QCOMPARE(read.findByMd5(QStringLiteral("/app.exe"), QString(Md5B))->size, qint64(12));
    QVERIFY(!read.findByMd5(QStringLiteral("/app.exe"), QString(32, QLatin1Char('c'))));
    QCOMPARE(PatchIndex::patchLocation(QStringLiteral("/bin/a.dll"), QString(Md5A)),
             QStringLiteral(".delta/") + QString(Md5A) + QStringLiteral("/bin/a.dll.zst"));

    const QByteArray signedText = written.serializeSigned();
    QVERIFY(signedText.startsWith(SignedHeader + QByteArray(32, '\0').toHex() + '\t'));
    QVERIFY2(PatchIndex::parseSigned(signedText, read, error), qPrintable(error));
    QCOMPARE(read.serializeSigned(), signedText);
    QCOMPARE(read.version, QStringLiteral("2.0"));
    QCOMPARE(read.folder, QStringLiteral("v2"));
    QVERIFY(read.findBySha256(QStringLiteral("/数据/b.bin"), QByteArray(32, '\x02')));
    QCOMPARE(read.findBySha256(QStringLiteral("/数据/b.bin"), QByteArray(32, '\x02'))->patchSha256,
             QByteArray(32, '\x03'));
    QVERIFY(PatchIndex::parsePlain(QByteArray(), read, error));
    QVERIFY(read.entries.isEmpty());
}

void TestPatches::refusesMalformedLists_data()
{
    QTest::addColumn<bool>("isSigned");
    QTest::addColumn<QByteArray>("text");
    const QByteArray line = Md5A + '\t' + Md5B + "\t5\t/a.exe\n";
    QTest::newRow("three fields") << false << QByteArray(Md5A + '\t' + Md5B + "\t/a.exe\n");
    QTest::newRow("upper-case digest") << false << QByteArray(Md5A.toUpper() + '\t' + Md5B + "\t5\t/a.exe\n");
    QTest::newRow("short digest") << false << QByteArray(Md5A.left(31) + '\t' + Md5B + "\t5\t/a.exe\n");
    QTest::newRow("leading zero") << false << QByteArray(Md5A + '\t' + Md5B + "\t05\t/a.exe\n");
    QTest::newRow("negative size") << false << QByteArray(Md5A + '\t' + Md5B + "\t-5\t/a.exe\n");
    QTest::newRow("no leading slash") << false << QByteArray(Md5A + '\t' + Md5B + "\t5\ta.exe\n");
    QTest::newRow("parent segment") << false << QByteArray(Md5A + '\t' + Md5B + "\t5\t/../a.exe\n");
    QTest::newRow("backslash") << false << QByteArray(Md5A + '\t' + Md5B + "\t5\t/bin\\a.exe\n");
    QTest::newRow("listed twice") << false << QByteArray(line + line);
    QTest::newRow("unsorted") << false << QByteArray(Md5A + '\t' + Md5B + "\t5\t/b.exe\n" + line);
    QTest::newRow("CR LF") << false << QByteArray(Md5A + '\t' + Md5B + "\t5\t/a.exe\r\n");
    QTest::newRow("no final line feed") << false << line.chopped(1);
    QTest::newRow("not UTF-8") << false << QByteArray(Md5A + '\t' + Md5B + "\t5\t/\xff.exe\n");
    QTest::newRow("MD5 in the signed list") << true << QByteArray(SignedHeader + line);
    QTest::newRow("no header") << true << QByteArray(ShaA + '\t' + ShaA + "\t5\ta.exe\n");
    QTest::newRow("unknown format version") << true
                                            << QByteArray("release-patches 3\nversion: 2.0\nfolder: v2\n\n" +
                                                          ShaA + '\t' + ShaA + "\t5\ta.exe\n");
    QTest::newRow("header without blank line")
        << true
        << QByteArray("release-patches 2\nversion: 2.0\nfolder: v2\n" + ShaA + '\t' + ShaA + "\t5\ta.exe\n");
    QTest::newRow("empty version") << true << QByteArray("release-patches 2\nversion: \nfolder: v2\n\n");
    QTest::newRow("slash in the signed path")
        << true << QByteArray(SignedHeader + ShaA + '\t' + ShaA + "\t5\t/a.exe\n");
    QTest::newRow("manifest as a target")
        << true << QByteArray(SignedHeader + ShaA + '\t' + ShaA + "\t5\trelease.manifest\n");
}

void TestPatches::refusesMalformedLists()
{
    QFETCH(bool, isSigned);
    QFETCH(QByteArray, text);
    PatchIndex read = sampleIndex();
    QString error;
    QVERIFY(
        !(isSigned ? PatchIndex::parseSigned(text, read, error) : PatchIndex::parsePlain(text, read, error)));
    QVERIFY(!error.isEmpty());
    QCOMPARE(read.entries.size(), 3);
}

void TestPatches::appliesOnlyWhatFits_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("expected");
    QTest::newRow("good") << QString() << int(PatchApplier::Applied);
    QTest::newRow("truncated") << QStringLiteral("truncate") << int(PatchApplier::Truncated);
    QTest::newRow("flipped byte") << QStringLiteral("flip") << int(PatchApplier::Corrupt);
    QTest::newRow("trailing bytes") << QStringLiteral("append") << int(PatchApplier::Corrupt);
    QTest::newRow("foreign base") << QStringLiteral("foreign base") << int(PatchApplier::Corrupt);
    QTest::newRow("not a patch") << QStringLiteral("text") << int(PatchApplier::Corrupt);
    QTest::newRow("empty patch") << QStringLiteral("empty") << int(PatchApplier::Truncated);
    QTest::newRow("result over the limit") << QStringLiteral("limit") << int(PatchApplier::TooLarge);
    QTest::newRow("window too large") << QStringLiteral("window") << int(PatchApplier::WindowTooLarge);
    QTest::newRow("missing base") << QStringLiteral("no base") << int(PatchApplier::BaseUnreadable);
}

void TestPatches::appliesOnlyWhatFits()
{
    QFETCH(QString, damage);
    QFETCH(int, expected);
    QTemporaryDir dir;
    const QByteArray base = noise(300000, 1);
    QByteArray target = base;
    target.replace(1000, 5, "fixed").insert(200000, "a new line\n");
    QByteArray patch;
    QString error;
    QVERIFY2(PatchMaker::make(base, target, patch, error), qPrintable(error));
    QVERIFY2(patch.size() < target.size() / 50, qPrintable(QString::number(patch.size())));

    QByteArray baseOnDisk = damage == QLatin1String("foreign base") ? noise(300000, 2) : base;
    qint64 limit = -1;
    if (damage == QLatin1String("truncate")) {
        patch.chop(5);
    } else if (damage == QLatin1String("flip")) {
        patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 0x40);
    } else if (damage == QLatin1String("append")) {
        patch += "junk";
    } else if (damage == QLatin1String("text")) {
        patch = "not a patch at all\n";
    } else if (damage == QLatin1String("empty")) {
        patch.clear();
    } else if (damage == QLatin1String("limit")) {
        limit = target.size() - 1;
    } else if (damage == QLatin1String("window")) {
        patch = frameWithWindow(target, PatchApplier::MaxWindowLog + 1);
    }
    const QString basePath = dir.filePath(QStringLiteral("base"));
    if (damage != QLatin1String("no base")) {
        writeFile(basePath, baseOnDisk);
    }
    writeFile(dir.filePath(QStringLiteral("patch")), patch);
    const QString outPath = dir.filePath(QStringLiteral("out"));
    writeFile(outPath, "stale");

    PatchApplier applier;
    applier.setComputeSha256(true);
    QCOMPARE(int(applier.apply(basePath, dir.filePath(QStringLiteral("patch")), outPath, limit)), expected);
    if (expected == PatchApplier::Applied) {
        QFile out(outPath);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), target);
        QCOMPARE(applier.resultSize(), qint64(target.size()));
        QCOMPARE(applier.resultMd5(),
                 QString::fromLatin1(QCryptographicHash::hash(target, QCryptographicHash::Md5).toHex()));
        QCOMPARE(applier.resultSha256(), QCryptographicHash::hash(target, QCryptographicHash::Sha256));
    } else {
        QVERIFY(!applier.errorString().isEmpty());
        QVERIFY(!QFile::exists(outPath) || damage == QLatin1String("no base"));
    }
}

QTEST_GUILESS_MAIN(TestPatches)
#include "testpatches.moc"
