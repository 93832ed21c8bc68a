#include "http/filedownload.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace {

constexpr qint64 replyReadBufferBytes = qint64{1024} * 1024;
constexpr qint64 readPieceBytes = qint64{256} * 1024;
constexpr int partialContentStatus = 206;

/// The first byte position of a `Content-Range: bytes FIRST-LAST/TOTAL` header, or -1.
qint64 rangeStart(const QByteArray& contentRange)
{
    const QByteArray text = contentRange.trimmed();
    if (!text.startsWith("bytes ")) {
        return -1;
    }
    const int dash = text.indexOf('-');
    bool ok = false;
    const qint64 first = text.mid(6, dash - 6).trimmed().toLongLong(&ok);
    return ok && dash > 6 ? first : -1;
}

} // namespace

int CFileDownload::configuredTransferTimeout()
{
    bool ok = false;
    const int milliseconds = qEnvironmentVariableIntValue("UPDATER_TEST_TRANSFER_TIMEOUT_MS", &ok);
    return ok && milliseconds > 0 ? milliseconds : DefaultTransferTimeoutMs;
}

CFileDownload::CFileDownload(QNetworkAccessManager* manager, QObject* parent)
    : QObject(parent), m_manager(manager)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &CFileDownload::sendRequest);
}

CFileDownload::~CFileDownload()
{
    const bool unfinished = isRunning();
    m_retryTimer.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (unfinished) {
        m_file.close();
        m_file.remove();
    }
}

void CFileDownload::setExpectedMd5(const QString& md5)
{
    m_expectedMd5 = md5.isNull() ? QStringLiteral("") : md5;
}

bool CFileDownload::start(const QString& url, const QString& localPath)
{
    m_failure = NoFailure;
    m_networkError = QNetworkReply::NoError;
    m_errorString.clear();
    m_actualMd5.clear();
    m_actualSha256.clear();
    m_validator.clear();
    m_hash.reset();
    m_sha256.reset();
    m_received = 0;
    m_attempt = 0;
    m_requestCount = 0;
    m_abortRequested = false;
    m_url = QUrl(url, QUrl::TolerantMode);
    m_file.setFileName(localPath);

    const QDir folder = QFileInfo(localPath).absoluteDir();
    if (!folder.exists() && !folder.mkpath(QStringLiteral("."))) {
        m_failure = FolderFailure;
        m_errorString = folder.path();
        return false;
    }
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_failure = OpenFailure;
        m_errorString = m_file.errorString();
        return false;
    }
    sendRequest();
    return true;
}

void CFileDownload::sendRequest()
{
    m_responseChecked = false;
    m_bodyAccepted = false;
    m_retryPending = false;
    m_requestOffset = 0;
    // Taken before a restart empties the file: bytes fetched again are no progress.
    m_receivedAtRequest = m_received;
    m_startedAgain = false;
    ++m_requestCount;
    QNetworkRequest request(m_url);
    request.setTransferTimeout(m_transferTimeoutMs);
    // Web servers and CDNs answer with redirects; an https source must never continue over http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (m_received > 0 && !m_validator.isEmpty()) {
        m_requestOffset = m_received;
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_received) + '-');
        request.setRawHeader("If-Range", m_validator);
        // Byte positions are those of the file itself, never of a compressed form of it.
        request.setRawHeader("Accept-Encoding", "identity");
    } else if (m_received > 0 && !restartFile()) {
        failWith(WriteFailure, m_file.errorString());
        finishFile();
        emit sigFinished();
        return;
    }
    m_reply = m_manager->get(request);
    // Without a limit the network thread buffers whatever arrives faster than this thread writes
    // it, so memory would grow with the file; with it the server waits (TCP flow control).
    m_reply->setReadBufferSize(replyReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &CFileDownload::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &CFileDownload::onReplyProgress);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &CFileDownload::onReplyError);
    connect(m_reply, &QNetworkReply::finished, this, &CFileDownload::onReplyFinished);
}

