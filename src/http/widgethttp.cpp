// The HTTP side of Widget: the update check and the download of the changed files. The dialog's
// own behaviour (form, cancellation, closing) is in ui/widget.cpp.
#include "apply/releaseverifier.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "formats/md5list.h"
#include "formats/releasemanifest.h"
#include "formats/servermanifest.h"
#include "http/filedownload.h"
#include "http/networkaccess.h"
#include "http/patchplanner.h"
#include "log/downloadwindow.h"
#include "log/logger.h"
#include "ui/refreshthrottle.h"
#include "ui/widget.h"
#include "ui_widget.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {

bool isInstalledManifest(const QString& fileName)
{
    return fileName == QLatin1String(ConfigNames::ManifestFile) ||
           fileName == QLatin1String(ReleaseManifest::FileName) ||
           fileName == QLatin1String(ReleaseManifest::SignatureFileName);
}

QString fetchErrorText(QNetworkReply::NetworkError error, const CFileDownload& download, const QString& url,
                       const QString& savePath)
{
    switch (error) {
    case QNetworkReply::TimeoutError:
        return QStringLiteral("下载超时（") + QStringLiteral("120") + QStringLiteral("秒）：") + url;
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("下载被取消：") + url;
    default:
        return QStringLiteral("下载错误：") + download.errorString() + QStringLiteral("（file：") + savePath +
               QStringLiteral("）");
    }
}

} // namespace

QString Widget::baseAddress() const
{
    return CConfigManager::instance().getSourceValue(QLatin1String(ConfigNames::KeyUrl));
}

QString Widget::manifestFolder() const
{
    return m_appDir + QLatin1String(ConfigNames::ManifestFolder);
}

bool Widget::fetchFile(const QString& url, const QString& savePath, QProgressBar* progressBar,
                       qint64 maxBytes)
{
    m_detailText.clear();
    m_fetchTooLarge = false;
    m_fetchOutOfTime = false;
    // The dialog's one manager fetches the lists and the files, so every request of the run can
    // reuse the same keep-alive connection.
    CFileDownload download(networkManager());
    download.setTransferTimeout(m_transferTimeoutMs);
    download.setMaximumSize(maxBytes);
    if (!download.start(url, savePath)) {
        m_detailText = download.failure() == CFileDownload::FolderFailure
                           ? QStringLiteral("无法创建目录:") + download.errorString()
                           : QStringLiteral("无法打开文件:") + savePath;
        return false;
    }

    QEventLoop loop;
    if (progressBar) {
        connect(&download, &CFileDownload::sigProgress, progressBar,
                [this, progressBar](qint64 received, qint64 total) {
                    if (total > 0) {
                        progressBar->setValue(static_cast<int>(received * 100 / total));
                        m_refresh->changed();
                    }
                });
    }
    connect(&download, &CFileDownload::sigNetworkError, &loop,
            [this, &download, &url, &savePath](QNetworkReply::NetworkError error) {
                m_detailText = fetchErrorText(error, download, url, savePath);
            });
    connect(&download, &CFileDownload::sigFinished, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &download, [this, &download] {
        m_fetchOutOfTime = true;
        download.abort();
    });
    if (!m_checkDeadline.isForever()) {
        deadline.start(static_cast<int>(qMax<qint64>(0, m_checkDeadline.remainingTime())));
    }
    loop.exec();
    deadline.stop();

    if (download.failure() == CFileDownload::WriteFailure) {
        m_detailText = QStringLiteral("无法保存文件:") + savePath;
    }
    m_fetchTooLarge = download.failure() == CFileDownload::SizeFailure;
    if (m_fetchOutOfTime) {
        m_detailText = QStringLiteral("检查更新超时(超过%1秒)：").arg(CheckTimeLimitMs / 1000) + url;
    }
    if (download.failure() != CFileDownload::NoFailure) {
        return false;
    }
    Logger::info(QStringLiteral("下载成功:") + savePath);
    return true;
}

