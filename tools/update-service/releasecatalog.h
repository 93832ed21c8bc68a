#pragma once

#include "formats/tcpprotocol.h"

#include <QString>
#include <QVector>

/// The files of one release folder as the service lists and serves them.
///
/// Files are listed in the order of their release-relative paths, so every client sees the same
/// order. Only listed files are ever served: a request names an entry, never a path on disk.
class ReleaseCatalog
{
public:
    struct Entry
    {
        FileTransferRequest request; ///< folder part ("" at the top) and name, as sent
        QString relativePath;
        QString absolutePath; ///< empty for a forged test record
    };

    /// Lists every file below `root`; files whose texts do not fit the record fields are skipped
    /// with a warning.
    bool load(const QString& root, QString& error);
    /// Adds a "folder|name" record that has no file behind it (test switch).
    void addForgedRecord(const QString& record);

    const QVector<Entry>& entries() const { return m_entries; }
    QVector<FileTransferRequest> requests() const;
    /// The entry with exactly these texts, or nullptr.
    const Entry* find(const FileTransferRequest& request) const;
    /// The entry with this release-relative path, or nullptr.
    const Entry* findByRelativePath(const QString& relativePath) const;

    static FileTransferRequest splitRecordText(const QString& record);

private:
    QVector<Entry> m_entries;
};
