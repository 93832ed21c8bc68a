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

    /// Removes what a power cut while the journal was being written left of it.
    void removeUnfinishedJournal();

    /// Restores the installation from the backup when an earlier run died in the middle of an
    /// apply, and removes the files that the interrupted update had added. Returns false (with
    /// lastError()) only when such a restore was needed and failed; the backup is then kept.
    bool recoverInterruptedApply();

    /// True when the temporary folder holds nothing to put in place: no file, no staged list,
    /// no new update.exe.
    bool hasNothingToInstall() const;

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

    /// Removes the manifest and MD5 list that an HTTP check staged in "update/": once installed,
    /// refused or abandoned they describe no update, and the next update must not install them.
    static void removeStagedLists(const QString& appDir);

    /// True when the installed file at `relativePath` is whole: not half restored by a recovery
    /// that could not complete (it holds its saved copy again, or it has none).
    bool isInstalledFileIntact(const QString& relativePath);

private:
    bool fail(const QString& text);
    QString leftoverPath(const QString& updateExe) const;
    bool isSafeLeftover(const QString& updateExe) const;
    bool checkUpdateTree(const QVector<PlannedCopy>& plan);
    QStringList addedPaths(const QVector<PlannedCopy>& plan) const;
    void removeAddedPaths(const QStringList& relativePaths);
    /// Restores the backup over the installation and removes the paths the update added.
    bool restoreSavedFiles(const QString& backupPath, const QStringList& addedPaths);
    /// The copy of the journal that a self-update hand-over keeps in the backup folder.
    CApplyJournal handOverJournal() const;
    bool hasStagedProgram() const;

    ApplyFolders m_folders;
    CFileOperationManager* m_fileManager;
    CUpdateBackup m_backup;
    CUpdateReplacement m_replacement;
    CApplyJournal m_journal;
    QString m_lastError;
};