int Widget::checkUpdateVersion()
{
    m_checkError.clear();
    m_statusText = QStringLiteral("准备开始更新");
    const QString target = manifestFolder() + QLatin1String(ConfigNames::StagedManifestFile);
    const QString address = baseAddress() + QLatin1String(ConfigNames::ManifestFile);
    m_tempFiles.append(target);
    m_checkDeadline.setRemainingTime(CheckTimeLimitMs);

    if (!fetchFile(address, target, nullptr, ServerManifest::MaxBytes)) {
        m_statusText = QStringLiteral("停止更新");
        const int result = refusedOrNotFetched(ServerManifest::tooLargeRefusal());
        m_checkError = result == 3 ? m_detailText : fetchFailureText(address);
        if (result == 2) {
            m_detailText = QStringLiteral("下载%1失败").arg(address);
        }
        refreshLabels();
        return result;
    }
    m_detailText = QStringLiteral("下载%1成功").arg(address);
    refreshLabels();

    if (!parseServerVersion()) {
        m_checkError = m_detailText;
        refreshLabels();
        return 3;
    }

    const QString installed = manifestFolder() + QLatin1String(ConfigNames::ManifestFile);
    if (!QFileInfo(installed).isFile()) {
        m_detailText = QStringLiteral("本地update文件不存在，准备更新");
        refreshLabels();
        return 1;
    }
    const QString installedVersion = ServerManifest::versionOf(installed);
    int result = 1;
    if (installedVersion == m_serverVersion) {
        m_detailText = QStringLiteral("update文件版本相同，不需要更新");
        if (QFile::exists(target)) {
            QFile::remove(target);
        }
        result = 0;
    } else {
        m_detailText = QStringLiteral("update文件版本不同，需要更新");
    }
    refreshLabels();
    return result;
}

int Widget::refusedOrNotFetched(const QString& refusalForSize)
{
    if (m_fetchTooLarge) {
        m_detailText = refusalForSize;
    }
    if (!m_fetchTooLarge && !m_fetchOutOfTime) {
        return 2;
    }
    Logger::error(m_detailText);
    return 3;
}

bool Widget::parseServerVersion()
{
    ServerManifest manifest;
    const bool complete = manifest.read(manifestFolder() + QLatin1String(ConfigNames::StagedManifestFile));
    m_serverFolder = manifest.folder;
    m_serverVersion = manifest.version;
    if (complete) {
        m_serverFolder += QLatin1Char('/');
        return true;
    }
    m_statusText = QStringLiteral("更新失败");
    m_detailText = manifest.refusal.isEmpty() ? QStringLiteral("服务端版本解析失败") : manifest.refusal;
    Logger::error(m_detailText);
    return false;
}

int Widget::compareMd5List()
{
    m_checkError.clear();
    m_statusText = QStringLiteral("准备开始更新");
    const QString target = manifestFolder() + QLatin1String(ConfigNames::StagedMd5ListFile);
    const QString address = baseAddress() + m_serverFolder + QLatin1String(ConfigNames::Md5ListFile);
    m_tempFiles.append(target);

    if (!fetchFile(address, target, ui->progressBar_updatefile, Md5ListMaxBytes)) {
        m_statusText = QStringLiteral("更新失败");
        const int result = refusedOrNotFetched(QStringLiteral("服务端md5.txt超过16 MiB，拒绝读取"));
        m_checkError = result == 3 ? m_detailText : fetchFailureText(address);
        if (result == 2) {
            m_detailText = QStringLiteral("下载%1失败").arg(QLatin1String(ConfigNames::Md5ListFile));
        }
        refreshLabels();
        return result;
    }
    m_detailText = QStringLiteral("MD5比对");
    refreshLabels();

    const QString installedList = m_appDir + QLatin1String(ConfigNames::Md5ListFile);
    if (!QFileInfo(installedList).isFile()) {
        generateMd5List(m_appDir);
    }
    const Md5Map serverList = loadMd5List(target);
    // An entry without a digest could never be verified after its download: refuse the list now,
    // before anything is fetched.
    for (auto it = serverList.cbegin(); it != serverList.cend(); ++it) {
        if (it.value().trimmed().isEmpty()) {
            m_checkError = QStringLiteral("MD5列表条目缺少摘要:") + it.key();
            m_statusText = QStringLiteral("更新失败");
            m_detailText = m_checkError;
            Logger::error(m_checkError);
            refreshLabels();
            return 3;
        }
    }
    m_changedFiles = diffMd5Lists(loadMd5List(installedList), serverList);
    return m_changedFiles.isEmpty() ? 0 : 1;
}

