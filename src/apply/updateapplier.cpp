#include "apply/updateapplier.h"

#include "apply/fileoperationmanager.h"
#include "apply/filesystem.h"
#include "apply/pathguard.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "log/logger.h"

#include <QDebug>
#include <QFileInfo>
#include <QHash>
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

void CUpdateApplier::removeStagedLists(const QString& appDir)
{
    const ApplyFolders folders{appDir, QString(), QString()};
    for (const char* staged : {ConfigNames::StagedManifestFile, ConfigNames::StagedMd5ListFile}) {
        const QString path = folders.manifestDir() + QLatin1String(staged);
        if (FileSystem::exists(path) && !FileSystem::isFolder(path)) {
            FileSystem::removeFile(path);
        }
    }
}

bool CUpdateApplier::isInstalledFileIntact(const QString& relativePath)
{
    const QString installed = m_folders.appDir + relativePath;
    if (!QFileInfo(installed).isFile()) {
        return false;
    }
    // Without a journal nothing is half restored; with one, a file that has a saved copy must
    // hold it again, and one without a saved copy was never touched.
    const QString backupFolder =
        m_journal.read() ? m_journal.backupFolder() : CConfigManager::instance().getBackupDir();
    const QString saved = m_folders.appDir + backupFolder + relativePath;
    return !m_journal.exists() || !FileSystem::exists(saved) || FileSystem::sameContent(saved, installed);
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
    // Resolving follows every link on the way; copies share folders, so each path is resolved once.
    QHash<QString, QString> resolvedPaths;
    const auto resolved = [&resolvedPaths](const QString& path) {
        auto known = resolvedPaths.constFind(path);
        if (known == resolvedPaths.cend()) {
            known = resolvedPaths.insert(path, PathGuard::resolve(path));
        }
        return known.value();
    };
    for (const PlannedCopy& copy : plan) {
        const QString source = resolved(copy.source);
        if (!downloads.containsResolved(source) && !installation.containsResolved(source)) {
            return fail(QStringLiteral("更新文件指向临时目录之外，拒绝更新:") + copy.source);
        }
        // A file target is replaced, not written through; its folder is where the write lands.
        const QString writtenFolder = copy.folder ? copy.target : FileSystem::parentFolder(copy.target);
        if (!installation.containsResolved(resolved(writtenFolder))) {
            return fail(QStringLiteral("更新文件路径超出安装目录，拒绝更新:") + copy.target);
        }
        // A file that replaces an installed folder removes that folder with everything in it.
        const bool removesRunFolder = !copy.folder && FileSystem::isFolder(copy.target) &&
                                      (PathGuard(copy.target).contains(m_folders.tempDir) ||
                                       PathGuard(copy.target).contains(m_folders.backupDir));
        const QString target = resolved(copy.target);
        if (downloads.containsResolved(target) || backup.containsResolved(target) || target == journal ||
            removesRunFolder) {
            return fail(QStringLiteral("更新文件会覆盖临时目录或备份目录，拒绝更新:") + copy.target);
        }
    }
    return true;
}

bool CUpdateApplier::hasInterruptedApply() const
{
    return m_journal.exists();
}

void CUpdateApplier::removeUnfinishedJournal()
{
    if (!m_journal.removeUnfinished()) {
        Logger::warn(QStringLiteral("无法删除未写完的更新标记文件:") + m_journal.path());
    }
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
        if (!restoreSavedFiles(backupPath, m_journal.addedPaths())) {
            return fail(QStringLiteral("从备份恢复安装失败:") + m_fileManager->lastError());
        }
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
        // A link to nothing is there all the same.
        while (path.startsWith(m_folders.appDir) && path.size() > m_folders.appDir.size() &&
               !FileSystem::exists(path) && !QFileInfo(path).isSymLink()) {
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

bool CUpdateApplier::restoreSavedFiles(const QString& backupPath, const QStringList& addedPaths)
{
    // The added files go first, so that a folder the update put where a file was is empty when
    // the file comes back; and again after the restore, which recreates the mirrors of added
    // folders that the backup holds.
    removeAddedPaths(addedPaths);
    QStringList names;
    for (const QFileInfo& entry : FileSystem::listEntries(backupPath, Qt::CaseInsensitive)) {
        if (!CApplyJournal::isJournalFile(entry.fileName())) {
            names.append(entry.fileName());
        }
    }
    if (!names.isEmpty() && !m_fileManager->restoreFromBackup(backupPath, m_folders.appDir, names)) {
        return false;
    }
    removeAddedPaths(addedPaths);
    return true;
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

bool CUpdateApplier::hasNothingToInstall() const
{
    return m_replacement.plannedCopies().isEmpty() && !hasStagedProgram();
}

bool CUpdateApplier::backupFiles()
{
    m_lastError.clear();
    if (!checkFolders() || !checkUpdateTree(m_replacement.plannedCopies())) {
        return false;
    }
    if (!m_backup.backupFiles()) {
        m_lastError = m_backup.lastError();
        return false;
    }
    return true;
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
        m_lastError = m_replacement.lastError();
        return false;
    }
    // A self-update may still fail and be rolled back: the files this update added must be known
    // then. The backup folder, which that rollback restores from, keeps them.
    if (hasStagedProgram() && !handOverJournal().write(m_journal.backupFolder(), m_journal.addedPaths())) {
        Logger::warn(QStringLiteral("无法写入更新标记文件:") + handOverJournal().path());
    }
    if (!m_journal.remove()) {
        Logger::error(QStringLiteral("无法删除更新标记文件:") + m_journal.path());
    }
    return true;
}

CApplyJournal CUpdateApplier::handOverJournal() const
{
    return CApplyJournal(m_folders.backupDir);
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
    // The files the update added: from the journal of a replacement that failed, or from the copy
    // that a self-update hand-over left in the backup.
    CApplyJournal handOver = handOverJournal();
    QStringList added;
    if (m_journal.read()) {
        added = m_journal.addedPaths();
    } else if (handOver.read()) {
        added = handOver.addedPaths();
    }
    // The restore touches installed files: mark it, so that a run that dies halfway is redone.
    if (!m_journal.exists() && !m_journal.write(backupFolder, added)) {
        Logger::warn(QStringLiteral("无法写入更新标记文件:") + m_journal.path());
    }
    if (!restoreSavedFiles(backupPath, added)) {
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
    if (hasStagedProgram()) {
        Logger::info(QStringLiteral("发现需要自我更新的update.exe文件:") + m_folders.tempDir +
                     QLatin1String(ConfigNames::UpdaterExe));
        return true;
    }
    Logger::info("临时目录下没有update.exe文件，无需自我更新");
    return false;
}

bool CUpdateApplier::hasStagedProgram() const
{
    return FileSystem::exists(m_folders.tempDir + QLatin1String(ConfigNames::UpdaterExe));
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
