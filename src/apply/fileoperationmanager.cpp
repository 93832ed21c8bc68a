#include "apply/fileoperationmanager.h"

#include "apply/filesystem.h"
#include "config/folderpath.h"
#include "log/logger.h"

#include <QFileInfo>

namespace {

/// Replaces `destination` with a copy of `source`; false when either step fails.
bool replaceWithCopy(const QString& source, const QString& destination)
{
    if (FileSystem::exists(destination) && !FileSystem::removeFile(destination)) {
        return false;
    }
    return FileSystem::copyFile(source, destination);
}

} // namespace

CFileOperationManager::CFileOperationManager(QObject* parent) : QObject(parent) {}

bool CFileOperationManager::initialize()
{
    return true;
}

bool CFileOperationManager::restoreFromBackup(const QString& backupDir, const QString& installDir,
                                              const QStringList& names)
{
    QStringList entries = names;
    if (entries.isEmpty()) {
        for (const QFileInfo& entry : FileSystem::listEntries(backupDir, Qt::CaseInsensitive)) {
            entries.append(entry.fileName());
        }
    }

    for (const QString& name : entries) {
        const QString backupPath = withTrailingSlash(backupDir) + name;
        const QString installPath = withTrailingSlash(installDir) + name;
        if (!FileSystem::exists(backupPath)) {
            continue;
        }
        const QString parent = QFileInfo(installPath).absolutePath();
        if (!FileSystem::isFolder(parent) && !FileSystem::makePath(parent)) {
            return fail(QStringLiteral("无法创建目标文件目录: ") + parent);
        }
        if (FileSystem::isFolder(backupPath)) {
            if (!restoreDirectory(backupPath, installPath)) {
                return fail(QStringLiteral("回退目录失败: ") + backupPath + QStringLiteral(" -> ") +
                            installPath);
            }
        } else {
            if (FileSystem::exists(installPath) && !FileSystem::removeFile(installPath)) {
                return fail(QStringLiteral("删除目标文件失败: ") + installPath);
            }
            if (!FileSystem::copyFile(backupPath, installPath)) {
                return fail(QStringLiteral("回退文件失败: ") + backupPath + QStringLiteral(" -> ") +
                            installPath);
            }
        }
        Logger::info(QStringLiteral("回退文件成功:") + backupPath + QStringLiteral("->") + installPath);
    }
    return true;
}

bool CFileOperationManager::restoreDirectory(const QString& sourceDir, const QString& destinationDir)
{
    if (!FileSystem::isFolder(sourceDir)) {
        return false;
    }
    if (!FileSystem::isFolder(destinationDir) && !FileSystem::makePath(destinationDir)) {
        return false;
    }
    for (const QFileInfo& entry : FileSystem::listEntries(sourceDir, Qt::CaseInsensitive)) {
        const QString destination = destinationDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!restoreDirectory(entry.absoluteFilePath(), destination)) {
                return false;
            }
        } else if (entry.isFile() && !replaceWithCopy(entry.absoluteFilePath(), destination)) {
            return false;
        }
    }
    return true;
}

bool CFileOperationManager::fail(const QString& error)
{
    m_lastError = error;
    return false;
}
