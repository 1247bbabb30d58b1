#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "zorbixclient/ZorbixClient.h"

namespace Norvane::Tavrel {

/// The service's connection to the platform's device stack: it asks for the configuration
/// file's path and the syslog severity, and forwards project- and logging-changed events.
/// Every callback runs on the io_context given at construction. Nothing here throws.
///
/// Once connecting, the client keeps the connection: after a failed attempt or a lost
/// connection it tries again after a back-off that starts at kFirstRetryDelay and doubles up
/// to kMaxRetryDelay, until Disconnect. TAVREL_DEVICESTACK_RETRY_MS replaces the first delay
/// (the longest is then 30 times that), for tests.
class OvxApiClient {
public:
    /// The wait before the first new attempt.
    static constexpr std::chrono::milliseconds kFirstRetryDelay{1000};
    /// The longest wait between two attempts.
    static constexpr std::chrono::milliseconds kMaxRetryDelay{30000};

    /// Receives the syslog severity of a logging-changed event.
    using LoggingChangedHandler = std::function<void(std::int32_t)>;
    /// Runs on a project-changed event.
    using ProjectChangedHandler = std::function<void()>;

    /// A client whose callbacks run on `io`.
    explicit OvxApiClient(boost::asio::io_context& io);

    /// Connects to the device stack and keeps the connection. `done` runs with true each time
    /// the connection is established (again), and once with false when the first attempt
    /// failed (the client keeps trying).
    void Connect(std::function<void(bool)> done);
    /// Sets the handler of logging-changed events (replacing an earlier one).
    void SetLoggingChangedHandler(LoggingChangedHandler handler);
    /// Sets the handler of project-changed events (replacing an earlier one).
    void SetProjectChangedHandler(ProjectChangedHandler handler);
    /// Asks for the current syslog severity; `done` gets it, or nothing on any failure.
    void GetLogLevel(std::function<void(std::optional<unsigned int>)> done);
    /// Asks for the application's configuration file; `done` gets its path, or nothing.
    void GetConfigFile(std::function<void(std::optional<std::filesystem::path>)> done);
    /// Closes the connection and stops trying; only a failure is logged.
    void Disconnect();

private:
    void OnConfigurationChanged(const zorbixclient::ConfigurationChanged& event);
    void TryConnect();
    void OnConnectResult(const boost::system::error_code& ec);
    void OnConnectionLost(const boost::system::error_code& ec);
    void RetryLater();

    zorbixclient::ZorbixClient client_;
    boost::asio::steady_timer retryTimer_;        ///< waits before the next attempt
    std::chrono::milliseconds firstRetryDelay_;   ///< kFirstRetryDelay or the override
    std::chrono::milliseconds maxRetryDelay_;     ///< kMaxRetryDelay or 30 x the override
    std::chrono::milliseconds retryDelay_;        ///< the wait before the next attempt
    std::function<void(bool)> connectedHandler_;  ///< from Connect
    bool stopped_{true};                          ///< before Connect and after Disconnect
    bool everConnected_{false};                   ///< the first attempt's outcome is reported
    bool down_{false};                            ///< a failure was logged since the last up
    LoggingChangedHandler loggingHandler_;        ///< empty until set
    ProjectChangedHandler projectHandler_;        ///< empty until set
};

}  // namespace Norvane::Tavrel
