#include "apply/fileoperationmanager.h"

#include "apply/filesystem.h"
#include "apply/syncbatch.h"
#include "config/folderpath.h"
#include "log/logger.h"

#include <QFileInfo>

namespace {

/// Clears the way for a saved file. A folder in the way was put there by the update, which
/// brought a folder where the file was; once the files it added are gone it is empty and goes.
bool makeRoomForFile(const QString& destination)
{
    if (FileSystem::isFolder(destination)) {
        return FileSystem::removeEmptyFolder(destination);
    }
    return !FileSystem::exists(destination) || FileSystem::removeFile(destination);
}

/// Makes `destination` hold the bytes of `source` again. A destination that already holds them is
/// not rewritten: the update never changed it, and it may be locked (a running program). It is
/// flushed all the same, since a restore that was killed may have copied it without flushing.
bool restoreFile(const QString& source, const QString& destination)
{
    if (FileSystem::sameContent(source, destination)) {
        FileSystem::flushExistingFile(destination);
        return true;
    }
    return makeRoomForFile(destination) && FileSystem::copyFile(source, destination);
}

/// A file where a saved folder belongs was put there by the update, which brought a file where
/// the folder was: it goes, so that the folder can come back.
bool clearFileInTheWay(const QString& folder)
{
    return !FileSystem::exists(folder) || FileSystem::isFolder(folder) || FileSystem::removeFile(folder);
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
    // The restored files are flushed together at the end, before the caller removes the journal.
    SyncBatch batch;
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
        } else if (FileSystem::sameContent(backupPath, installPath)) {
            FileSystem::flushExistingFile(installPath);
            continue;
        } else {
            if (!makeRoomForFile(installPath)) {
                return fail(QStringLiteral("删除目标文件失败: ") + installPath);
            }
            if (!FileSystem::copyFile(backupPath, installPath)) {
                return fail(QStringLiteral("回退文件失败: ") + backupPath + QStringLiteral(" -> ") +
                            installPath);
            }
        }
        Logger::info(QStringLiteral("回退文件成功:") + backupPath + QStringLiteral("->") + installPath);
    }
    if (!batch.flush()) {
        return fail(QStringLiteral("回退文件失败: ") + batch.failedPath());
    }
    return true;
}

bool CFileOperationManager::restoreDirectory(const QString& sourceDir, const QString& destinationDir)
{
    if (!FileSystem::isFolder(sourceDir) || !clearFileInTheWay(destinationDir)) {
        return false;
    }
    if (!FileSystem::isFolder(destinationDir) && !FileSystem::makePath(destinationDir)) {
        return false;
    }
    // Hidden entries too: a folder that the update replaced by a file was saved with them.
    for (const QFileInfo& entry : FileSystem::listAllEntries(sourceDir)) {
        const QString destination = destinationDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!restoreDirectory(entry.absoluteFilePath(), destination)) {
                return false;
            }
        } else if (entry.isFile() && !restoreFile(entry.absoluteFilePath(), destination)) {
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
