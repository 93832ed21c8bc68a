#pragma once

#include "apply/applyfolders.h"

#include <QString>
#include <QVector>

/// One copy that the replacement will make: a downloaded file or folder and where it goes.
struct PlannedCopy
{
    QString source;
    QString target;
    bool folder = false;
};

/// Puts the downloaded files of the temporary folder in place of the installed ones and then
/// installs the staged manifest and MD5 list. The top-level "update.exe" is left in the temporary
/// folder for the self-update; a top-level "update.ini" goes to the manifest folder.
class CUpdateReplacement
{
public:
    explicit CUpdateReplacement(const ApplyFolders& folders);

    /// True when every downloaded entry was copied and the special files were installed or
    /// absent; false at the first failure, with the entries before it already replaced.
    bool replaceFiles();

    /// Recursive copy that replaces existing files; false at the first failure.
    bool copyDirectory(const QString& sourceDir, const QString& destinationDir);

    /// Replaces `destination` with a copy of `source`. The old file is removed first, so a failed
    /// copy leaves nothing at the destination.
    bool copyFile(const QString& source, const QString& destination);

    /// Installs the staged "update/updateTmp.ini" and "update/md5Tmp.txt"; either may be absent.
    bool replaceSpecialFiles();

    /// Every copy that replaceFiles() would make, in its order, folders before their contents.
    /// Nothing is touched; used to check the targets before anything is replaced.
    QVector<PlannedCopy> plannedCopies() const;

    /// Where a top-level entry of the temporary folder is installed.
    QString targetOf(const QString& topLevelName) const;

    /// What made the last replaceFiles() fail; empty after a success.
    QString lastError() const { return m_lastError; }

private:
    struct SpecialFile
    {
        QString staged;
        QString target;
        QString replacedText;
        QString failedText;
        QString missingText;
    };

    QVector<SpecialFile> specialFiles() const;
    bool replaceSpecialFile(const SpecialFile& file);
    void planFolder(const QString& sourceDir, const QString& targetDir, QVector<PlannedCopy>& plan) const;
    void fail(const QString& text);

    ApplyFolders m_folders;
    QString m_lastError;
};
