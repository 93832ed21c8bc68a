#pragma once

#include "formats/tcpprotocol.h"
#include "releasecatalog.h"

#include <QFile>
#include <QObject>
#include <QQueue>

#include <memory>

class QTcpSocket;
class UpdateService;

/// One client connection: answers its requests strictly in order and streams files in chunks,
/// pacing the writes by what the socket has sent so that a file is never held in memory.
class ServiceSession : public QObject
{
    Q_OBJECT
public:
    /// Takes over `socket`; the session deletes itself when the connection ends.
    ServiceSession(QTcpSocket* socket, UpdateService* service, int id);

private slots:
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();

private:
    struct Stream
    {
        const ReleaseCatalog::Entry* entry = nullptr;
        FileTransferRequest label;
        std::unique_ptr<QFile> file;
        quint32 size = 0;
        quint32 sent = 0;
        bool first = true;
    };

    void processNext();
    void answer(const Frame& request);
    void finishAnswer();
    void answerVersion(const Frame& request);
    void answerFile(const Frame& request);
    bool openStream(const ReleaseCatalog::Entry* entry, Stream& stream);
    void pump();
    bool sendNextChunk(Stream& stream);
    void sendError(const QString& why);
    void sendFrame(qint32 type, const QByteArray& payload, bool answerStart);
    /// Sends an encoded frame, applying the fault options (--corrupt, --drop-after).
    void sendWholeFrame(QByteArray frame, bool answerStart, bool fileData);
    QString label() const;

    QTcpSocket* m_socket;
    UpdateService* m_service;
    int m_id;
    QByteArray m_buffer;
    QQueue<Frame> m_pending;
    QQueue<std::shared_ptr<Stream>> m_streams;
    bool m_busy = false;
    bool m_closing = false;
    bool m_pausing = false; ///< --chunk-delay: the next chunk waits for a timer
    qint64 m_fileDataBytes = 0;
};
