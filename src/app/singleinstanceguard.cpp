#include "app/singleinstanceguard.h"

#include "platform/platform.h"

#include <QDir>
#include <QSharedMemory>
#include <QSystemSemaphore>

QString SingleInstanceGuard::baseKey(const QString& applicationFilePath)
{
    return QDir::toNativeSeparators(Platform::canonicalPathForLock(applicationFilePath)) +
           QStringLiteral("SystemObject_Update");
}

bool SingleInstanceGuard::acquire(const QString& baseKey)
{
    QSystemSemaphore semaphore(baseKey + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();

    // Held until the process ends: holding the segment is the lock.
    static QSharedMemory segment(baseKey + QStringLiteral("_mem"));

    // Attaching to and detaching from a segment nobody else holds destroys it; a segment of a
    // live holder survives the detach, so create() below still fails for a second copy.
    if (!segment.isAttached() && segment.attach()) {
        segment.detach();
    }
    const bool created = segment.isAttached() || segment.create(1, QSharedMemory::ReadWrite);

    semaphore.release(1);
    return created;
}
