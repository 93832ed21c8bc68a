#include "http/backgroundmd5.h"

namespace {

// Enough to keep a steady stream of chunks in circulation; more only hold memory.
constexpr int maxSpareBuffers = 8;

} // namespace

BackgroundMd5::~BackgroundMd5()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    dropQueue();
    waitUntilIdle(lock);
    m_stopping = true;
    lock.unlock();
    m_work.notify_one();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void BackgroundMd5::reset()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    dropQueue();
    waitUntilIdle(lock);
    m_hash.reset();
}

QByteArray BackgroundMd5::takeBuffer()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spareBuffers.isEmpty()) {
        return QByteArray();
    }
    return m_spareBuffers.takeLast();
}

void BackgroundMd5::addData(const QByteArray& chunk)
{
    if (chunk.isEmpty()) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_progress.wait(lock, [this, &chunk] {
        return m_queuedBytes == 0 || m_queuedBytes + chunk.size() <= MaxQueuedBytes;
    });
    m_queue.enqueue(chunk);
    m_queuedBytes += chunk.size();
    if (!m_workerRunning) {
        m_workerRunning = true;
        if (!m_worker.joinable()) {
            m_worker = std::thread([this] { runWorker(); });
        }
        lock.unlock();
        m_work.notify_one();
    }
}

QByteArray BackgroundMd5::result()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    waitUntilIdle(lock);
    return m_hash.result();
}

void BackgroundMd5::runWorker()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_workerRunning || m_stopping; });
        if (!m_workerRunning) {
            return;
        }
        hashQueue(lock);
    }
}

void BackgroundMd5::hashQueue(std::unique_lock<std::mutex>& lock)
{
    while (!m_queue.isEmpty()) {
        QByteArray chunk = m_queue.dequeue();
        lock.unlock();
        m_hash.addData(chunk);
        lock.lock();
        m_queuedBytes -= chunk.size();
        if (m_spareBuffers.size() < maxSpareBuffers) {
            m_spareBuffers.append(std::move(chunk));
        }
        m_progress.notify_all();
    }
    m_workerRunning = false;
    m_progress.notify_all();
}

void BackgroundMd5::dropQueue()
{
    // The chunk the worker holds stays counted until it is hashed.
    for (const QByteArray& chunk : qAsConst(m_queue)) {
        m_queuedBytes -= chunk.size();
    }
    m_queue.clear();
}

void BackgroundMd5::waitUntilIdle(std::unique_lock<std::mutex>& lock)
{
    m_progress.wait(lock, [this] { return !m_workerRunning; });
}
