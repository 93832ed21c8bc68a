#include "http/filedownload.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace {

constexpr qint64 replyReadBufferBytes = qint64{1024} * 1024;
constexpr qint64 readPieceBytes = qint64{256} * 1024;

} // namespace

CFileDownload::CFileDownload(QNetworkAccessManager* manager, QObject* parent)
    : QObject(parent), m_manager(manager)
{
}

CFileDownload::~CFileDownload()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
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
    m_hash.reset();
    m_received = 0;
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

    QNetworkRequest request(m_url);
    request.setTransferTimeout(m_transferTimeoutMs);
    // Web servers and CDNs answer with redirects; an https source must never continue over http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    m_reply = m_manager->get(request);
    // Without a limit the network thread buffers whatever arrives faster than this thread writes
    // it, so memory would grow with the file; with it the server waits (TCP flow control).
    m_reply->setReadBufferSize(replyReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &CFileDownload::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &CFileDownload::sigProgress);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &CFileDownload::onReplyError);
    connect(m_reply, &QNetworkReply::finished, this, &CFileDownload::onReplyFinished);
    return true;
}

void CFileDownload::abort()
{
    if (m_reply) {
        m_reply->abort();
    }
}

void CFileDownload::onReadyRead()
{
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
    // Queued first, so that the worker hashes this piece while this thread writes it.
    m_hash.addData(piece);
    if (m_file.write(piece) != read) {
        failWith(WriteFailure, m_file.errorString());
        return false;
    }
    return true;
}

void CFileDownload::onReplyError(QNetworkReply::NetworkError error)
{
    // An abort that this object started after a write or digest failure is not the cause.
    if (m_failure != NoFailure) {
        return;
    }
    m_failure = NetworkFailure;
    m_networkError = error;
    m_errorString = m_reply ? m_reply->errorString() : QString();
    // Whoever hears of the failure may end the process; the partial file must be gone by then.
    m_file.close();
    m_file.remove();
    emit sigNetworkError(error);
}

void CFileDownload::onReplyFinished()
{
    if (!m_reply) {
        return;
    }
    if (m_failure == NoFailure) {
        onReadyRead();
    }
    m_reply->deleteLater();
    m_reply.clear();
    finishFile();
    emit sigFinished();
}

void CFileDownload::failWith(Failure failure, const QString& text)
{
    m_failure = failure;
    m_errorString = text;
    if (m_reply) {
        m_reply->abort();
    }
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
        if (!m_expectedMd5.isNull() && m_actualMd5.compare(m_expectedMd5, Qt::CaseInsensitive) != 0) {
            m_failure = DigestFailure;
            m_errorString = m_actualMd5;
        }
    }
    if (m_failure != NoFailure) {
        m_file.remove();
    }
}
