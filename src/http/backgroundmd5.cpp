#include "http/backgroundmd5.h"

#include <QThreadPool>

namespace {

// Enough to keep a steady stream of chunks in circulation; more only hold memory.
constexpr int maxSpareBuffers = 8;

} // namespace

BackgroundMd5::~BackgroundMd5()
{
    QMutexLocker locker(&m_mutex);
    dropQueue();
    waitUntilIdle(locker);
}

void BackgroundMd5::reset()
{
    QMutexLocker locker(&m_mutex);
    dropQueue();
    waitUntilIdle(locker);
    m_hash.reset();
}

QByteArray BackgroundMd5::takeBuffer()
{
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    while (m_queuedBytes > 0 && m_queuedBytes + chunk.size() > MaxQueuedBytes) {
        m_progress.wait(&m_mutex);
    }
    m_queue.enqueue(chunk);
    m_queuedBytes += chunk.size();
    if (!m_workerRunning) {
        m_workerRunning = true;
        QThreadPool::globalInstance()->start([this] { hashQueue(); });
    }
}

QByteArray BackgroundMd5::result()
{
    QMutexLocker locker(&m_mutex);
    waitUntilIdle(locker);
    return m_hash.result();
}

void BackgroundMd5::hashQueue()
{
    QMutexLocker locker(&m_mutex);
    while (!m_queue.isEmpty()) {
        QByteArray chunk = m_queue.dequeue();
        locker.unlock();
        m_hash.addData(chunk);
        locker.relock();
        m_queuedBytes -= chunk.size();
        if (m_spareBuffers.size() < maxSpareBuffers) {
            m_spareBuffers.append(std::move(chunk));
        }
        m_progress.wakeAll();
    }
    m_workerRunning = false;
    m_progress.wakeAll();
}

void BackgroundMd5::dropQueue()
{
    // The chunk the worker holds stays counted until it is hashed.
    for (const QByteArray& chunk : qAsConst(m_queue)) {
        m_queuedBytes -= chunk.size();
    }
    m_queue.clear();
}

void BackgroundMd5::waitUntilIdle(QMutexLocker& locker)
{
    Q_UNUSED(locker)
    while (m_workerRunning) {
        m_progress.wait(&m_mutex);
    }
}
