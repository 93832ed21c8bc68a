#include "http/backgrounddigest.h"

#include <QTest>

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 31 + seed) & 0xff);
    }
    return data;
}

} // namespace

class TestBackgroundDigest : public QObject
{
    Q_OBJECT
private slots:
    void digestEqualsOnePass_data();
    void digestEqualsOnePass();
    void resetDropsQueuedData();
};

void TestBackgroundDigest::digestEqualsOnePass_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<bool>("sha256");

    for (const bool sha256 : {false, true}) {
        const char* name = sha256 ? "SHA-256" : "MD5";
        QTest::addRow("%s, nothing", name) << 0 << 0 << sha256;
        QTest::addRow("%s, one byte", name) << 1 << 1 << sha256;
        QTest::addRow("%s, odd chunks", name) << 1000 << 77 << sha256;
        QTest::addRow("%s, small chunks, queue over its limit", name) << 64 * 1024 << 300 << sha256;
        QTest::addRow("%s, one chunk larger than the limit", name)
            << static_cast<int>(BackgroundDigest::MaxQueuedBytes + 1) << 2 << sha256;
    }
}

void TestBackgroundDigest::digestEqualsOnePass()
{
    QFETCH(int, chunkSize);
    QFETCH(int, chunks);
    QFETCH(bool, sha256);

    // Filled in recycled buffers: a buffer still queued must never be handed out again.
    BackgroundDigest hash(sha256 ? BackgroundDigest::Sha256 : BackgroundDigest::Md5);
    QCryptographicHash expected(sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Md5);
    for (int i = 0; i < chunks; ++i) {
        const QByteArray content = pattern(chunkSize, i);
        QByteArray buffer = hash.takeBuffer();
        buffer.resize(chunkSize);
        memcpy(buffer.data(), content.constData(), static_cast<size_t>(chunkSize));
        hash.addData(buffer);
        expected.addData(content);
    }
    QCOMPARE(hash.result().toHex(), expected.result().toHex());
}

void TestBackgroundDigest::resetDropsQueuedData()
{
    BackgroundDigest hash;
    for (int i = 0; i < 100; ++i) {
        hash.addData(pattern(256 * 1024, i));
    }
    hash.reset();
    hash.addData("abc");
    QCOMPARE(hash.result().toHex(), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
}

QTEST_GUILESS_MAIN(TestBackgroundDigest)
#include "testbackgrounddigest.moc"
