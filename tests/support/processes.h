#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

/// Outcome of one run of a program started by a test.
struct ProcessResult
{
    bool finished = false; ///< false when the timeout (or a seen marker) ended it
    bool markerSeen = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;

    /// The first line of standard output that starts with "{" (the console-mode JSON line).
    QByteArray jsonLine() const;
};

/// Runs `program` in `workingDir` and waits at most `timeoutMs`; kills it on timeout.
ProcessResult runProcess(const QString& program, const QStringList& arguments, const QString& workingDir,
                         int timeoutMs);

/// Runs `program` until `marker` appears in its standard output or error, then kills it (by its
/// pid); `markerSeen` tells whether it appeared. Also ends at exit or after `timeoutMs`.
/// `environment` is added to the test's own.
ProcessResult runProcessUntil(const QString& program, const QStringList& arguments, const QString& workingDir,
                              const QByteArray& marker, int timeoutMs,
                              const QMap<QString, QString>& environment = {});

/// Path of a program built into the project's bin folder (update.exe, tools).
QString builtProgram(const QString& name);

/// Waits until `path` exists, processing events; false after `timeoutMs`.
bool waitForFile(const QString& path, int timeoutMs);

/// Runs `program` like runProcess, with `environment` added to the test's own.
ProcessResult runProcessWithEnvironment(const QString& program, const QStringList& arguments,
                                        const QString& workingDir, const QMap<QString, QString>& environment,
                                        int timeoutMs);

/// Waits until `condition` holds, processing events; false after `timeoutMs`.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
