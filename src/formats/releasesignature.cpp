#include "formats/releasesignature.h"

#include <QFile>

#include <sodium.h>

namespace {
bool ready()
{
    static const bool initialised = sodium_init() >= 0;
    return initialised;
}
} // namespace

bool ReleaseSignature::generateKeyPair(QByteArray& publicKey, QByteArray& secretKey)
{
    publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    secretKey.resize(crypto_sign_SECRETKEYBYTES);
    return ready() && crypto_sign_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
                                          reinterpret_cast<unsigned char*>(secretKey.data())) == 0;
}

QByteArray ReleaseSignature::sign(const QByteArray& message, const QByteArray& secretKey)
{
    if (!ready() || secretKey.size() != crypto_sign_SECRETKEYBYTES) {
        return QByteArray();
    }
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(message.constData()),
                         static_cast<unsigned long long>(message.size()),
                         reinterpret_cast<const unsigned char*>(secretKey.constData()));
    return signature;
}

bool ReleaseSignature::verify(const QByteArray& message, const QByteArray& signature,
                              const QByteArray& publicKey)
{
    return ready() && signature.size() == crypto_sign_BYTES &&
           publicKey.size() == crypto_sign_PUBLICKEYBYTES &&
           crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                       reinterpret_cast<const unsigned char*>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

QByteArray ReleaseSignature::decodePublicKey(const QString& base64)
{
    const QByteArray key = QByteArray::fromBase64(base64.trimmed().toLatin1());
    return key.size() == crypto_sign_PUBLICKEYBYTES ? key : QByteArray();
}

QString ReleaseSignature::encodePublicKey(const QByteArray& publicKey)
{
    return QString::fromLatin1(publicKey.toBase64());
}

QByteArray ReleaseSignature::readSecretKeyFile(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return QByteArray();
    }
    return QByteArray::fromBase64(file.readAll().trimmed());
}
