#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

/// Copies saved files from the backup folder back into the installation (rollback) and keeps
/// the text of the last failure for the controller.
class CFileOperationManager : public QObject
{
    Q_OBJECT
public:
    explicit CFileOperationManager(QObject* parent = nullptr);

    /// Always succeeds; the controller refuses to start when it does not.
    bool initialize();

    /// Restores `names` (relative to `backupDir`; empty means every top-level entry) into
    /// `installDir`. Returns false and sets lastError() on the first failure.
    bool restoreFromBackup(const QString& backupDir, const QString& installDir,
                           const QStringList& names = {});

    /// Recursively copies `sourceDir` over `destinationDir`, replacing files. Logs nothing.
    bool restoreDirectory(const QString& sourceDir, const QString& destinationDir);

    QString lastError() const { return m_lastError; }

private:
    /// Keeps `error` as lastError(); always false.
    bool fail(const QString& error);

    QString m_lastError;
};
