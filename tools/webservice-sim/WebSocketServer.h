#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <caf/actor_system.hpp>

#include "WebService.h"

namespace Norvane::WebServiceSim {

class WebSocketSession;
struct Outlet;

/// JSON-RPC 2.0 over WebSocket on 127.0.0.1: one RpcSession per connection. Runs on one
/// io_context thread.
class WebSocketServer {
public:
    /// Serves the methods of `service`; nothing is bound before Listen().
    WebSocketServer(boost::asio::io_context& io, caf::actor_system& system,
                    const WebService& service);
    /// Closes every connection; nothing is delivered to the io_context afterwards.
    ~WebSocketServer();
    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    /// Binds 127.0.0.1:`port` (0: any free port) and starts accepting.
    boost::system::error_code Listen(std::uint16_t port);
    /// The port bound.
    std::uint16_t Port() const;
    /// Stops accepting and closes every connection.
    void Stop();

private:
    void Accept();

    boost::asio::io_context& io_;
    caf::actor_system& system_;
    const WebService& service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<Outlet> outlet_;  // how actor threads reach the io_context
    std::list<std::weak_ptr<WebSocketSession>> sessions_;
};

}  // namespace Norvane::WebServiceSim
