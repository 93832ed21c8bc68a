#pragma once

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
};
