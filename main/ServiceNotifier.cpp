#include "main/ServiceNotifier.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>

#include <spdlog/spdlog.h>
#include <systemd/sd-daemon.h>
#include <boost/asio/error.hpp>

namespace Norvane::Tavrel {

namespace {

void Notify(const char* state) {
    if (const int result = sd_notify(0, state); result < 0)
        SPDLOG_WARN("Failed to notify the service manager ({}): error {}", state, -result);
}

}  // namespace

ServiceNotifier::ServiceNotifier(boost::asio::io_context& io)
    : watchdog_(io), halt_(io), enabled_(std::getenv("NOTIFY_SOCKET") != nullptr) {
    if (!enabled_)
        return;
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        interval_ = std::chrono::microseconds(usec / 2);
        FeedWatchdog();
    }
    halt_.add(SIGINT);
    halt_.add(SIGTERM);
    halt_.async_wait([this](const boost::system::error_code& error, int) {
        if (error == boost::asio::error::operation_aborted)
            return;
        Notify("STOPPING=1");
        interval_ = {};
        watchdog_.cancel();
    });
}

void ServiceNotifier::Ready() {
    if (!enabled_ || ready_)
        return;
    ready_ = true;
    Notify("READY=1");
}

void ServiceNotifier::Status(const std::string& text) {
    if (!enabled_ || text == status_)
        return;
    status_ = text;
    Notify(("STATUS=" + text).c_str());
}

void ServiceNotifier::FeedWatchdog() {
    if (interval_.count() == 0)
        return;
    Notify("WATCHDOG=1");
    watchdog_.expires_after(interval_);
    watchdog_.async_wait([this](const boost::system::error_code& error) {
        if (error != boost::asio::error::operation_aborted)
            FeedWatchdog();
    });
}

}  // namespace Norvane::Tavrel
