#include "apply/updatebackup.h"

#include "apply/filesystem.h"
#include "apply/syncbatch.h"
#include "config/confignames.h"
#include "log/logger.h"

#include <QFileInfo>

CUpdateBackup::CUpdateBackup(const ApplyFolders& folders) : m_folders(folders) {}

bool CUpdateBackup::backupFiles()
{
    Logger::info("开始执行文件备份操作");
    // The copies are flushed together at the end, before the caller writes the journal.
    SyncBatch batch;
    m_complete = true;
    m_lastError.clear();
    FileSystem::makePath(m_folders.backupDir);
    if (!FileSystem::isFolder(m_folders.tempDir)) {
        Logger::error(QStringLiteral("临时目录不存在:") + m_folders.tempDir);
    }

    for (const QFileInfo& entry : FileSystem::listEntries(m_folders.tempDir, Qt::CaseInsensitive)) {
        const QString name = entry.fileName();
        // The new update.exe is handed to the update helper; the running one is never saved.
        if (name == QLatin1String(ConfigNames::UpdaterExe)) {
            continue;
        }
        // The manifest and the MD5 list are saved from their installed places below.
        if (name == QLatin1String(ConfigNames::ManifestFile) ||
            name == QLatin1String(ConfigNames::Md5ListFile)) {
            continue;
        }
        const QString installedPath = m_folders.appDir + name;
        const QString backupPath = m_folders.backupDir + name;
        if (entry.isDir()) {
            backupDirectory(entry.absoluteFilePath(), installedPath, backupPath);
        } else if (entry.isFile()) {
            backupFile(installedPath, backupPath);
        }
    }

    if (!backupSpecialFiles()) {
        recordFailure(QStringLiteral("备份特殊文件失败"));
        return false;
    }
    if (!m_complete) {
        recordFailure(QStringLiteral("文件备份不完整，不替换任何文件"));
        return false;
    }
    if (!batch.flush()) {
        recordFailure(QStringLiteral("备份文件失败:") + batch.failedPath());
        return false;
    }
    Logger::info("文件备份操作完成");
    return true;
}

void CUpdateBackup::backupDirectory(const QString& listedDir, const QString& installedDir,
                                    const QString& backupDir)
{
    if (!FileSystem::isFolder(listedDir)) {
        Logger::error(QStringLiteral("源目录不存在，无法备份:") + listedDir);
        return;
    }
    // An installed file where the update brings a folder is saved as the file it is.
    if (FileSystem::exists(installedDir) && !FileSystem::isFolder(installedDir)) {
        backupFile(installedDir, backupDir);
        return;
    }
    // Every downloaded folder gets its mirror, even when nothing in it is installed yet.
    FileSystem::makePath(backupDir);

    for (const QFileInfo& entry : FileSystem::listEntries(listedDir, Qt::CaseSensitive)) {
        const QString installedPath = installedDir + QLatin1Char('/') + entry.fileName();
        const QString backupPath = backupDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            backupDirectory(entry.absoluteFilePath(), installedPath, backupPath);
        } else {
            backupFile(installedPath, backupPath);
        }
    }
}

void CUpdateBackup::backupFile(const QString& installedPath, const QString& backupPath)
{
    if (!FileSystem::exists(installedPath)) {
        return;
    }
    // A folder where the update brings a file is saved whole: the replacement removes it.
    if (FileSystem::isFolder(installedPath)) {
        saveWholeFolder(installedPath, backupPath);
        return;
    }
    FileSystem::makePath(FileSystem::parentFolder(backupPath));
    if (!FileSystem::copyFile(installedPath, backupPath)) {
        recordFailure(QStringLiteral("备份文件失败:") + installedPath + QStringLiteral("->") + backupPath);
        m_complete = false;
    }
}

void CUpdateBackup::saveWholeFolder(const QString& installedDir, const QString& backupDir)
{
    if (!FileSystem::makePath(backupDir)) {
        recordFailure(QStringLiteral("备份目录失败:") + installedDir + QStringLiteral("->") + backupDir);
        m_complete = false;
        return;
    }
    // Hidden files too: the replacement removes the folder with everything in it.
    for (const QFileInfo& entry : FileSystem::listAllEntries(installedDir)) {
        backupFile(entry.absoluteFilePath(), backupDir + QLatin1Char('/') + entry.fileName());
    }
}

void CUpdateBackup::recordFailure(const QString& text)
{
    if (m_lastError.isEmpty()) {
        m_lastError = text;
    }
    Logger::error(text);
}

bool CUpdateBackup::backupSpecialFiles()
{
    const QString manifest =
        QLatin1String(ConfigNames::ManifestFolder) + QLatin1String(ConfigNames::ManifestFile);
    const QString md5List = QLatin1String(ConfigNames::Md5ListFile);
    return backupSpecialFile(
               m_folders.appDir + manifest, m_folders.backupDir + manifest,
               {QStringLiteral("备份update.ini成功:"), QStringLiteral("备份update.ini失败:")}) &&
           backupSpecialFile(m_folders.appDir + md5List, m_folders.backupDir + md5List,
                             {QStringLiteral("备份md5.txt成功:"), QStringLiteral("备份md5.txt失败:")});
}

bool CUpdateBackup::backupSpecialFile(const QString& source, const QString& destination,
                                      const SpecialFileTexts& texts)
{
    if (!FileSystem::exists(source)) {
        return true;
    }
    // A release that carries "update/update.ini" has had the installed manifest saved already, by
    // the walk of the downloaded "update" folder.
    if (FileSystem::sameContent(source, destination)) {
        return true;
    }
    FileSystem::makePath(FileSystem::parentFolder(destination));
    if (!FileSystem::copyFile(source, destination)) {
        recordFailure(texts.failed + source);
        return false;
    }
    Logger::info(texts.saved + source + QStringLiteral("->") + destination);
    return true;
}
