#include "platform/platform.h"

#include <QDir>
#include <QProcess>

#include <spdlog/sinks/wincolor_sink.h>

namespace Platform {

QString delayedStartScriptName(qint64 msecsSinceEpoch)
{
    return QStringLiteral("delay_start_%1.bat").arg(msecsSinceEpoch);
}

ScriptShell scriptShell()
{
    return ScriptShell::WindowsBatch;
}

bool startScript(const QString& scriptPath)
{
    return QProcess::startDetached(QStringLiteral("cmd.exe"),
                                   {QStringLiteral("/c"), QDir::toNativeSeparators(scriptPath)});
}

QString nativeProgramPath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

std::shared_ptr<spdlog::sinks::sink> createConsoleSink()
{
    return std::make_shared<spdlog::sinks::wincolor_stdout_sink_mt>();
}

void prepareProcess()
{
    // Windows always has a desktop to draw on.
}

} // namespace Platform
