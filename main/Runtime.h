#pragma once

#include <filesystem>
#include <optional>

#include <spdlog/common.h>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

#include "Tavrel/LoggerManager.h"
#include "main/CommandLine.h"

namespace Norvane::Tavrel {

/// The long-lived objects of main that the runtime event handlers reach. main owns them all
/// and keeps them alive for the whole run of the io_context; this holds references only.
/// The controller (Tavrel) and the device-stack client (OvxApiClient) join as further members
/// when they exist.
struct Runtime {
    const CommandLineSettings& settings;
    LoggerManager& logger;
    boost::asio::signal_set& signals;
};

/// The log level of a syslog severity (0 emergency .. 7 debug); nothing for any other value.
std::optional<spdlog::level::level_enum> SyslogSeverityToLogLevel(unsigned severity);

/// Applies a syslog severity reported by the platform as the log level.
void HandleSyslogSeverity(Runtime& runtime, unsigned severity);

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
