#pragma once

#include <QByteArray>
#include <QString>

/// Ed25519 keys and detached signatures (libsodium) for release manifests.
///
/// A public key travels as one line of base64 of its 32 bytes (system.cfg, the key file that
/// keygen writes). A secret key file holds one line of base64 of the 64-byte secret key, which
/// carries its public key in its second half; nothing else may be in it.
class ReleaseSignature
{
public:
    static constexpr int PublicKeyBytes = 32;
    static constexpr int SecretKeyBytes = 64;
    static constexpr int SignatureBytes = 64;
    /// A secret key file is a line of base64; anything much larger is not one.
    static constexpr qint64 MaxSecretKeyFileBytes = 1024;

    /// A new key pair: 32 / 64 raw bytes. False when the library cannot start.
    static bool generateKeyPair(QByteArray& publicKey, QByteArray& secretKey);
    /// The 64-byte signature of `message`, empty on error (a secret key of the wrong size).
    static QByteArray sign(const QByteArray& message, const QByteArray& secretKey);
    /// True only when `signature` is the signature of exactly `message` under `publicKey`.
    static bool verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey);
    /// 32 raw bytes, or empty if `base64` is not the text of a public key (blanks around it allowed).
    static QByteArray decodePublicKey(const QString& base64);
    /// One line of base64, without a line end.
    static QString encodePublicKey(const QByteArray& publicKey);
    /// The content of a secret key file for `secretKey`: one line of base64 and a line feed.
    static QByteArray encodeSecretKeyFile(const QByteArray& secretKey);
    /// The secret key in the file at `path`; empty and a reason in `error` when the file cannot be
    /// read or does not hold a whole, consistent secret key.
    static QByteArray readSecretKeyFile(const QString& path, QString& error);
    /// The public key that belongs to `secretKey`, empty if it is not a secret key.
    static QByteArray publicKeyOf(const QByteArray& secretKey);
};
