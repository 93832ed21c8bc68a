#include "servicesession.h"

#include "updateservice.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

namespace {

// Enough queued data to keep the connection busy without reading whole files ahead.
constexpr qint64 minimumBacklog = qint64{256} * 1024;
constexpr quint32 wrongMagic = 0xDEADBEEF;
const QByteArray forgedContent = QByteArrayLiteral("forged\n");

} // namespace

ServiceSession::ServiceSession(QTcpSocket* socket, UpdateService* service, int id)
    : QObject(service), m_socket(socket), m_service(service), m_id(id)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &ServiceSession::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &ServiceSession::onBytesWritten);
    connect(socket, &QTcpSocket::disconnected, this, &ServiceSession::onDisconnected);
    qInfo().noquote() << label() << "connected from" << socket->peerAddress().toString();
}

QString ServiceSession::label() const
{
    return QStringLiteral("[client %1]").arg(m_id);
}

void ServiceSession::onDisconnected()
{
    qInfo().noquote() << label() << "disconnected";
    m_closing = true;
    m_streams.clear();
    deleteLater();
}

void ServiceSession::onReadyRead()
{
    m_buffer.append(m_socket->readAll());
    Frame frame;
    for (;;) {
        const FrameStatus status = takeFrame(m_buffer, frame);
        if (status == FrameStatus::NeedMore) {
            break;
        }
        if (status == FrameStatus::Corrupt) {
            qWarning().noquote() << label() << "bad frame header, received data discarded";
            break;
        }
        if (frame.type == Heartbeat) {
            // Heartbeats are answered at once, between whole frames of a running transfer.
            sendFrame(HeartbeatReply, frame.payload, false);
            continue;
        }
        m_pending.enqueue(frame);
    }
    processNext();
}

void ServiceSession::processNext()
{
    if (m_busy || m_closing || m_pending.isEmpty()) {
        return;
    }
    m_busy = true;
    const Frame request = m_pending.dequeue();
    const int delay = m_service->options().delayMs;
    if (delay > 0) {
        QTimer::singleShot(delay, this, [this, request] { answer(request); });
    } else {
        answer(request);
    }
}

void ServiceSession::answer(const Frame& request)
{
    if (m_closing) {
        return;
    }
    switch (request.type) {
    case VersionCheckRequest:
        answerVersion(request);
        break;
    case FileDownloadRequest:
        answerFile(request);
        break;
    default:
        sendError(QStringLiteral("unknown request type %1").arg(request.type));
        break;
    }
    if (m_streams.isEmpty() && m_busy) {
        finishAnswer();
    }
}

void ServiceSession::finishAnswer()
{
    m_busy = false;
    // Queued, so that answering never recurses and requests stay strictly in order.
    QMetaObject::invokeMethod(this, &ServiceSession::processNext, Qt::QueuedConnection);
}

void ServiceSession::answerVersion(const Frame& request)
{
    const ServiceOptions& options = m_service->options();
    const QString clientVersion = decodeVersionCheckRequestVersion(request.payload);
    if (options.errorVersion) {
        sendError(QStringLiteral("version check refused by --error-version"));
        return;
    }
    const bool needUpdate = clientVersion != options.version;
    const QVector<FileTransferRequest> files =
        needUpdate ? m_service->catalog().requests() : QVector<FileTransferRequest>();
    qInfo().noquote() << label() << "version check from" << clientVersion << "->" << options.version
                      << (needUpdate ? "update with" : "no update,") << files.size() << "files";
    sendFrame(VersionCheckReply,
              encodeVersionCheckReply(needUpdate, options.version, options.productCode, files), true);
}

void ServiceSession::answerFile(const Frame& request)
{
    const ServiceOptions& options = m_service->options();
    const ReleaseCatalog& catalog = m_service->catalog();
    const FileTransferRequest wanted = decodeFileDownloadRequest(request.payload);
    const ReleaseCatalog::Entry* entry = catalog.find(wanted);
    if (!entry) {
        sendError(QStringLiteral("not in the release: ") + wanted.filePath + QLatin1Char('|') +
                  wanted.fileName);
        return;
    }
    if (options.errorFiles.contains(entry->relativePath) ||
        options.errorFiles.contains(entry->request.fileName)) {
        sendError(QStringLiteral("refused by --error-file: ") + entry->relativePath);
        return;
    }
    QVector<const ReleaseCatalog::Entry*> toSend;
    if (!options.prependFile.isEmpty()) {
        if (const ReleaseCatalog::Entry* extra = catalog.findByRelativePath(options.prependFile)) {
            toSend.append(extra);
        }
    }
    toSend.append(entry);
    for (const ReleaseCatalog::Entry* item : toSend) {
        auto stream = std::make_shared<Stream>();
        if (!openStream(item, *stream)) {
            m_streams.clear();
            sendError(QStringLiteral("cannot read ") + item->relativePath);
            return;
        }
        m_streams.enqueue(stream);
    }
    pump();
}

