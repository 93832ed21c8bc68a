#pragma once

#include <QString>

/// Makes a new signing key pair for release manifests and writes it into a folder: the secret key
/// in a file only its owner can read, the public key as one line of base64. Existing key files are
/// never replaced.
class KeyPairWriter
{
public:
    static constexpr const char* SecretKeyFileName = "release-signing.key";
    static constexpr const char* PublicKeyFileName = "release-signing.pub";

    /// Writes a new pair into `dir` (made if missing); false leaves no new file and a reason in
    /// lastError.
    bool write(const QString& dir);

    QString secretKeyPath() const { return m_secretKeyPath; }
    QString publicKeyPath() const { return m_publicKeyPath; }
    /// The public key as system.cfg takes it.
    QString publicKeyText() const { return m_publicKeyText; }
    QString lastError() const { return m_lastError; }

private:
    bool writeSecretKey(const QByteArray& content);
    bool writePublicKey(const QByteArray& content);
    bool fail(const QString& error);

    QString m_secretKeyPath;
    QString m_publicKeyPath;
    QString m_publicKeyText;
    QString m_lastError;
};
