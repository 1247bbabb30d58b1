#include "WsClient.h"

#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

namespace Norvane::Test {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

struct WsClient::Impl {
    boost::asio::io_context io;
    websocket::stream<beast::tcp_stream> ws{io};
    beast::flat_buffer buffer;
};

WsClient::WsClient(std::uint16_t port) : impl_(std::make_unique<Impl>()) {
    tcp::endpoint endpoint{boost::asio::ip::make_address_v4("127.0.0.1"), port};
    beast::get_lowest_layer(impl_->ws).connect(endpoint);
    impl_->ws.handshake("127.0.0.1:" + std::to_string(port), "/");
    impl_->ws.text(true);
}

WsClient::~WsClient() {
    beast::error_code ignored;
    impl_->ws.close(websocket::close_code::normal, ignored);
}

void WsClient::Send(const std::string& text) {
    impl_->ws.write(boost::asio::buffer(text));
}

std::optional<std::string> WsClient::Receive(std::chrono::milliseconds timeout) {
    std::optional<std::string> text;
    bool done = false;
    impl_->buffer.consume(impl_->buffer.size());
    impl_->ws.async_read(impl_->buffer, [&](beast::error_code ec, std::size_t) {
        done = true;
        if (!ec) {
            text = beast::buffers_to_string(impl_->buffer.data());
        }
    });
    impl_->io.restart();
    impl_->io.run_for(timeout);
    if (!done) {
        // Abandon the read: the connection is unusable afterwards.
        beast::get_lowest_layer(impl_->ws).cancel();
        impl_->io.restart();
        impl_->io.run();
    }
    return text;
}

std::optional<std::string> WsClient::Call(const std::string& method, const std::string& paramsJson,
                                          std::chrono::milliseconds timeout) {
    ++id_;
    std::string request =
        R"({"jsonrpc":"2.0","id":)" + std::to_string(id_) + R"(,"method":")" + method + "\"";
    if (!paramsJson.empty()) {
        request += ",\"params\":" + paramsJson;
    }
    request += "}";
    Send(request);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto text = Receive(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!text) {
            return std::nullopt;
        }
        auto message = boost::json::parse(*text);
        const auto* id = message.as_object().if_contains("id");
        if (id == nullptr) {
            notifications_.push_back(std::move(message));
            continue;
        }
        if (id->is_number() && id->to_number<std::uint64_t>() == id_) {
            return text;
        }
    }
    return std::nullopt;
}

std::optional<boost::json::value> WsClient::NextNotification(std::chrono::milliseconds timeout) {
    if (!notifications_.empty()) {
        auto message = std::move(notifications_.front());
        notifications_.pop_front();
        return message;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto text = Receive(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!text) {
            return std::nullopt;
        }
        auto message = boost::json::parse(*text);
        if (message.as_object().if_contains("id") == nullptr) {
            return message;
        }
    }
    return std::nullopt;
}

}  // namespace Norvane::Test
