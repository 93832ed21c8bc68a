#include "apply/syncbatch.h"

#include "platform/fileplatform.h"

#include <QFileInfo>
#include <QThread>
#include <QVector>

#include <memory>
#include <vector>

namespace {

SyncBatch* openBatch = nullptr;

constexpr int MaxFlushThreads = 32;

} // namespace

SyncBatch::SyncBatch() : m_outer(openBatch)
{
    openBatch = this;
}

SyncBatch::~SyncBatch()
{
    flush();
    openBatch = m_outer;
}

SyncBatch* SyncBatch::current()
{
    return openBatch;
}

void SyncBatch::addFile(const QString& path)
{
    m_files.append(path);
}

void SyncBatch::addFolder(const QString& folder)
{
    if (!m_knownFolders.contains(folder)) {
        m_knownFolders.insert(folder);
        m_folders.append(folder);
    }
}

bool SyncBatch::flush()
{
    m_failedPath.clear();
    // Files before folders: an entry is worth keeping only when the data it names is there.
    const bool files = syncEach(m_files, FilePlatform::syncPath);
    const bool folders = syncEach(m_folders, FilePlatform::syncFolder);
    m_files.clear();
    m_folders.clear();
    m_knownFolders.clear();
    return files && folders;
}

bool SyncBatch::syncEach(const QStringList& paths, bool (*sync)(const QString&))
{
    // Flushes that wait at the same time share the file system's journal commits, so a few
    // threads flush in far less time than one flush after the other.
    const int workers = qMin(MaxFlushThreads, paths.size());
    QVector<QString> failures(workers);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back(QThread::create([&paths, &failures, sync, worker, workers] {
            for (int index = worker; index < paths.size(); index += workers) {
                // A path that a later step of the phase removed has nothing left to flush.
                if (!sync(paths.at(index)) && QFileInfo::exists(paths.at(index)) &&
                    failures.at(worker).isEmpty()) {
                    failures[worker] = paths.at(index);
                }
            }
        }));
        threads.back()->start();
    }
    for (const std::unique_ptr<QThread>& thread : threads) {
        thread->wait();
    }
    for (const QString& failure : qAsConst(failures)) {
        if (!failure.isEmpty()) {
            if (m_failedPath.isEmpty()) {
                m_failedPath = failure;
            }
            return false;
        }
    }
    return true;
}
