#include "tcp/tcpupdate.h"

#include "apply/diskspacecheck.h"
#include "apply/faultswitch.h"
#include "apply/releaseverifier.h"
#include "apply/resumestore.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "formats/md5list.h"
#include "formats/releasemanifest.h"
#include "log/downloadwindow.h"
#include "log/logger.h"
#include "tcp/filedatawriter.h"
#include "tcp/qupdatetcpclient.h"
#include "ui/filesize.h"
#include "ui/updatewidget.h"

#include <QCoreApplication>
#include <QStringList>
#include <QThread>
#include <QtDebug>

namespace {

constexpr int RetryPauseSeconds = 1;
/// Downloads wait for their file without a time limit.
constexpr int NoTimeLimit = -1;

const char* const VersionCheckClientName = "1";
/// How the client's text of an error reply starts.
const QString ServiceErrorText = QStringLiteral("服务器返回错误");

bool containsAny(const QString& text, const QStringList& keywords)
{
    for (const QString& keyword : keywords) {
        if (text.contains(keyword, Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

} // namespace

CTCPUpdate::CTCPUpdate(UpdateWidget* window, QObject* parent)
    : CTCPUpdate(CConfigManager::instance(), nullptr, window, parent)
{
}

CTCPUpdate::CTCPUpdate(const CConfigManager& config, CFileDataWriter* writer, UpdateWidget* window,
                       QObject* parent)
    : QObject(parent), m_config(config), m_writer(writer), m_window(window)
{
    if (!m_window) {
        m_ownWindow = std::make_unique<UpdateWidget>();
        m_window = m_ownWindow.get();
    }
    connect(m_window, &UpdateWidget::sigCancelRequested, this, &CTCPUpdate::onCancelRequested);
    init();
}

CTCPUpdate::~CTCPUpdate() = default;

bool CTCPUpdate::init()
{
    const QString host = m_config.getUpdateServer();
    // Only the low 16 bits of the configured number are the port.
    const auto port = static_cast<quint16>(m_config.getUpdatePort().toUInt());
    if (host.isEmpty() || !m_config.isLoaded() || port == 0) {
        return false;
    }
    m_host = host;
    m_port = port;
    m_client = new QUpdateTcpClient(this);
    if (m_writer) {
        m_client->setFileWriter(m_writer);
    }
    m_client->setStallTimeout(FaultSwitch::stallTimeoutMs(QUpdateTcpClient::defaultStallTimeoutMs));
    connect(m_client, &QUpdateTcpClient::versionChecked, this, &CTCPUpdate::onVersionChecked);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadProgress, this, &CTCPUpdate::onFileDownloadProgress);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadCompleted, this,
            &CTCPUpdate::onFileDownloadCompleted);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadError, this, &CTCPUpdate::onFileDownloadError);
    m_client->connectToServer(m_host, m_port);
    return true;
}

bool CTCPUpdate::requestVersion()
{
    m_checkError.clear();
    if (!m_client || !m_client->isConnected()) {
        m_checkError = m_client && !m_client->lastError().isEmpty() ? m_client->lastError()
                                                                    : QStringLiteral("TCP升级服务连接失败");
        return false;
    }
    const QByteArray request = encodeVersionCheckRequest(m_config.getVersion(), m_config.getProjectType(),
                                                         QLatin1String(VersionCheckClientName));
    m_versionInfo = m_client->checkVersion(request, VersionCheckTimeoutMs);
    if (!m_versionInfo.needUpdate) {
        m_checkError = m_client->lastError();
    }
    return m_versionInfo.needUpdate;
}

bool CTCPUpdate::startTcpUpdate()
{
    if (!m_versionInfo.needUpdate) {
        return false;
    }
    if (m_downloadList.isEmpty()) {
        // An update without files: nothing to download, and the run ends as after any update.
        m_window->showStatus(QStringLiteral("没有文件需要下载"));
        Logger::info(QStringLiteral("没有文件需要下载"));
        emit sigUpdateResult(true);
        return true;
    }
    m_window->bringToFront();
    m_window->resetProgress();
    m_window->showStatus(QStringLiteral("开始TCP更新..."));

    const bool success = downloadAllFiles();
    emit sigUpdateResult(success);
    return success;
}

bool CTCPUpdate::downloadAllFiles()
{
    const int total = m_downloadList.size();
    if (total == 0) {
        m_window->showStatus(QStringLiteral("没有文件需要下载"));
        return true;
    }
    m_currentIndex = 0;
    m_cancelRequested = false;
    m_releaseRefusal.clear();
    m_diskSpaceRefusal.clear();
    m_manifestAccepted = false;
    m_keptFiles.clear();
    m_signedFileCount = moveReleaseManifestFirst();
    m_listCount = m_signedFileCount + moveMd5ListNext();
    CFileDataWriter& writer = m_writer ? *m_writer : CFileDataWriter::instance();
    m_resuming = openResumeStore(writer.temporaryFolder());
    writer.beginDownload(ReleaseVerifier(m_config).isEnabled());
    if (m_client && ReleaseVerifier(m_config).isEnabled()) {
        m_client->setSizeLimits(ReleaseVerifier::manifestSizeLimits());
    }
    m_downloading = true;
    const bool success = downloadEachFile();
    m_downloading = false;
    return success;
}

bool CTCPUpdate::downloadEachFile()
{
    const int total = m_downloadList.size();
    m_window->setOverallProgress(QStringLiteral("准备下载文件，共 %1 个文件").arg(total), 0);
    Logger::info(QStringLiteral("开始迭代下载，总文件数: %1").arg(total));
    DownloadWindow::started();

    while (m_currentIndex < m_downloadList.size()) {
        if (m_cancelRequested) {
            break;
        }
        if (m_currentIndex == m_signedFileCount && !acceptSignedRelease()) {
            return false;
        }
        if (m_currentIndex == m_listCount && !prepareRemainingFiles()) {
            return false;
        }
        if (!m_keptFiles.contains(m_currentIndex) && !downloadWithRetry()) {
            handleDownloadError();
            return false;
        }
        ++m_currentIndex;
        updateOverallProgress();
    }
    // A release of nothing but its lists reaches no other file: the folder is still made to hold
    // exactly this release, and the space is still checked.
    if (!m_cancelRequested && m_listCount >= m_downloadList.size() && !prepareRemainingFiles()) {
        return false;
    }
    // A cancel that arrived with the last file (or while its progress was shown) counts too.
    if (m_cancelRequested) {
        m_window->showStatus(QStringLiteral("下载已取消"));
        Logger::info(QStringLiteral("下载被用户取消"));
        return false;
    }
    DownloadWindow::finished(QStringLiteral("tcp"));
    m_window->showSuccess();
    m_window->showStatus(QStringLiteral("所有文件下载完成！"));
    Logger::info(QStringLiteral("所有文件下载完成"));
    return true;
}

int CTCPUpdate::moveReleaseManifestFirst()
{
    const QString folder = QString::fromLatin1(ConfigNames::ManifestFolder).chopped(1);
    int moved = 0;
    for (const char* name : {ReleaseManifest::FileName, ReleaseManifest::SignatureFileName}) {
        for (int i = moved; i < m_downloadList.size(); ++i) {
            if (m_downloadList.at(i).filePath == folder &&
                m_downloadList.at(i).fileName == QLatin1String(name)) {
                m_downloadList.move(i, moved++);
                break;
            }
        }
    }
    return moved;
}

bool CTCPUpdate::openResumeStore(const QString& tempDir)
{
    if (tempDir.isEmpty()) {
        return false;
    }
    ResumeStore store(tempDir);
    for (const FileTransferRequest& file : qAsConst(m_downloadList)) {
        // A release file in the record's place would be taken for the record; such a release is
        // downloaded whole.
        if (file.relativePath() == QLatin1String(ResumeStore::RecordName)) {
            store.forget();
            return false;
        }
    }
    return store.open({QStringLiteral("tcp"), m_versionInfo.version, QString()});
}

int CTCPUpdate::moveMd5ListNext()
{
    for (int i = m_signedFileCount; i < m_downloadList.size(); ++i) {
        if (m_downloadList.at(i).filePath.isEmpty() &&
            m_downloadList.at(i).fileName == QLatin1String(ConfigNames::Md5ListFile)) {
            m_downloadList.move(i, m_signedFileCount);
            return 1;
        }
    }
    return 0;
}

bool CTCPUpdate::prepareRemainingFiles()
{
    const CFileDataWriter& writer = m_writer ? *m_writer : CFileDataWriter::instance();
    const QString tempDir = writer.temporaryFolder();
    ResumeStore store(tempDir);
    // The lists of this run are what kept files must match: md5.txt, and with a release key the
    // size and SHA-256 of the signed manifest.
    const Md5Map digests = m_listCount > m_signedFileCount
                               ? loadMd5List(tempDir + QLatin1String(ConfigNames::Md5ListFile))
                               : Md5Map();
    DiskSpaceCheck space(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    QSet<QString> keep;
    for (int i = 0; i < m_downloadList.size(); ++i) {
        const FileTransferRequest& file = m_downloadList.at(i);
        const QString relative = file.relativePath();
        if (i < m_listCount) {
            keep.insert(relative);
            continue;
        }
        const ReleaseManifestFile* listed = m_manifestAccepted ? m_acceptedManifest.find(relative) : nullptr;
        const bool kept = m_resuming && !tempDir.isEmpty() &&
                          CFileDataWriter::isSafeTarget(file.filePath, file.fileName) &&
                          store.reuse(relative, digests.value(QLatin1Char('/') + relative), listed);
        if (kept) {
            m_keptFiles.insert(i);
            keep.insert(relative);
        }
        space.addFile(relative, kept ? 0 : (listed ? listed->size : -1));
    }
    if (m_resuming) {
        store.retainOnly(keep);
        Logger::info(QStringLiteral("续传: 已有%1个文件，待下载%2个文件")
                         .arg(m_keptFiles.size())
                         .arg(m_downloadList.size() - m_listCount - m_keptFiles.size()));
    }
    if (space.hasRoom()) {
        return true;
    }
    m_diskSpaceRefusal = space.refusal();
    m_window->showError(m_diskSpaceRefusal);
    return false;
}

const ArrivedDigests& CTCPUpdate::arrivedDigests() const
{
    return (m_writer ? *m_writer : CFileDataWriter::instance()).arrivedDigests();
}

bool CTCPUpdate::acceptSignedRelease()
{
    ReleaseVerifier verifier(m_config);
    if (!verifier.isEnabled()) {
        return true;
    }
    const CFileDataWriter& writer = m_writer ? *m_writer : CFileDataWriter::instance();
    const QString manifest = ReleaseVerifier::manifestPath();
    QStringList others;
    for (int i = m_signedFileCount; i < m_downloadList.size(); ++i) {
        others.append(m_downloadList.at(i).relativePath());
    }
    const QString installed = QCoreApplication::applicationDirPath() + QLatin1Char('/') + manifest;
    if (!verifier.acceptManifestFile(writer.temporaryFolder() + manifest, m_versionInfo.version, installed) ||
        !verifier.checkListed(others)) {
        m_releaseRefusal = verifier.lastError();
        m_window->showError(m_releaseRefusal);
        return false;
    }
    if (m_client) {
        m_client->setSizeLimits(verifier.sizeLimits());
    }
    m_acceptedManifest = verifier.manifest();
    m_manifestAccepted = true;
    return true;
}

bool CTCPUpdate::downloadWithRetry()
{
    const QString name = currentFileName();
    for (int attempt = 0; attempt <= MaxRetries; ++attempt) {
        if (m_cancelRequested) {
            m_failureText = QStringLiteral("下载已取消");
            return false;
        }
        if (attempt > 0) {
            m_window->showStatus(QStringLiteral("第%1次重试下载: %2").arg(attempt).arg(name));
            Logger::info(QStringLiteral("重试下载: %1, 尝试次数: %2").arg(name).arg(attempt));
            reconnectIfDropped();
        }
        if (downloadCurrentFile()) {
            return true;
        }
        if (m_client && m_client->exceededSizeLimit()) {
            // Another attempt would stream the same oversized file again.
            m_releaseRefusal = m_failureText;
            return false;
        }
        if (attempt < MaxRetries) {
            Logger::warn(QStringLiteral("下载失败，等待重试: ") + name);
            QThread::sleep(RetryPauseSeconds);
        }
    }
    Logger::error(QStringLiteral("下载最终失败，已达到最大重试次数: ") + name);
    return false;
}

bool CTCPUpdate::reconnectIfDropped()
{
    // A connection the service dropped stays down; without a new one every retry would fail at once.
    if (!m_client || m_client->isConnected()) {
        return true;
    }
    Logger::warn(QStringLiteral("连接已断开，重新连接: %1:%2").arg(m_host).arg(m_port));
    return m_client->connectToServer(m_host, m_port);
}

bool CTCPUpdate::downloadCurrentFile()
{
    if (m_currentIndex < 0 || m_currentIndex >= m_downloadList.size()) {
        return false;
    }
    const FileTransferRequest request = m_downloadList.at(m_currentIndex);
    m_window->setOverallProgress(QStringLiteral("正在下载: %1 (%2/%3)")
                                     .arg(request.fileName)
                                     .arg(m_currentIndex + 1)
                                     .arg(m_downloadList.size()),
                                 0);
    Logger::info(QStringLiteral("开始下载文件: %1 路径: %2").arg(request.fileName, request.filePath));

    if (!m_client) {
        m_failureText = QStringLiteral("未连接到服务器");
        Logger::error(QStringLiteral("文件下载失败: ") + request.fileName);
        return false;
    }
    if (m_client->downloadFile(request, NoTimeLimit)) {
        Logger::info(QStringLiteral("文件下载成功: ") + request.fileName);
        return true;
    }
    m_failureText = m_client->lastError().isEmpty() ? QStringLiteral("下载失败") : m_client->lastError();
    Logger::error(QStringLiteral("文件下载失败: ") + request.fileName);
    return false;
}

void CTCPUpdate::updateOverallProgress()
{
    const int done = m_currentIndex;
    const int total = m_downloadList.size();
    const int percent = done * 100 / total;
    m_window->setOverallProgress(QStringLiteral("总体进度: %1/%2 (%3%)").arg(done).arg(total).arg(percent),
                                 percent);
    // File starts and ends are painted at the pace of chunk progress (a release of many small
    // files would otherwise repaint several times per file); the end of the last one at once.
    if (done == total) {
        m_window->refreshNow();
    }
    Logger::info(QStringLiteral("下载进度更新: %1/%2 (%3%)").arg(done).arg(total).arg(percent));
}

void CTCPUpdate::handleDownloadError()
{
    if (m_currentIndex < 0 || m_currentIndex >= m_downloadList.size()) {
        return;
    }
    const QString name = currentFileName();
    // The reason in a service's error reply is the service's own text, not one to search for
    // keywords: it is shown as it stands.
    const bool serviceError = m_failureText.startsWith(ServiceErrorText);
    const ErrorClass errorClass = serviceError ? UnknownError : classifyError(m_failureText);
    switch (errorClass) {
    case NetworkError:
        m_window->showError(QStringLiteral("网络错误，重试失败: %1").arg(name));
        break;
    case FileSystemError:
        m_window->showError(QStringLiteral("文件系统错误，重试失败: %1").arg(name));
        break;
    case TimeoutError:
        m_window->showError(QStringLiteral("下载超时，重试失败: %1").arg(name));
        break;
    case CancelledError:
        m_window->showStatus(QStringLiteral("下载已取消"));
        break;
    case UnknownError:
        if (serviceError) {
            m_window->showError(QStringLiteral("%1，重试失败: %2").arg(m_failureText, name));
        } else {
            m_window->showError(QStringLiteral("未知错误，重试失败: %1").arg(name));
        }
        break;
    }
    Logger::error(QStringLiteral("下载错误处理完成，文件: %1 错误类型: %2 原因: %3")
                      .arg(name)
                      .arg(static_cast<int>(errorClass))
                      .arg(m_failureText));
}

QString CTCPUpdate::currentFileName() const
{
    if (m_currentIndex < 0 || m_currentIndex >= m_downloadList.size()) {
        return QString();
    }
    return m_downloadList.at(m_currentIndex).fileName;
}

void CTCPUpdate::requestCancel()
{
    m_cancelRequested = true;
    // The file that is arriving is abandoned at once rather than finished first.
    if (m_client) {
        m_client->cancelDownload();
    }
}

void CTCPUpdate::onCancelRequested()
{
    if (m_downloading) {
        Logger::info(QStringLiteral("用户请求取消下载"));
        requestCancel();
        return;
    }
    // Nothing runs any more (finished, failed or cancelled): the button lets the user leave.
    m_window->close();
}

void CTCPUpdate::onVersionChecked(const VersionInfo& info)
{
    if (!info.needUpdate) {
        return;
    }
    m_downloadList.clear();
    for (const FileRecord& record : info.files) {
        m_downloadList.append(FileTransferRequest{record.filePath(), record.fileName()});
    }
}

void CTCPUpdate::onFileDownloadProgress(const QString& filePath, const QString& fileName, uint32_t downloaded,
                                        uint32_t total)
{
    Q_UNUSED(filePath)
    const int percent =
        total == 0 ? 0
                   : static_cast<int>(static_cast<double>(downloaded) / static_cast<double>(total) * 100.0);
    const QString text = QStringLiteral("下载文件: %1 (%2/%3)")
                             .arg(fileName, formatFileSize(downloaded), formatFileSize(total));
    m_window->setFileProgress(fileName, downloaded, total);
    m_window->setOverallProgress(text, percent);
    Logger::info(
        QStringLiteral("TCP文件下载进度:%1 %2/%3 %4%").arg(fileName).arg(downloaded).arg(total).arg(percent));
}

void CTCPUpdate::onFileDownloadCompleted(const QString& filePath, const QString& fileName)
{
    Q_UNUSED(filePath)
    m_window->showPassingStatus(QStringLiteral("文件下载完成: %1").arg(fileName));
    Logger::info(QStringLiteral("TCP文件下载完成:") + fileName);
}

void CTCPUpdate::onFileDownloadError(const QString& filePath, const QString& fileName, const QString& error)
{
    Q_UNUSED(filePath)
    m_window->showError(QStringLiteral("文件下载失败: %1 - %2").arg(fileName, error));
    qWarning() << "TCP文件下载错误:" << fileName << "-" << error;
}

QString CTCPUpdate::formatFileSize(qint64 bytes)
{
    return FileSize::toText(bytes);
}

CTCPUpdate::ErrorClass CTCPUpdate::classifyError(const QString& message)
{
    // Order matters: a text such as "connection timeout" is a timeout first.
    static const QList<QPair<QStringList, ErrorClass>> groups = {
        {{QStringLiteral("timeout"), QStringLiteral("超时")}, TimeoutError},
        {{QStringLiteral("network"), QStringLiteral("connection"), QStringLiteral("网络"),
          QStringLiteral("连接")},
         NetworkError},
        {{QStringLiteral("file"), QStringLiteral("disk"), QStringLiteral("文件"), QStringLiteral("磁盘")},
         FileSystemError},
        {{QStringLiteral("cancel"), QStringLiteral("取消")}, CancelledError},
    };
    for (const auto& group : groups) {
        if (containsAny(message, group.first)) {
            return group.second;
        }
    }
    return UnknownError;
}
