#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>

namespace Norvane::zorbixclient {

/// The device configuration changed.
struct DeviceConfigurationChanged {};
/// The project (and with it the applications' configuration) changed.
struct ProjectConfigurationChanged {};
/// The user-interface configuration changed.
struct UiConfigurationChanged {};
/// The network configuration changed.
struct NetworkConfigurationChanged {};
/// The object configuration changed.
struct ObjectConfigurationChanged {};
/// The logging configuration changed; carries the new syslog severity.
struct LoggingConfigurationChanged {
    std::int32_t severity{0};  ///< syslog severity (0 emergency .. 7 debug)
};
/// Any other configuration change, by the name the device stack gave it.
struct OtherConfigurationChanged {
    std::string kind;  ///< the device stack's name of the change
};

/// A configuration-changed event of the device stack.
using ConfigurationChanged =
    std::variant<DeviceConfigurationChanged, ProjectConfigurationChanged, UiConfigurationChanged,
                 NetworkConfigurationChanged, ObjectConfigurationChanged,
                 LoggingConfigurationChanged, OtherConfigurationChanged>;

/// The value of the "event" member that marks a configuration-changed event on the wire.
inline constexpr const char* kConfigurationChangedEvent = "configurationChanged";

/// Decodes an event message ({"event":"configurationChanged","kind":...}); nothing when the
/// message is not a well-formed configuration-changed event.
std::optional<ConfigurationChanged> ParseConfigurationChanged(const nlohmann::json& message);

/// Encodes an event as the device stack sends it.
nlohmann::json ToJson(const ConfigurationChanged& event);

}  // namespace Norvane::zorbixclient
