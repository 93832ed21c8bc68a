#include "http/backgroundmd5.h"

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

class TestBackgroundMd5 : public QObject
{
    Q_OBJECT
private slots:
    void digestEqualsOnePass_data();
    void digestEqualsOnePass();
    void resetDropsQueuedData();
};

void TestBackgroundMd5::digestEqualsOnePass_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("chunks");

    QTest::newRow("nothing") << 0 << 0;
    QTest::newRow("one byte") << 1 << 1;
    QTest::newRow("small chunks, queue over its limit") << 64 * 1024 << 300;
    QTest::newRow("one chunk larger than the limit")
        << static_cast<int>(BackgroundMd5::MaxQueuedBytes + 1) << 2;
}

void TestBackgroundMd5::digestEqualsOnePass()
{
    QFETCH(int, chunkSize);
    QFETCH(int, chunks);

    // Filled in recycled buffers: a buffer still queued must never be handed out again.
    BackgroundMd5 hash;
    QCryptographicHash expected(QCryptographicHash::Md5);
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

void TestBackgroundMd5::resetDropsQueuedData()
{
    BackgroundMd5 hash;
    for (int i = 0; i < 100; ++i) {
        hash.addData(pattern(256 * 1024, i));
    }
    hash.reset();
    hash.addData("abc");
    QCOMPARE(hash.result().toHex(), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
}

QTEST_GUILESS_MAIN(TestBackgroundMd5)
#include "testbackgroundmd5.moc"
