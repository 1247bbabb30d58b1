#include <malloc.h>

#include <csignal>
#include <optional>
#include <variant>

#include <fmt/format.h>
#include <gst/gst.h>
#include <spdlog/spdlog.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "Tavrel/LoggerManager.h"
#include "Tavrel/OvxApiClient.h"
#include "Tavrel/RtspServer/CameraConnection.h"
#include "Tavrel/Tavrel.h"
#include "Tavrel/gst/RtpPassthroughPay.h"
#include "main/CommandLine.h"
#include "main/Runtime.h"
#include "main/ServiceNotifier.h"

namespace {

constexpr auto kFeatures = "rtsp server, jsonrpc handler";
constexpr std::size_t kMaxLogFileSize = 262144;
constexpr std::size_t kMaxLogFiles = 1;
constexpr int kMallocArenas = 1;
constexpr int kMallocMapThreshold = 128 * 1024;

}  // namespace

int main(int argc, char* argv[]) {
    using namespace Norvane::Tavrel;

    // Before any thread starts: one malloc arena for all threads (each thread would otherwise
    // get one, and what a burst leaves free in one is never reused by another), and a fixed
    // threshold above which blocks are mapped and given back when freed (glibc raises it
    // after the first such free, and large buffers then stay in the heap for good).
    mallopt(M_ARENA_MAX, kMallocArenas);
    mallopt(M_MMAP_THRESHOLD, kMallocMapThreshold);

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
        LogFileSettings{settings.logFile.string(), kMaxLogFileSize, kMaxLogFiles,
                        !settings.logToStderr},
        ConsoleLogSettings{commandLineLevel, settings.logToConsole || settings.logToStderr});
    logger.Start();

    SPDLOG_INFO("Start Tavrel with features: {}", kFeatures);
    if (!settings.configFile.empty())
        SPDLOG_INFO("Use fix config file path '{}', ignore config change events",
                    settings.configFile.string());

    // Camera connections go through GIO, whose proxy lookup is ours: it bounds what a camera
    // may send on its control connection and connects everything else directly, so no desktop
    // proxy setting is read (that would start the settings backend, two threads of its own and
    // its libraries). A resolver named in the environment (GIO_USE_PROXY_RESOLVER) wins, and
    // leaves camera answers unbounded, with an error line.
    g_setenv("GSETTINGS_BACKEND", "memory", FALSE);
    BoundCameraConnections();
    // GStreamer takes its own options (--gst-*) out of the command line.
    gst_init(&argc, &argv);
    // Our passthrough payloader stands in where the registry has none; media need it.
    gst::EnsurePassthroughPayloader();

    Tavrel controller;
    OvxApiClient client(io);

    boost::asio::signal_set signals(io, SIGHUP, SIGINT, SIGTERM);
    Runtime runtime{settings, logger, signals, controller, client};
    ServiceNotifier notifier(io);
    // The status line follows the cameras and clients; it is made on the io thread, which is
    // the one that applies configurations.
    controller.SetStatusObserver([&io, &controller, &notifier] {
        boost::asio::post(
            io, [&controller, &notifier] { notifier.Status(controller.StatusSummary()); });
    });
    client.Connect([&runtime, &notifier](bool connected) {
        HandleConnected(runtime, connected);
        // Ready after the first connection attempt, whatever its outcome: the device stack
        // answered (with a fixed configuration path it is applied by now), or it could not be
        // reached and the client keeps trying meanwhile. Later calls change nothing.
        notifier.Ready();
    });
    WaitForSignal(runtime);

    io.run();

    SPDLOG_INFO("Stopped Tavrel");
    return 0;
}
