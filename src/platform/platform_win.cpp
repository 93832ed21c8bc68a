#include "platform/platform.h"

#include <QDir>
#include <QProcess>

#include <spdlog/sinks/wincolor_sink.h>

#include <windows.h>

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

QString canonicalPathForLock(const QString& path)
{
    QString resolved = QDir::toNativeSeparators(path);
    const std::wstring name = resolved.toStdWString();
    HANDLE file = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        std::wstring finalPath(32768, L'\0');
        const DWORD size =
            GetFinalPathNameByHandleW(file, &finalPath[0], static_cast<DWORD>(finalPath.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        CloseHandle(file);
        if (size > 0 && size < finalPath.size()) {
            resolved = QString::fromStdWString(finalPath.substr(0, size));
            if (resolved.startsWith(QLatin1String("\\\\?\\UNC\\"))) {
                resolved = QStringLiteral("\\\\") + resolved.mid(8);
            } else if (resolved.startsWith(QLatin1String("\\\\?\\"))) {
                resolved = resolved.mid(4);
            }
        }
    }
    return resolved.toLower();
}

spdlog::filename_t logFileName(const std::string& utf8Path)
{
    const QString path = QString::fromStdString(utf8Path);
#ifdef SPDLOG_WCHAR_FILENAMES
    return path.toStdWString();
#else
    // A logging library built for narrow names opens them in the ANSI code page.
    return path.toLocal8Bit().toStdString();
#endif
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
