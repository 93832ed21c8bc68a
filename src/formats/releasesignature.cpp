#include "releasesignature.h"

#include <QFile>

#include <sodium.h>

namespace {

bool sodiumReady()
{
    // sodium_init() may be called again, but once is enough and is thread-safe here.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

unsigned char* bytes(QByteArray& data)
{
    return reinterpret_cast<unsigned char*>(data.data());
}

QByteArray decodeBase64Line(const QByteArray& text)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

} // namespace

bool ReleaseSignature::generateKeyPair(QByteArray& publicKey, QByteArray& secretKey)
{
    if (!sodiumReady()) {
        return false;
    }
    publicKey = QByteArray(PublicKeyBytes, Qt::Uninitialized);
    secretKey = QByteArray(SecretKeyBytes, Qt::Uninitialized);
    return crypto_sign_keypair(bytes(publicKey), bytes(secretKey)) == 0;
}

QByteArray ReleaseSignature::sign(const QByteArray& message, const QByteArray& secretKey)
{
    if (secretKey.size() != SecretKeyBytes || !sodiumReady()) {
        return QByteArray();
    }
    QByteArray signature(SignatureBytes, Qt::Uninitialized);
    if (crypto_sign_detached(bytes(signature), nullptr, bytes(message), size_t(message.size()),
                             bytes(secretKey)) != 0) {
        return QByteArray();
    }
    return signature;
}

bool ReleaseSignature::verify(const QByteArray& message, const QByteArray& signature,
                              const QByteArray& publicKey)
{
    if (signature.size() != SignatureBytes || publicKey.size() != PublicKeyBytes || !sodiumReady()) {
        return false;
    }
    return crypto_sign_verify_detached(bytes(signature), bytes(message), size_t(message.size()),
                                       bytes(publicKey)) == 0;
}

QByteArray ReleaseSignature::decodePublicKey(const QString& base64)
{
    const QByteArray key = decodeBase64Line(base64.toLatin1());
    return key.size() == PublicKeyBytes && base64.trimmed().size() == (PublicKeyBytes + 2) / 3 * 4
               ? key
               : QByteArray();
}

QString ReleaseSignature::encodePublicKey(const QByteArray& publicKey)
{
    return QString::fromLatin1(publicKey.toBase64());
}

QByteArray ReleaseSignature::encodeSecretKeyFile(const QByteArray& secretKey)
{
    return secretKey.toBase64() + '\n';
}

QByteArray ReleaseSignature::readSecretKeyFile(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the secret key file %1: %2").arg(path, file.errorString());
        return QByteArray();
    }
    const QByteArray text = file.read(MaxSecretKeyFileBytes + 1);
    QByteArray key = decodeBase64Line(text);
    if (text.size() > MaxSecretKeyFileBytes || key.size() != SecretKeyBytes) {
        error = QStringLiteral("%1 is not a secret key file (one line of base64 of a %2-byte key)")
                    .arg(path)
                    .arg(SecretKeyBytes);
        return QByteArray();
    }
    // The second half repeats the public key; a damaged file would sign with a key nobody lists.
    if (publicKeyOf(key) != key.right(PublicKeyBytes)) {
        error = QStringLiteral("%1 is damaged: its key does not match its own public half").arg(path);
        return QByteArray();
    }
    return key;
}

QByteArray ReleaseSignature::publicKeyOf(const QByteArray& secretKey)
{
    if (secretKey.size() != SecretKeyBytes || !sodiumReady()) {
        return QByteArray();
    }
    // The public key derived from the seed (the first half), not copied from the second half.
    QByteArray publicKey(PublicKeyBytes, Qt::Uninitialized);
    QByteArray secret(SecretKeyBytes, Qt::Uninitialized);
    const int status = crypto_sign_seed_keypair(bytes(publicKey), bytes(secret), bytes(secretKey));
    sodium_memzero(secret.data(), size_t(secret.size()));
    return status == 0 ? publicKey : QByteArray();
}