void CFileDownload::abort()
{
    m_abortRequested = true;
    if (m_reply) {
        m_reply->abort();
    } else if (m_retryTimer.isActive()) {
        m_retryTimer.stop();
        failNetwork(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
        finishFile();
        emit sigFinished();
    }
}

bool CFileDownload::acceptResponse()
{
    m_responseChecked = true;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.isValid() ? status.toInt() : 200;
    if (code == partialContentStatus && m_requestOffset > 0) {
        if (rangeStart(m_reply->rawHeader("Content-Range")) == m_requestOffset) {
            return true;
        }
        // A range that does not continue the kept bytes: the next attempt fetches the whole file.
        m_validator.clear();
        const QString text = QStringLiteral("续传范围与已下载部分不符");
        if (mayRetry()) {
            m_retryPending = true;
            m_errorString = text;
        } else {
            failNetwork(QNetworkReply::UnknownContentError, text);
        }
        m_reply->abort();
        return false;
    }
    if (code < 200 || code >= 300 || code == partialContentStatus) {
        return false;
    }
    if (m_requestOffset > 0) {
        // If-Range failed: the file changed on the server, and the whole of it follows.
        m_requestOffset = 0;
        m_startedAgain = true;
        if (!restartFile()) {
            failWith(WriteFailure, m_file.errorString());
            return false;
        }
    }
    // A weak ETag may not guard a range; the modification time then does.
    const QByteArray etag = m_reply->rawHeader("ETag");
    m_validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag : m_reply->rawHeader("Last-Modified");
    return true;
}

bool CFileDownload::restartFile()
{
    m_hash.reset();
    m_sha256.reset();
    m_received = 0;
    return m_file.resize(0) && m_file.seek(0);
}

void CFileDownload::onReadyRead()
{
    if (!m_reply || m_failure != NoFailure) {
        return;
    }
    if (!m_responseChecked) {
        m_bodyAccepted = acceptResponse();
    }
    if (!m_bodyAccepted) {
        // An error page or a range that is not wanted is no part of the file.
        if (m_reply) {
            m_reply->readAll();
        }
        return;
    }
    while (m_reply && m_failure == NoFailure && m_reply->bytesAvailable() > 0) {
        if (!receivePiece()) {
            return;
        }
    }
}

bool CFileDownload::receivePiece()
{
    // Pieces of a fixed size in recycled buffers: no allocation (and no fresh pages) per read.
    QByteArray piece = m_hash.takeBuffer();
    piece.resize(static_cast<int>(qMin(m_reply->bytesAvailable(), readPieceBytes)));
    const qint64 read = m_reply->read(piece.data(), piece.size());
    if (read <= 0) {
        return false;
    }
    piece.resize(static_cast<int>(read));
    m_received += read;
    if (m_maximumSize >= 0 && m_received > m_maximumSize) {
        failWith(SizeFailure, QStringLiteral("more than %1 bytes").arg(m_maximumSize));
        return false;
    }
    // Queued first, so that the worker hashes this piece while this thread writes it. Kept bytes
    // were hashed when they arrived, so across attempts the digest covers the file in order.
    m_hash.addData(piece);
    if (m_computeSha256) {
        m_sha256.addData(piece);
    }
    if (m_file.write(piece) != read) {
        failWith(WriteFailure, m_file.errorString());
        return false;
    }
    return true;
}

void CFileDownload::onReplyProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit sigProgress(m_requestOffset + bytesReceived,
                     bytesTotal > 0 ? m_requestOffset + bytesTotal : bytesTotal);
}

bool CFileDownload::isTransient(QNetworkReply::NetworkError error) const
{
    switch (error) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ServiceUnavailableError:
        return !m_abortRequested;
    default:
        return false;
    }
}

void CFileDownload::onReplyError(QNetworkReply::NetworkError error)
{
    // An abort that this object started after a write or digest failure, or to try again, is not
    // the cause.
    if (m_failure != NoFailure || m_retryPending) {
        return;
    }
    QString text = m_reply ? m_reply->errorString() : QString();
    if (error == QNetworkReply::OperationCanceledError && !m_abortRequested) {
        // Qt cancels a request that received nothing for the transfer timeout.
        error = QNetworkReply::TimeoutError;
        text = QStringLiteral("超过%1毫秒未收到数据").arg(m_transferTimeoutMs);
    }
    if (isTransient(error) && mayRetry()) {
        m_retryPending = true;
        m_errorString = text;
        return;
    }
    failNetwork(error, text);
}

void CFileDownload::onReplyFinished()
{
    if (!m_reply) {
        return;
    }
    // Bytes that arrived before a break are part of the file: keep them and ask only for the rest.
    if (m_failure == NoFailure && (m_bodyAccepted || !m_retryPending)) {
        onReadyRead();
    }
    m_reply->deleteLater();
    m_reply.clear();
    if (m_retryPending && m_failure == NoFailure) {
        if (madeProgress()) {
            m_attempt = 0;
        }
        ++m_attempt;
        const int pauseMs = RetryPauseStepMs * m_attempt;
        m_retryTimer.start(pauseMs);
        emit sigRetrying(m_attempt, pauseMs, m_errorString);
        return;
    }
    finishFile();
    emit sigFinished();
}

bool CFileDownload::madeProgress() const
{
    // Only bytes a range request can continue from count; a server that sends the file again from
    // its start (no ranges, or a changed file) earns no credit.
    return m_maximumRetries > 0 && !m_startedAgain && m_received > m_receivedAtRequest &&
           !m_validator.isEmpty();
}

bool CFileDownload::mayRetry() const
{
    return m_attempt < m_maximumRetries || madeProgress();
}

void CFileDownload::failWith(Failure failure, const QString& text)
{
    m_failure = failure;
    m_errorString = text;
    if (m_reply) {
        m_reply->abort();
    }
}

void CFileDownload::failNetwork(QNetworkReply::NetworkError error, const QString& text)
{
    m_failure = NetworkFailure;
    m_networkError = error;
    m_errorString = text;
    // Whoever hears of the failure may end the process; the partial file must be gone by then.
    m_file.close();
    m_file.remove();
    emit sigNetworkError(error);
}

void CFileDownload::finishFile()
{
    if (m_failure == NoFailure && !m_file.flush()) {
        m_failure = WriteFailure;
        m_errorString = m_file.errorString();
    }
    m_file.close();
    if (m_failure == NoFailure && m_file.error() != QFileDevice::NoError) {
        m_failure = WriteFailure;
        m_errorString = m_file.errorString();
    }
    if (m_failure == NoFailure) {
        m_actualMd5 = QString::fromLatin1(m_hash.result().toHex());
        if (m_computeSha256) {
            m_actualSha256 = m_sha256.result();
        }
        if (!m_expectedMd5.isNull() && m_actualMd5.compare(m_expectedMd5, Qt::CaseInsensitive) != 0) {
            m_failure = DigestFailure;
            m_errorString = m_actualMd5;
        }
    }
    if (m_failure != NoFailure) {
        m_file.remove();
    }
}
