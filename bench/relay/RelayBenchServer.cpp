// relay-bench-server: serves one camera through RtspServer (the relay of the service without
// its controller), for benchmarks and manual checks. Prints a ready line and runs until SIGINT
// or SIGTERM.

#include <gst/gst.h>
#include <signal.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Tavrel/RtspServer/RtspServer.h"
#if __has_include("Tavrel/gst/RtpPassthroughPay.h")
#include "Tavrel/gst/RtpPassthroughPay.h"
#define RELAY_BENCH_HAS_PAYLOADER 1
#endif

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: relay-bench-server --port PORT --camera URL [--path /cam]\n"
                 "         [--user NAME --password PASSWORD [--role internal|external]]\n"
                 "         [--camera-user NAME --camera-password PASSWORD]\n"
                 "         [--interface any|NAME] [--log-level trace|debug|info|warn|off]\n");
}

}  // namespace

int main(int argc, char** argv) {
    using Norvane::Tavrel::Config;
    Config config;
    config.rtspServerSettings.interface = "any";
    Config::CameraSettings camera;
    camera.name = "bench";
    camera.location = "bench";
    camera.path = "/cam";
    Config::ServerUser user;
    Config::User cameraAuth;
    std::string level = "warn";

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            Usage();
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--port") {
            config.rtspServerSettings.port = static_cast<std::uint16_t>(std::atoi(value));
        } else if (arg == "--camera") {
            camera.url = value;
        } else if (arg == "--path") {
            camera.path = value;
        } else if (arg == "--user") {
            user.name = value;
        } else if (arg == "--password") {
            user.password = value;
        } else if (arg == "--role") {
            user.role = value;
        } else if (arg == "--camera-user") {
            cameraAuth.name = value;
        } else if (arg == "--camera-password") {
            cameraAuth.password = value;
        } else if (arg == "--interface") {
            config.rtspServerSettings.interface = value;
        } else if (arg == "--log-level") {
            level = value;
        } else {
            Usage();
            return 2;
        }
    }
    if (config.rtspServerSettings.port == 0 || camera.url.empty() || user.name.empty()) {
        Usage();
        return 2;
    }
    if (!cameraAuth.name.empty()) {
        camera.auth = cameraAuth;
    }
    config.rtspServerSettings.users.push_back(user);
    config.cameras.push_back(camera);

    auto logger = spdlog::stderr_logger_mt("relay");
    logger->set_pattern("%Y-%m-%d %T.%e%z | %7t | %^%-8l%$ | %n - %v [%!] (%s:%#)");
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::from_str(level));

    // Signals are taken by sigwait below; every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    gst_init(nullptr, nullptr);
#ifdef RELAY_BENCH_HAS_PAYLOADER
    if (!Norvane::Tavrel::gst::EnsurePassthroughPayloader()) {
        return 1;
    }
#endif
    auto server = Norvane::Tavrel::RtspServer::Create(config);
    if (!server) {
        std::fprintf(stderr, "relay-bench-server: cannot create the server\n");
        return 1;
    }
    server->Start();
    std::printf("relay ready rtsp://127.0.0.1:%u%s\n", config.rtspServerSettings.port,
                camera.path.c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&signals, &signal);
    server.reset();
    std::printf("relay stopped\n");
    return 0;
}
