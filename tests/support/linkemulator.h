#pragma once

#include <QThread>

#include <atomic>

/// A TCP proxy on 127.0.0.1 that behaves like a customer's link in front of a local server: a delay
/// per direction, a bandwidth cap per direction shared by all connections (one link), a drop of the
/// connection after a number of bytes (once, or every so many bytes), and a stall that holds every
/// connection open without moving a byte. It counts the bytes it forwards, so that a test can tell
/// what was sent twice.
///
/// "Down" is server to client, "up" client to server; drops and stalls count bytes going down.
/// Reading from either side stops while a window's worth of data waits, so a server cannot run
/// ahead of the link. Serves on a thread of its own, so that it forwards while the test blocks in a
/// process wait; stops when the object goes away. Settings may change while it runs.
class LinkEmulator : public QThread
{
public:
    explicit LinkEmulator(quint16 targetPort) : m_targetPort(targetPort) {}
    ~LinkEmulator() override;

    /// Starts listening; false when no port could be had within a few seconds.
    bool startListening(quint16 port = 0);
    quint16 port() const { return m_port; }

    void setDelayMs(int upMs, int downMs);
    /// Bytes per second in each direction; 0 is no cap.
    void setBandwidth(qint64 upBytesPerSecond, qint64 downBytesPerSecond);
    /// Drops the connection that carries the `bytes`-th byte down counted from now; with `repeat`,
    /// again after every further `bytes`. 0 switches drops off.
    void setDropAfter(qint64 bytes, bool repeat = false);
    /// Stops forwarding on every connection once `bytes` more have gone down; connections stay
    /// open. 0 switches stalling off and lets the held data move again.
    void setStallAfter(qint64 bytes);

    qint64 bytesDown() const { return m_bytesDown; }
    qint64 bytesUp() const { return m_bytesUp; }
    int connectionCount() const { return m_connections; }
    int dropCount() const { return m_drops; }

protected:
    void run() override;

private:
    friend class LinkSession;
    friend class LinkPump;

    const quint16 m_targetPort;
    std::atomic<quint16> m_requestedPort{0};
    std::atomic<quint16> m_port{0};
    std::atomic<bool> m_listening{false};

    std::atomic<int> m_delayUpMs{0};
    std::atomic<int> m_delayDownMs{0};
    std::atomic<qint64> m_rateUp{0};
    std::atomic<qint64> m_rateDown{0};
    std::atomic<qint64> m_dropEvery{0};
    std::atomic<bool> m_dropRepeats{false};
    std::atomic<qint64> m_nextDropAt{0};
    std::atomic<qint64> m_stallAt{0};

    std::atomic<qint64> m_bytesDown{0};
    std::atomic<qint64> m_bytesUp{0};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_drops{0};
};