QString Widget::fetchFailureText(const QString& address) const
{
    // m_detailText holds the transfer's own reason until the caller replaces it.
    const QString reason = m_detailText.isEmpty() ? QStringLiteral("未知错误") : m_detailText;
    return QStringLiteral("下载%1失败: %2").arg(address, reason);
}

void Widget::startDownload()
{
    ui->pushButton_cancel->setEnabled(true);
    m_releaseRefusal.clear();
    m_sizeLimits.clear();
    ReleaseManifest accepted;
    if (!acceptSignedRelease(accepted)) {
        failTask(m_releaseRefusal);
        return;
    }
    if (!m_changedFiles.isEmpty()) {
        loadPatchIndex(accepted.files.isEmpty() ? nullptr : &accepted);
    }
    beginUpdate(m_changedFiles);
}

bool Widget::acceptSignedRelease(ReleaseManifest& accepted)
{
    ReleaseVerifier verifier(CConfigManager::instance());
    if (!verifier.isEnabled()) {
        return true;
    }
    const QString manifest = ReleaseVerifier::manifestPath();
    const QString target =
        localPathForKey(m_appDir + CConfigManager::instance().getTempDirWithSlash(), manifest);
    const QString address = baseAddress() + m_serverFolder + QLatin1String(ReleaseManifest::FileName);
    // The fetches get a time limit of their own; a file that does not arrive is missing to the
    // verifier, which names it.
    m_checkDeadline.setRemainingTime(CheckTimeLimitMs);
    if (!target.isEmpty()) {
        fetchFile(address, target, nullptr, ReleaseManifest::MaxBytes);
        fetchFile(ReleaseVerifier::signaturePathFor(address), ReleaseVerifier::signaturePathFor(target),
                  nullptr, ReleaseVerifier::MaxSignatureBytes);
    }
    m_checkDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    if (!verifier.acceptManifestFile(target, m_serverVersion, m_appDir + manifest) ||
        !verifier.checkListed(m_changedFiles.keys())) {
        m_releaseRefusal = verifier.lastError();
        return false;
    }
    m_sizeLimits = verifier.sizeLimits();
    accepted = verifier.manifest();
    return true;
}

void Widget::loadPatchIndex(const ReleaseManifest* accepted)
{
    const QString releaseAddress = baseAddress() + m_serverFolder;
    m_patches = new CPatchPlanner(m_appDir.left(m_appDir.size() - 1),
                                  m_appDir + CConfigManager::instance().getTempDir(), releaseAddress, this);
    // A list that does not arrive in time only means full downloads.
    m_checkDeadline.setRemainingTime(CheckTimeLimitMs);
    for (const QString& name : CPatchPlanner::indexFiles(accepted != nullptr)) {
        m_tempFiles.append(manifestFolder() + name);
        fetchFile(releaseAddress + name, manifestFolder() + name, nullptr, PatchIndex::MaxBytes);
    }
    m_checkDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    m_detailText.clear();
    m_patches->readIndex(manifestFolder(), accepted, CConfigManager::instance().getPublicKeys());
}

DownloadTask Widget::transferFor(const DownloadTask& task)
{
    DownloadTask patch;
    return m_patches && m_patches->choosePatch(task, patch) ? patch : task;
}

bool Widget::finishPatch(const DownloadTask& task, const CFileDownload& download)
{
    const QString error = download.failure() == CFileDownload::NoFailure
                              ? QString()
                              : QStringLiteral("下载失败: ") + download.errorString();
    if (m_patches->finishPatch(task, error)) {
        return true;
    }
    // The same task again, now as the whole file.
    downloadNext();
    return false;
}

