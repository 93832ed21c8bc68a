#include "support/linkemulator.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr qint64 kUnlimited = std::numeric_limits<qint64>::max() / 4;
// Data handed to a socket but not yet taken by the peer: past this the link waits, as a real one
// would once the receiver stops reading.
constexpr qint64 kMaxUnsentBytes = 64 * 1024;

struct DelayedChunk
{
    qint64 dueMs;
    QByteArray data;
};

/// Bytes read from one socket that wait for their delay to pass before they go to the other.
struct LinkDirection
{
    QPointer<QTcpSocket> from;
    QPointer<QTcpSocket> to;
    std::deque<DelayedChunk> queue;
    qint64 queuedBytes = 0;
    bool sourceClosed = false;

    bool drained() const { return queuedBytes == 0; }
};

/// The delay and bandwidth of a link are its own; the amount in flight follows from them. A window
/// of at least the bandwidth-delay product keeps a capped link busy; without a cap, a few MiB.
qint64 windowFor(qint64 rate, int delayMs)
{
    if (rate <= 0) {
        return 4 * 1024 * 1024;
    }
    return std::clamp<qint64>(rate * delayMs / 1000 * 2, 256 * 1024, 16 * 1024 * 1024);
}

bool isOpen(const QPointer<QTcpSocket>& socket)
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

} // namespace

/// One proxied connection: the client's socket, the socket to the server, a queue each way.
class LinkSession
{
public:
    LinkSession(QTcpSocket* client, QTcpSocket* server)
    {
        down.from = server;
        down.to = client;
        up.from = client;
        up.to = server;
    }
    ~LinkSession()
    {
        for (QTcpSocket* socket : {down.to.data(), up.to.data()}) {
            if (socket) {
                socket->abort();
                socket->deleteLater();
            }
        }
    }

    void abortBoth()
    {
        if (down.to) {
            down.to->abort();
        }
        if (up.to) {
            up.to->abort();
        }
    }

    bool finished() const
    {
        return !isOpen(down.to) && !isOpen(up.to) && down.to && down.to->bytesToWrite() == 0;
    }

    LinkDirection down;
    LinkDirection up;
    bool dropping = false;
    // Nothing moves before a round trip has passed, as the handshake of a real link takes one.
    qint64 readyAtMs = 0;
};

