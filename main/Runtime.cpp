#include "main/Runtime.h"

#include <csignal>

#include <spdlog/spdlog.h>
#include <boost/asio/error.hpp>

#include "Tavrel/ConfigFile.h"

namespace Norvane::Tavrel {

std::optional<spdlog::level::level_enum> SyslogSeverityToLogLevel(std::int64_t severity) {
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

void HandleSyslogSeverity(Runtime& runtime, std::int64_t severity) {
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

void ApplyConfigFile(Runtime& runtime, const std::filesystem::path& path) {
    if (runtime.halting)
        return;
    if (auto config = Read(path)) {
        runtime.controller.ApplyConfig(std::move(*config));
        return;
    }
    SPDLOG_INFO("No valid config found at '{}', do not run server", path.string());
    runtime.controller.Stop();
}

void ReloadConfig(Runtime& runtime) {
    if (!runtime.settings.configFile.empty()) {
        ApplyConfigFile(runtime, runtime.settings.configFile);
        return;
    }
    runtime.client.GetConfigFile([&runtime](std::optional<std::filesystem::path> path) {
        if (runtime.halting)
            return;
        // A request that failed (time-out, lost connection) says nothing about the
        // configuration: the running server and its clients stay as they are.
        if (!path) {
            SPDLOG_ERROR("Failed to get config file path, keeping the current configuration");
            return;
        }
        ApplyConfigFile(runtime, *path);
    });
}

void HandleConnected(Runtime& runtime, bool connected) {
    if (runtime.halting)
        return;
    if (!connected) {
        SPDLOG_ERROR("Failed to connect app");
        return;
    }
    runtime.client.GetLogLevel([&runtime](std::optional<unsigned int> severity) {
        if (severity)
            HandleSyslogSeverity(runtime, *severity);
    });
    runtime.client.SetLoggingChangedHandler(
        [&runtime](std::int32_t severity) { HandleSyslogSeverity(runtime, severity); });
    if (!runtime.settings.configFile.empty()) {
        SPDLOG_INFO("Ignore project changed events, because 'overrideConfigFileLocation' is set");
    } else {
        runtime.client.SetProjectChangedHandler([&runtime] { HandleProjectChanged(runtime); });
    }
    ReloadConfig(runtime);
}

void HandleProjectChanged(Runtime& runtime) {
    SPDLOG_INFO("Project changed, reread config");
    ReloadConfig(runtime);
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
    runtime.halting = true;
    runtime.controller.Stop();
    runtime.logger.Stop();
    runtime.client.Disconnect();
}

}  // namespace Norvane::Tavrel
