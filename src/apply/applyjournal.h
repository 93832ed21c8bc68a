#pragma once

#include <QString>
#include <QStringList>

/// The durable mark of an apply in progress, kept in the installation folder.
///
/// It is written (whole, flushed) after the backup is complete and before the first installed
/// file is touched, and removed only when the installation is consistent again. A run that finds
/// it knows that the installation may be half replaced. It records the backup folder the apply
/// saved into (relative to the installation folder) and the paths the update was about to add,
/// which had no installed version and so no backup.
class CApplyJournal
{
public:
    static constexpr const char* fileName = "update-apply.journal";

    explicit CApplyJournal(const QString& appDir);

    /// True for the journal's name and for the partial file its write leaves until the rename:
    /// neither is a saved file, though a self-update hand-over keeps one in the backup folder.
    static bool isJournalFile(const QString& name);

    QString path() const;
    bool exists() const;

    /// Writes the journal; fails when one exists already.
    bool write(const QString& backupFolder, const QStringList& addedPaths);

    /// Reads the journal; false when it is missing or unreadable.
    bool read();
    QString backupFolder() const { return m_backupFolder; }
    QStringList addedPaths() const { return m_addedPaths; }

    bool remove();

    /// Removes the partial file of a write that a power loss cut short. Such a journal never
    /// counted: the replacement starts only after the journal is whole in its place.
    bool removeUnfinished();

private:
    QString m_appDir;
    QString m_backupFolder;
    QStringList m_addedPaths;
};
