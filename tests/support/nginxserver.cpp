#include "support/nginxserver.h"

#include "support/files.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool acceptsConnections(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

NginxServer::NginxServer(const QString& rootDir, const QString& extraServerConfig)
    : m_rootDir(QFileInfo(rootDir).absoluteFilePath()), m_extraConfig(extraServerConfig)
{
}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::executable()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!inPath.isEmpty()) {
        return inPath;
    }
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
}

void NginxServer::setTls(const QString& certificateFile, const QString& keyFile)
{
    m_certificateFile = certificateFile;
    m_keyFile = keyFile;
}

QString NginxServer::baseUrl() const
{
    const QString scheme = m_certificateFile.isEmpty() ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://127.0.0.1:%2/").arg(scheme).arg(m_port);
}

bool NginxServer::start(int timeoutMs)
{
    if (!m_workDir.isValid()) {
        m_lastError = QStringLiteral("no temporary folder for nginx");
        return false;
    }
    if (executable().isEmpty()) {
        m_lastError = QStringLiteral("nginx is not installed (scripts/setup.sh installs nginx-light)");
        return false;
    }
    // The port is free when probed but may be taken before nginx binds it; try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const quint16 port = freeLoopbackPort();
        if (port != 0 && startOnPort(port, timeoutMs)) {
            return true;
        }
    }
    return false;
}

QString NginxServer::tlsConfig() const
{
    if (m_certificateFile.isEmpty()) {
        return QString();
    }
    return QStringLiteral(" ssl;\n    ssl_certificate %1;\n    ssl_certificate_key %2")
        .arg(m_certificateFile, m_keyFile);
}

bool NginxServer::writeConfig(quint16 port)
{
    const QString work = m_workDir.path();
    QFile templateFile(QStringLiteral(UPDATER_SOURCE_DIR "/tests/support/nginx.conf.template"));
    if (!templateFile.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QString config = QString::fromUtf8(templateFile.readAll())
                               .replace(QLatin1String("@WORK@"), work)
                               .replace(QLatin1String("@ACCESS_LOG@"), work + QStringLiteral("/access.log"))
                               .replace(QLatin1String("@PORT@"), QString::number(port))
                               .replace(QLatin1String("@TLS@"), tlsConfig())
                               .replace(QLatin1String("@ROOT@"), m_rootDir)
                               .replace(QLatin1String("@SERVER@"), m_extraConfig);
    return writeFile(work + QStringLiteral("/nginx.conf"), config.toUtf8());
}

bool NginxServer::startOnPort(quint16 port, int timeoutMs)
{
    if (!writeConfig(port)) {
        m_lastError = QStringLiteral("cannot write nginx.conf");
        return false;
    }
    const QString work = m_workDir.path();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList nginxArguments{QStringLiteral("-p"), work,
                                     QStringLiteral("-c"), work + QStringLiteral("/nginx.conf"),
                                     QStringLiteral("-e"), work + QStringLiteral("/error.log")};
    // A test process that is killed cannot stop its server; the watchdog ends it after a while.
    // timeout passes the SIGTERM of stop() on to nginx.
    const QString watchdog = QStandardPaths::findExecutable(QStringLiteral("timeout"));
    if (watchdog.isEmpty()) {
        m_process.start(executable(), nginxArguments);
    } else {
        m_process.start(watchdog, QStringList{QStringLiteral("-k"), QStringLiteral("5"),
                                              QStringLiteral("900"), executable()} +
                                      nginxArguments);
    }
    if (!m_process.waitForStarted(timeoutMs)) {
        m_lastError = QStringLiteral("nginx did not start: ") + m_process.errorString();
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning) {
            QFile log(work + QStringLiteral("/error.log"));
            log.open(QIODevice::ReadOnly);
            m_lastError =
                QStringLiteral("nginx exited: ") + QString::fromUtf8(m_process.readAll() + log.readAll());
            return false;
        }
        if (acceptsConnections(port)) {
            m_port = port;
            return true;
        }
        QThread::msleep(20);
    }
    m_lastError = QStringLiteral("nginx did not accept connections in time");
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    // SIGTERM to the pid that this object started: nginx's fast shutdown.
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QByteArray NginxServer::requestLog() const
{
    QFile log(m_workDir.path() + QStringLiteral("/access.log"));
    if (!log.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QByteArray requests;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const int open = line.indexOf('"');
        const int close = line.indexOf('"', open + 1);
        if (open >= 0 && close > open) {
            requests += line.mid(open + 1, close - open - 1) + '\n';
        }
    }
    return requests;
}

void NginxServer::clearRequestLog()
{
    // nginx appends to the log, so truncating it in place is safe while it runs.
    QFile log(m_workDir.path() + QStringLiteral("/access.log"));
    if (log.exists()) {
        log.resize(0);
    }
}
