#pragma once

#include "apply/applyfolders.h"
#include "apply/applyjournal.h"
#include "apply/updatebackup.h"
#include "apply/updatereplacement.h"

#include <QString>
#include <QStringList>
#include <QVector>

class CFileOperationManager;

/// Applies a downloaded update to the installation folder: saves the installed copies of the
/// files about to be replaced, puts the downloaded files in place, restores the backup when that
/// fails, and detects a new update.exe that must be handed to the update helper.
///
/// The apply is crash-safe: a journal in the installation folder marks it from the moment the
/// backup is complete until the installation is consistent again, and a later run that finds the
/// journal restores the backup before it does anything else. Nothing is written outside the
/// installation, and folders that are the installation folder or one of its parents are never
/// used as temporary or backup folders.
///
/// All folder paths end in "/". The controller owns one applier per set of folders.
class CUpdateApplier
{
public:
    CUpdateApplier(const QString& appDir, const QString& tempDir, const QString& backupDir,
                   CFileOperationManager* fileManager);

    /// False (with lastError()) when the temporary or backup folder is not a folder strictly inside
    /// the installation (see PathGuard::isSafeRunFolder), or the configured UpdateExe, the leftover
    /// that a finished self-update deletes, would lie outside it.
    bool checkFolders();

    /// True when an earlier run died between the end of its backup and a consistent installation.
    bool hasInterruptedApply() const;

    /// Restores the installation from the backup when an earlier run died in the middle of an
    /// apply, and removes the files that the interrupted update had added. Returns false (with
    /// lastError()) only when such a restore was needed and failed; the backup is then kept.
    bool recoverInterruptedApply();

    bool backupFiles();
    bool replaceFiles();
    /// Sets lastError() to the file manager's failure text when the restore fails.
    bool rollbackFiles();
    bool checkSelfUpdate();
    void deleteTempFiles();

    QString lastError() const { return m_lastError; }

    /// Removes a temporary or backup folder of a run with everything in it, but never when its
    /// configured value is empty or the folder is not strictly inside the installation.
    static void removeRunFolder(const QString& appDir, const QString& configuredValue, const QString& folder);

private:
    bool fail(const QString& text);
    QString leftoverPath(const QString& updateExe) const;
    bool isSafeLeftover(const QString& updateExe) const;
    bool checkUpdateTree(const QVector<PlannedCopy>& plan);
    QStringList addedPaths(const QVector<PlannedCopy>& plan) const;
    void removeAddedPaths(const QStringList& relativePaths);

    ApplyFolders m_folders;
    CFileOperationManager* m_fileManager;
    CUpdateBackup m_backup;
    CUpdateReplacement m_replacement;
    CApplyJournal m_journal;
    QString m_lastError;
};
