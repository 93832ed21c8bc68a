#include "programswap.h"

#include "app/singleinstanceguard.h"
#include "platform/fileplatform.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QThread>

namespace {

constexpr int RetryPauseMs = 200;

} // namespace

ProgramSwap::ProgramSwap(const QString& stagedPath, const QString& installedPath)
    : m_stagedPath(stagedPath), m_installedPath(installedPath)
{
}

bool ProgramSwap::isUpdaterRunning() const
{
    // The updater holds a named segment for its whole life (its single-instance lock). Attaching
    // and detaching clears a segment left by a killed updater; one that survives has a live holder.
    const QString installed = QFileInfo(m_installedPath).canonicalFilePath();
    if (installed.isEmpty()) {
        return false;
    }
    const QString key = SingleInstanceGuard::baseKey(installed);
    QSystemSemaphore semaphore(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();
    bool running = false;
    QSharedMemory probe(key + QStringLiteral("_mem"));
    if (probe.attach(QSharedMemory::ReadOnly)) {
        probe.detach();
        QSharedMemory again(key + QStringLiteral("_mem"));
        running = again.attach(QSharedMemory::ReadOnly);
    }
    semaphore.release(1);
    return running;
}

bool ProgramSwap::waitForExit(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (isUpdaterRunning()) {
        if (deadline.hasExpired()) {
            m_lastError = QStringLiteral("update.exe is still running: ") + m_installedPath;
            return false;
        }
        QThread::msleep(RetryPauseMs);
    }
    return true;
}

bool ProgramSwap::tryReplace()
{
    QFile staged(m_stagedPath);
    if (!staged.open(QIODevice::ReadOnly)) {
        m_lastError = QStringLiteral("cannot read the staged program: ") + m_stagedPath;
        return false;
    }
    QSaveFile installed(m_installedPath);
    installed.setDirectWriteFallback(false);
    if (!installed.open(QIODevice::WriteOnly)) {
        m_lastError = QStringLiteral("cannot write beside the installed program: ") + installed.errorString();
        return false;
    }
    const QByteArray content = staged.readAll();
    const QFileDevice::Permissions executable =
        QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    if (installed.write(content) != content.size() ||
        !installed.setPermissions(staged.permissions() | executable)) {
        installed.cancelWriting();
        m_lastError = QStringLiteral("cannot write the new program: ") + installed.errorString();
        return false;
    }
    if (!installed.commit()) {
        m_lastError = QStringLiteral("cannot replace the installed program: ") + installed.errorString();
        return false;
    }
    // The finishing run removes the backup of the old program; the rename must be durable before
    // that, or a power cut could bring the old program back beside the new files.
    const QString folder = QFileInfo(m_installedPath).absolutePath();
    if (!FilePlatform::syncFolder(folder)) {
        m_lastError = QStringLiteral("cannot flush the folder of the installed program: ") + folder;
        return false;
    }
    return true;
}

bool ProgramSwap::replace(int timeoutMs)
{
    if (!QFileInfo(m_stagedPath).isFile()) {
        m_lastError = QStringLiteral("no staged program: ") + m_stagedPath;
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!tryReplace()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(RetryPauseMs);
    }
    return true;
}
