#include "keypairwriter.h"

#include "formats/releasesignature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

bool KeyPairWriter::write(const QString& dir)
{
    m_lastError.clear();
    const QDir folder(dir);
    m_secretKeyPath = folder.absoluteFilePath(QLatin1String(SecretKeyFileName));
    m_publicKeyPath = folder.absoluteFilePath(QLatin1String(PublicKeyFileName));
    for (const QString& path : {m_secretKeyPath, m_publicKeyPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            return fail(QStringLiteral("%1 already exists; a key pair is never replaced (move it away "
                                       "first, or make the new pair in another folder)")
                            .arg(path));
        }
    }
    if (!QDir().mkpath(folder.absolutePath())) {
        return fail(QStringLiteral("cannot create %1").arg(folder.absolutePath()));
    }
    QByteArray publicKey;
    QByteArray secretKey;
    if (!ReleaseSignature::generateKeyPair(publicKey, secretKey)) {
        return fail(QStringLiteral("cannot make a key pair: libsodium did not start"));
    }
    m_publicKeyText = ReleaseSignature::encodePublicKey(publicKey);
    if (!writeSecretKey(ReleaseSignature::encodeSecretKeyFile(secretKey))) {
        return false;
    }
    if (!writePublicKey(m_publicKeyText.toLatin1() + '\n')) {
        QFile::remove(m_secretKeyPath);
        return false;
    }
    return true;
}

bool KeyPairWriter::writeSecretKey(const QByteArray& content)
{
    // A temporary file is created readable by its owner only, so the key is never readable by
    // others, not even for a moment; renaming it keeps that and never replaces an existing file.
    QTemporaryFile file(QFileInfo(m_secretKeyPath).path() + QStringLiteral("/.release-signing-XXXXXX"));
    file.setAutoRemove(false);
    if (!file.open()) {
        return fail(QStringLiteral("cannot create the secret key file in %1: %2")
                        .arg(QFileInfo(m_secretKeyPath).path(), file.errorString()));
    }
    const bool written = file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
                         file.write(content) == content.size() && file.flush();
    const QString temporaryPath = file.fileName();
    if (!written || !file.rename(m_secretKeyPath)) {
        const QString reason = file.errorString();
        QFile::remove(temporaryPath);
        return fail(QStringLiteral("cannot write %1: %2").arg(m_secretKeyPath, reason));
    }
    return true;
}

bool KeyPairWriter::writePublicKey(const QByteArray& content)
{
    QFile file(m_publicKeyPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(content) != content.size() ||
        !file.flush()) {
        const QString reason = file.errorString();
        if (file.isOpen()) {
            file.close();
            QFile::remove(m_publicKeyPath);
        }
        return fail(QStringLiteral("cannot write %1: %2").arg(m_publicKeyPath, reason));
    }
    return true;
}

bool KeyPairWriter::fail(const QString& error)
{
    m_lastError = error;
    return false;
}
