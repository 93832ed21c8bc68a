#include "control/controler.h"

#include "apply/fileoperationmanager.h"
#include "apply/releaseverifier.h"
#include "apply/resumestore.h"
#include "apply/updateapplier.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "config/folderpath.h"
#include "control/delayedstart.h"
#include "formats/releasemanifest.h"
#include "log/logger.h"
#include "tcp/updatemodel.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <exception>

CControler::CControler() : m_appDir(QCoreApplication::applicationDirPath() + QLatin1Char('/')) {}

CControler::~CControler()
{
    delete m_widget;
    delete m_updateWidget;
    m_applier.reset();
    m_fileManager.reset();
    m_model.reset();
}

bool CControler::init()
{
    m_widget = new Widget();
    m_updateWidget = new UpdateWidget();

    m_model = std::make_unique<CUpdateModel>(this);
    m_model->setWidgets(m_widget, m_updateWidget);
    connect(m_model.get(), &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);

    m_fileManager = std::make_unique<CFileOperationManager>(this);
    if (!m_fileManager->initialize()) {
        Logger::error("文件操作管理器初始化失败");
        return false;
    }
    logDirectories();
    return true;
}

void CControler::logDirectories()
{
    const CConfigManager& config = CConfigManager::instance();
    m_tempDir = withTrailingSlash(m_appDir + config.getTempDir());
    m_backupDir = withTrailingSlash(m_appDir + config.getBackupDir());
    Logger::debug("临时目录:" + m_tempDir);
    Logger::debug("备份目录:" + m_backupDir);
}

bool CControler::parseArguments(const QStringList& arguments)
{
    m_arguments = arguments;
    if (arguments.contains(QLatin1String(ConfigNames::SwitchUpdateHelper))) {
        m_mode = UpdateHelper;
        return false;
    }
    m_mode = arguments.contains(QLatin1String(ConfigNames::SwitchConsole)) ? Console : Normal;
    return true;
}

bool CControler::run()
{
    if (m_mode == UpdateHelper) {
        return false;
    }
    // An interrupted apply is undone before the folders holding its backup are cleared.
    if (!recoverInterruptedApply()) {
        reportRecoveryFailure();
        return false;
    }
    if (!checkSystemConfig()) {
        return false;
    }
    // Lists staged by an earlier check describe no update of this run.
    CUpdateApplier::removeStagedLists(m_appDir);
    // Folders the run clears and downloads into must lie inside the installation; a setting
    // that breaks this is refused before anything is removed or fetched.
    if (!applier().checkFolders()) {
        reportRunFailure(applier().lastError());
        if (m_mode == Normal) {
            launchHostProgram();
        }
        return false;
    }
    removeBackupDir();
    // The downloads of an unfinished update stay for the next run of the same release; the
    // channel decides after the check whether they fit the offered one.
    if (ResumeStore(m_tempDir).isKept()) {
        Logger::info(QStringLiteral("保留未完成更新的已下载文件:") + m_tempDir);
    } else {
        removeTempDir();
    }
    if (!ReleaseVerifier(CConfigManager::instance()).isEnabled()) {
        Logger::warn(QStringLiteral("未配置发布公钥([Security] PublicKey)，更新未经签名验证"));
    }

    const int rc = m_model->checkUpdate();
    m_hasUpdate = rc == 1;
    if (rc != -1 && rc != 0 && rc != 1) {
        return true;
    }
    reportCheckResult(rc);
    if (rc == 0) {
        // Nothing to install: whatever an earlier run kept describes no update any more.
        removeTempDir();
    }
    // A check that the channel could not finish leaves the installed version as good as "no
    // update" does: an offline machine still runs it.
    const bool checkFailedOnChannel = rc == -1 && m_model->channelChosen();
    if (m_mode == Normal && (rc == 0 || checkFailedOnChannel)) {
        launchHostProgram();
    }
    if (rc != 1) {
        return false;
    }
    m_model->showUpdateWindow();
    return m_model->runUpdate();
}

bool CControler::recoverInterruptedApply()
{
    applier().removeUnfinishedJournal();
    if (!applier().hasInterruptedApply()) {
        return true;
    }
    if (!applier().recoverInterruptedApply()) {
        return false;
    }
    // The restored files may include system.cfg, whose folders the applier was built with.
    CConfigManager::instance().reload();
    logDirectories();
    m_applier.reset();
    return true;
}

bool CControler::checkSystemConfig()
{
    // Without the file every setting reads as empty, and the first one checked would be blamed.
    const QString path = m_appDir + QLatin1String(ConfigNames::SystemConfigFile);
    if (QFileInfo(path).isFile()) {
        return true;
    }
    const QString message = QStringLiteral("配置文件不存在: ") + path;
    Logger::error(message);
    // Nothing names a host program to start, so the run ends here in every mode.
    reportRunFailure(message);
    return false;
}

