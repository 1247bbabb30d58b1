#include "LogCapture.h"

#include <algorithm>

namespace Norvane::Test {

std::vector<CapturedRecord> CapturingSink::Records() {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> CapturingSink::Messages() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(records_.size());
    for (const auto& r : records_)
        out.push_back(r.message);
    return out;
}

std::size_t CapturingSink::Count(const std::string& message) {
    std::lock_guard lock(mutex_);
    return CountLocked(message);
}

std::size_t CapturingSink::CountLocked(const std::string& message) const {
    return static_cast<std::size_t>(std::count_if(
        records_.begin(), records_.end(), [&](const auto& r) { return r.message == message; }));
}

bool CapturingSink::WaitFor(const std::string& message, std::chrono::milliseconds timeout) {
    return WaitForCount(message, 1, timeout);
}

bool CapturingSink::WaitForCount(const std::string& message, std::size_t count,
                                 std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return captured_.wait_for(lock, timeout, [&] { return CountLocked(message) >= count; });
}

void CapturingSink::Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

void CapturingSink::sink_it_(const spdlog::details::log_msg& msg) {
    records_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size()),
                        msg.source.funcname ? msg.source.funcname : ""});
    captured_.notify_all();
}

LogCapture::LogCapture()
    : sink_(std::make_shared<CapturingSink>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("test", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
}

LogCapture::~LogCapture() {
    spdlog::set_default_logger(previous_);
}

}  // namespace Norvane::Test
