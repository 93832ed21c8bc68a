// Release signatures: a signature holds only for the exact bytes under the key that made it, and
// key texts and secret key files are read strictly.
#include "formats/releasesignature.h"
#include "support/files.h"

#include <QTemporaryDir>
#include <QtTest>

class TestReleaseSignature : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void verifiesOnlyWhatWasSigned_data();
    void verifiesOnlyWhatWasSigned();
    void decodesPublicKeyTexts_data();
    void decodesPublicKeyTexts();
    void readsSecretKeyFiles_data();
    void readsSecretKeyFiles();

private:
    QByteArray m_publicKey;
    QByteArray m_secretKey;
};

namespace {

const QByteArray Message = "release-manifest 1\nproduct: 1\n";

QByteArray flipped(QByteArray data, int index)
{
    data[index] = char(data.at(index) ^ 0x01);
    return data;
}

} // namespace

void TestReleaseSignature::initTestCase()
{
    QVERIFY(ReleaseSignature::generateKeyPair(m_publicKey, m_secretKey));
    QCOMPARE(m_publicKey.size(), 32);
    QCOMPARE(m_secretKey.size(), 64);
    QCOMPARE(ReleaseSignature::publicKeyOf(m_secretKey), m_publicKey);
}

void TestReleaseSignature::verifiesOnlyWhatWasSigned_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("publicKey");
    QTest::addColumn<bool>("valid");

    QByteArray otherPublic;
    QByteArray otherSecret;
    QVERIFY(ReleaseSignature::generateKeyPair(otherPublic, otherSecret));
    const QByteArray signature = ReleaseSignature::sign(Message, m_secretKey);
    QCOMPARE(signature.size(), 64);
    QTest::newRow("signed bytes") << Message << signature << m_publicKey << true;
    QTest::newRow("one bit of the message") << flipped(Message, 3) << signature << m_publicKey << false;
    QTest::newRow("a byte more") << Message + '\n' << signature << m_publicKey << false;
    QTest::newRow("one bit of the signature") << Message << flipped(signature, 40) << m_publicKey << false;
    QTest::newRow("signature cut short") << Message << signature.left(63) << m_publicKey << false;
    QTest::newRow("another key") << Message << signature << otherPublic << false;
    QTest::newRow("signed by another key")
        << Message << ReleaseSignature::sign(Message, otherSecret) << m_publicKey << false;
    QTest::newRow("no key") << Message << signature << QByteArray() << false;
    QTest::newRow("no signature") << Message << QByteArray() << m_publicKey << false;
    QTest::newRow("empty message signed")
        << QByteArray() << ReleaseSignature::sign(QByteArray(), m_secretKey) << m_publicKey << true;
}

void TestReleaseSignature::verifiesOnlyWhatWasSigned()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, publicKey);
    QFETCH(bool, valid);
    QCOMPARE(ReleaseSignature::verify(message, signature, publicKey), valid);
}

void TestReleaseSignature::decodesPublicKeyTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    const QString text = ReleaseSignature::encodePublicKey(m_publicKey);
    QCOMPARE(text.size(), 44);
    QTest::newRow("as encoded") << text << true;
    QTest::newRow("blanks around") << QStringLiteral("  ") + text + QStringLiteral("\n") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("without padding") << text.chopped(1) << false;
    QTest::newRow("blank inside") << text.left(20) + QLatin1Char(' ') + text.mid(20) << false;
    QTest::newRow("not base64") << QString(text).replace(0, 1, QLatin1Char('*')) << false;
    QTest::newRow("secret key length") << QString::fromLatin1(m_secretKey.toBase64()) << false;
    QTest::newRow("31 bytes") << QString::fromLatin1(m_publicKey.left(31).toBase64()) << false;
}

void TestReleaseSignature::decodesPublicKeyTexts()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(ReleaseSignature::decodePublicKey(text), valid ? m_publicKey : QByteArray());
}

void TestReleaseSignature::readsSecretKeyFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");

    const QByteArray good = ReleaseSignature::encodeSecretKeyFile(m_secretKey);
    QTest::newRow("as written") << good << QString();
    QTest::newRow("CR LF") << good.chopped(1) + "\r\n" << QString();
    QTest::newRow("empty") << QByteArray() << "not a secret key file";
    QTest::newRow("public key file") << m_publicKey.toBase64() + '\n' << "not a secret key file";
    QTest::newRow("two keys") << good + good << "not a secret key file";
    QTest::newRow("raw bytes") << m_secretKey << "not a secret key file";
    QTest::newRow("public half damaged")
        << ReleaseSignature::encodeSecretKeyFile(flipped(m_secretKey, 40)) << "damaged";
    QTest::newRow("oversized") << good + QByteArray(2000, ' ') << "not a secret key file";
}

void TestReleaseSignature::readsSecretKeyFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release-signing.key"));
    QVERIFY(writeFile(path, content));
    QString error;
    const QByteArray key = ReleaseSignature::readSecretKeyFile(path, error);
    QCOMPARE(key, reason.isEmpty() ? m_secretKey : QByteArray());
    QVERIFY2(error.contains(reason), qPrintable(error));
    if (reason.isEmpty()) {
        QVERIFY(ReleaseSignature::verify(Message, ReleaseSignature::sign(Message, key), m_publicKey));
    }
}

QTEST_GUILESS_MAIN(TestReleaseSignature)
#include "testreleasesignature.moc"
