#pragma once

#include "apply/arriveddigests.h"
#include "formats/releasemanifest.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

class CConfigManager;

/// Decides whether a downloaded release may be installed, for both channels alike.
///
/// With no [Security] key configured every release passes, as before signing existed. With a key,
/// the signed manifest (release.manifest and its detached signature, fetched before any other
/// file) must verify under one configured key, name the offered version, be no older than the
/// installed manifest and not have expired; every file the channel fetches must be listed, is cut
/// off beyond its listed size, and must match the listed size and SHA-256 before the backup starts.
/// Each refusal keeps a reason for the user in lastError() and logs which rule failed.
class ReleaseVerifier
{
public:
    /// A detached signature is 64 bytes; a larger file is not one and is not read whole.
    static constexpr qint64 MaxSignatureBytes = 4096;

    explicit ReleaseVerifier(const CConfigManager& config);

    /// True when at least one key is configured (even one that does not decode: then every
    /// release is refused rather than installed unchecked).
    bool isEnabled() const { return !m_keyTexts.isEmpty(); }

    /// Reads the manifest and signature at `manifestFile` and `manifestFile` + ".sig" and accepts
    /// them as described above. `installedManifestPath` may name a missing file (first signed
    /// release).
    bool acceptManifestFile(const QString& manifestFile, const QString& offeredVersion,
                            const QString& installedManifestPath);
    bool acceptManifest(const QByteArray& manifest, const QByteArray& signature,
                        const QString& offeredVersion, const QString& installedManifestPath);
    /// True when every path (relative, '/'-separated) is listed in the accepted manifest or is
    /// one of the release's own lists (update.ini, md5.txt at the top), checked after download.
    bool checkListed(const QStringList& relativePaths);
    /// The listed size of `relativePath`, or -1 when it is not listed or nothing was accepted.
    qint64 sizeLimit(const QString& relativePath) const;
    /// Listed sizes of every file of the accepted manifest, by relative path, and the caps of the
    /// release's own lists.
    QHash<QString, qint64> sizeLimits() const;
    /// Caps for the manifest and its signature themselves, while they are fetched.
    static QHash<QString, qint64> manifestSizeLimits();
    /// Every file below `folder` other than the manifest and its signature is listed with the
    /// same size and SHA-256; the release's update.ini and md5.txt at the top agree with the
    /// manifest (same version; every MD5 listed is that of a verified file).
    /// Files that `arrived` records with their size on disk are judged by the recorded digests
    /// instead of being read again.
    bool checkDownloadedFiles(const QString& folder, const ArrivedDigests& arrived = ArrivedDigests());

    const ReleaseManifest& manifest() const { return m_manifest; }
    QString lastError() const { return m_lastError; }

    /// Installed files that the manifest lists but that are absent, or present with another size
    /// or SHA-256; both lists stay empty when everything matches.
    static void compareInstallation(const ReleaseManifest& manifest, const QString& installationFolder,
                                    QStringList& missing, QStringList& differing);
    /// The manifest's form of a download path: the MD5 list writes its keys with a leading "/".
    static QString listedForm(const QString& path);
    /// The reason given when a transfer of `path` was cut off at its listed size.
    static QString oversizedText(const QString& path);
    /// Where the signed manifest lies, relative to the installation and to the temporary folder:
    /// "update/release.manifest".
    static QString manifestPath();
    /// Path of the manifest's signature beside it.
    static QString signaturePathFor(const QString& manifestFile);

private:
    bool verifySignature(const QByteArray& manifest, const QByteArray& signature);
    bool checkVersion(const QString& offeredVersion, const QString& installedManifestPath);
    bool checkFile(const QString& folder, const QString& relativePath, const ArrivedDigests& arrived);
    /// The release's update.ini and md5.txt at the top of the download.
    static bool isReleaseList(const QString& relativePath);
    bool checkReleaseList(const QString& folder, const QString& relativePath, const ArrivedDigests& arrived);
    /// Logs the rule that failed with the reason and keeps the reason; always false.
    bool fail(const char* rule, const QString& reason);

    QStringList m_keyTexts;
    ReleaseManifest m_manifest;
    bool m_accepted = false;
    QString m_lastError;
};
