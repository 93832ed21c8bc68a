#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

/// Defers the flushes of a phase of file operations to its end.
///
/// While a batch is open, the FileSystem operations that change the disk leave the flushing of
/// the files they wrote and of the folders whose entries they changed to the batch. flush() then
/// pushes every file to the device first and every such folder after it, in one pass, which costs
/// far less than a flush after each file. What the phase wrote is durable once flush() returned
/// true, and not before: advance the journal only after it.
///
/// Batches belong to the GUI thread; an inner batch takes over until it closes. Closing a batch
/// flushes what is still pending, so nothing leaves a phase unflushed.
class SyncBatch
{
public:
    SyncBatch();
    ~SyncBatch();
    SyncBatch(const SyncBatch&) = delete;
    SyncBatch& operator=(const SyncBatch&) = delete;

    /// The batch operations report to now, or nullptr when they flush at once.
    static SyncBatch* current();

    void addFile(const QString& path);
    void addFolder(const QString& folder);

    /// Flushes the pending files, then the pending folders. False when any of them failed, which
    /// failedPath() names; everything is tried in any case.
    bool flush();
    QString failedPath() const { return m_failedPath; }

private:
    bool syncEach(const QStringList& paths, bool (*sync)(const QString&));

    QStringList m_files;
    QStringList m_folders;
    QSet<QString> m_knownFolders;
    QString m_failedPath;
    SyncBatch* m_outer = nullptr;
};
