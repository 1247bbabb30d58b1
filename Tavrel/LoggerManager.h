#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <spdlog/common.h>
#include <spdlog/logger.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace Norvane::Tavrel {

/// The rotating log file.
struct LogFileSettings {
    std::string path;
    std::size_t maxFileSize{0};  ///< bytes before the file is rotated
    std::size_t maxFiles{0};     ///< rotated files kept besides the current one
    bool enabled{false};
};

/// Logging to standard error.
struct ConsoleLogSettings {
    /// The level fixed on the command line; while present, platform reports are ignored.
    std::optional<spdlog::level::level_enum> level;
    bool enabled{false};
};

/// Builds the service's one logger (file and console sinks), installs it as spdlog's default
/// logger, flushes it every 5 seconds on the io_context and applies platform log levels unless
/// the command line fixed one.
class LoggerManager {
public:
    /// Builds and installs the logger. A log file that cannot be opened does not throw: output
    /// then falls back to standard error.
    LoggerManager(boost::asio::io_context& io, std::string name, LogFileSettings file,
                  ConsoleLogSettings console);
    /// Stops the flush cycle; the logger stays installed as the default logger.
    ~LoggerManager();
    LoggerManager(const LoggerManager&) = delete;
    LoggerManager& operator=(const LoggerManager&) = delete;

    /// Starts the periodic flush (flushes once right away).
    void Start();
    /// Ends the periodic flush; a completion already queued does nothing.
    void Stop();
    /// Applies a level reported by the platform (ignored while a command-line level is set).
    void UpdateLogLevel(spdlog::level::level_enum level);

private:
    void FlushStep();

    boost::asio::steady_timer flushTimer_;
    std::optional<spdlog::level::level_enum> commandLineLevel_;
    std::shared_ptr<spdlog::logger> logger_;
    // Shared with the pending timer completion, which may run after this object is gone.
    std::shared_ptr<bool> stopped_;
};

}  // namespace Norvane::Tavrel
