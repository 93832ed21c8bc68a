#pragma once

#include "apply/applyfolders.h"

#include <QString>

/// Saves the installed copies of the files that a downloaded update is about to replace.
///
/// The backup is driven by the temporary folder: only names that exist among the downloaded files
/// are looked up in the installation, and the backup folder mirrors the temporary folder's layout.
/// The installed manifest and MD5 list are always saved at fixed places. A copy never overwrites,
/// and every saved file reaches the disk before the next one is started.
class CUpdateBackup
{
public:
    explicit CUpdateBackup(const ApplyFolders& folders);

    /// True when every installed file that the update replaces was saved (the manifest and the MD5
    /// list included). A file that could not be saved has no way back: the update must not go on.
    bool backupFiles();

    /// Saves the installed counterparts of everything below one downloaded folder.
    void backupDirectory(const QString& listedDir, const QString& installedDir, const QString& backupDir);

    /// Saves the installed manifest and the MD5 list; false at the first failed copy.
    bool backupSpecialFiles();

    /// What made the last backupFiles() fail; empty after a success.
    QString lastError() const { return m_lastError; }

private:
    struct SpecialFileTexts
    {
        QString saved;
        QString failed;
    };

    void backupFile(const QString& installedPath, const QString& backupPath);
    void saveWholeFolder(const QString& installedDir, const QString& backupDir);
    void recordFailure(const QString& text);
    bool m_complete = true;
    QString m_lastError;
    bool backupSpecialFile(const QString& source, const QString& destination, const SpecialFileTexts& texts);

    ApplyFolders m_folders;
};
