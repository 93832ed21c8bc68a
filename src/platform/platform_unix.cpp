#include "platform/platform.h"

#include <QProcess>

#include <spdlog/sinks/stdout_color_sinks.h>

#include <csignal>

namespace Platform {

QString delayedStartScriptName(qint64 msecsSinceEpoch)
{
    return QStringLiteral("delay_start_%1.sh").arg(msecsSinceEpoch);
}

ScriptShell scriptShell()
{
    return ScriptShell::PosixShell;
}

bool startScript(const QString& scriptPath)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {scriptPath});
}

QString nativeProgramPath(const QString& path)
{
    return path;
}

std::shared_ptr<spdlog::sinks::sink> createConsoleSink()
{
    return std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
}

void prepareProcess()
{
    std::signal(SIGPIPE, SIG_IGN);
    const bool hasDisplay =
        qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    if (!hasDisplay && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

} // namespace Platform