void CControler::reportRunFailure(const QString& errorMessage)
{
    m_success = false;
    m_errorMsg = errorMessage;
    if (m_mode == Console) {
        printResult(buildResultJson());
    }
}

void CControler::reportRecoveryFailure()
{
    const QString reason = applier().lastError();
    reportRunFailure(reason);
    if (m_mode != Normal) {
        return;
    }
    // The next start tries the recovery again; meanwhile the user learns why nothing happens, and
    // a host program that the recovery left whole still runs.
    m_model->showFailure(reason);
    const QString host = CConfigManager::instance().getHostExe();
    if (applier().isInstalledFileIntact(host)) {
        launchHostProgram();
        Logger::warn(QStringLiteral("恢复未完成，照常启动主程序:") + host);
    } else {
        Logger::error(QStringLiteral("主程序文件不完整，不启动:") + host);
    }
}

void CControler::reportInstallFailure(const QString& reason, bool restored)
{
    showInstallFailure((restored ? QStringLiteral("更新安装失败，已恢复原版本: ")
                                 : QStringLiteral("更新安装失败，回退未完成: ")) +
                       reason);
}

void CControler::showInstallFailure(const QString& text)
{
    m_success = false;
    m_errorMsg = text;
    // The staged lists describe an update that did not happen.
    CUpdateApplier::removeStagedLists(m_appDir);
    m_model->showFailure(text);
    Logger::error(text);
}

void CControler::reportCheckResult(int rc)
{
    m_success = rc != -1;
    m_errorMsg = m_model->lastError();
    if (m_mode == Console) {
        printResult(buildResultJson());
    }
}

void CControler::onUpdateResult(bool bSuccess)
{
    if (!bSuccess) {
        const QString refusal = m_model->releaseRefusal();
        if (!refusal.isEmpty()) {
            refuseRelease(refusal);
        } else if (!m_model->diskSpaceRefusal().isEmpty()) {
            refuseForDiskSpace(m_model->diskSpaceRefusal());
        }
        return;
    }
    // The download is complete: from here on the folder holds an update to install, not a store
    // for a later run, and the record is not one of the files to install.
    if (!CConfigManager::instance().getTempDir().isEmpty()) {
        ResumeStore(m_tempDir).forget();
    }
    if (!verifyDownloadedRelease()) {
        return;
    }
    if (applier().hasNothingToInstall()) {
        // An update that brought no files: nothing to save or replace, the run ends as usual.
        Logger::info("没有需要安装的文件");
        finishInstalledUpdate();
        return;
    }
    if (!backupFiles()) {
        // Nothing was replaced: the partial backup and the download are of no further use.
        removeBackupDir();
        removeTempDir();
        reportInstallFailure(applier().lastError(), true);
        return;
    }
    if (!replaceFiles()) {
        const QString reason = applier().lastError();
        const bool restored = rollbackFiles();
        const QString rollbackError = applier().lastError();
        reportInstallFailure(restored || rollbackError.isEmpty() ? reason : rollbackError, restored);
        return;
    }
    CUpdateApplier::removeStagedLists(m_appDir);
    if (checkSelfUpdate()) {
        launchUpdateHelper();
        quitApplication();
        return;
    }
    finishInstalledUpdate();
}

bool CControler::verifyDownloadedRelease()
{
    ReleaseVerifier verifier(CConfigManager::instance());
    if (!verifier.isEnabled()) {
        return true;
    }
    const QString manifest = ReleaseVerifier::manifestPath();
    if (verifier.acceptManifestFile(m_tempDir + manifest, m_model->offeredVersion(), m_appDir + manifest) &&
        verifier.checkDownloadedFiles(m_tempDir, m_model->arrivedDigests())) {
        return true;
    }
    refuseRelease(verifier.lastError());
    return false;
}

void CControler::refuseRelease(const QString& reason)
{
    // Nothing was touched yet: the download goes, the installation stays as it was.
    removeTempDir();
    // In console mode the host reads the reason from the error line on standard output; the one
    // result line stays the check's, as for every other failure after the check.
    showInstallFailure(QStringLiteral("更新未通过安全校验，未安装: ") + reason);
}

void CControler::refuseForDiskSpace(const QString& reason)
{
    // Nothing was changed and the files downloaded so far stay for a run with more room. As for a
    // refused release, console mode carries the reason in the error line on standard output; the
    // one result line stays the check's.
    showInstallFailure(reason);
}

