#include "log/logger.h"

#include "platform/platform.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <iostream>

std::shared_ptr<spdlog::logger> Logger::s_logger;

namespace {

void logOrFallback(const std::shared_ptr<spdlog::logger>& logger, spdlog::level::level_enum level,
                   const char* prefix, std::ostream& fallback, const std::string& message)
{
    if (logger) {
        // The string_view overload logs without format interpretation.
        logger->log(level, spdlog::string_view_t(message.data(), message.size()));
        return;
    }
    fallback << prefix << message << std::endl;
}

} // namespace

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
