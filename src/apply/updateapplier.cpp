#include "apply/updateapplier.h"

#include "apply/fileoperationmanager.h"
#include "apply/filesystem.h"
#include "apply/pathguard.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "log/logger.h"

#include <QDebug>
#include <QSet>
#include <algorithm>
#include <functional>

CUpdateApplier::CUpdateApplier(const QString& appDir, const QString& tempDir, const QString& backupDir,
                               CFileOperationManager* fileManager)
    : m_folders{appDir, tempDir, backupDir}, m_fileManager(fileManager), m_backup(m_folders),
      m_replacement(m_folders), m_journal(appDir)
{
}

bool CUpdateApplier::fail(const QString& text)
{
    m_lastError = text;
    Logger::error(text);
    return false;
}

void CUpdateApplier::removeRunFolder(const QString& appDir, const QString& configuredValue,
                                     const QString& folder)
{
    if (configuredValue.isEmpty() || !PathGuard::isSafeRunFolder(appDir, folder)) {
        return;
    }
    FileSystem::removeFolderRecursively(folder);
}

bool CUpdateApplier::checkFolders()
{
    m_lastError.clear();
    if (!PathGuard::isSafeRunFolder(m_folders.appDir, m_folders.tempDir)) {
        return fail(QStringLiteral("临时目录配置无效(必须是安装目录内的子目录)，拒绝更新:") +
                    m_folders.tempDir);
    }
    if (!PathGuard::isSafeRunFolder(m_folders.appDir, m_folders.backupDir)) {
        return fail(QStringLiteral("备份目录配置无效(必须是安装目录内的子目录)，拒绝更新:") +
                    m_folders.backupDir);
    }
    const QString updateExe = CConfigManager::instance().getUpdateExe();
    if (!updateExe.isEmpty() && !isSafeLeftover(updateExe)) {
        return fail(QStringLiteral("UpdateExe配置无效(必须位于安装目录内)，拒绝更新:") + updateExe);
    }
    return true;
}

QString CUpdateApplier::leftoverPath(const QString& updateExe) const
{
    return m_folders.appDir + QLatin1String(ConfigNames::LeftoverFolder) + updateExe;
}

bool CUpdateApplier::isSafeLeftover(const QString& updateExe) const
{
    const PathGuard leftovers(m_folders.appDir + QLatin1String(ConfigNames::LeftoverFolder));
    return PathGuard::isRelativeInside(updateExe) && leftovers.contains(leftoverPath(updateExe));
}

bool CUpdateApplier::checkUpdateTree(const QVector<PlannedCopy>& plan)
{
    const PathGuard installation(m_folders.appDir);
    const PathGuard downloads(m_folders.tempDir);
    const PathGuard backup(m_folders.backupDir);
    const QString journal = PathGuard::resolve(m_journal.path());
    for (const PlannedCopy& copy : plan) {
        if (!downloads.contains(copy.source) && !installation.contains(copy.source)) {
            return fail(QStringLiteral("更新文件指向临时目录之外，拒绝更新:") + copy.source);
        }
        // A file target is replaced, not written through; its folder is where the write lands.
        const QString writtenFolder = copy.folder ? copy.target : FileSystem::parentFolder(copy.target);
        if (!installation.contains(writtenFolder)) {
            return fail(QStringLiteral("更新文件路径超出安装目录，拒绝更新:") + copy.target);
        }
        if (downloads.contains(copy.target) || backup.contains(copy.target) ||
            PathGuard::resolve(copy.target) == journal) {
            return fail(QStringLiteral("更新文件会覆盖临时目录或备份目录，拒绝更新:") + copy.target);
        }
    }
    return true;
}

bool CUpdateApplier::hasInterruptedApply() const
{
    return m_journal.exists();
}

bool CUpdateApplier::recoverInterruptedApply()
{
    m_lastError.clear();
    if (!m_journal.exists()) {
        return true;
    }
    const QString backupFolder =
        m_journal.read() ? m_journal.backupFolder() : CConfigManager::instance().getBackupDir();
    const QString backupPath = m_folders.appDir + backupFolder;
    if (backupFolder.isEmpty() || !PathGuard::isSafeRunFolder(m_folders.appDir, backupPath)) {
        return fail(QStringLiteral("备份目录无效，无法恢复未完成的更新:") + backupPath);
    }

    Logger::warn(QStringLiteral("发现未完成的更新，从备份恢复安装:") + backupPath);
    if (!FileSystem::isFolder(backupPath)) {
        // The backup is removed only after the installation became consistent again.
        Logger::warn(QStringLiteral("备份目录不存在，安装保持不变:") + backupPath);
    } else {
        if (!m_fileManager->restoreFromBackup(backupPath, m_folders.appDir)) {
            return fail(QStringLiteral("从备份恢复安装失败:") + m_fileManager->lastError());
        }
        removeAddedPaths(m_journal.addedPaths());
    }
    if (!m_journal.remove()) {
        return fail(QStringLiteral("无法删除更新标记文件:") + m_journal.path());
    }
    Logger::info("已从备份恢复安装");
    return true;
}

