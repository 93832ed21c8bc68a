#pragma once

#include <QString>
#include <QStringList>

/// Decides before the first file request whether the installation's volume can take an update.
///
/// The update needs room for what is still to be downloaded and for the copies of the installed
/// files it replaces (the backup lies on the same volume), plus a margin of 1 % and 16 MiB for the
/// journal, the log and the file system's own bookkeeping.
class DiskSpaceCheck
{
public:
    static constexpr qint64 FixedMarginBytes = qint64{16} * 1024 * 1024;

    explicit DiskSpaceCheck(const QString& appDir) : m_appDir(appDir) {}

    /// Adds a file that the update installs at `relativePath` ('/'-separated, a leading '/' is
    /// ignored) after downloading `downloadBytes` (0 when it is downloaded already). A negative
    /// count means the size is not known before the transfer: the file then counts with the size
    /// of the installed file it replaces.
    void addFile(const QString& relativePath, qint64 downloadBytes);

    /// The bytes needed, margin included.
    qint64 requiredBytes() const;

    /// True when the volume has room; otherwise false with the reason in refusal(), logged.
    bool hasRoom();
    QString refusal() const { return m_refusal; }

    /// A byte count as whole MiB, rounded up, for the reason text.
    static QString mebibytes(qint64 bytes);

private:
    QString m_appDir;
    qint64 m_downloadBytes = 0;
    qint64 m_backupBytes = 0;
    QString m_refusal;
};
