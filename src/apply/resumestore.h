#pragma once

#include <QSet>
#include <QString>

struct ReleaseManifestFile;

/// Keeps the downloads of an unfinished update for the next run of the same offered release.
///
/// The store is the temporary folder itself, marked by a small record in it, `.update-resume`,
/// that binds the folder's content to one channel, offered version and release folder:
///
///     UpdateResume 1
///     channel=http
///     version=2.3.0
///     folder=v2.3.0/
///
/// UTF-8 text, one "key=value" per line after the first; unknown keys are ignored, and a file that
/// does not start with the first line or lacks a key is no record. It holds no file list: a kept
/// file counts only when it hashes to the digest that this run's lists give for it, so a partial,
/// damaged or replaced file is fetched again and nothing is trusted for having been there.
///
/// A run that downloads writes the record before its first file request; the folder then keeps
/// what was downloaded when the run fails, is cancelled or is killed. The record is removed when a
/// download completes (before anything is installed), and the folder with it when a check finds
/// nothing to install or a release is refused.
class ResumeStore
{
public:
    struct Binding
    {
        QString channel; ///< "http" or "tcp"
        QString version; ///< the offered version
        QString folder;  ///< the release folder on the server; empty over TCP

        bool operator==(const Binding& other) const
        {
            return channel == other.channel && version == other.version && folder == other.folder;
        }
    };

    static constexpr int MaxRecordBytes = 4096;

    /// A store over the temporary folder `tempDir` (absolute, ending in "/").
    explicit ResumeStore(const QString& tempDir);

    /// The record's name inside the temporary folder.
    static constexpr const char* RecordName = ".update-resume";
    QString recordPath() const;

    /// True when the temporary folder holds a readable record: it is a store and survives the
    /// start of the next run.
    bool isKept() const;

    /// Prepares the folder for a download of `binding` and records it. True when the folder holds
    /// a store of the same binding, whose files may then be taken with reuse(); otherwise a store
    /// of another release is emptied first and false is returned.
    bool open(const Binding& binding);

    /// True when the kept file at `relativePath` below the folder has the given MD5 (lower- or
    /// upper-case hex; empty: not checked) and, when `listed` is given, its size and SHA-256. A
    /// file that fails, and anything else in its place, is removed. False without any digest.
    bool reuse(const QString& relativePath, const QString& md5, const ReleaseManifestFile* listed);

    /// Removes every file and link below the folder whose relative path is not in `keep`, and the
    /// folders left empty: what remains is exactly what this run installs, and the record.
    void retainOnly(const QSet<QString>& keep);

    /// Removes the record (only a file that reads as one); the folder is an ordinary temporary
    /// folder again.
    void forget();

private:
    bool readRecord(Binding& binding) const;
    bool writeRecord(const Binding& binding);
    /// Prunes `folder` (relative `prefix`); true when it is empty afterwards.
    bool prune(const QString& folder, const QString& prefix, const QSet<QString>& keep);
    void emptyFolder();

    QString m_tempDir;
};
