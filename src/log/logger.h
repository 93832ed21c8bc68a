#pragma once

#include <QString>

#include <memory>
#include <string>

namespace spdlog {
class logger;
}

/// Static logging facade used by every part of the updater.
///
/// `init` sets up one spdlog logger ("update_helper") writing info and above to the console and
/// everything from debug up to a rotating `update.log`. Messages are logged as text, never as
/// format strings: braces and percent signs in file names are never interpreted; control
/// characters are escaped (see printable). Before `init`, or when it failed, messages
/// go to standard output (standard error for errors) with a bracketed level prefix.
class Logger
{
public:
    static void init(const std::string& path);
    static void debug(const std::string& message);
    static void info(const std::string& message);
    static void warn(const std::string& message);
    static void error(const std::string& message);

    // The same for Qt texts (logged as UTF-8) and for literals, which would otherwise match both.
    static void init(const QString& path) { init(path.toStdString()); }
    static void debug(const QString& message) { debug(message.toStdString()); }
    static void info(const QString& message) { info(message.toStdString()); }
    static void warn(const QString& message) { warn(message.toStdString()); }
    static void error(const QString& message) { error(message.toStdString()); }
    static void debug(const char* message) { debug(std::string(message)); }
    static void info(const char* message) { info(std::string(message)); }
    static void warn(const char* message) { warn(std::string(message)); }
    static void error(const char* message) { error(std::string(message)); }

    /// `message` with every control character written as an escape ("\n", "\x1b", ...), and the
    /// Unicode line and paragraph separators as "\u2028" and the like. Every message is logged in
    /// this form: texts from outside (file names, server answers) must never start a line of
    /// their own, least of all one that a host program would take for the console-mode result.
    static std::string printable(const std::string& message);

    /// Drops the logger so that later messages take the fallback path. Meant for tests.
    static void shutdown();

    static constexpr const char* loggerName = "update_helper";
    static constexpr const char* pattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %v";
    static constexpr std::size_t maxFileSize = std::size_t{5} * 1024 * 1024;
    static constexpr std::size_t maxFiles = 3;

private:
    static std::shared_ptr<spdlog::logger> s_logger;
};
