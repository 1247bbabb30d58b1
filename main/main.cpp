#include <csignal>
#include <optional>
#include <variant>

#include <fmt/format.h>
#include <gst/gst.h>
#include <spdlog/spdlog.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "Tavrel/LoggerManager.h"
#include "Tavrel/OvxApiClient.h"
#include "Tavrel/Tavrel.h"
#include "Tavrel/gst/RtpPassthroughPay.h"
#include "main/CommandLine.h"
#include "main/Runtime.h"

namespace {

constexpr auto kFeatures = "rtsp server, jsonrpc handler";
constexpr std::size_t kMaxLogFileSize = 262144;
constexpr std::size_t kMaxLogFiles = 1;

}  // namespace

int main(int argc, char* argv[]) {
    using namespace Norvane::Tavrel;

    const CommandLineResult commandLine = ParseCommandLine(argc, argv);
    if (const auto* help = std::get_if<CommandLineHelp>(&commandLine)) {
        fmt::print("Tavrel with features: {}\n{}\n", kFeatures, help->text);
        return 0;
    }
    if (const auto* error = std::get_if<CommandLineError>(&commandLine)) {
        fmt::print("Failed to handle commandline arguments. Use --help for correct usage.\n{}\n",
                   error->message);
        return 1;
    }
    const auto& settings = std::get<CommandLineSettings>(commandLine);

    std::optional<spdlog::level::level_enum> commandLineLevel;
    if (settings.verbosity > 0)
        commandLineLevel = VerbosityToLogLevel(settings.verbosity);

    boost::asio::io_context io;
    LoggerManager logger(
        io, "Tavrel",
        LogFileSettings{settings.logFile.string(), kMaxLogFileSize, kMaxLogFiles, true},
        ConsoleLogSettings{commandLineLevel, settings.logToConsole});
    logger.Start();

    SPDLOG_INFO("Start Tavrel with features: {}", kFeatures);
    if (!settings.configFile.empty())
        SPDLOG_INFO("Use fix config file path '{}', ignore config change events",
                    settings.configFile.string());

    // GStreamer takes its own options (--gst-*) out of the command line.
    gst_init(&argc, &argv);
    // Our passthrough payloader stands in where the registry has none; media need it.
    gst::EnsurePassthroughPayloader();

    Tavrel controller;
    OvxApiClient client(io);

    boost::asio::signal_set signals(io, SIGHUP, SIGINT, SIGTERM);
    Runtime runtime{settings, logger, signals, controller, client};
    client.Connect([&runtime](bool connected) { HandleConnected(runtime, connected); });
    WaitForSignal(runtime);

    io.run();

    SPDLOG_INFO("Stopped Tavrel");
    return 0;
}
