#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/// The reference update service (tools/update-service) started for one test, on 127.0.0.1 and a
/// free port, serving a release folder. The process is ended, by its own handle, when the object
/// goes away.
class UpdateServiceProcess
{
public:
    UpdateServiceProcess() = default;
    ~UpdateServiceProcess();
    UpdateServiceProcess(const UpdateServiceProcess&) = delete;
    UpdateServiceProcess& operator=(const UpdateServiceProcess&) = delete;

    /// Starts the service for `releaseRoot` offering `version`, with any extra test switches;
    /// false (see errorText()) when it does not report its port within a few seconds.
    bool start(const QString& releaseRoot, const QString& version, const QStringList& extraArguments = {});
    void stop();

    quint16 port() const { return m_port; }
    /// Everything the service logged so far (what it served, errors it sent, drops).
    QByteArray log();
    /// How many lines of the log contain `text`.
    int countInLog(const QByteArray& text);
    QString errorText() const { return m_error; }

private:
    QProcess m_process;
    /// The service's log goes to a file so that it can never fill a pipe nobody reads.
    QTemporaryDir m_logDir;
    quint16 m_port = 0;
    QString m_error;
};
