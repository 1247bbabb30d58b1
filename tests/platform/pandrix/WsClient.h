#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <boost/json/value.hpp>

namespace Norvane::Test {

/// A JSON-RPC client over WebSocket for tests (blocking, with time-outs).
class WsClient {
public:
    /// Connects to ws://127.0.0.1:`port`/; throws when that fails.
    explicit WsClient(std::uint16_t port);
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    /// Sends one text message.
    void Send(const std::string& text);
    /// The next text message, nothing on time-out.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends a request with a fresh id and returns the text of the response with that id;
    /// notifications received meanwhile are kept for NextNotification().
    std::optional<std::string> Call(const std::string& method, const std::string& paramsJson = {},
                                    std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// The next notification (a message without "id"), nothing on time-out.
    std::optional<boost::json::value> NextNotification(
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// The id the last Call() used.
    std::uint64_t LastId() const { return id_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::deque<boost::json::value> notifications_;
    std::uint64_t id_{0};
};

}  // namespace Norvane::Test
