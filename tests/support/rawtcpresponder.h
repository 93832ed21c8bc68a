#pragma once

#include <QByteArray>
#include <QThread>

#include <atomic>

/// Answers every connection on 127.0.0.1 with fixed bytes once a request head ("\r\n\r\n") has
/// arrived, then closes it: a web server that breaks off a response, for fault tests. Serves on a
/// thread of its own, so that it answers while the test blocks; stops when the object goes away.
class RawTcpResponder : public QThread
{
public:
    explicit RawTcpResponder(const QByteArray& answer) : m_answer(answer) {}
    ~RawTcpResponder() override;

    /// Starts listening; false when no port could be had within a few seconds.
    bool startListening();
    quint16 port() const { return m_port; }
    int connectionCount() const { return m_connections; }

protected:
    void run() override;

private:
    QByteArray m_answer;
    std::atomic<quint16> m_port{0};
    std::atomic<bool> m_listening{false};
    std::atomic<int> m_connections{0};
};
