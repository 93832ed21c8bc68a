#include "tcp/qupdatetcpclient.h"

#include "apply/releaseverifier.h"
#include "config/configmanager.h"
#include "log/logger.h"
#include "tcp/asyncwaiter.h"
#include "tcp/filedatawriter.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QString notConnectedText = QStringLiteral("未连接到服务器");

// What the socket may hold beyond the frame being assembled. Without a limit it takes in all the
// service sends while the window repaints, so memory would grow with the file when the disk or
// the window is slower than the network; with it the service waits (TCP flow control).
constexpr qint64 socketReadBufferBytes = qint64{1024} * 1024;

QString number(quint64 value)
{
    return QString::number(value);
}

constexpr int maxReasonCharacters = 200;

/// The fixed text of an error reply, followed by the reason the service put into it, if any. The
/// reason is outside text: cut short, and without control characters that could break a line.
QString errorReplyText(const QByteArray& payload)
{
    QString reason = QString::fromUtf8(payload).left(maxReasonCharacters).trimmed();
    for (QChar& c : reason) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char(' ');
        }
    }
    const QString fixed = QStringLiteral("服务器返回错误");
    return reason.isEmpty() ? fixed : fixed + QStringLiteral(": ") + reason;
}

} // namespace

QUpdateTcpClient::QUpdateTcpClient(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_heartbeatTimer(new QTimer(this)),
      m_writer(&CFileDataWriter::instance())
{
    qRegisterMetaType<VersionInfo>("VersionInfo");
    qRegisterMetaType<uint32_t>("uint32_t");
    m_receiveBuffer.reserve(1024);
    m_socket->setReadBufferSize(socketReadBufferBytes);
    connect(m_socket, &QTcpSocket::connected, this, &QUpdateTcpClient::onConnected);
    connect(m_socket, &QTcpSocket::disconnected, this, &QUpdateTcpClient::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &QUpdateTcpClient::onError);
    connect(m_socket, &QTcpSocket::readyRead, this, &QUpdateTcpClient::onReadyRead);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &QUpdateTcpClient::onHeartbeatTimeout);
}

QUpdateTcpClient::~QUpdateTcpClient()
{
    if (m_heartbeatTimer->isActive()) {
        m_heartbeatTimer->stop();
    }
    // Our slots must not run for a closing socket while this object is half destroyed.
    m_socket->disconnect(this);
    if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->disconnectFromHost();
    }
    m_state = Disconnected;
}

void QUpdateTcpClient::setFileWriter(CFileDataWriter* writer)
{
    m_writer = writer ? writer : &CFileDataWriter::instance();
}

bool QUpdateTcpClient::connectToServer(const QString& host, quint16 port)
{
    return connectToServer(host, port, defaultConnectTimeoutMs);
}

bool QUpdateTcpClient::connectToServer(const QString& host, quint16 port, int timeoutMs)
{
    if (m_state == Connecting || m_state == Connected) {
        m_lastError = QStringLiteral("已经连接或正在连接中");
        return false;
    }
    m_host = host;
    m_port = port;
    // Bytes and a transfer left by an earlier connection can never be completed on a new one.
    m_receiveBuffer.clear();
    abandonTransfer();
    m_state = Connecting;
    m_socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const bool connectedInTime = m_socket->waitForConnected(timeoutMs);
    if (!connectedInTime && m_state == Connecting) {
        // A timed-out attempt must not leave the client refusing every later attempt.
        m_lastError = m_socket->errorString();
        m_socket->abort();
        m_state = Error;
    }
    return connectedInTime;
}

