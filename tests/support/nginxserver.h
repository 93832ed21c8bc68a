#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

/// A private nginx serving one folder on a free 127.0.0.1 port.
///
/// Configuration, pid file, logs and nginx's own temporary folders live in a temporary folder
/// of this object; nginx runs in the foreground as a single process (no daemon, no workers) and
/// is stopped by its pid when the object goes away.
class NginxServer
{
public:
    /// `extraServerConfig` is inserted into the server block (locations, redirects, proxies).
    explicit NginxServer(const QString& rootDir, const QString& extraServerConfig = QString());
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    /// Serves over TLS with the given PEM files instead of plain HTTP; call before start().
    void setTls(const QString& certificateFile, const QString& keyFile);

    /// Starts nginx and waits until it accepts connections. False with lastError() otherwise.
    bool start(int timeoutMs = 10000);
    void stop();

    quint16 port() const { return m_port; }
    /// "http://127.0.0.1:<port>/" (https with TLS)
    QString baseUrl() const;
    QString lastError() const { return m_lastError; }
    /// The request lines logged so far, one per line ("GET /path HTTP/1.1").
    QByteArray requestLog() const;
    /// Forgets the requests logged so far.
    void clearRequestLog();

    static QString executable();

private:
    bool startOnPort(quint16 port, int timeoutMs);
    bool writeConfig(quint16 port);
    QString tlsConfig() const;

    QString m_rootDir;
    QString m_extraConfig;
    QString m_certificateFile;
    QString m_keyFile;
    QTemporaryDir m_workDir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_lastError;
};
