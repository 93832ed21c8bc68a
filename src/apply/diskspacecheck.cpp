#include "apply/diskspacecheck.h"

#include "apply/faultswitch.h"
#include "log/logger.h"
#include "platform/fileplatform.h"

#include <QFileInfo>

void DiskSpaceCheck::addFile(const QString& relativePath, qint64 downloadBytes)
{
    const QString relative = relativePath.startsWith(QLatin1Char('/')) ? relativePath.mid(1) : relativePath;
    // Only an installed file is copied to the backup; a folder in its place is rare and not counted.
    const QFileInfo installed(m_appDir + relative);
    const qint64 installedBytes = installed.isFile() ? installed.size() : 0;
    m_backupBytes += installedBytes;
    m_downloadBytes += downloadBytes >= 0 ? downloadBytes : installedBytes;
}

qint64 DiskSpaceCheck::requiredBytes() const
{
    const qint64 needed = m_downloadBytes + m_backupBytes;
    return needed + needed / 100 + FixedMarginBytes;
}

bool DiskSpaceCheck::hasRoom()
{
    m_refusal.clear();
    const qint64 free = FaultSwitch::reportedFreeBytes(FilePlatform::freeBytes(m_appDir));
    const qint64 required = requiredBytes();
    Logger::info(QStringLiteral("磁盘空间检查: 待下载%1字节，待备份%2字节，需要%3字节，可用%4字节")
                     .arg(m_downloadBytes)
                     .arg(m_backupBytes)
                     .arg(required)
                     .arg(free));
    // A volume whose free space the system cannot tell is not refused.
    if (free < 0 || free >= required) {
        return true;
    }
    // The caller reports the refusal once the run is undone.
    m_refusal =
        QStringLiteral("磁盘空间不足，未开始下载: 需要%1，可用%2").arg(mebibytes(required), mebibytes(free));
    return false;
}

QString DiskSpaceCheck::mebibytes(qint64 bytes)
{
    const qint64 mebibyte = qint64{1024} * 1024;
    return QStringLiteral("%1 MB").arg((qMax<qint64>(0, bytes) + mebibyte - 1) / mebibyte);
}
