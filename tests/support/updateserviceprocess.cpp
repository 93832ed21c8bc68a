#include "support/updateserviceprocess.h"

#include "support/scratchinstallation.h"

#include <QDeadlineTimer>
#include <QFile>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int StopTimeoutMs = 5000;

} // namespace

UpdateServiceProcess::~UpdateServiceProcess()
{
    stop();
}

bool UpdateServiceProcess::start(const QString& releaseRoot, const QString& version,
                                 const QStringList& extraArguments)
{
    QStringList arguments = {QStringLiteral("--root"),    releaseRoot,
                             QStringLiteral("--version"), version,
                             QStringLiteral("--port"),    QStringLiteral("0"),
                             QStringLiteral("--host"),    QStringLiteral("127.0.0.1")};
    arguments += extraArguments;
    m_process.setStandardErrorFile(m_logDir.filePath(QStringLiteral("service.log")));
    m_process.start(builtProgram(QStringLiteral("update-service")), arguments);
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_error = m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!m_process.canReadLine() && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(100);
    }
    bool ok = false;
    m_port = static_cast<quint16>(m_process.readLine().trimmed().toUInt(&ok));
    if (!ok || m_port == 0) {
        m_error = QStringLiteral("no port reported: ") + QString::fromLocal8Bit(log());
        stop();
        return false;
    }
    return true;
}

void UpdateServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
}

QByteArray UpdateServiceProcess::log()
{
    QFile file(m_logDir.filePath(QStringLiteral("service.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int UpdateServiceProcess::countInLog(const QByteArray& text)
{
    int count = 0;
    for (const QByteArray& line : log().split('\n')) {
        if (line.contains(text)) {
            ++count;
        }
    }
    return count;
}
