#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

/// The digests of the files a channel wrote into the temporary folder during this run, taken from
/// the bytes as they arrived, by path relative to that folder ('/'-separated).
///
/// The release check of a signed download reads them instead of reading every file again. A file
/// is recorded only once it is complete; a file that is started again is forgotten first, and one
/// whose size on disk differs from the recorded one is read again by the check.
class ArrivedDigests
{
public:
    struct File
    {
        qint64 size = 0;
        QByteArray md5;    ///< lower-case hex; empty when not taken
        QByteArray sha256; ///< 32 raw bytes; empty when not taken
    };

    void record(const QString& relativePath, const File& file) { m_files.insert(relativePath, file); }
    void forget(const QString& relativePath) { m_files.remove(relativePath); }
    void clear() { m_files.clear(); }
    /// The record of `relativePath`, or null.
    const File* find(const QString& relativePath) const
    {
        const auto it = m_files.constFind(relativePath);
        return it == m_files.cend() ? nullptr : &it.value();
    }
    int count() const { return m_files.size(); }

private:
    QHash<QString, File> m_files;
};