void Widget::beginUpdate(const QMap<QString, QString>& files)
{
    m_isUpdating = true;
    m_statusText = QStringLiteral("正在更新");
    m_detailText.clear();
    m_tasks.clear();
    m_currentIndex = 0;
    m_totalCount = files.size();

    // Keys come from the network: one that would leave the temporary folder refuses the whole
    // update before anything is downloaded.
    const QString tempPrefix = m_appDir + CConfigManager::instance().getTempDir();
    bool refused = false;
    QString refusedKey;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString localPath = localPathForKey(tempPrefix, it.key());
        if (localPath.isEmpty() && !refused) {
            refused = true;
            refusedKey = it.key();
        }
        m_tasks.append({baseAddress() + m_serverFolder + it.key(), localPath, it.value(),
                        m_sizeLimits.value(ReleaseVerifier::listedForm(it.key()), -1)});
    }

    ui->progressBar_update->setRange(0, m_totalCount);
    ui->progressBar_update->setValue(0);
    ui->label_update->setText(m_statusText + tr("准备更新 %1 个文件").arg(m_totalCount));

    if (refused) {
        m_tasks.clear();
        m_detailText = QStringLiteral("更新文件路径不安全，已拒绝:") + refusedKey;
        Logger::error(m_detailText);
        onUpdateCompleted(false);
    } else if (m_tasks.isEmpty()) {
        onUpdateCompleted(true);
    } else {
        DownloadWindow::started();
        downloadNext();
    }
}

void Widget::downloadNext()
{
    if (m_cancelRequested) {
        onUpdateCompleted(false);
        return;
    }
    if (m_currentIndex >= m_totalCount) {
        if (m_patches) {
            m_patches->removeLeftovers();
            if (!m_patches->summary().isEmpty()) {
                Logger::info(m_patches->summary());
            }
        }
        DownloadWindow::finished(QStringLiteral("http"));
        onUpdateCompleted(true);
        return;
    }
    const DownloadTask& task = m_tasks.at(m_currentIndex);
    m_statusText = tr("%1 %2/%3").arg(QStringLiteral("正在更新")).arg(m_currentIndex + 1).arg(m_totalCount);
    m_detailText = QFileInfo(task.localPath).fileName();
    refreshLabels();

    const DownloadTask transfer = transferFor(task);
    m_reply = new CFileDownload(networkManager(), this);
    m_reply->setTransferTimeout(m_transferTimeoutMs);
    // A signed patch list gives SHA-256 only; the planner checks it.
    if (!transfer.md5.isEmpty()) {
        m_reply->setExpectedMd5(transfer.md5);
    }
    m_reply->setMaximumSize(transfer.maxBytes);
    connect(m_reply, &CFileDownload::sigProgress, this, &Widget::onDownloadProgress);
    connect(m_reply, &CFileDownload::sigFinished, this, &Widget::onDownloadFinished);
    connect(m_reply, &CFileDownload::sigNetworkError, this, &Widget::onDownloadError);
    if (!m_reply->start(transfer.url, transfer.localPath)) {
        CFileDownload* download = m_reply;
        releaseDownload();
        if (m_patches && m_patches->isFetchingPatch()) {
            finishPatch(task, *download);
            return;
        }
        failTask(QStringLiteral("无法保存文件:") + task.localPath);
    }
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal > 0) {
        ui->progressBar_updatefile->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
        m_refresh->changed();
    }
}

