#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <caf/actor.hpp>
#include <caf/actor_system.hpp>

#include "Pandrix/Connector/CafInit.h"
#include "Pandrix/Types.h"

namespace spdlog {
class logger;
}

namespace Pandrix::Connector {

/// Connects an application's actor to the web service's actor system over CAF's I/O module.
///
/// The connector owns the application's actor system. TryConnecting() starts connecting in the
/// background: each attempt that fails is followed by the next one after the retry interval;
/// once connected, the handler gets the five service handles. After the last failed attempt it
/// gets delete_atom, and the connector keeps trying at a slow pace (every 30 s) until Stop.
/// When an established connection is lost, the connector starts over with the same number of
/// attempts. Nothing here blocks the caller for a connection.
///
/// Environment (for tests and development): PANDRIX_PORT replaces the port,
/// PANDRIX_RETRY_INTERVAL_MS the retry interval, PANDRIX_SLOW_RETRY_INTERVAL_MS the slow one.
class CafConnector {
public:
    /// Makes the CafInit that prepares the actor system's configuration.
    using InitFactory = std::function<std::unique_ptr<CafInit>()>;

    /// Builds the actor system; throws std::runtime_error when it cannot be built.
    /// `token` is sent to the web service when connecting (empty for local applications).
    CafConnector(std::shared_ptr<spdlog::logger> logger, const InitFactory& initFactory,
                 std::chrono::seconds retryInterval, std::string host, std::uint16_t port,
                 std::string token);
    /// Stops, then shuts the actor system down.
    ~CafConnector();
    CafConnector(const CafConnector&) = delete;
    CafConnector& operator=(const CafConnector&) = delete;

    /// The actor system the application's actors live in.
    caf::actor_system& GetSystem();

    /// Sets the actor that receives the connection message or delete_atom.
    void SetHandler(ConnectionHandler handler);

    /// Starts connecting with at most `attempts` attempts; false when not started (no handler,
    /// no attempts, or stopped).
    bool TryConnecting(std::size_t attempts);

    /// Stops connecting and terminates the handler actor (and with it what is linked to it);
    /// waits until no actor of the system runs any more (at most a few seconds). Nothing is
    /// delivered afterwards.
    void Stop();

    /// The port in use (after the PANDRIX_PORT override).
    std::uint16_t Port() const { return port_; }

    /// The retry interval in use (after the PANDRIX_RETRY_INTERVAL_MS override).
    std::chrono::milliseconds RetryInterval() const { return retryInterval_; }

    /// The pace after the fast attempts (after the PANDRIX_SLOW_RETRY_INTERVAL_MS override).
    std::chrono::milliseconds SlowRetryInterval() const { return slowRetryInterval_; }

private:
    std::shared_ptr<spdlog::logger> logger_;
    std::chrono::milliseconds retryInterval_;
    std::chrono::milliseconds slowRetryInterval_;
    std::string host_;
    std::uint16_t port_;
    std::string token_;
    std::unique_ptr<caf::actor_system_config> config_;
    std::unique_ptr<caf::actor_system> system_;
    std::mutex mutex_;  // guards the three members below
    ConnectionHandler handler_;
    caf::actor connecting_;
    bool stopped_{false};
};

}  // namespace Pandrix::Connector
