#include "http/backgrounddigest.h"

namespace {

// Enough to keep a steady stream of chunks in circulation; more only hold memory.
constexpr int maxSpareBuffers = 8;

} // namespace

BackgroundDigest::~BackgroundDigest()
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

void BackgroundDigest::reset()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    dropQueue();
    waitUntilIdle(lock);
    m_md5.reset();
    m_sha256.reset();
}

QByteArray BackgroundDigest::takeBuffer()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spareBuffers.isEmpty()) {
        return QByteArray();
    }
    return m_spareBuffers.takeLast();
}

void BackgroundDigest::addData(const QByteArray& chunk)
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

QByteArray BackgroundDigest::result()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    waitUntilIdle(lock);
    return m_algorithm == Md5 ? m_md5.result() : m_sha256.result();
}

void BackgroundDigest::runWorker()
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

void BackgroundDigest::hashQueue(std::unique_lock<std::mutex>& lock)
{
    while (!m_queue.isEmpty()) {
        QByteArray chunk = m_queue.dequeue();
        lock.unlock();
        hashChunk(chunk);
        lock.lock();
        m_queuedBytes -= chunk.size();
        if (m_buffers == RecycleBuffers && m_spareBuffers.size() < maxSpareBuffers) {
            m_spareBuffers.append(std::move(chunk));
        }
        m_progress.notify_all();
    }
    m_workerRunning = false;
    m_progress.notify_all();
}

void BackgroundDigest::hashChunk(const QByteArray& chunk)
{
    if (m_algorithm == Md5) {
        m_md5.addData(chunk);
    } else {
        m_sha256.addData(chunk);
    }
}

void BackgroundDigest::dropQueue()
{
    // The chunk the worker holds stays counted until it is hashed.
    for (const QByteArray& chunk : qAsConst(m_queue)) {
        m_queuedBytes -= chunk.size();
    }
    m_queue.clear();
}

void BackgroundDigest::waitUntilIdle(std::unique_lock<std::mutex>& lock)
{
    m_progress.wait(lock, [this] { return !m_workerRunning; });
}