void Widget::onDownloadFinished()
{
    if (m_cancelRequested) {
        releaseDownload();
        onUpdateCompleted(false);
        return;
    }
    if (!m_reply) {
        return;
    }
    CFileDownload* download = m_reply;
    m_reply = nullptr;
    download->deleteLater();
    const DownloadTask& task = m_tasks.at(m_currentIndex);
    if (m_patches && m_patches->isFetchingPatch() && !finishPatch(task, *download)) {
        return;
    }

    switch (download->failure()) {
    case CFileDownload::NoFailure:
        Logger::info(QStringLiteral("文件下载成功并验证通过:") + task.localPath);
        ui->progressBar_update->setValue(m_currentIndex + 1);
        ++m_currentIndex;
        downloadNext();
        break;
    case CFileDownload::DigestFailure:
        failTask(QStringLiteral("文件校验失败:") + task.localPath + QStringLiteral(" (MD5 ") +
                 download->actualMd5() + QStringLiteral(" != ") + task.md5 + QLatin1Char(')'));
        break;
    case CFileDownload::NetworkFailure:
        failTask(QStringLiteral("文件下载失败:") + download->errorString());
        break;
    case CFileDownload::SizeFailure:
        m_releaseRefusal = ReleaseVerifier::oversizedText(task.localPath);
        failTask(m_releaseRefusal);
        break;
    default:
        failTask(QStringLiteral("无法保存文件:") + task.localPath);
        break;
    }
}

void Widget::failTask(const QString& text)
{
    m_detailText = text;
    Logger::error(text);
    onUpdateCompleted(false);
}

void Widget::onDownloadError(QNetworkReply::NetworkError)
{
    // A patch that fails is followed by the whole file, once its transfer has finished.
    if (m_patches && m_patches->isFetchingPatch() && !m_cancelRequested) {
        return;
    }
    m_detailText.clear();
    if (m_reply) {
        QString name = QFileInfo(m_reply->url().path(QUrl::FullyDecoded)).fileName();
        if (name.isEmpty()) {
            name = QStringLiteral("unknown_file");
        }
        m_detailText = QStringLiteral("下载文件 ") + QLatin1Char('"') + name + QLatin1Char('"') +
                       QStringLiteral(" 时出错: ") + m_reply->errorString();
        Logger::error(m_detailText);
        releaseDownload();
    }
    onUpdateCompleted(false);
}

void Widget::releaseDownload()
{
    if (m_reply) {
        m_reply->deleteLater();
        m_reply = nullptr;
    }
}

void Widget::abortDownload()
{
    if (m_reply) {
        // Aborting reports the error at once, which completes the update as failed.
        m_reply->abort();
        releaseDownload();
    }
}

void Widget::discardDownload()
{
    // A transfer still running must go before the network manager it uses; deleting it also
    // removes its partial file.
    delete m_reply;
    m_reply = nullptr;
}

QNetworkAccessManager* Widget::networkManager()
{
    // A child of the dialog: it outlives the running transfer, which the destructor deletes first.
    if (!m_manager) {
        m_manager = NetworkAccess::createManager(this);
    }
    return m_manager;
}

int Widget::defaultTransferTimeout()
{
    return CFileDownload::DefaultTransferTimeoutMs;
}

void Widget::onUpdateCompleted(bool success)
{
    m_isUpdating = false;
    m_cancelRequested = false;
    m_cancelTimer->stop();
    if (success) {
        ui->label_update->setText(tr("更新完成!"));
        ui->progressBar_updatefile->setValue(100);
        m_refresh->settled();
    } else {
        cleanupTempFiles();
        m_statusText = QStringLiteral("更新失败");
        if (m_detailText.isEmpty()) {
            m_detailText = QStringLiteral("未知错误");
        }
        refreshLabels();
    }
    emit sigUpdateResult(success);
    ui->pushButton_cancel->setEnabled(false);
}

void Widget::removeStagedFiles()
{
    for (const QString& path : qAsConst(m_tempFiles)) {
        if (QFile::exists(path)) {
            QFile::remove(path);
        }
    }
}

void Widget::cleanupTempFiles()
{
    removeStagedFiles();
    const QDir folder(manifestFolder());
    if (!folder.exists()) {
        return;
    }
    const QFileInfoList entries =
        folder.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        // The installed manifests stay: the signed one is the base of the next downgrade check.
        if (isInstalledManifest(entry.fileName())) {
            continue;
        }
        if (entry.isDir() && !entry.isSymLink()) {
            QDir(entry.filePath()).removeRecursively();
        } else {
            QFile::remove(entry.filePath());
        }
    }
    Logger::info(QStringLiteral("取消/失败后清理临时文件完成"));
}