QStringList CUpdateApplier::addedPaths(const QVector<PlannedCopy>& plan) const
{
    QStringList added;
    QSet<QString> seen;
    for (const PlannedCopy& copy : plan) {
        // The target and every folder above it that the copy will create are new.
        QString path = copy.target;
        while (path.startsWith(m_folders.appDir) && path.size() > m_folders.appDir.size() &&
               !FileSystem::exists(path)) {
            const QString relative = path.mid(m_folders.appDir.size());
            if (!seen.contains(relative)) {
                seen.insert(relative);
                added.append(relative);
            }
            path = FileSystem::parentFolder(path);
        }
    }
    return added;
}

void CUpdateApplier::removeAddedPaths(const QStringList& relativePaths)
{
    const PathGuard installation(m_folders.appDir);
    QStringList ordered = relativePaths;
    // Descending order puts every path before the folders that hold it.
    std::sort(ordered.begin(), ordered.end(), std::greater<>());
    for (const QString& relative : ordered) {
        const QString path = m_folders.appDir + relative;
        if (relative.isEmpty() || !installation.contains(path) || !FileSystem::exists(path)) {
            continue;
        }
        const bool removed =
            FileSystem::isFolder(path) ? FileSystem::removeEmptyFolder(path) : FileSystem::removeFile(path);
        if (removed) {
            Logger::info(QStringLiteral("删除更新新增的文件:") + path);
        }
    }
}

bool CUpdateApplier::backupFiles()
{
    m_lastError.clear();
    if (!checkFolders() || !checkUpdateTree(m_replacement.plannedCopies())) {
        return false;
    }
    return m_backup.backupFiles();
}

bool CUpdateApplier::replaceFiles()
{
    m_lastError.clear();
    const QVector<PlannedCopy> plan = m_replacement.plannedCopies();
    if (!checkFolders() || !checkUpdateTree(plan)) {
        return false;
    }
    const QString backupFolder = m_folders.backupDir.mid(m_folders.appDir.size());
    if (!m_journal.write(backupFolder, addedPaths(plan))) {
        return fail(QStringLiteral("无法写入更新标记文件，拒绝替换:") + m_journal.path());
    }
    if (!m_replacement.replaceFiles()) {
        return false;
    }
    if (!m_journal.remove()) {
        Logger::error(QStringLiteral("无法删除更新标记文件:") + m_journal.path());
    }
    return true;
}

bool CUpdateApplier::rollbackFiles()
{
    m_lastError.clear();
    const CConfigManager& config = CConfigManager::instance();
    const QString backupFolder = config.getBackupDir();
    if (backupFolder.isEmpty()) {
        Logger::error("备份目录未配置");
        return false;
    }
    const QString backupPath = m_folders.appDir + backupFolder;
    if (!PathGuard::isSafeRunFolder(m_folders.appDir, backupPath)) {
        Logger::error(QStringLiteral("备份目录配置无效(必须是安装目录内的子目录)，拒绝回退:") + backupPath);
        return false;
    }
    // The restore touches installed files: mark it, so that a run that dies halfway is redone.
    if (!m_journal.exists() && !m_journal.write(backupFolder, {})) {
        Logger::warn(QStringLiteral("无法写入更新标记文件:") + m_journal.path());
    }
    if (!m_fileManager->restoreFromBackup(backupPath, m_folders.appDir)) {
        m_lastError = m_fileManager->lastError();
        Logger::error(QStringLiteral("回退文件失败:") + m_lastError);
        return false;
    }
    m_journal.remove();
    removeRunFolder(m_folders.appDir, config.getTempDir(), m_folders.tempDir);
    removeRunFolder(m_folders.appDir, backupFolder, m_folders.backupDir);
    Logger::info("文件回退完成");
    return true;
}

bool CUpdateApplier::checkSelfUpdate()
{
    if (!FileSystem::isFolder(m_folders.tempDir)) {
        Logger::error(QStringLiteral("临时目录不存在:") + m_folders.tempDir);
        return false;
    }
    const QString stagedProgram = m_folders.tempDir + QLatin1String(ConfigNames::UpdaterExe);
    if (FileSystem::exists(stagedProgram)) {
        Logger::info(QStringLiteral("发现需要自我更新的update.exe文件:") + stagedProgram);
        return true;
    }
    Logger::info("临时目录下没有update.exe文件，无需自我更新");
    return false;
}

void CUpdateApplier::deleteTempFiles()
{
    const QString updateExe = CConfigManager::instance().getUpdateExe();
    const QString leftover = leftoverPath(updateExe);
    if (!FileSystem::exists(leftover)) {
        return;
    }
    // An empty value names the folder itself, which removeFile refuses below.
    if (!updateExe.isEmpty() && !isSafeLeftover(updateExe)) {
        Logger::error(QStringLiteral("UpdateExe配置无效(必须位于安装目录内)，拒绝删除:") + leftover);
        return;
    }
    if (FileSystem::removeFile(leftover)) {
        qDebug().noquote() << "Successfully deleted temporary file:" << leftover;
        Logger::info(QStringLiteral("Deleted temp file: ") + leftover);
    } else {
        qWarning().noquote() << "Failed to delete file (permission denied or in use?):" << leftover;
        Logger::error(QStringLiteral("Failed to delete file: ") + leftover);
    }
}
