#include "apply/applyjournal.h"

#include "apply/filesystem.h"

#include <QFile>

namespace {

const QByteArray BackupKey = "backup=";
const QByteArray AddedKey = "added=";

} // namespace

CApplyJournal::CApplyJournal(const QString& appDir) : m_appDir(appDir) {}

bool CApplyJournal::isJournalFile(const QString& name)
{
    const QString journal = QLatin1String(fileName);
    return name == journal || name == FileSystem::unfinishedWritePath(journal);
}

QString CApplyJournal::path() const
{
    return m_appDir + QLatin1String(fileName);
}

bool CApplyJournal::exists() const
{
    return FileSystem::exists(path());
}

bool CApplyJournal::write(const QString& backupFolder, const QStringList& addedPaths)
{
    QByteArray text = BackupKey + backupFolder.toUtf8() + '\n';
    for (const QString& added : addedPaths) {
        text += AddedKey + added.toUtf8() + '\n';
    }
    if (!FileSystem::writeFileAtomically(path(), text)) {
        return false;
    }
    m_backupFolder = backupFolder;
    m_addedPaths = addedPaths;
    return true;
}

bool CApplyJournal::read()
{
    m_backupFolder.clear();
    m_addedPaths.clear();
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    bool hasBackup = false;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(BackupKey)) {
            m_backupFolder = QString::fromUtf8(line.mid(BackupKey.size()));
            hasBackup = true;
        } else if (line.startsWith(AddedKey)) {
            m_addedPaths.append(QString::fromUtf8(line.mid(AddedKey.size())));
        }
    }
    return hasBackup;
}

bool CApplyJournal::remove()
{
    return !exists() || FileSystem::removeFile(path());
}

bool CApplyJournal::removeUnfinished()
{
    return FileSystem::removeUnfinishedWrite(path());
}
