#include "main/Runtime.h"

#include <csignal>

#include <spdlog/spdlog.h>
#include <boost/asio/error.hpp>

#include "Tavrel/ConfigFile.h"

namespace Norvane::Tavrel {

std::optional<spdlog::level::level_enum> SyslogSeverityToLogLevel(unsigned severity) {
    switch (severity) {
        case 0:
        case 1:
            return spdlog::level::critical;
        case 2:
        case 3:
            return spdlog::level::err;
        case 4:
            return spdlog::level::warn;
        case 5:
        case 6:
            return spdlog::level::info;
        case 7:
            return spdlog::level::debug;
        default:
            return std::nullopt;
    }
}

void HandleSyslogSeverity(Runtime& runtime, unsigned severity) {
    const auto level = SyslogSeverityToLogLevel(severity);
    if (!level) {
        SPDLOG_WARN("Failed to get log level from syslog severity, invalid value '{}'", severity);
        return;
    }
    // Logged before and after the change, so that the line shows whichever level lets it pass.
    SPDLOG_INFO("Change syslog severity to {}", severity);
    runtime.logger.UpdateLogLevel(*level);
    SPDLOG_INFO("Change syslog severity to {}", severity);
}

void ApplyConfigFile(Runtime& /*runtime*/, const std::filesystem::path& path) {
    if (auto config = Read(path)) {
        // Seam: the controller (Tavrel::ApplyConfig) takes the configuration over here.
        return;
    }
    SPDLOG_INFO("No valid config found at '{}', do not run server", path.string());
    // Seam: the controller is stopped here (Tavrel::Stop).
}

void ReloadConfig(Runtime& runtime) {
    if (!runtime.settings.configFile.empty()) {
        ApplyConfigFile(runtime, runtime.settings.configFile);
        return;
    }
    // Seam: the path comes from the device stack (OvxApiClient::GetConfigFile), which delivers
    // its answer to a callback; until that client exists no path can be had.
    SPDLOG_ERROR("Failed to get config file path");
}

void WaitForSignal(Runtime& runtime) {
    runtime.signals.async_wait(
        [&runtime](const boost::system::error_code& error, int signalNumber) {
            HandleSignal(runtime, error, signalNumber);
        });
}

void HandleSignal(Runtime& runtime, const boost::system::error_code& error, int signalNumber) {
    if (error == boost::asio::error::operation_aborted)
        return;
    if (signalNumber == SIGHUP) {
        SPDLOG_INFO("Received SIGHUP, reload config");
        ReloadConfig(runtime);
        WaitForSignal(runtime);
        return;
    }
    SPDLOG_INFO("Received signal {}, halting...", signalNumber);
    // Seam: the controller is stopped first (Tavrel::Stop).
    runtime.logger.Stop();
    // Seam: then the device-stack connection is closed (OvxApiClient::Disconnect).
}

}  // namespace Norvane::Tavrel