bool ServiceSession::openStream(const ReleaseCatalog::Entry* entry, Stream& stream)
{
    stream.entry = entry;
    stream.label = m_service->options().answerAs.isEmpty()
                       ? entry->request
                       : ReleaseCatalog::splitRecordText(m_service->options().answerAs);
    if (entry->absolutePath.isEmpty()) {
        stream.size = static_cast<quint32>(forgedContent.size());
        return true;
    }
    stream.file = std::make_unique<QFile>(entry->absolutePath);
    if (!stream.file->open(QIODevice::ReadOnly) || stream.file->size() > qint64(UINT32_MAX)) {
        return false;
    }
    stream.size = static_cast<quint32>(stream.file->size());
    qInfo().noquote() << label() << "serving" << entry->relativePath << stream.size << "bytes";
    return true;
}

void ServiceSession::onBytesWritten()
{
    pump();
}

void ServiceSession::pump()
{
    const qint64 backlog = qMax<qint64>(minimumBacklog, 4 * qint64(m_service->options().chunkSize));
    const int chunkDelay = m_service->options().chunkDelayMs;
    while (!m_pausing && !m_closing && !m_streams.isEmpty() && m_socket->bytesToWrite() < backlog) {
        const std::shared_ptr<Stream> stream = m_streams.head();
        if (!sendNextChunk(*stream)) {
            // The final chunk is out (or the file could not be read): this file is done.
            m_streams.dequeue();
            if (m_streams.isEmpty()) {
                finishAnswer();
            }
        }
        if (chunkDelay > 0 && !m_streams.isEmpty()) {
            m_pausing = true;
            QTimer::singleShot(chunkDelay, this, [this] {
                m_pausing = false;
                pump();
            });
        }
    }
}

bool ServiceSession::sendNextChunk(Stream& stream)
{
    const ServiceOptions& options = m_service->options();
    const quint32 announced = options.announceSize < 0 ? stream.size : quint32(options.announceSize);
    const quint32 left = stream.size > stream.sent ? stream.size - stream.sent : 0;
    const quint32 wanted = stream.file ? qMin<quint32>(left, quint32(options.chunkSize))
                                       : (stream.sent == 0 ? quint32(forgedContent.size()) : 0);
    const quint32 after = stream.sent + wanted;
    // With --empty-final-chunk the data ends without the flag and an empty chunk carries it.
    const bool isLast = after >= stream.size && (!options.emptyFinalChunk || wanted == 0);
    // The file is read straight behind the headers: one buffer and one copy per chunk.
    QByteArray frame = encodeFileDataFrameStart(stream.label, announced, wanted, isLast, options.productCode);
    const int headerSize = frame.size();
    frame.resize(headerSize + int(wanted));
    if (stream.file) {
        if (stream.file->read(frame.data() + headerSize, wanted) != qint64(wanted)) {
            sendError(QStringLiteral("read failed: ") + stream.entry->relativePath);
            return false;
        }
    } else {
        std::copy(forgedContent.cbegin(), forgedContent.cbegin() + wanted, frame.data() + headerSize);
    }
    stream.sent = after;
    sendWholeFrame(std::move(frame), stream.first, true);
    stream.first = false;
    if (isLast) {
        qInfo().noquote() << label() << "finished" << stream.entry->relativePath;
    }
    return !isLast;
}

void ServiceSession::sendError(const QString& why)
{
    qInfo().noquote() << label() << "error reply:" << why;
    // The content of an error reply is free: the reason, for the updater to show.
    sendFrame(ErrorReply, why.toUtf8(), true);
}

void ServiceSession::sendFrame(qint32 type, const QByteArray& payload, bool answerStart)
{
    sendWholeFrame(encodeFrame(type, payload, m_service->options().productCode), answerStart, false);
}

void ServiceSession::sendWholeFrame(QByteArray frame, bool answerStart, bool fileData)
{
    if (m_closing) {
        return;
    }
    if (answerStart && m_service->options().corrupt) {
        qToLittleEndian<quint32>(wrongMagic, frame.data());
    }
    const qint64 dropAfter = m_service->options().dropAfter;
    if (fileData && dropAfter >= 0 && m_fileDataBytes + frame.size() > dropAfter &&
        m_service->consumeDrop()) {
        m_socket->write(frame.left(static_cast<int>(dropAfter - m_fileDataBytes)));
        qInfo().noquote() << label() << "dropping the connection after" << dropAfter << "bytes of file data";
        m_closing = true;
        m_streams.clear();
        m_socket->disconnectFromHost();
        return;
    }
    if (fileData) {
        m_fileDataBytes += frame.size();
    }
    m_socket->write(frame);
}
