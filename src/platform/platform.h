#pragma once

#include <QString>

#include <spdlog/common.h>

#include <memory>
#include <string>

/// The few operating-system services that differ between Windows and other systems.
/// One source file per system implements them (platform_win.cpp, platform_unix.cpp);
/// nothing else in the program tests for the platform, and this folder includes nothing else of it.
namespace Platform {

/// File name of the delayed-start script for the given time stamp, e.g. "delay_start_17.bat".
QString delayedStartScriptName(qint64 msecsSinceEpoch);

/// The command interpreters that can run the delayed-start script.
enum class ScriptShell
{
    WindowsBatch, ///< cmd.exe
    PosixShell    ///< /bin/sh
};

/// The interpreter that `startScript` hands the script to, so that callers write the matching text.
ScriptShell scriptShell();

/// `text` in the encoding that the command interpreter reads scripts in: the console code page on
/// Windows (GBK on a Chinese system, code page 437 or 850 on a Western one), UTF-8 elsewhere.
/// False when some character of `text` has no form in that encoding.
bool encodeScriptText(const QString& text, QByteArray& encoded);

/// `path` of an existing file or folder in a form that `encodeScriptText` can carry: the path
/// itself, or on Windows its short (8.3) form when the console code page cannot write the long one.
/// The path unchanged when neither works; the encoding then refuses it.
QString scriptSafePath(const QString& path);

/// Creates a new, empty folder below `parent` with a name nobody can guess, that only the user
/// running the updater can enter or write. Empty when it cannot be created.
QString createPrivateFolder(const QString& parent);

/// Creates the file `path` and writes `content` to it. Never opens a file, link, pipe or device
/// that already exists at that name: such a name is a failure, like any error on the way.
bool writeNewFile(const QString& path, const QByteArray& content);

/// Starts the script detached through the system's command interpreter. On POSIX systems the
/// script runs in a session of its own with its standard streams on /dev/null.
bool startScript(const QString& scriptPath);

/// The program path in the form the system's own tools expect (backslashes on Windows).
QString nativeProgramPath(const QString& path);

/// The log file path (UTF-8) in the form the logging library opens it. On Windows a narrow name
/// would be read in the ANSI code page, which turns a non-ASCII folder into another folder.
spdlog::filename_t logFileName(const std::string& utf8Path);

/// Console sink with level colours on the standard output handle.
std::shared_ptr<spdlog::sinks::sink> createConsoleSink();

/// Prepares the process before the application object exists: picks a windowless Qt platform when
/// no display is available, so that console runs work on headless machines, and keeps a host that
/// closes its end of the output pipe early from killing the updater in the middle of an update.
void prepareProcess();

} // namespace Platform
