#include "app/singleinstanceguard.h"

#include "platform/fileplatform.h"

#include <QDir>
#include <QFileInfo>
#include <QSharedMemory>
#include <QSystemSemaphore>

QString SingleInstanceGuard::baseKey(const QString& applicationFilePath)
{
    // One installation, one updater: every name of the program in a folder (a hard link, a link,
    // another letter case on Windows) and every way to that folder give the same key.
    const QFileInfo program(applicationFilePath);
    QString folder = program.absoluteDir().canonicalPath();
    if (folder.isEmpty()) {
        folder = program.absolutePath();
    }
    if (FilePlatform::pathCaseSensitivity() == Qt::CaseInsensitive) {
        folder = folder.toCaseFolded();
    }
    return QDir::toNativeSeparators(folder + QLatin1Char('/')) + QStringLiteral("SystemObject_Update");
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
