#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace Norvane::Test {

/// One record as a test sees it.
struct CapturedRecord {
    spdlog::level::level_enum level;
    std::string message;   ///< the message text alone (no pattern)
    std::string function;  ///< the source function ([%!])
};

/// A sink that keeps every record; safe to read while other threads log.
class CapturingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    /// A copy of everything captured so far.
    std::vector<CapturedRecord> Records();
    /// The message texts captured so far.
    std::vector<std::string> Messages();
    /// How many records carry exactly this message.
    std::size_t Count(const std::string& message);
    /// Waits until a record with exactly this message was captured.
    bool WaitFor(const std::string& message,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Waits until `count` records with exactly this message were captured.
    bool WaitForCount(const std::string& message, std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Forgets everything captured so far.
    void Clear();

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

private:
    std::size_t CountLocked(const std::string& message) const;

    std::vector<CapturedRecord> records_;  // protected by mutex_ (base_sink's)
    std::condition_variable captured_;     // signalled after each record, with mutex_
};

/// Installs a default logger over a capturing sink at trace level for its lifetime and
/// restores the previous default logger afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CapturingSink& sink() { return *sink_; }
    std::vector<std::string> Messages() { return sink_->Messages(); }
    std::size_t Count(const std::string& message) { return sink_->Count(message); }

private:
    std::shared_ptr<CapturingSink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace Norvane::Test