bool QUpdateTcpClient::isConnected() const
{
    return m_state == Connected && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool QUpdateTcpClient::sendMessage(qint32 type, const QByteArray& payload)
{
    if (!isConnected()) {
        return false;
    }
    const QByteArray header = encodeFrameHeader(type, static_cast<quint32>(payload.size()),
                                                CConfigManager::instance().getProjectType());
    if (m_socket->write(header) != header.size()) {
        return false;
    }
    if (!payload.isEmpty() && m_socket->write(payload) != payload.size()) {
        return false;
    }
    return m_socket->flush();
}

VersionInfo QUpdateTcpClient::checkVersion(const QByteArray& request, int timeoutMs)
{
    if (!isConnected()) {
        fail(notConnectedText);
        return VersionInfo();
    }
    AsyncWaiter waiter;
    VersionInfo result;
    QObject scope; // the connections below end with this call
    connect(this, &QUpdateTcpClient::versionChecked, &scope, [&](const VersionInfo& info) {
        result = info;
        emit waiter.signalReceived();
    });
    connect(this, &QUpdateTcpClient::errorOccurred, &scope, [&] { emit waiter.signalReceived(); });

    // Empty afterwards only when the service answered: a failed check is told apart from "no update".
    m_lastError.clear();
    if (!sendMessage(VersionCheckRequest, request)) {
        fail(QStringLiteral("发送版本检查请求失败"));
        return VersionInfo();
    }
    if (!waiter.wait(timeoutMs)) {
        m_lastError = QStringLiteral("版本检查超时，升级服务无应答");
        return VersionInfo();
    }
    return result;
}

bool QUpdateTcpClient::downloadFile(const FileTransferRequest& request, int timeoutMs)
{
    if (!isConnected()) {
        fail(notConnectedText);
        return false;
    }
    const QString filePath = request.filePath;
    const QString fileName = request.fileName;
    m_exceededSizeLimit = false;
    if (!CFileDataWriter::isSafeTarget(filePath, fileName)) {
        m_lastError = QStringLiteral("Refused file path outside the temporary folder: ") + filePath +
                      QLatin1Char('/') + fileName;
        Logger::error(m_lastError);
        emit sigFileDownloadError(filePath, fileName, m_lastError);
        return false;
    }

    AsyncWaiter waiter;
    bool success = false;
    QObject scope; // the connections below end with this call
    connect(this, &QUpdateTcpClient::sigFileDownloadCompleted, &scope,
            [&](const QString& completedPath, const QString& completedName) {
                if (completedPath == filePath && completedName == fileName) {
                    success = true;
                    emit waiter.signalReceived();
                }
            });
    connect(this, &QUpdateTcpClient::errorOccurred, &scope, [&] {
        if (!success) {
            emit waiter.signalReceived();
        }
    });
    // A chunk of the requested file that could not be saved ends the wait: without this a failed
    // final chunk would leave an unlimited wait hanging, as no completion ever follows.
    connect(this, &QUpdateTcpClient::sigFileDownloadError, &scope,
            [&](const QString& failedPath, const QString& failedName) {
                if (!success && failedPath == filePath && failedName == fileName) {
                    emit waiter.signalReceived();
                }
            });
    // Nothing more can arrive once the connection is gone.
    connect(this, &QUpdateTcpClient::disconnected, &scope, [&] {
        if (!success) {
            emit waiter.signalReceived();
        }
    });
    bool cancelled = false;
    connect(this, &QUpdateTcpClient::downloadCancelled, &scope, [&] {
        cancelled = true;
        emit waiter.signalReceived();
    });

    if (!isConnected()) {
        fail(notConnectedText);
        return false;
    }
    // A transfer still under way belongs to an earlier request that gave up (timeout, failed
    // chunk): its remaining chunks precede the answer to this request and must not be taken for it.
    if (!m_currentFileName.isEmpty()) {
        m_draining = true;
    }
    if (!sendMessage(FileDownloadRequest, encodeFileDownloadRequest(request))) {
        fail(QStringLiteral("发送文件下载请求失败"));
        return false;
    }
    // Even without a time limit a download must not wait forever for a service that stops sending
    // in the middle of a file while keeping the connection open: every chunk restarts this timer.
    bool stalled = false;
    QTimer stallTimer;
    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, &scope, [&] {
        stalled = true;
        emit waiter.signalReceived();
    });
    connect(this, &QUpdateTcpClient::sigFileDownloadProgress, &scope,
            [&] { stallTimer.start(m_stallTimeoutMs); });
    stallTimer.start(m_stallTimeoutMs);

    const bool answered = waiter.wait(timeoutMs);
    if (cancelled && !success) {
        // The rest of the file may still arrive: it is drained, never written.
        m_draining = !m_currentFileName.isEmpty();
        m_writer->discard(filePath, fileName);
        m_lastError = QStringLiteral("下载已取消");
        return false;
    }
    if ((!answered || stalled) && !success) {
        m_lastError = QStringLiteral("文件下载超时");
        emit sigFileDownloadError(filePath, fileName, QStringLiteral("下载超时"));
    }
    return success;
}

void QUpdateTcpClient::cancelDownload()
{
    emit downloadCancelled();
}

void QUpdateTcpClient::onConnected()
{
    m_state = Connected;
    // Requests are small and each one waits for its answer: Nagle's algorithm would hold a request
    // back until the delayed acknowledgement of the previous answer arrives, for every file.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    emit connected();
    if (!m_heartbeatActive) {
        m_heartbeatActive = true;
        m_heartbeatTimer->start(heartbeatIntervalMs);
    }
}

void QUpdateTcpClient::onDisconnected()
{
    m_state = Disconnected;
    if (m_heartbeatActive) {
        m_heartbeatActive = false;
        m_heartbeatTimer->stop();
    }
    emit disconnected();
}

