#pragma once

// A scripted device stack for tests: listens on a Unix socket on the test's io_context, records
// what the client sends and answers only as the test tells it, so faults come on cue.

#include <array>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Norvane::zorbixclient::Test {

/// Runs `io` until `done()` holds or `timeout` passes; true when it holds. `done()` is asked
/// after each handler, so it should look only at what handlers on `io` change.
template <typename Pred>
bool RunUntil(boost::asio::io_context& io, Pred done,
              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // With work pending for good, run_one_until waits for the next handler (or the deadline)
    // even while nothing else is pending.
    const auto busy = boost::asio::make_work_guard(io);
    while (!done()) {
        if (io.stopped())
            io.restart();
        if (io.run_one_until(deadline) == 0 && std::chrono::steady_clock::now() >= deadline)
            return done();
    }
    return true;
}

/// Runs `io` for a while (to let things that must not happen get their chance).
inline void RunFor(boost::asio::io_context& io, std::chrono::milliseconds duration) {
    const auto busy = boost::asio::make_work_guard(io);
    io.restart();
    io.run_for(duration);
}

/// The far side of the client on a Unix socket, driven by the test.
class ScriptedPeer {
public:
    using Json = nlohmann::json;
    using Protocol = boost::asio::local::stream_protocol;

    /// Called for each request ({"id":N,"request":R}) with N and R.
    std::function<void(std::uint64_t, const Json&)> onRequest;
    /// Called for each hello; by default the hello is accepted at once.
    std::function<void(std::uint64_t, const Json&)> onHello = [this](std::uint64_t id,
                                                                     const Json&) {
        Send({{"id", id}, {"result", Json::object()}});
    };

    ScriptedPeer(boost::asio::io_context& io, std::filesystem::path path)
        : path_(std::move(path)), acceptor_(io, Protocol::endpoint(path_.string())) {
        Accept();
    }

    ~ScriptedPeer() {
        boost::system::error_code ec;
        acceptor_.close(ec);
        Drop();
        std::error_code removeError;
        std::filesystem::remove(path_, removeError);
    }

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    /// Sends a message as one line.
    void Send(const Json& message) { SendRaw(message.dump() + "\n"); }
    /// Answers request `id` with a result.
    void Reply(std::uint64_t id, Json result) { Send({{"id", id}, {"result", std::move(result)}}); }
    /// Answers request `id` with an error.
    void ReplyError(std::uint64_t id, Json error) {
        Send({{"id", id}, {"error", std::move(error)}});
    }
    /// Sends bytes exactly as given.
    void SendRaw(std::string bytes) {
        if (!conn_)
            return;
        conn_->queue.push_back(std::make_shared<std::string>(std::move(bytes)));
        if (conn_->queue.size() == 1)
            WriteNext(conn_);
    }
    /// Closes the current connection (the peer "dies"); it keeps listening.
    void Drop() {
        if (!conn_)
            return;
        boost::system::error_code ec;
        conn_->socket.close(ec);
        conn_.reset();
    }

    /// Every message received so far (lines that were not JSON are kept as strings).
    const std::vector<Json>& Received() const { return received_; }
    /// The requests received so far (their "request" members).
    std::vector<Json> Requests() const {
        std::vector<Json> out;
        for (const auto& m : received_)
            if (m.is_object() && m.contains("request"))
                out.push_back(m["request"]);
        return out;
    }
    /// The id of the last request received.
    std::optional<std::uint64_t> LastRequestId() const {
        for (auto it = received_.rbegin(); it != received_.rend(); ++it)
            if (it->is_object() && it->contains("request"))
                return (*it)["id"].get<std::uint64_t>();
        return std::nullopt;
    }
    /// How many connections were accepted.
    int Accepted() const { return accepted_; }
    /// True while a client is connected.
    bool Connected() const { return conn_ != nullptr; }
    /// True once the current client closed its end.
    bool ClientClosed() const { return clientClosed_; }
    const std::filesystem::path& path() const { return path_; }

private:
    struct Connection {
        explicit Connection(Protocol::socket s) : socket(std::move(s)) {}
        Protocol::socket socket;
        std::string partial;
        std::deque<std::shared_ptr<std::string>> queue;
        std::array<char, 64 * 1024> buffer{};
    };

    void Accept() {
        acceptor_.async_accept([this](const boost::system::error_code& ec, Protocol::socket s) {
            if (ec)
                return;
            ++accepted_;
            clientClosed_ = false;
            conn_ = std::make_shared<Connection>(std::move(s));
            Read(conn_);
            Accept();
        });
    }

    void WriteNext(std::shared_ptr<Connection> c) {
        auto bytes = c->queue.front();
        boost::asio::async_write(
            c->socket, boost::asio::buffer(*bytes),
            [this, c, bytes](const boost::system::error_code& ec, std::size_t) {
                if (ec)
                    return;
                c->queue.pop_front();
                if (!c->queue.empty())
                    WriteNext(c);
            });
    }

    void Read(std::shared_ptr<Connection> c) {
        c->socket.async_read_some(boost::asio::buffer(c->buffer),
                                  [this, c](const boost::system::error_code& ec, std::size_t n) {
                                      if (ec) {
                                          if (conn_ == c)
                                              clientClosed_ = true;
                                          return;
                                      }
                                      c->partial.append(c->buffer.data(), n);
                                      for (auto nl = c->partial.find('\n'); nl != std::string::npos;
                                           nl = c->partial.find('\n')) {
                                          const std::string line = c->partial.substr(0, nl);
                                          c->partial.erase(0, nl + 1);
                                          HandleLine(line);
                                      }
                                      Read(c);
                                  });
    }

    void HandleLine(const std::string& line) {
        Json message = Json::parse(line, nullptr, false);
        if (message.is_discarded()) {
            received_.emplace_back(line);
            return;
        }
        received_.push_back(message);
        if (!message.is_object() || !message.contains("id"))
            return;
        const auto id = message["id"].get<std::uint64_t>();
        if (message.contains("hello") && onHello)
            onHello(id, message["hello"]);
        else if (message.contains("request") && onRequest)
            onRequest(id, message["request"]);
    }

    std::filesystem::path path_;
    Protocol::acceptor acceptor_;
    std::shared_ptr<Connection> conn_;
    std::vector<Json> received_;
    int accepted_{0};
    bool clientClosed_{false};
};

}  // namespace Norvane::zorbixclient::Test
