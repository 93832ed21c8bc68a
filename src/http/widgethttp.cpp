// The HTTP side of Widget: the update check and the download of the changed files. The dialog's
// own behaviour (form, cancellation, closing) is in ui/widget.cpp.
#include "apply/diskspacecheck.h"
#include "apply/releaseverifier.h"
#include "apply/resumestore.h"
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
#include <QSet>
#include <QTimer>

namespace {

/// The overall bar's steps per file: fine enough to move with the bytes of a single file.
constexpr int overallStepsPerFile = 100;

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
    download.setMaximumRetries(CFileDownload::StandardRetries);
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
    m_diskSpaceRefusal.clear();
    m_sizeLimits.clear();
    m_arrivedDigests.clear();
    m_resuming = openResumeStore();
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
    m_signedRelease = verifier.isEnabled();
    if (!m_signedRelease) {
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

bool Widget::finishPatch(int index, const CFileDownload& download)
{
    const QString error = download.failure() == CFileDownload::NoFailure
                              ? QString()
                              : QStringLiteral("下载失败: ") + download.errorString();
    if (m_patches->finishPatch(m_tasks.at(index), error)) {
        return true;
    }
    // The same task again, now as the whole file.
    startTask(index);
    return false;
}

bool Widget::openResumeStore()
{
    ResumeStore store(m_appDir + CConfigManager::instance().getTempDirWithSlash());
    // A release file in the record's place would be taken for the record; such a release is
    // downloaded whole.
    if (m_changedFiles.contains(QLatin1Char('/') + QLatin1String(ResumeStore::RecordName))) {
        store.forget();
        return false;
    }
    // A list that beginUpdate() refuses leads to no download, and so to no store either.
    const QString tempPrefix = m_appDir + CConfigManager::instance().getTempDir();
    for (auto it = m_changedFiles.cbegin(); it != m_changedFiles.cend(); ++it) {
        if (localPathForKey(tempPrefix, it.key()).isEmpty()) {
            return false;
        }
    }
    return store.open({QStringLiteral("http"), m_serverVersion, m_serverFolder});
}

QMap<QString, QString> Widget::filesStillToFetch(const QMap<QString, QString>& files)
{
    if (!m_resuming) {
        return files;
    }
    ResumeStore store(m_appDir + CConfigManager::instance().getTempDirWithSlash());
    const QString tempPrefix = m_appDir + CConfigManager::instance().getTempDir();
    // The signed manifest was fetched again by this run; it stays beside the kept files.
    const QString manifest = ReleaseVerifier::manifestPath();
    QSet<QString> keep{manifest, ReleaseVerifier::signaturePathFor(manifest)};
    QMap<QString, QString> toFetch;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString relative = ReleaseVerifier::listedForm(it.key());
        // A kept file passes the same MD5 check as a fresh download; with a release key the
        // controller checks its size and SHA-256 with all the others before the backup.
        if (!localPathForKey(tempPrefix, it.key()).isEmpty() && store.reuse(relative, it.value(), nullptr)) {
            keep.insert(relative);
        } else {
            toFetch.insert(it.key(), it.value());
        }
    }
    store.retainOnly(keep);
    Logger::info(QStringLiteral("续传: 已有%1个文件，待下载%2个文件")
                     .arg(files.size() - toFetch.size())
                     .arg(toFetch.size()));
    return toFetch;
}

bool Widget::hasRoomFor(const QMap<QString, QString>& changedFiles, const QMap<QString, QString>& toFetch)
{
    DiskSpaceCheck check(m_appDir);
    for (auto it = changedFiles.cbegin(); it != changedFiles.cend(); ++it) {
        const bool fetched = toFetch.contains(it.key());
        check.addFile(it.key(), fetched ? m_sizeLimits.value(ReleaseVerifier::listedForm(it.key()), -1) : 0);
    }
    if (check.hasRoom()) {
        return true;
    }
    m_diskSpaceRefusal = check.refusal();
    return false;
}

void Widget::beginUpdate(const QMap<QString, QString>& changedFiles)
{
    const QMap<QString, QString> files = filesStillToFetch(changedFiles);
    m_isUpdating = true;
    m_statusText = QStringLiteral("正在更新");
    m_detailText.clear();
    m_tasks.clear();
    m_currentIndex = 0;
    m_totalCount = files.size();
    m_doneCount = 0;
    m_maxConnections = CConfigManager::instance().getMaxConnections();

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

    beginOverallProgress();
    ui->label_update->setText(m_statusText + tr("准备更新 %1 个文件").arg(m_totalCount));

    if (refused) {
        m_tasks.clear();
        m_detailText = QStringLiteral("更新文件路径不安全，已拒绝:") + refusedKey;
        Logger::error(m_detailText);
        onUpdateCompleted(false);
    } else if (!hasRoomFor(changedFiles, files)) {
        // Nothing was requested yet; the controller logs the reason once the run is undone.
        m_tasks.clear();
        m_detailText = m_diskSpaceRefusal;
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
    if (m_doneCount >= m_totalCount) {
        if (m_patches) {
            m_patches->removeLeftovers();
            if (!m_patches->summary().isEmpty()) {
                Logger::info(m_patches->summary());
            }
        }
        DownloadWindow::finished(QStringLiteral("http"));
        ui->progressBar_update->setValue(ui->progressBar_update->maximum());
        onUpdateCompleted(true);
        return;
    }
    while (m_downloads.size() < m_maxConnections && m_currentIndex < m_totalCount) {
        if (!startTask(m_currentIndex++)) {
            return;
        }
    }
}

bool Widget::startTask(int index)
{
    const DownloadTask& task = m_tasks.at(index);
    m_statusText = tr("%1 %2/%3").arg(QStringLiteral("正在更新")).arg(index + 1).arg(m_totalCount);
    showFileLine(task);

    const DownloadTask transfer = transferFor(task);
    auto* download = new CFileDownload(networkManager(), this);
    download->setTransferTimeout(m_transferTimeoutMs);
    download->setMaximumRetries(CFileDownload::StandardRetries);
    // A signed patch list gives SHA-256 only; the planner checks it.
    if (!transfer.md5.isEmpty()) {
        download->setExpectedMd5(transfer.md5);
    }
    download->setMaximumSize(transfer.maxBytes);
    download->setComputeSha256(m_signedRelease);
    connect(download, &CFileDownload::sigProgress, this, &Widget::onDownloadProgress);
    connect(download, &CFileDownload::sigFinished, this, &Widget::onDownloadFinished);
    connect(download, &CFileDownload::sigNetworkError, this, &Widget::onDownloadError);
    connect(download, &CFileDownload::sigRetrying, this,
            [this, download](int retry, int, const QString& reason) {
                onDownloadRetrying(download, retry, reason);
            });
    if (!download->start(transfer.url, transfer.localPath)) {
        if (m_patches && m_patches->isFetchingPatch(task)) {
            // Not even the patch can be stored: the whole file at once.
            m_patches->finishPatch(task, QStringLiteral("无法保存补丁:") + transfer.localPath);
            delete download;
            return startTask(index);
        }
        delete download;
        failTask(QStringLiteral("无法保存文件:") + task.localPath);
        return false;
    }
    m_downloads.insert(download, index);
    m_shownDownload = download;
    ui->progressBar_updatefile->setValue(0);
    return true;
}

CFileDownload* Widget::signallingDownload() const
{
    auto* download = qobject_cast<CFileDownload*>(sender());
    return m_downloads.contains(download) ? download : nullptr;
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    CFileDownload* download = signallingDownload();
    if (!download) {
        return;
    }
    const int index = m_downloads.value(download);
    if (bytesTotal > 0 && !m_progressInBytes) {
        m_tasks[index].size = bytesTotal;
    }
    updateOverallProgress(index, bytesReceived, false);
    if (download == m_shownDownload && bytesTotal > 0) {
        ui->progressBar_updatefile->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
    }
    m_refresh->changed();
}

void Widget::showFileLine(const DownloadTask& task)
{
    m_detailText = QFileInfo(task.localPath).fileName();
    // File starts and ends are painted at the pace of progress; the end of the update at once.
    setLabelTexts();
    m_refresh->changed();
}

void Widget::showLatestRunning()
{
    for (auto it = m_downloads.cbegin(); it != m_downloads.cend(); ++it) {
        if (!m_shownDownload || it.value() > m_downloads.value(m_shownDownload)) {
            m_shownDownload = it.key();
        }
    }
    const DownloadTask& task = m_tasks.at(m_downloads.value(m_shownDownload));
    showFileLine(task);
    ui->progressBar_updatefile->setValue(task.size > 0 ? static_cast<int>(task.received * 100 / task.size)
                                                       : 0);
}

void Widget::onDownloadRetrying(CFileDownload* download, int retry, const QString& reason)
{
    if (!m_downloads.contains(download)) {
        return;
    }
    const QString name = QFileInfo(m_tasks.at(m_downloads.value(download)).localPath).fileName();
    Logger::warn(QStringLiteral("下载失败，等待重试: ") + name + QStringLiteral("（") + reason +
                 QStringLiteral("）"));
    Logger::info(QStringLiteral("重试下载: %1, 尝试次数: %2").arg(name, QString::number(retry)));
    if (download == m_shownDownload) {
        m_detailText = QStringLiteral("第%1次重试下载: %2").arg(QString::number(retry), name);
        refreshLabels();
    }
}

void Widget::beginOverallProgress()
{
    m_progressInBytes = !m_tasks.isEmpty();
    for (const DownloadTask& task : qAsConst(m_tasks)) {
        m_progressInBytes = m_progressInBytes && task.maxBytes >= 0;
    }
    m_overallDone = 0;
    m_overallTotal = 0;
    for (DownloadTask& task : m_tasks) {
        task.size = m_progressInBytes ? task.maxBytes : -1;
        m_overallTotal += m_progressInBytes ? static_cast<double>(task.size) : 1.0;
    }
    ui->progressBar_update->setRange(0, m_totalCount * overallStepsPerFile);
    ui->progressBar_update->setValue(0);
}

double Widget::overallShare(const DownloadTask& task) const
{
    if (m_progressInBytes) {
        return static_cast<double>(task.done ? task.size : qMin(task.received, task.size));
    }
    if (task.done) {
        return 1.0;
    }
    return task.size > 0 ? qMin(1.0, static_cast<double>(task.received) / static_cast<double>(task.size))
                         : 0.0;
}

void Widget::updateOverallProgress(int index, qint64 received, bool done)
{
    DownloadTask& task = m_tasks[index];
    m_overallDone -= overallShare(task);
    task.received = received;
    task.done = done;
    m_overallDone += overallShare(task);
    const double whole = m_overallTotal > 0 ? m_overallDone / m_overallTotal : 0.0;
    ui->progressBar_update->setValue(static_cast<int>(whole * m_totalCount * overallStepsPerFile));
}

void Widget::onDownloadFinished()
{
    CFileDownload* download = signallingDownload();
    if (!download) {
        return;
    }
    const int index = m_downloads.value(download);
    releaseDownload(download);
    if (m_cancelRequested) {
        discardDownload();
        onUpdateCompleted(false);
        return;
    }
    const DownloadTask& task = m_tasks.at(index);
    if (m_patches && m_patches->isFetchingPatch(task) && !finishPatch(index, *download)) {
        return;
    }

    switch (download->failure()) {
    case CFileDownload::NoFailure:
        Logger::info(QStringLiteral("文件下载成功并验证通过:") + task.localPath);
        recordArrival(task, *download);
        ++m_doneCount;
        updateOverallProgress(index, task.received, true);
        downloadNext();
        if (!m_shownDownload && !m_downloads.isEmpty()) {
            showLatestRunning();
        }
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

void Widget::recordArrival(const DownloadTask& task, const CFileDownload& download)
{
    // A patch arrives in a file of its own; what it rebuilds is checked by the planner and read
    // again by the release check.
    if (download.localPath() != task.localPath) {
        return;
    }
    const QString tempFolder = m_appDir + CConfigManager::instance().getTempDir();
    ArrivedDigests::File file;
    file.size = QFileInfo(task.localPath).size();
    file.md5 = download.actualMd5().toLatin1();
    file.sha256 = download.actualSha256();
    m_arrivedDigests.record(QDir(tempFolder).relativeFilePath(task.localPath), file);
}

void Widget::failTask(const QString& text)
{
    // One failed file fails the update: the other transfers stop and their partial files go.
    discardDownload();
    m_detailText = text;
    Logger::error(text);
    onUpdateCompleted(false);
}

void Widget::onDownloadError(QNetworkReply::NetworkError)
{
    CFileDownload* download = signallingDownload();
    if (!download) {
        return;
    }
    // A patch that fails is followed by the whole file, once its transfer has finished.
    if (m_patches && m_patches->isFetchingPatch(m_tasks.at(m_downloads.value(download))) &&
        !m_cancelRequested) {
        return;
    }
    QString name = QFileInfo(download->url().path(QUrl::FullyDecoded)).fileName();
    if (name.isEmpty()) {
        name = QStringLiteral("unknown_file");
    }
    m_detailText = QStringLiteral("下载文件 ") + QLatin1Char('"') + name + QLatin1Char('"') +
                   QStringLiteral(" 时出错: ") + download->errorString();
    Logger::error(m_detailText);
    if (download->attempts() > CFileDownload::StandardRetries) {
        Logger::error(QStringLiteral("下载最终失败，已达到最大重试次数: ") + name);
    }
    releaseDownload(download);
    discardDownload();
    onUpdateCompleted(false);
}

void Widget::releaseDownload(CFileDownload* download)
{
    m_downloads.remove(download);
    if (m_shownDownload == download) {
        m_shownDownload = nullptr;
    }
    download->deleteLater();
}

void Widget::abortDownload()
{
    if (!m_downloads.isEmpty()) {
        // Aborting one reports its error at once, which stops the others and completes the
        // update as failed.
        (m_shownDownload ? m_shownDownload : m_downloads.begin().key())->abort();
        discardDownload();
    }
}

void Widget::discardDownload()
{
    // Running transfers must go before the network manager they use; deleting them also removes
    // their partial files.
    const QList<CFileDownload*> downloads = m_downloads.keys();
    m_downloads.clear();
    m_shownDownload = nullptr;
    qDeleteAll(downloads);
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
    return CFileDownload::configuredTransferTimeout();
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
