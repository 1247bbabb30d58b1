#pragma once

#include <chrono>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

namespace Norvane::Tavrel {

/// Keeps the service manager informed through its notification socket (NOTIFY_SOCKET): that the
/// service is ready, that its main loop still runs, and that it is stopping. When the manager
/// asks for a watchdog (WATCHDOG_USEC), a timer on the io_context sends a keep-alive at half the
/// interval, so a wedged loop stops sending and the manager restarts the service. Without
/// NOTIFY_SOCKET it does nothing and keeps the io_context busy with nothing.
class ServiceNotifier {
public:
    /// Starts the watchdog keep-alives when asked for, and watches for SIGINT and SIGTERM, upon
    /// which it reports stopping and ends the keep-alives (so that the io_context can run dry).
    explicit ServiceNotifier(boost::asio::io_context& io);
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    /// Reports readiness; only the first call sends it.
    void Ready();
    /// Reports a one-line status ("STATUS=..."), when it differs from the last one sent.
    void Status(const std::string& text);

private:
    void FeedWatchdog();

    boost::asio::steady_timer watchdog_;
    boost::asio::signal_set halt_;
    std::chrono::microseconds interval_{0};  ///< zero: no watchdog asked for
    bool enabled_{false};
    bool ready_{false};
    std::string status_;  ///< the last status sent
};

}  // namespace Norvane::Tavrel
