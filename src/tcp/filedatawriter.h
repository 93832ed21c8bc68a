#pragma once

#include "apply/arriveddigests.h"
#include "http/backgrounddigest.h"

#include <QByteArray>
#include <QString>
#include <map>

#include <memory>

class CConfigManager;
class QFile;

/// Writes received file chunks into the temporary folder, one open file per transfer.
///
/// The target of a chunk is temporary folder + filePath + "/" + fileName, where the temporary
/// folder is [Paths] Temp resolved against the application folder when it is relative. Targets
/// that would leave the temporary folder are refused: both texts come from the network.
class CFileDataWriter
{
public:
    static CFileDataWriter& instance();

    /// A writer over `config` whose relative Temp value is taken relative to `applicationDir`.
    CFileDataWriter(const CConfigManager& config, const QString& applicationDir);
    ~CFileDataWriter();
    CFileDataWriter(const CFileDataWriter&) = delete;
    CFileDataWriter& operator=(const CFileDataWriter&) = delete;

    /// Appends `data` to the file of this transfer, opening (and truncating) it on the first chunk;
    /// `isLast` closes it. False when the target is refused or cannot be created or written.
    bool writeChunk(const QString& filePath, const QString& fileName, const QByteArray& data, bool isLast);
    /// Closes the file of an unfinished transfer so that the next chunk starts the file afresh.
    void discard(const QString& filePath, const QString& fileName);
    bool isOpen(const QString& filePath, const QString& fileName) const;
    /// Starts a download: forgets the digests of earlier ones and, with `takeDigests`, takes the
    /// MD5 and SHA-256 of every file written whole from here on, on worker threads.
    void beginDownload(bool takeDigests);
    /// The digests of the files written whole since beginDownload(true).
    const ArrivedDigests& arrivedDigests() const { return m_arrived; }

    /// Temporary folder with a trailing "/", below the application folder; empty when the
    /// configured value would lead elsewhere (see PathGuard::isRelativeInside).
    QString temporaryFolder() const;
    /// Full path of a target; empty when the target would leave the temporary folder.
    QString targetPath(const QString& filePath, const QString& fileName) const;
    /// False for texts that are absolute, carry drive letters or backslashes, or climb with "..".
    static bool isSafeTarget(const QString& filePath, const QString& fileName);
    QString lastError() const { return m_lastError; }

private:
    static QString keyOf(const QString& filePath, const QString& fileName);
    QFile* openFor(const QString& key, const QString& fullPath);
    /// The open file of the transfer that the last chunk belonged to, when these are its texts:
    /// its target was resolved, checked and its folder created by its first chunk.
    QFile* runningTransferFile(const QString& key, const QString& filePath, const QString& fileName) const;
    /// Resolves, checks and opens the target of a transfer's first chunk (or of one that another
    /// transfer interrupted); null with lastError() set when that fails.
    QFile* startTransferFile(const QString& key, const QString& filePath, const QString& fileName);
    /// Starts the digests of a transfer whose file was just begun empty, or gives them up for one
    /// that continues an interrupted file.
    void beginDigests(const QString& fullPath, bool fromStart);
    void queueForDigests(const QByteArray& data);
    void recordDigests(const QString& fullPath);
    QString relativeToTemporaryFolder(const QString& fullPath) const;
    /// Warns that `what` failed for `path` (with `detail`) and fails with both as the error.
    bool failWriting(const char* what, const QString& path, const QString& detail = QString());
    /// Keeps `error` as lastError(); always false. Every failure ends here.
    bool fail(const QString& error);

    const CConfigManager& m_config;
    QString m_applicationDir;
    std::map<QString, std::unique_ptr<QFile>> m_files;
    QString m_lastError;
    QString m_runningPath;
    QString m_runningName;
    bool m_takeDigests = false;
    /// The running transfer's digests cover its whole file so far.
    bool m_digesting = false;
    qint64 m_digestedBytes = 0;
    BackgroundDigest m_md5;
    BackgroundDigest m_sha256{BackgroundDigest::Sha256, BackgroundDigest::DropBuffers};
    ArrivedDigests m_arrived;
};
