// webservice-sim: stands in for the building server's local web service. Hosts the actors the
// connector library reaches (router, authenticator, broker, capability registry, file-server
// registry) on 127.0.0.1, and offers JSON-RPC 2.0 over WebSocket to real clients.

#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>
#include <caf/actor_system.hpp>
#include <caf/actor_system_config.hpp>

#include "Pandrix/Connector/CafInit.h"
#include "WebService.h"
#include "WebSocketServer.h"

namespace {

namespace po = boost::program_options;

class SimInit : public Pandrix::Connector::CafInit {
public:
    void add_message_types(caf::actor_system_config&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    po::options_description options{"webservice-sim options"};
    options.add_options()("help,h", "show this help")(
        "port,p", po::value<std::uint16_t>()->default_value(4815),
        "port of the connector's actors on 127.0.0.1 (0: any free port)")(
        "ws-port,w", po::value<std::uint16_t>()->default_value(4816),
        "port of JSON-RPC over WebSocket on 127.0.0.1 (0: any free port)");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "webservice-sim: " << e.what() << "\n" << options;
        return 2;
    }
    if (vm.count("help") != 0) {
        std::cout << options;
        return 0;
    }

    auto logger = spdlog::stdout_logger_mt("webservice-sim");
    logger->set_pattern("%Y-%m-%d %T.%e | %v");
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    auto events = [logger](const std::string& line) { logger->info("{}", line); };

    caf::actor_system_config config;
    SimInit{}.load_impl(config);
    caf::actor_system system{config};

    int exitCode = 0;
    {
        Norvane::WebServiceSim::WebService service{system, events};
        auto port = service.Publish(vm["port"].as<std::uint16_t>());
        if (!port) {
            logger->error("cannot publish on 127.0.0.1:{}: {}", vm["port"].as<std::uint16_t>(),
                          system.render(port.error()));
            return 1;
        }
        boost::asio::io_context io;
        Norvane::WebServiceSim::WebSocketServer server{io, system, service};
        if (auto ec = server.Listen(vm["ws-port"].as<std::uint16_t>())) {
            logger->error("cannot listen on 127.0.0.1:{}: {}", vm["ws-port"].as<std::uint16_t>(),
                          ec.message());
            return 1;
        }
        boost::asio::signal_set signals{io, SIGINT, SIGTERM};
        signals.async_wait([&](const boost::system::error_code& ec, int sig) {
            if (!ec) {
                logger->info("signal {}, stopping", sig);
                server.Stop();
                io.stop();
            }
        });
        logger->info("webservice-sim ready: connector port {} websocket port {}", *port,
                     server.Port());
        io.run();
    }
    logger->info("webservice-sim stopped");
    return exitCode;
}
