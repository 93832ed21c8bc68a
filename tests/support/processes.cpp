#include "support/processes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

QByteArray ProcessResult::jsonLine() const
{
    for (const QByteArray& line : standardOutput.split('\n')) {
        if (line.startsWith('{')) {
            return line.trimmed();
        }
    }
    return QByteArray();
}

namespace {

// Every child runs offscreen, so that windows need no display, plus the caller's extra variables.
void startOffscreen(QProcess& process, const QString& program, const QStringList& arguments,
                    const QString& workingDir, const QMap<QString, QString>& environment)
{
    process.setWorkingDirectory(workingDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (auto it = environment.cbegin(); it != environment.cend(); ++it) {
        env.insert(it.key(), it.value());
    }
    process.setProcessEnvironment(env);
    process.start(program, arguments);
}

} // namespace

ProcessResult runProcessUntil(const QString& program, const QStringList& arguments, const QString& workingDir,
                              const QByteArray& marker, int timeoutMs,
                              const QMap<QString, QString>& environment)
{
    ProcessResult result;
    QProcess process;
    startOffscreen(process, program, arguments, workingDir, environment);
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(50);
        result.standardOutput += process.readAllStandardOutput();
        result.standardError += process.readAllStandardError();
        if (result.standardOutput.contains(marker) || result.standardError.contains(marker)) {
            result.markerSeen = true;
            break;
        }
    }
    result.finished = process.state() == QProcess::NotRunning;
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode =
        result.finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.standardOutput += process.readAllStandardOutput();
    result.standardError += process.readAllStandardError();
    return result;
}

ProcessResult runProcess(const QString& program, const QStringList& arguments, const QString& workingDir,
                         int timeoutMs)
{
    return runProcessWithEnvironment(program, arguments, workingDir, {}, timeoutMs);
}

QString builtProgram(const QString& name)
{
    return QStringLiteral(UPDATER_BIN_DIR) + QLatin1Char('/') + name;
}

bool waitForFile(const QString& path, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!QFileInfo::exists(path)) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    return true;
}

ProcessResult runProcessWithEnvironment(const QString& program, const QStringList& arguments,
                                        const QString& workingDir, const QMap<QString, QString>& environment,
                                        int timeoutMs)
{
    ProcessResult result;
    QProcess process;
    startOffscreen(process, program, arguments, workingDir, environment);
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    return true;
}
