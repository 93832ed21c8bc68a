#include "support/referenceservice.h"

#include "support/scratchinstallation.h"

#include <QDeadlineTimer>
#include <QFile>

ReferenceService::~ReferenceService()
{
    stop();
}

bool ReferenceService::start(const QString& root, const QString& version, const QStringList& extraArguments,
                             int timeoutMs)
{
    stop();
    m_process = std::make_unique<QProcess>();
    if (m_captureLog) {
        // A file, not a pipe: nobody reads a pipe while a whole run blocks the test.
        m_process->setStandardErrorFile(m_logDir.filePath(QStringLiteral("service.log")));
    } else {
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    QStringList arguments{QStringLiteral("--root"),    root,
                          QStringLiteral("--version"), version,
                          QStringLiteral("--host"),    QStringLiteral("127.0.0.1"),
                          QStringLiteral("--port"),    QStringLiteral("0")};
    arguments += extraArguments;
    m_process->start(builtProgram(QStringLiteral("update-service")), arguments);
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = m_process->errorString();
        stop();
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!m_process->canReadLine()) {
        if (deadline.hasExpired() || !m_process->waitForReadyRead(int(deadline.remainingTime()))) {
            m_error = QStringLiteral("update-service printed no port");
            stop();
            return false;
        }
    }
    bool ok = false;
    const uint port = m_process->readLine().trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        m_error = QStringLiteral("update-service printed no valid port");
        stop();
        return false;
    }
    m_port = static_cast<quint16>(port);
    return true;
}

void ReferenceService::stop()
{
    if (!m_process) {
        return;
    }
    if (m_process->state() != QProcess::NotRunning) {
        // QProcess signals exactly the child it started (its pid), nothing else.
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
    m_port = 0;
}

QByteArray ReferenceService::log() const
{
    QFile file(m_logDir.filePath(QStringLiteral("service.log")));
    return m_captureLog && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int ReferenceService::countInLog(const QByteArray& text) const
{
    int count = 0;
    for (const QByteArray& line : log().split('\n')) {
        if (line.contains(text)) {
            ++count;
        }
    }
    return count;
}
