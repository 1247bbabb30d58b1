#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include <spdlog/common.h>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

#include "Tavrel/LoggerManager.h"
#include "Tavrel/OvxApiClient.h"
#include "Tavrel/Tavrel.h"
#include "main/CommandLine.h"

namespace Norvane::Tavrel {

/// The long-lived objects of main that the runtime event handlers reach. main owns them all
/// and keeps them alive for the whole run of the io_context; this holds references only.
struct Runtime {
    const CommandLineSettings& settings;
    LoggerManager& logger;
    boost::asio::signal_set& signals;
    Tavrel& controller;
    OvxApiClient& client;
    /// Set by a halting signal: answers that arrive afterwards start no server.
    bool halting{false};
};

/// The log level of a syslog severity (0 emergency .. 7 debug); nothing for any other value.
std::optional<spdlog::level::level_enum> SyslogSeverityToLogLevel(std::int64_t severity);

/// Applies a syslog severity reported by the platform as the log level.
void HandleSyslogSeverity(Runtime& runtime, std::int64_t severity);

/// The device-stack connection came up (again), or its first attempt failed: on each
/// connection fetches the log level, subscribes to logging (and, without a fixed configuration
/// path, project) changes and loads the configuration.
void HandleConnected(Runtime& runtime, bool connected);

/// The platform reports a changed project: reread the configuration.
void HandleProjectChanged(Runtime& runtime);

/// Reads one configuration file and applies it.
void ApplyConfigFile(Runtime& runtime, const std::filesystem::path& path);

/// Finds the configuration path (fixed on the command line, or from the device stack) and
/// applies that file.
void ReloadConfig(Runtime& runtime);

/// Starts an asynchronous wait on the signal set that runs HandleSignal.
void WaitForSignal(Runtime& runtime);

/// Completion of the signal wait: SIGHUP reloads and waits again; SIGINT and SIGTERM halt.
void HandleSignal(Runtime& runtime, const boost::system::error_code& error, int signalNumber);

}  // namespace Norvane::Tavrel
