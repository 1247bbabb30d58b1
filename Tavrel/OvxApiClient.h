#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "zorbixclient/ZorbixClient.h"

namespace Norvane::Tavrel {

/// The service's connection to the platform's device stack: it asks for the configuration
/// file's path and the syslog severity, and forwards project- and logging-changed events.
/// Every callback runs on the io_context given at construction. Nothing here throws.
class OvxApiClient {
public:
    /// Receives the syslog severity of a logging-changed event.
    using LoggingChangedHandler = std::function<void(std::int32_t)>;
    /// Runs on a project-changed event.
    using ProjectChangedHandler = std::function<void()>;

    /// A client whose callbacks run on `io`.
    explicit OvxApiClient(boost::asio::io_context& io);

    /// Connects to the device stack; `done` runs once, with true on success.
    void Connect(std::function<void(bool)> done);
    /// Sets the handler of logging-changed events (replacing an earlier one).
    void SetLoggingChangedHandler(LoggingChangedHandler handler);
    /// Sets the handler of project-changed events (replacing an earlier one).
    void SetProjectChangedHandler(ProjectChangedHandler handler);
    /// Asks for the current syslog severity; `done` gets it, or nothing on any failure.
    void GetLogLevel(std::function<void(std::optional<unsigned int>)> done);
    /// Asks for the application's configuration file; `done` gets its path, or nothing.
    void GetConfigFile(std::function<void(std::optional<std::filesystem::path>)> done);
    /// Closes the connection; only a failure is logged.
    void Disconnect();

private:
    void OnConfigurationChanged(const zorbixclient::ConfigurationChanged& event);

    zorbixclient::ZorbixClient client_;
    LoggingChangedHandler loggingHandler_;  ///< empty until set
    ProjectChangedHandler projectHandler_;  ///< empty until set
};

}  // namespace Norvane::Tavrel
