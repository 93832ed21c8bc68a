#include "apply/updatereplacement.h"

#include "apply/filesystem.h"
#include "apply/syncbatch.h"
#include "config/confignames.h"
#include "log/logger.h"

#include <QFile>
#include <QFileInfo>

namespace {

QString joined(const QString& source, const QString& destination)
{
    return source + QStringLiteral("->") + destination;
}

} // namespace

CUpdateReplacement::CUpdateReplacement(const ApplyFolders& folders) : m_folders(folders) {}

QString CUpdateReplacement::targetOf(const QString& topLevelName) const
{
    if (topLevelName == QLatin1String(ConfigNames::ManifestFile)) {
        return m_folders.manifestDir() + QLatin1String(ConfigNames::ManifestFile);
    }
    return m_folders.appDir + topLevelName;
}

void CUpdateReplacement::fail(const QString& text)
{
    // The first failure is the cause; the lines after it only say which step it ended.
    if (m_lastError.isEmpty()) {
        m_lastError = text;
    }
    Logger::error(text);
}

bool CUpdateReplacement::replaceFiles()
{
    m_lastError.clear();
    Logger::info("开始执行文件替换操作");
    // The new files are flushed together at the end, before the caller removes the journal.
    SyncBatch batch;
    for (const QFileInfo& entry : FileSystem::listEntries(m_folders.tempDir, Qt::CaseInsensitive)) {
        // The running program cannot replace itself: the update helper installs it later.
        if (entry.fileName() == QLatin1String(ConfigNames::UpdaterExe)) {
            continue;
        }
        const QString source = entry.absoluteFilePath();
        const QString target = targetOf(entry.fileName());
        if (entry.isDir()) {
            if (!copyDirectory(source, target)) {
                fail(QStringLiteral("复制目录失败:") + joined(source, target));
                return false;
            }
        } else if (entry.isFile()) {
            if (!copyFile(source, target)) {
                fail(QStringLiteral("替换文件失败:") + joined(source, target));
                return false;
            }
        }
    }

    if (!replaceSpecialFiles()) {
        Logger::error("替换特殊文件失败");
        return false;
    }
    if (!batch.flush()) {
        fail(QStringLiteral("文件复制失败:") + batch.failedPath());
        return false;
    }
    Logger::info("文件替换操作完成");
    return true;
}

bool CUpdateReplacement::copyDirectory(const QString& sourceDir, const QString& destinationDir)
{
    if (!FileSystem::isFolder(sourceDir)) {
        fail(QStringLiteral("源目录不存在，无法拷贝:") + sourceDir);
        return false;
    }
    // An installed file where the update brings a folder was saved by the backup: it makes way.
    const bool fileInTheWay = FileSystem::exists(destinationDir) && !FileSystem::isFolder(destinationDir);
    if (fileInTheWay && !FileSystem::removeFile(destinationDir)) {
        fail(QStringLiteral("无法删除现有文件:") + destinationDir);
        return false;
    }
    if (!FileSystem::isFolder(destinationDir) && !FileSystem::makePath(destinationDir)) {
        fail(QStringLiteral("无法创建目标目录:") + destinationDir);
        return false;
    }
    for (const QFileInfo& entry : FileSystem::listEntries(sourceDir, Qt::CaseSensitive)) {
        const QString destination = destinationDir + QLatin1Char('/') + entry.fileName();
        const bool copied = entry.isDir() ? copyDirectory(entry.absoluteFilePath(), destination)
                                          : copyFile(entry.absoluteFilePath(), destination);
        if (!copied) {
            return false;
        }
    }
    return true;
}

bool CUpdateReplacement::copyFile(const QString& source, const QString& destination)
{
    FileSystem::makePath(FileSystem::parentFolder(destination));
    // Downloads carry no permissions: a replaced program must stay as runnable as it was.
    // An installed folder where the update brings a file was saved whole by the backup: it makes way.
    if (FileSystem::isFolder(destination) && !FileSystem::removeFolderRecursively(destination)) {
        fail(QStringLiteral("无法删除现有目录:") + destination);
        return false;
    }
    const bool replacing = FileSystem::exists(destination);
    const QFile::Permissions installedPermissions = QFile::permissions(destination);
    if (replacing && !FileSystem::removeFile(destination)) {
        fail(QStringLiteral("无法删除现有文件:") + destination);
        return false;
    }
    if (!FileSystem::copyFile(source, destination)) {
        fail(QStringLiteral("文件复制失败:") + joined(source, destination));
        return false;
    }
    if (replacing) {
        QFile::setPermissions(destination, installedPermissions);
    }
    Logger::info(QStringLiteral("文件复制成功:") + joined(source, destination));
    return true;
}

QVector<CUpdateReplacement::SpecialFile> CUpdateReplacement::specialFiles() const
{
    const QString manifestDir = m_folders.manifestDir();
    return {
        {manifestDir + QLatin1String(ConfigNames::StagedManifestFile),
         manifestDir + QLatin1String(ConfigNames::ManifestFile), QStringLiteral("替换update.ini成功:"),
         QStringLiteral("替换update.ini失败:"), QStringLiteral("临时update.ini文件不存在:")},
        {manifestDir + QLatin1String(ConfigNames::StagedMd5ListFile),
         m_folders.appDir + QLatin1String(ConfigNames::Md5ListFile), QStringLiteral("替换md5.txt成功:"),
         QStringLiteral("替换md5.txt失败:"), QStringLiteral("临时md5.txt文件不存在:")},
    };
}

bool CUpdateReplacement::replaceSpecialFiles()
{
    for (const SpecialFile& file : specialFiles()) {
        if (!replaceSpecialFile(file)) {
            return false;
        }
    }
    return true;
}

bool CUpdateReplacement::replaceSpecialFile(const SpecialFile& file)
{
    if (!FileSystem::exists(file.staged)) {
        Logger::warn(file.missingText + file.staged);
        return true;
    }
    if (!copyFile(file.staged, file.target)) {
        fail(file.failedText + joined(file.staged, file.target));
        return false;
    }
    Logger::info(file.replacedText + joined(file.staged, file.target));
    return true;
}

QVector<PlannedCopy> CUpdateReplacement::plannedCopies() const
{
    QVector<PlannedCopy> plan;
    for (const QFileInfo& entry : FileSystem::listEntries(m_folders.tempDir, Qt::CaseInsensitive)) {
        if (entry.fileName() == QLatin1String(ConfigNames::UpdaterExe)) {
            continue;
        }
        const QString target = targetOf(entry.fileName());
        if (entry.isDir()) {
            plan.append({entry.absoluteFilePath(), target, true});
            planFolder(entry.absoluteFilePath(), target, plan);
        } else if (entry.isFile()) {
            plan.append({entry.absoluteFilePath(), target, false});
        }
    }
    for (const SpecialFile& file : specialFiles()) {
        if (FileSystem::exists(file.staged)) {
            plan.append({file.staged, file.target, false});
        }
    }
    return plan;
}

void CUpdateReplacement::planFolder(const QString& sourceDir, const QString& targetDir,
                                    QVector<PlannedCopy>& plan) const
{
    for (const QFileInfo& entry : FileSystem::listEntries(sourceDir, Qt::CaseSensitive)) {
        const QString target = targetDir + QLatin1Char('/') + entry.fileName();
        plan.append({entry.absoluteFilePath(), target, entry.isDir()});
        if (entry.isDir()) {
            planFolder(entry.absoluteFilePath(), target, plan);
        }
    }
}