void QUpdateTcpClient::onError(QAbstractSocket::SocketError)
{
    m_lastError = m_socket->errorString();
    m_state = Error;
    emit errorOccurred(m_lastError);
}

void QUpdateTcpClient::onHeartbeatTimeout()
{
    if (m_state == Connected) {
        sendMessage(Heartbeat, encodeHeartbeat(QDateTime::currentMSecsSinceEpoch()));
    }
}

void QUpdateTcpClient::onReadyRead()
{
    // Only the rest of the current frame is read from the socket, so the buffer never holds more
    // than one frame and nothing behind a frame has to be moved when it is taken. The socket keeps
    // the rest.
    for (;;) {
        const int missing = frameBytesMissing(m_receiveBuffer);
        if (missing > 0) {
            // readyRead is not emitted again while one of its slots runs an event loop (the
            // progress window repaints inside dispatch): bytes that arrived meanwhile wait in the
            // socket with no further signal, so take them now or they are never read.
            if (!readFromSocket(missing)) {
                return;
            }
            continue;
        }
        if (isCorruptHeader(m_receiveBuffer)) {
            // Everything that has arrived goes with the bad header, as when it was all read at once:
            // the stream starts afresh with the next bytes to arrive.
            m_receiveBuffer.clear();
            m_socket->readAll();
            Logger::warn("Discarded received data with a bad frame header");
            return;
        }
        dispatchWholeFrame();
    }
}

bool QUpdateTcpClient::readFromSocket(int wanted)
{
    const qint64 available = m_socket->bytesAvailable();
    if (available <= 0) {
        return false;
    }
    const int held = m_receiveBuffer.size();
    const int count = static_cast<int>(qMin<qint64>(wanted, available));
    m_receiveBuffer.resize(held + count);
    const qint64 read = m_socket->read(m_receiveBuffer.data() + held, count);
    m_receiveBuffer.resize(held + static_cast<int>(qMax<qint64>(read, 0)));
    return read > 0;
}

void QUpdateTcpClient::dispatchWholeFrame()
{
    // The frame leaves the buffer before it is dispatched, so a slot that spins an event loop and
    // lets onReadyRead run again finds an empty buffer. A chunk's data is written straight from
    // these bytes, without a copy; the allocation is kept for the next frame.
    QByteArray bytes;
    bytes.swap(m_receiveBuffer);
    Frame frame;
    readFrameHeader(bytes, frame);
    const int payloadSize = bytes.size() - TcpProtocol::HeaderSize;
    frame.payload = frame.type == FileData
                        ? QByteArray::fromRawData(bytes.constData() + TcpProtocol::HeaderSize, payloadSize)
                        : bytes.mid(TcpProtocol::HeaderSize);
    dispatchFrame(frame);
    frame.payload.clear();
    if (m_receiveBuffer.isEmpty()) {
        bytes.reserve(bytes.size()); // keeps the allocation through the resize below
        bytes.resize(0);
        m_receiveBuffer.swap(bytes);
    }
}

void QUpdateTcpClient::dispatchFrame(const Frame& frame)
{
    switch (frame.type) {
    case HeartbeatReply:
        emit heartbeatReceived();
        break;
    case VersionCheckReply: {
        const VersionInfo info = decodeVersionCheckReply(frame.payload);
        if (!info.needUpdate && !frame.payload.isEmpty() && frame.payload.at(0) != 0) {
            m_lastError = QStringLiteral("版本应答格式错误，拒绝更新");
            Logger::warn(m_lastError);
        }
        emit versionChecked(info);
        break;
    }
    case FileData:
        handleFileData(frame.payload);
        break;
    case ErrorReply:
        // The service answers a request with an error instead of (the rest of) the file.
        abandonTransfer();
        fail(errorReplyText(frame.payload));
        break;
    default:
        break;
    }
}

