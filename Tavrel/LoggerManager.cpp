#include "Tavrel/LoggerManager.h"

#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/asio/error.hpp>

namespace Norvane::Tavrel {

namespace {

constexpr auto kFlushInterval = std::chrono::seconds(5);
constexpr auto kPattern = "%Y-%m-%d %T.%e%z | %7t | %^%-8l%$ | %n - %v [%!] (%s:%#)";

std::chrono::steady_clock::time_point NextFlushTime() {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    if (now > Clock::time_point::max() - kFlushInterval)
        return Clock::time_point::max();
    return now + kFlushInterval;
}

}  // namespace

LoggerManager::LoggerManager(boost::asio::io_context& io, std::string name, LogFileSettings file,
                             ConsoleLogSettings console)
    : flushTimer_(io), commandLineLevel_(console.level), stopped_(std::make_shared<bool>(true)) {
    std::vector<spdlog::sink_ptr> sinks;
    std::string error;

    if (file.enabled) {
        try {
            auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                file.path, file.maxFileSize, file.maxFiles, false, spdlog::file_event_handlers{});
            if (commandLineLevel_)
                sink->set_level(*commandLineLevel_);
            sinks.push_back(std::move(sink));
        } catch (const std::exception& e) {
            error = e.what();
        }
    }

    if (console.enabled || !error.empty()) {
        auto sink =
            std::make_shared<spdlog::sinks::stderr_color_sink_mt>(spdlog::color_mode::automatic);
        sink->set_level(spdlog::level::trace);
        sinks.push_back(std::move(sink));
    }

    logger_ = std::make_shared<spdlog::logger>(std::move(name), sinks.begin(), sinks.end());
    logger_->set_pattern(kPattern, spdlog::pattern_time_type::local);
    spdlog::set_default_logger(logger_);

    if (!error.empty()) {
        SPDLOG_ERROR("failed to open logfile: {}", error);
        SPDLOG_WARN("falling back to console logging");
    }

    if (commandLineLevel_) {
        logger_->set_level(*commandLineLevel_);
        logger_->flush_on(*commandLineLevel_);
    } else {
        logger_->flush_on(spdlog::level::err);
    }
}

LoggerManager::~LoggerManager() {
    Stop();
}

void LoggerManager::Start() {
    *stopped_ = false;
    FlushStep();
}

void LoggerManager::Stop() {
    *stopped_ = true;
    try {
        flushTimer_.cancel();
    } catch (const std::exception&) {
        // Nothing to do: a timer that cannot be cancelled finds the stopped flag when it fires.
    }
}

void LoggerManager::UpdateLogLevel(spdlog::level::level_enum level) {
    if (commandLineLevel_) {
        SPDLOG_DEBUG(
            "Ignore change of loglevel to {} because loglevel is configured via command line.",
            static_cast<int>(level));
        return;
    }
    spdlog::set_level(level);
}

void LoggerManager::FlushStep() {
    logger_->flush();
    // Setting the expiry cancels a wait that is still pending.
    flushTimer_.expires_at(NextFlushTime());
    flushTimer_.async_wait([this, stopped = stopped_](const boost::system::error_code& ec) {
        if (*stopped)
            return;
        if (ec == boost::asio::error::operation_aborted)
            return;
        FlushStep();
    });
}

}  // namespace Norvane::Tavrel
