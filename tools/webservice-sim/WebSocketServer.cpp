#include "WebSocketServer.h"

#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "RpcSession.h"

namespace Norvane::WebServiceSim {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Largest message a client may send.
constexpr std::size_t kMaxMessage = 1 << 20;

/// Hands texts from actor threads to the io_context while the server lives.
struct Outlet {
    std::mutex mutex;
    asio::io_context* io;  // not owned; null once the server is gone

    template <class F>
    void Post(F f) {
        std::lock_guard lock{mutex};
        if (io != nullptr) {
            asio::post(*io, std::move(f));
        }
    }
};

/// One WebSocket connection and its JSON-RPC session.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    WebSocketSession(tcp::socket socket, caf::actor_system& system, const WebService& service,
                     std::shared_ptr<Outlet> outlet)
        : ws_(std::move(socket)), system_(system), service_(service), outlet_(std::move(outlet)) {}

    void Run() {
        // A large answer leaves as several frames; with Nagle's algorithm the second one waits
        // for the client's delayed acknowledgement of the first (about 40 ms).
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.read_message_max(kMaxMessage);
        ws_.async_accept([self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
    }

    /// Queues a text for the client.
    void Send(std::string text) {
        if (closed_) {
            return;
        }
        queue_.push_back(std::move(text));
        if (queue_.size() == 1) {
            Write();
        }
    }

    /// Closes the connection.
    void Close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        rpc_.reset();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).close();
    }

private:
    void OnAccept(beast::error_code ec) {
        if (ec) {
            service_.Events()(fmt::format("websocket handshake failed: {}", ec.message()));
            Close();
            return;
        }
        std::weak_ptr<WebSocketSession> weak = weak_from_this();
        rpc_ = std::make_unique<RpcSession>(
            system_, service_, [weak, outlet = outlet_](std::string text) {
                outlet->Post([weak, text = std::move(text)]() mutable {
                    if (auto self = weak.lock()) {
                        self->Send(std::move(text));
                    }
                });
            });
        Read();
    }

    void Read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->OnRead(ec);
        });
    }

    void OnRead(beast::error_code ec) {
        if (ec) {
            if (ec != websocket::error::closed && ec != asio::error::operation_aborted &&
                !closed_) {
                service_.Events()(fmt::format("websocket read failed: {}", ec.message()));
            }
            Close();
            return;
        }
        if (rpc_) {
            rpc_->Receive(beast::buffers_to_string(buffer_.data()));
        }
        buffer_.consume(buffer_.size());
        Read();
    }

    void Write() {
        ws_.text(true);
        ws_.async_write(
            asio::buffer(queue_.front()),
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnWrite(ec); });
    }

    void OnWrite(beast::error_code ec) {
        if (ec) {
            Close();
            return;
        }
        queue_.pop_front();
        if (!queue_.empty()) {
            Write();
        }
    }

    websocket::stream<beast::tcp_stream> ws_;
    caf::actor_system& system_;
    const WebService& service_;
    std::shared_ptr<Outlet> outlet_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    std::unique_ptr<RpcSession> rpc_;
    bool closed_{false};
};

WebSocketServer::WebSocketServer(asio::io_context& io, caf::actor_system& system,
                                 const WebService& service)
    : io_(io),
      system_(system),
      service_(service),
      acceptor_(io),
      outlet_(std::make_shared<Outlet>()) {
    outlet_->io = &io_;
}

WebSocketServer::~WebSocketServer() {
    Stop();
    std::lock_guard lock{outlet_->mutex};
    outlet_->io = nullptr;
}

boost::system::error_code WebSocketServer::Listen(std::uint16_t port) {
    boost::system::error_code ec;
    tcp::endpoint endpoint{asio::ip::make_address_v4("127.0.0.1"), port};
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        return ec;
    }
    Accept();
    return {};
}

std::uint16_t WebSocketServer::Port() const {
    boost::system::error_code ec;
    auto endpoint = acceptor_.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void WebSocketServer::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (auto& weak : sessions_) {
        if (auto session = weak.lock()) {
            session->Close();
        }
    }
    sessions_.clear();
}

void WebSocketServer::Accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec != asio::error::operation_aborted) {
                service_.Events()(fmt::format("accept failed: {}", ec.message()));
                Accept();
            }
            return;
        }
        sessions_.remove_if([](const auto& weak) { return weak.expired(); });
        auto session =
            std::make_shared<WebSocketSession>(std::move(socket), system_, service_, outlet_);
        sessions_.push_back(session);
        session->Run();
        Accept();
    });
}

}  // namespace Norvane::WebServiceSim
