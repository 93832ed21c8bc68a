#include "apply/syncbatch.h"

#include "platform/fileplatform.h"

#include <QFileInfo>

#include <thread>
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
    // Plain threads: joining them is a hand-over that the thread sanitizer sees, unlike QThread's
    // wait inside Debian's uninstrumented Qt. Each worker writes only its own slot of failures.
    const int workers = qMin(MaxFlushThreads, paths.size());
    std::vector<QString> failures(static_cast<size_t>(workers));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers));
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&paths, &failures, sync, worker, workers] {
            QString& failure = failures[static_cast<size_t>(worker)];
            for (int index = worker; index < paths.size(); index += workers) {
                // A path that a later step of the phase removed has nothing left to flush.
                if (!sync(paths.at(index)) && QFileInfo::exists(paths.at(index)) && failure.isEmpty()) {
                    failure = paths.at(index);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const QString& failure : failures) {
        if (!failure.isEmpty()) {
            if (m_failedPath.isEmpty()) {
                m_failedPath = failure;
            }
            return false;
        }
    }
    return true;
}
