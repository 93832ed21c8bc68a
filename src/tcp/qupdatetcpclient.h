#pragma once

#include "formats/tcpprotocol.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class CFileDataWriter;
class QTcpSocket;
class QTimer;

/// The connection to the TCP update service.
///
/// Connects, sends a heartbeat every 30 s while connected, sends requests, reassembles and
/// dispatches replies and writes received chunks through CFileDataWriter. `checkVersion` and
/// `downloadFile` look blocking but wait in a nested event loop (AsyncWaiter), so everything,
/// including the signals below, happens on the caller's (GUI) thread.
class QUpdateTcpClient : public QObject
{
    Q_OBJECT
public:
    enum ConnectionState
    {
        Disconnected = 0,
        Connecting = 1,
        Connected = 2,
        Error = 3
    };
    Q_ENUM(ConnectionState)

    static constexpr int heartbeatIntervalMs = 30000;
    static constexpr int defaultConnectTimeoutMs = 1000;
    /// How long a download may go without receiving any of the file's data before it fails.
    static constexpr int defaultStallTimeoutMs = 120000;

    explicit QUpdateTcpClient(QObject* parent);
    ~QUpdateTcpClient() override;

    bool connectToServer(const QString& host, quint16 port);
    bool connectToServer(const QString& host, quint16 port, int timeoutMs);
    bool isConnected() const;
    ConnectionState state() const { return m_state; }
    QString lastError() const { return m_lastError; }

    /// Writes one frame; false unless connected and every byte was accepted and flushed.
    bool sendMessage(qint32 type, const QByteArray& payload);
    /// Sends a VersionCheckRequest payload and waits at most `timeoutMs` for the reply. A default
    /// VersionInfo means no update; lastError() is then empty only when the service answered so
    /// (timeout, error reply and lost connection leave their reason).
    VersionInfo checkVersion(const QByteArray& request, int timeoutMs);
    /// Requests one file and waits until its last chunk is saved (true) or the request fails.
    /// `timeoutMs` of 0 or less waits without limit. A new request starts the file afresh.
    bool downloadFile(const FileTransferRequest& request, int timeoutMs);
    /// Ends a running downloadFile() at once with false; its partial file is discarded.
    void cancelDownload();
    /// Changes the stall limit of downloadFile (tests use short limits).
    void setStallTimeout(int timeoutMs) { m_stallTimeoutMs = timeoutMs; }

    /// The writer that stores chunks; the process-wide writer unless a test sets another one.
    void setFileWriter(CFileDataWriter* writer);
    /// Caps each file (by its relative path, "folder/name" or "name") at the given number of
    /// bytes: a transfer that announces or sends more is cut off and the connection dropped, so
    /// that a service streaming endless data cannot fill the disk. Empty: no caps.
    void setSizeLimits(const QHash<QString, qint64>& limits) { m_sizeLimits = limits; }
    /// True after a transfer was cut off at its cap, until the next download starts.
    bool exceededSizeLimit() const { return m_exceededSizeLimit; }

signals:
    void connected();
    void disconnected();
    void errorOccurred(QString error);
    void versionChecked(VersionInfo info);
    void sigFileDownloadProgress(QString filePath, QString fileName, uint32_t downloaded, uint32_t total);
    void sigFileDownloadCompleted(QString filePath, QString fileName);
    void sigFileDownloadError(QString filePath, QString fileName, QString error);
    void heartbeatReceived();
    /// cancelDownload() was called.
    void downloadCancelled();

private slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError socketError);
    void onReadyRead();
    void onHeartbeatTimeout();

private:
    /// Reads at most `wanted` bytes the socket holds onto the end of the receive buffer; false
    /// when it holds none.
    bool readFromSocket(int wanted);
    /// Dispatches the one whole frame the receive buffer holds, emptying the buffer.
    void dispatchWholeFrame();
    void dispatchFrame(const Frame& frame);
    void handleFileData(const QByteArray& payload);
    void startTransfer(const FileDataChunk& chunk);
    void finishTransfer();
    void abandonTransfer();
    bool exceedsSizeLimit(quint64 incomingBytes) const;
    void cutOffOversizedTransfer();
    void fail(const QString& error);

    QTcpSocket* m_socket;
    QTimer* m_heartbeatTimer;
    CFileDataWriter* m_writer;
    ConnectionState m_state = Disconnected;
    QString m_lastError;
    QString m_host;
    quint16 m_port = 0;
    QByteArray m_receiveBuffer;
    bool m_heartbeatActive = false;

    QString m_currentFilePath;
    QString m_currentFileName;
    quint32 m_totalSize = 0;
    quint32 m_receivedSize = 0;
    /// Bytes really written for the current transfer; must match the announced size at the end.
    quint64 m_writtenSize = 0;
    /// The current transfer was superseded by a new request: its remaining chunks are drained
    /// without being written, so that they cannot be mistaken for the new transfer's.
    bool m_draining = false;
    QHash<QString, qint64> m_sizeLimits;
    bool m_exceededSizeLimit = false;
    int m_stallTimeoutMs = defaultStallTimeoutMs;
};
