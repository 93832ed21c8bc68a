#pragma once

#include <QByteArray>
#include <QString>

class ReleaseSignature
{
public:
    static bool generateKeyPair(QByteArray& publicKey, QByteArray& secretKey);
    static QByteArray sign(const QByteArray& message, const QByteArray& secretKey);
    static bool verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey);
    static QByteArray decodePublicKey(const QString& base64);
    static QString encodePublicKey(const QByteArray& publicKey);
    static QByteArray readSecretKeyFile(const QString& path, QString& error);
};