void QUpdateTcpClient::handleFileData(const QByteArray& payload)
{
    if (!isFileDataPayload(payload)) {
        Logger::warn("Dropped a file data frame shorter than its chunk header");
        return;
    }
    const FileDataChunk chunk = decodeFileDataInPlace(payload);
    if (m_draining) {
        if (chunk.fileName == m_currentFileName) {
            if (chunk.isLast) {
                abandonTransfer();
            }
            return;
        }
        abandonTransfer();
    }
    if (m_currentFileName.isEmpty() || m_currentFileName != chunk.fileName) {
        startTransfer(chunk);
    }
    Logger::info(QStringLiteral("收到文件数据块: %1 (大小: %2, 是否结束: %3)")
                     .arg(m_currentFileName, number(chunk.chunkSize),
                          chunk.isLast ? QStringLiteral("是") : QStringLiteral("否")));
    if (exceedsSizeLimit(static_cast<quint64>(chunk.data.size()))) {
        cutOffOversizedTransfer();
        return;
    }

    if (!m_writer->writeChunk(m_currentFilePath, m_currentFileName, chunk.data, chunk.isLast)) {
        const QString filePath = m_currentFilePath;
        const QString fileName = m_currentFileName;
        if (chunk.isLast) {
            // Nothing follows a final chunk: keeping the transfer would swallow a retry's chunks.
            abandonTransfer();
        }
        m_lastError = QStringLiteral("Failed to save file data: %1/%2").arg(filePath, fileName);
        emit sigFileDownloadError(filePath, fileName, m_lastError);
        return;
    }
    m_receivedSize += chunk.chunkSize;
    m_writtenSize += static_cast<quint64>(chunk.data.size());
    const quint64 percentage = m_totalSize == 0 ? 0 : quint64(m_receivedSize) * 100 / m_totalSize;
    Logger::info(
        QStringLiteral("文件传输进度: %1 (%2/%3 字节, %4%)")
            .arg(m_currentFileName, number(m_receivedSize), number(m_totalSize), number(percentage)));
    emit sigFileDownloadProgress(m_currentFilePath, m_currentFileName, m_receivedSize, m_totalSize);
    if (chunk.isLast) {
        finishTransfer();
    }
}

void QUpdateTcpClient::startTransfer(const FileDataChunk& chunk)
{
    abandonTransfer();
    m_currentFilePath = chunk.filePath;
    m_currentFileName = chunk.fileName;
    m_totalSize = chunk.fileSize;
    m_receivedSize = 0;
    m_writtenSize = 0;
    // A transfer always starts its file afresh, even when an earlier attempt left it half written.
    m_writer->discard(m_currentFilePath, m_currentFileName);
    Logger::info(
        QStringLiteral("开始接收文件传输: %1 (大小: %2 字节)").arg(m_currentFileName, number(m_totalSize)));
    emit sigFileDownloadProgress(m_currentFilePath, m_currentFileName, 0, m_totalSize);
}

void QUpdateTcpClient::finishTransfer()
{
    const QString filePath = m_currentFilePath;
    const QString fileName = m_currentFileName;
    const bool whole = m_writtenSize == m_totalSize;
    const quint64 written = m_writtenSize;
    const quint32 total = m_totalSize;
    // Cleared before the signal: a slot may already request the next file.
    m_currentFilePath.clear();
    m_currentFileName.clear();
    m_totalSize = 0;
    m_receivedSize = 0;
    m_writtenSize = 0;
    if (!whole) {
        // Chunks of an interrupted stream can add up to less (or more) than the announced size;
        // such a file must never count as downloaded.
        m_lastError = QStringLiteral("Connection delivered incomplete file data: %1/%2 (%3 of %4 bytes)")
                          .arg(filePath, fileName, number(written), number(total));
        Logger::error(m_lastError);
        emit sigFileDownloadError(filePath, fileName, m_lastError);
        return;
    }
    Logger::info(QStringLiteral("文件传输完成: %1").arg(fileName));
    emit sigFileDownloadCompleted(filePath, fileName);
}

bool QUpdateTcpClient::exceedsSizeLimit(quint64 incomingBytes) const
{
    if (m_sizeLimits.isEmpty()) {
        return false;
    }
    const qint64 limit =
        m_sizeLimits.value(FileTransferRequest{m_currentFilePath, m_currentFileName}.relativePath(), -1);
    return limit < 0 || m_totalSize > static_cast<quint64>(limit) ||
           m_writtenSize + incomingBytes > static_cast<quint64>(limit);
}

void QUpdateTcpClient::cutOffOversizedTransfer()
{
    const FileTransferRequest transfer{m_currentFilePath, m_currentFileName};
    m_exceededSizeLimit = true;
    m_lastError = ReleaseVerifier::oversizedText(transfer.relativePath());
    Logger::error(m_lastError);
    abandonTransfer();
    // The rest of the stream is never read: the connection goes with it.
    m_socket->abort();
    emit sigFileDownloadError(transfer.filePath, transfer.fileName, m_lastError);
}

void QUpdateTcpClient::abandonTransfer()
{
    if (!m_currentFileName.isEmpty() || !m_currentFilePath.isEmpty()) {
        m_writer->discard(m_currentFilePath, m_currentFileName);
    }
    m_currentFilePath.clear();
    m_currentFileName.clear();
    m_totalSize = 0;
    m_receivedSize = 0;
    m_writtenSize = 0;
    m_draining = false;
}

void QUpdateTcpClient::fail(const QString& error)
{
    m_lastError = error;
    emit errorOccurred(error);
}
