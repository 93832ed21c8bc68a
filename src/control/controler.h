#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class Widget;
class UpdateWidget;
class CUpdateModel;
class CFileOperationManager;
class CUpdateApplier;
class CConfigManager;

enum ControllerMode
{
    Console = 0,
    Normal = 1,
    UpdateHelper = 2
};

/// Drives one run of the updater: chooses the mode from the command line, clears the folders of
/// an earlier run, checks for an update, reports the answer, lets the model download and, when the
/// download has succeeded, applies it (backup, replacement, rollback on failure, self-update
/// hand-over) and relaunches the host program.
class CControler : public QObject
{
    Q_OBJECT
public:
    CControler();
    ~CControler() override;

    bool init();
    /// Returns false when the command line selects the UpdateHelper mode.
    bool parseArguments(const QStringList& arguments);
    bool run();
    void finish();
    bool isAnyWindowVisible() const;
    /// Compares the installation with its signed manifest (update/release.manifest) and prints
    /// the outcome as one JSON line: "success", the "missing" and "differing" files and, when the
    /// manifest cannot be read, "errormsg". True when every listed file matches.
    bool verifyInstallation();

    QJsonObject buildResultJson() const;
    void printResult(const QJsonObject& result);
    bool launchHostProgram();
    bool launchUpdateHelper();

    bool backupFiles();
    bool replaceFiles();
    bool rollbackFiles();
    bool checkSelfUpdate();
    void deleteTempFiles();
    void removeBackupDir();
    void removeTempDir();

    ControllerMode mode() const { return m_mode; }
    bool hasUpdate() const { return m_hasUpdate; }
    bool success() const { return m_success; }
    QString errorMessage() const { return m_errorMsg; }
    QString tempDir() const { return m_tempDir; }
    QString backupDir() const { return m_backupDir; }
    CUpdateModel* model() const { return m_model.get(); }

public slots:
    void onUpdateResult(bool bSuccess);

private:
    void logDirectories();
    bool recoverInterruptedApply();
    /// False, with the failure reported, when the installation has no system.cfg.
    bool checkSystemConfig();
    void reportRunFailure(const QString& errorMessage);
    void reportRecoveryFailure();
    /// Shows in the progress window that the downloaded update could not be installed.
    void reportInstallFailure(const QString& reason, bool restored);
    void showInstallFailure(const QString& text);
    void reportCheckResult(int rc);
    /// With a release key configured, refuses a download that its signed manifest does not
    /// cover, before anything is backed up; reports why and discards the download.
    bool verifyDownloadedRelease();
    void refuseRelease(const QString& reason);
    using ProgramKey = QString (CConfigManager::*)() const;
    bool launch(ProgramKey programKey, const QStringList& arguments);
    /// Clears the folders of an update that needs no self-update, relaunches the host and quits.
    void finishInstalledUpdate();
    void quitApplication();
    CUpdateApplier& applier();

    Widget* m_widget = nullptr;
    UpdateWidget* m_updateWidget = nullptr;
    std::unique_ptr<CUpdateModel> m_model;
    std::unique_ptr<CFileOperationManager> m_fileManager;
    std::unique_ptr<CUpdateApplier> m_applier;
    ControllerMode m_mode = Console;
    bool m_hasUpdate = false;
    bool m_success = true;
    QString m_errorMsg;
    QStringList m_arguments;
    QString m_appDir;
    QString m_tempDir;
    QString m_backupDir;
};