/// Moves the bytes of every session of an emulator each millisecond, within the link's settings.
class LinkPump : public QObject
{
public:
    explicit LinkPump(LinkEmulator& link) : m_link(link)
    {
        m_clock.start();
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, &LinkPump::tick);
        m_timer.start();
    }

    void addSession(QTcpSocket* client)
    {
        auto* server = new QTcpSocket(this);
        for (QTcpSocket* socket : {client, server}) {
            socket->setParent(this);
            socket->setReadBufferSize(
                windowFor(std::max(m_link.m_rateUp.load(), m_link.m_rateDown.load()),
                          std::max(m_link.m_delayUpMs.load(), m_link.m_delayDownMs.load())));
        }
        // The pump hands on a few KiB per tick; with Nagle's algorithm each small write after the
        // first would wait for the receiver's delayed ACK, adding tens of milliseconds to every
        // answer that a real link does not add.
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(server, &QTcpSocket::connected, server,
                [server] { server->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        server->connectToHost(QHostAddress::LocalHost, m_link.m_targetPort);
        m_sessions.push_back(std::make_unique<LinkSession>(client, server));
        m_sessions.back()->readyAtMs = m_clock.elapsed() + m_link.m_delayUpMs + m_link.m_delayDownMs;
        ++m_link.m_connections;
    }

private:
    void tick()
    {
        const qint64 now = m_clock.elapsed();
        refill(now);
        for (const std::unique_ptr<LinkSession>& session : m_sessions) {
            pumpSession(*session, now);
        }
        m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                        [](const std::unique_ptr<LinkSession>& s) { return s->finished(); }),
                         m_sessions.end());
    }

    void refill(qint64 now)
    {
        const qint64 elapsed = std::max<qint64>(now - m_lastRefillMs, 0);
        m_lastRefillMs = now;
        m_tokensUp = refilled(m_tokensUp, m_link.m_rateUp, elapsed);
        m_tokensDown = refilled(m_tokensDown, m_link.m_rateDown, elapsed);
    }

    static qint64 refilled(qint64 tokens, qint64 rate, qint64 elapsedMs)
    {
        if (rate <= 0) {
            return kUnlimited;
        }
        // A burst of at most 5 ms keeps the rate even without starving a 1 ms timer.
        const qint64 burst = std::max<qint64>(rate / 200, 1500);
        return std::min(std::min(tokens, burst) + rate * elapsedMs / 1000, burst);
    }

    void pumpSession(LinkSession& session, qint64 now)
    {
        if (session.dropping) {
            if (!session.down.to || session.down.to->bytesToWrite() == 0) {
                session.abortBoth();
            }
            return;
        }
        readInto(session.down, now + m_link.m_delayDownMs, m_link.m_rateDown, m_link.m_delayDownMs);
        readInto(session.up, now + m_link.m_delayUpMs, m_link.m_rateUp, m_link.m_delayUpMs);
        if (now < session.readyAtMs) {
            return;
        }
        deliver(session.up, now, m_tokensUp, m_link.m_bytesUp, nullptr);
        deliver(session.down, now, m_tokensDown, m_link.m_bytesDown, &session);
        closeWhenDrained(session.up);
        closeWhenDrained(session.down);
    }

    static void readInto(LinkDirection& direction, qint64 dueMs, qint64 rate, int delayMs)
    {
        if (!direction.from) {
            return;
        }
        const qint64 room = windowFor(rate, delayMs) - direction.queuedBytes;
        if (room > 0 && direction.from->bytesAvailable() > 0) {
            QByteArray data = direction.from->read(room);
            direction.queuedBytes += data.size();
            direction.queue.push_back({dueMs, std::move(data)});
        }
        if (direction.from->state() != QAbstractSocket::ConnectedState &&
            direction.from->state() != QAbstractSocket::ConnectingState &&
            direction.from->state() != QAbstractSocket::HostLookupState &&
            direction.from->bytesAvailable() == 0) {
            direction.sourceClosed = true;
        }
    }

    /// Hands due bytes to the receiving socket. `session` is given for the direction that drops and
    /// stalls.
    void deliver(LinkDirection& direction, qint64 now, qint64& tokens, std::atomic<qint64>& counter,
                 LinkSession* session)
    {
        while (!direction.queue.empty() && isOpen(direction.to) && direction.queue.front().dueMs <= now &&
               tokens > 0 && direction.to->bytesToWrite() < kMaxUnsentBytes) {
            qint64 allowed = std::min<qint64>(tokens, direction.queue.front().data.size());
            if (session) {
                allowed = std::min(allowed, bytesBeforeEvent(counter));
                if (allowed <= 0) {
                    return;
                }
            }
            QByteArray& front = direction.queue.front().data;
            direction.to->write(front.constData(), allowed);
            front.remove(0, static_cast<int>(allowed));
            if (front.isEmpty()) {
                direction.queue.pop_front();
            }
            direction.queuedBytes -= allowed;
            tokens -= allowed;
            counter += allowed;
            if (session && dropDue(counter)) {
                session->dropping = true;
                return;
            }
        }
    }

    /// How many bytes may go down before the next drop or stall; 0 while stalled.
    qint64 bytesBeforeEvent(qint64 sent) const
    {
        qint64 allowed = kUnlimited;
        const qint64 stallAt = m_link.m_stallAt;
        if (stallAt > 0) {
            allowed = std::max<qint64>(stallAt - sent, 0);
        }
        const qint64 dropAt = m_link.m_nextDropAt;
        if (dropAt > 0) {
            allowed = std::min(allowed, std::max<qint64>(dropAt - sent, 0));
        }
        return allowed;
    }

    bool dropDue(qint64 sent)
    {
        const qint64 dropAt = m_link.m_nextDropAt;
        if (dropAt <= 0 || sent < dropAt) {
            return false;
        }
        ++m_link.m_drops;
        m_link.m_nextDropAt = m_link.m_dropRepeats ? dropAt + m_link.m_dropEvery : 0;
        return true;
    }

    static void closeWhenDrained(LinkDirection& direction)
    {
        if (direction.sourceClosed && direction.drained() && isOpen(direction.to)) {
            direction.to->disconnectFromHost();
        }
    }

    LinkEmulator& m_link;
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_lastRefillMs = 0;
    qint64 m_tokensUp = 0;
    qint64 m_tokensDown = 0;
    std::vector<std::unique_ptr<LinkSession>> m_sessions;
};

LinkEmulator::~LinkEmulator()
{
    quit();
    wait(10000);
}

bool LinkEmulator::startListening(quint16 port)
{
    m_requestedPort = port;
    start();
    QDeadlineTimer deadline(5000);
    while (!m_listening && !deadline.hasExpired() && isRunning()) {
        QThread::msleep(10);
    }
    return m_listening;
}

void LinkEmulator::setDelayMs(int upMs, int downMs)
{
    m_delayUpMs = upMs;
    m_delayDownMs = downMs;
}

void LinkEmulator::setBandwidth(qint64 upBytesPerSecond, qint64 downBytesPerSecond)
{
    m_rateUp = upBytesPerSecond;
    m_rateDown = downBytesPerSecond;
}

void LinkEmulator::setDropAfter(qint64 bytes, bool repeat)
{
    m_dropEvery = bytes;
    m_dropRepeats = repeat;
    m_nextDropAt = bytes > 0 ? m_bytesDown + bytes : 0;
}

void LinkEmulator::setStallAfter(qint64 bytes)
{
    m_stallAt = bytes > 0 ? m_bytesDown + bytes : 0;
}

void LinkEmulator::run()
{
    // Everything lives on this thread and is driven by its own event loop.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, m_requestedPort)) {
        return;
    }
    LinkPump pump(*this);
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, &pump] {
        while (QTcpSocket* client = server.nextPendingConnection()) {
            pump.addSession(client);
        }
    });
    m_port = server.serverPort();
    m_listening = true;
    exec();
}
