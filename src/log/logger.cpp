#include "log/logger.h"

#include "platform/platform.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <iostream>
#include <string_view>

std::shared_ptr<spdlog::logger> Logger::s_logger;

namespace {

void logOrFallback(const std::shared_ptr<spdlog::logger>& logger, spdlog::level::level_enum level,
                   const char* prefix, std::ostream& fallback, const std::string& text)
{
    const std::string message = Logger::printable(text);
    if (logger) {
        // The string_view overload logs without format interpretation.
        logger->log(level, spdlog::string_view_t(message.data(), message.size()));
        return;
    }
    fallback << prefix << message << std::endl;
}

constexpr std::string_view HexDigits = "0123456789abcdef";

/// The escape of a character that some line readers take as a line break besides the control
/// characters (NEXT LINE, LINE SEPARATOR, PARAGRAPH SEPARATOR) when its UTF-8 form starts at `at`,
/// with its byte count in `length`; null otherwise.
const char* unicodeLineBreakEscape(const std::string& text, std::size_t at, std::size_t& length)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (at + 1 < text.size() && byte(at) == 0xc2 && byte(at + 1) == 0x85) {
        length = 2;
        return "\\u0085";
    }
    if (at + 2 < text.size() && byte(at) == 0xe2 && byte(at + 1) == 0x80 && (byte(at + 2) & 0xfe) == 0xa8) {
        length = 3;
        return byte(at + 2) == 0xa8 ? "\\u2028" : "\\u2029";
    }
    return nullptr;
}

} // namespace

std::string Logger::printable(const std::string& message)
{
    std::string result;
    result.reserve(message.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        const auto byte = static_cast<unsigned char>(message[i]);
        std::size_t length = 0;
        if (byte == '\n') {
            result += "\\n";
        } else if (byte == '\r') {
            result += "\\r";
        } else if (byte == '\t') {
            result += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            result += "\\x";
            result += HexDigits[byte >> 4];
            result += HexDigits[byte & 0xf];
        } else if (const char* escape = unicodeLineBreakEscape(message, i, length)) {
            result += escape;
            i += length - 1;
        } else {
            result += message[i];
        }
    }
    return result;
}

void Logger::init(const std::string& path)
{
    try {
        auto console = Platform::createConsoleSink();
        console->set_level(spdlog::level::info);
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(Platform::logFileName(path),
                                                                           maxFileSize, maxFiles, false);
        file->set_level(spdlog::level::debug);

        s_logger = std::make_shared<spdlog::logger>(loggerName, spdlog::sinks_init_list{console, file});
        s_logger->set_level(spdlog::level::debug);
        s_logger->set_formatter(
            std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local, "\r\n"));

        // A run that is killed keeps what it did: warnings and errors reach the file at once,
        // everything else within a second.
        s_logger->flush_on(spdlog::level::warn);

        spdlog::drop(loggerName);
        spdlog::register_logger(s_logger);
        spdlog::set_default_logger(s_logger);
        spdlog::flush_every(std::chrono::seconds(1));
    } catch (const spdlog::spdlog_ex& ex) {
        std::cerr << "Log initialization failed: " << ex.what() << std::endl;
    }
}

void Logger::shutdown()
{
    if (s_logger) {
        s_logger->flush();
    }
    spdlog::drop(loggerName);
    s_logger.reset();
}

void Logger::debug(const std::string& message)
{
    logOrFallback(s_logger, spdlog::level::debug, "[DEBUG] ", std::cout, message);
}

void Logger::info(const std::string& message)
{
    logOrFallback(s_logger, spdlog::level::info, "[INFO] ", std::cout, message);
}

void Logger::warn(const std::string& message)
{
    logOrFallback(s_logger, spdlog::level::warn, "[WARN] ", std::cout, message);
}

void Logger::error(const std::string& message)
{
    logOrFallback(s_logger, spdlog::level::err, "[ERROR] ", std::cerr, message);
}
