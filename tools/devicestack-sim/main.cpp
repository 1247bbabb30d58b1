// devicestack-sim: a stand-in of the platform's device stack for tests and the demo.
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "DeviceStackSim.h"
#include "zorbixclient/ConnectionInfo.h"

namespace po = boost::program_options;
using Norvane::Tools::DeviceStackSim;
using Norvane::Tools::SimOptions;

int main(int argc, char** argv) {
    const char* envSocket = std::getenv("ZORBIX_SOCKET");
    const std::string defaultSocket =
        envSocket && *envSocket ? envSocket : Norvane::zorbixclient::kDefaultSocketPath;

    po::options_description description("Usage: devicestack-sim --state FILE [options]");
    std::string socketPath;
    std::string stateFile;
    long replyDelay = 0;
    std::vector<std::string> noReply;
    description.add_options()("help,h", "show this help")(
        "state,s", po::value(&stateFile)->value_name("FILE"),
        "JSON state file with \"applicationPath\" and \"SyslogSeverity\" (required)")(
        "socket", po::value(&socketPath)->default_value(defaultSocket)->value_name("PATH"),
        "Unix socket to serve (default: $ZORBIX_SOCKET or /run/zorbix/zorbix.sock)")(
        "reply-delay", po::value(&replyDelay)->default_value(0)->value_name("MS"),
        "answer every request this many milliseconds late")(
        "no-reply", po::value(&noReply)->composing()->value_name("COMMAND"),
        "never answer requests with this \"command\" (repeatable; '*' for all)")(
        "refuse", "refuse every client's hello")("verbose,v", "log debug lines");

    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, description), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << "devicestack-sim: " << e.what() << "\n" << description << "\n";
        return 2;
    }
    if (vm.count("help")) {
        std::cout << description << "\n";
        return 0;
    }
    if (stateFile.empty() || replyDelay < 0) {
        std::cerr << "devicestack-sim: "
                  << (stateFile.empty() ? "--state is required" : "--reply-delay must be >= 0")
                  << "\n"
                  << description << "\n";
        return 2;
    }

    auto logger = spdlog::stderr_color_mt("devicestack-sim");
    logger->set_pattern("%Y-%m-%d %T.%e | %^%-8l%$ | %n - %v");
    logger->set_level(vm.count("verbose") ? spdlog::level::debug : spdlog::level::info);
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    std::signal(SIGPIPE, SIG_IGN);

    SimOptions options;
    options.socketPath = socketPath;
    options.stateFile = stateFile;
    options.replyDelay = std::chrono::milliseconds(replyDelay);
    options.noReply.insert(noReply.begin(), noReply.end());
    options.refuseClients = vm.count("refuse") > 0;

    boost::asio::io_context io;
    try {
        DeviceStackSim sim(io, options);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int signal) {
            if (ec)
                return;
            SPDLOG_INFO("Received signal {}, stopping", signal);
            sim.Stop();
        });
        sim.Start();
        std::cout << "devicestack-sim ready on " << options.socketPath.string() << std::endl;
        io.run();
    } catch (const std::exception& e) {
        SPDLOG_CRITICAL("{}", e.what());
        return 1;
    }
    return 0;
}
