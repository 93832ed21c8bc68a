#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

/// The reference update service (tools/update-service) run as a child process for a test.
///
/// Listens on 127.0.0.1 on a free port, read from the first line of its standard output. The
/// process is stopped by its pid when the object goes away; its log goes to the test's stderr.
class ReferenceService
{
public:
    ReferenceService() = default;
    ~ReferenceService();
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    /// Starts the service over `root` offering `version`; `extraArguments` are further switches.
    bool start(const QString& root, const QString& version, const QStringList& extraArguments = {},
               int timeoutMs = 10000);
    void stop();

    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process ? m_process->processId() : 0; }
    bool isRunning() const { return m_process && m_process->state() == QProcess::Running; }
    QString errorString() const { return m_error; }

    /// Keeps the service's log in a file instead of forwarding it, for tests that read it; call
    /// before start().
    void captureLog() { m_captureLog = true; }
    /// What the service logged so far (files served, error replies, drops); empty unless captured.
    QByteArray log() const;
    /// How many lines of the captured log contain `text`.
    int countInLog(const QByteArray& text) const;

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_error;
    bool m_captureLog = false;
    QTemporaryDir m_logDir;
};