void CControler::finishInstalledUpdate()
{
    removeBackupDir();
    removeTempDir();
    launchHostProgram();
    quitApplication();
}

void CControler::finish()
{
    if (m_mode != UpdateHelper || !recoverInterruptedApply()) {
        return;
    }
    if (m_arguments.contains(QLatin1String(ConfigNames::SwitchHelperSuccess))) {
        removeBackupDir();
        removeTempDir();
        deleteTempFiles();
        launchHostProgram();
    } else {
        rollbackFiles();
    }
}

void CControler::quitApplication()
{
    // The result can arrive before the event loop runs (the TCP download happens inside run());
    // a queued quit ends the loop as soon as it starts, and quit() ends one that already runs.
    QCoreApplication::quit();
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
}

bool CControler::isAnyWindowVisible() const
{
    return m_widget && m_updateWidget && (m_widget->isVisible() || m_updateWidget->isVisible());
}

bool CControler::verifyInstallation()
{
    const QString path = m_appDir + ReleaseVerifier::manifestPath();
    QFile file(path);
    ReleaseManifest manifest;
    QString error;
    QStringList missing;
    QStringList differing;
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("没有已安装的发布清单:") + path;
    } else if (ReleaseManifest::parse(file.read(ReleaseManifest::MaxBytes + 1), manifest, error)) {
        ReleaseVerifier::compareInstallation(manifest, m_appDir, missing, differing);
    } else {
        error = QStringLiteral("已安装的发布清单无法读取: ") + error;
    }
    const bool intact = error.isEmpty() && missing.isEmpty() && differing.isEmpty();
    QJsonObject result;
    result.insert(QStringLiteral("success"), intact);
    result.insert(QStringLiteral("missing"), QJsonArray::fromStringList(missing));
    result.insert(QStringLiteral("differing"), QJsonArray::fromStringList(differing));
    if (!error.isEmpty()) {
        result.insert(QStringLiteral("errormsg"), error);
        Logger::error(error);
    }
    Logger::info(QStringLiteral("安装校验完成，缺失文件: %1，不一致文件: %2")
                     .arg(missing.size())
                     .arg(differing.size()));
    printResult(result);
    return intact;
}

QJsonObject CControler::buildResultJson() const
{
    QJsonObject result;
    result.insert(QStringLiteral("success"), m_success);
    result.insert(QStringLiteral("update"), m_hasUpdate);
    result.insert(QStringLiteral("errormsg"), m_errorMsg);
    return result;
}

void CControler::printResult(const QJsonObject& result)
{
    // Log lines share this stream; flush them first so the JSON line stands on its own line.
    std::fflush(stdout);
    QTextStream out(stdout);
    out << QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) << Qt::endl;
    out.flush();
}

bool CControler::launchHostProgram()
{
    return launch(&CConfigManager::getHostExe, {});
}

bool CControler::launchUpdateHelper()
{
    const QString exe = QLatin1String(ConfigNames::UpdaterExe);
    return launch(&CConfigManager::getUpdateHelperExe, {exe, exe});
}

bool CControler::launch(ProgramKey programKey, const QStringList& arguments)
{
    try {
        // The update may have replaced system.cfg: read the program name from the new one.
        CConfigManager& config = CConfigManager::instance();
        config.reload();
        const QString program = (config.*programKey)();
        startDelayed(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, arguments);
        return true;
    } catch (const std::exception& ex) {
        m_success = false;
        m_errorMsg = QStringLiteral("Failed to launch main program: %1").arg(QString::fromUtf8(ex.what()));
        return false;
    }
}

CUpdateApplier& CControler::applier()
{
    if (!m_applier) {
        m_applier = std::make_unique<CUpdateApplier>(m_appDir, m_tempDir, m_backupDir, m_fileManager.get());
    }
    return *m_applier;
}

bool CControler::backupFiles()
{
    return applier().backupFiles();
}

bool CControler::replaceFiles()
{
    return applier().replaceFiles();
}

bool CControler::rollbackFiles()
{
    if (applier().rollbackFiles()) {
        return true;
    }
    if (!applier().lastError().isEmpty()) {
        m_errorMsg = applier().lastError();
    }
    return false;
}

bool CControler::checkSelfUpdate()
{
    return applier().checkSelfUpdate();
}

void CControler::deleteTempFiles()
{
    applier().deleteTempFiles();
}

void CControler::removeBackupDir()
{
    CUpdateApplier::removeRunFolder(m_appDir, CConfigManager::instance().getBackupDir(), m_backupDir);
}

void CControler::removeTempDir()
{
    CUpdateApplier::removeRunFolder(m_appDir, CConfigManager::instance().getTempDir(), m_tempDir);
}
