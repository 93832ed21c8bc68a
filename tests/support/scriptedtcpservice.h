#pragma once

#include "formats/tcpprotocol.h"

#include <QByteArray>
#include <QThread>

#include <atomic>
#include <functional>

/// A misbehaving TCP update service for fault tests, on 127.0.0.1 and a free port.
///
/// It serves on a thread of its own with its own event loop, so that it answers while the test
/// blocks in a whole run of update.exe. Every complete request frame of any connection is handed to the
/// script, whose answer bytes are written back as they are (the script builds frames with the product's
/// encoders, or writes anything else). The service stops and its thread ends when the object goes away.
class ScriptedTcpService : public QThread
{
public:
    struct Answer
    {
        QByteArray bytes;   ///< written back at once (may be empty: no answer)
        bool close = false; ///< close the connection after writing
    };
    /// Called on the service's thread for each request frame of a connection.
    using Script = std::function<Answer(const Frame& request)>;

    explicit ScriptedTcpService(Script script);
    ~ScriptedTcpService() override;

    /// Starts listening; false when no port could be had within a few seconds.
    bool startListening();
    quint16 port() const { return m_port; }
    /// Request frames received so far, of any connection.
    int requestCount() const { return m_requests; }

protected:
    void run() override;

private:
    void serve(class QTcpSocket* socket);

    Script m_script;
    std::atomic<quint16> m_port{0};
    std::atomic<bool> m_listening{false};
    std::atomic<int> m_requests{0};
};

/// A whole frame with product type 1 (the default of a configuration without [Project] Type).
QByteArray scriptedFrame(qint32 type, const QByteArray& payload);
