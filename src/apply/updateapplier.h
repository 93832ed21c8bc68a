#pragma once

#include <QString>

class CFileOperationManager;

/// Applies a downloaded update to the installation folder: saves the installed copies of the
/// files about to be replaced, puts the downloaded files in place, restores the backup when that
/// fails, and detects a new update.exe that must be handed to the update helper.
///
/// All folder paths end in "/". The controller owns one applier per run.
class CUpdateApplier
{
public:
    CUpdateApplier(const QString& appDir, const QString& tempDir, const QString& backupDir,
                   CFileOperationManager* fileManager);

    /// Restores the installation from the backup when an earlier run died in the middle of an
    /// apply. Returns false only when such a restore was needed and failed.
    bool recoverInterruptedApply();

    bool backupFiles();
    bool replaceFiles();
    bool rollbackFiles();
    bool checkSelfUpdate();
    void deleteTempFiles();

private:
    QString m_appDir;
    QString m_tempDir;
    QString m_backupDir;
    CFileOperationManager* m_fileManager;
};
