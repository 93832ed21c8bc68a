#pragma once

#include "formats/sha256hash.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QQueue>
#include <QVector>

#include <condition_variable>
#include <mutex>
#include <thread>

/// An MD5 or SHA-256 digest computed on a worker thread while its caller goes on receiving and writing.
///
/// addData() only queues the chunk (QByteArray shares it, nothing is copied) and returns; a worker
/// thread of this object's own, started with the first chunk, hashes the queue in order. At most
/// MaxQueuedBytes wait to be hashed: beyond that addData() blocks until the worker caught up, so memory does
/// not grow with a file that arrives faster than it can be hashed. Chunks taken with takeBuffer() are
/// recycled once hashed, so a long stream allocates no fresh memory per chunk. All functions belong to one
/// thread, the owner's. The hand-over uses the standard library's locks, which the thread
/// sanitizer sees (Debian's Qt is not instrumented).
class BackgroundDigest
{
public:
    static constexpr qint64 MaxQueuedBytes = qint64{8} * 1024 * 1024;

    enum Algorithm
    {
        Md5,
        Sha256
    };

    /// What becomes of a chunk once it is hashed. Of two digests fed the same chunks, one recycles
    /// them: a recycled buffer that the other still queues is copied when it is next written
    /// (QByteArray shares its data), never changed under the other's worker.
    enum Buffers
    {
        RecycleBuffers,
        DropBuffers
    };

    explicit BackgroundDigest(Algorithm algorithm = Md5, Buffers buffers = RecycleBuffers)
        : m_algorithm(algorithm), m_buffers(buffers)
    {
    }
    /// Drops what is still queued and ends the worker.
    ~BackgroundDigest();
    BackgroundDigest(const BackgroundDigest&) = delete;
    BackgroundDigest& operator=(const BackgroundDigest&) = delete;

    /// Starts a new digest; data queued for the previous one is dropped.
    void reset();
    /// An array to resize, fill and add, preferably one whose memory held an earlier chunk (its
    /// content is stale). Resizing it within its old size allocates nothing.
    QByteArray takeBuffer();
    void addData(const QByteArray& chunk);
    /// The digest of everything added since reset(), once the worker hashed all of it.
    QByteArray result();

private:
    void runWorker();
    void hashQueue(std::unique_lock<std::mutex>& lock);
    void dropQueue();
    void waitUntilIdle(std::unique_lock<std::mutex>& lock);
    void hashChunk(const QByteArray& chunk);

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_progress;
    QQueue<QByteArray> m_queue;
    QVector<QByteArray> m_spareBuffers;
    qint64 m_queuedBytes = 0;
    bool m_workerRunning = false;
    bool m_stopping = false;
    std::thread m_worker;
    // Touched by the worker only while it runs, by the owner only while it does not.
    const Algorithm m_algorithm;
    const Buffers m_buffers;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    Sha256Hash m_sha256;
};
