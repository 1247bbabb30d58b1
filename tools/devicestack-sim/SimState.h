#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>

namespace Norvane::Tools {

/// What the simulated device stack knows, as read from its JSON state file. Both values are
/// served as they stand in the file (normally strings), so faulty values can be served too.
struct SimState {
    /// "applicationPath": the application's configuration file (absent: left out of replies)
    std::optional<nlohmann::json> applicationPath;
    /// "SyslogSeverity": the syslog severity, e.g. "6" (absent: left out of replies)
    std::optional<nlohmann::json> syslogSeverity;

    /// The configuration file to watch, when "applicationPath" is a non-empty string.
    std::optional<std::filesystem::path> ConfigPath() const;
    /// The severity as a number for a logging event, when it is one (or a string of one).
    std::optional<std::int32_t> SeverityNumber() const;
};

/// Reads the state file; nothing (and one log line) when it cannot be read or is not a JSON
/// object.
std::optional<SimState> LoadSimState(const std::filesystem::path& file);

}  // namespace Norvane::Tools
