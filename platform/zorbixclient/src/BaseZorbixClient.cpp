#include "zorbixclient/BaseZorbixClient.h"

#include <spdlog/spdlog.h>

#include <array>
#include <atomic>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <charconv>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "zorbixclient/Errc.h"
#include "zorbixclient/LineFramer.h"

namespace Norvane::zorbixclient {

namespace asio = boost::asio;
using Socket = asio::local::stream_protocol::socket;
using Json = nlohmann::json;

namespace {

/// Deeper messages are dropped before parsing (protects against stack exhaustion).
constexpr int kMaxDepth = 64;

bool DepthWithin(std::string_view text, int maxDepth) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

/// The id of a message from its first bytes ({"id":N,...}), if it starts that way.
std::optional<std::uint64_t> LeadingId(std::string_view text) {
    auto skipSpace = [&] {
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
            text.remove_prefix(1);
    };
    auto expect = [&](std::string_view token) {
        skipSpace();
        if (text.substr(0, token.size()) != token)
            return false;
        text.remove_prefix(token.size());
        return true;
    };
    if (!expect("{") || !expect("\"id\"") || !expect(":"))
        return std::nullopt;
    skipSpace();
    std::uint64_t id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (ec != std::errc{} || end == text.data())
        return std::nullopt;
    return id;
}

Result ErrorReply(const Json& error) {
    std::int64_t code = -1;
    std::string message;
    if (error.is_object()) {
        if (const auto c = error.find("code"); c != error.end()) {
            if (c->is_number_unsigned()) {
                const auto v = c->get<std::uint64_t>();
                if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                    code = static_cast<std::int64_t>(v);
            } else if (c->is_number_integer()) {
                code = c->get<std::int64_t>();
            }
        }
        if (const auto m = error.find("message"); m != error.end() && m->is_string())
            message = m->get<std::string>();
    }
    if (code == 0)
        code = -1;  // an error reply always fails, whatever code it names
    if (message.empty())
        message = "device stack reported error " + std::to_string(code);
    return Result(code, std::move(message));
}

}  // namespace

class BaseZorbixClient::Impl : public std::enable_shared_from_this<Impl> {
public:
    explicit Impl(asio::io_context& io) : io_(io), strand_(asio::make_strand(io)) {}

    /// Runs `fn` on the strand with this object kept alive.
    template <typename Fn>
    void OnStrand(Fn fn) {
        asio::post(strand_,
                   [self = shared_from_this(), fn = std::move(fn)]() mutable { fn(*self); });
    }

    /// Hands a user callback to the io_context; dropped once the client is gone.
    template <typename Fn>
    void Deliver(Fn fn) {
        asio::post(strand_, [self = shared_from_this(), fn = std::move(fn)]() mutable {
            if (!self->orphaned_)
                fn();
        });
    }

    void Connect(std::shared_ptr<const ConnectionInfo> info, CompletionHandler done) {
        if (state_ != State::idle) {
            DeliverCompletion(std::move(done), Errc::already_connected);
            return;
        }
        asio::local::stream_protocol::endpoint endpoint;
        try {
            if (!info || info->socketPath.empty())
                throw boost::system::system_error(make_error_code(Errc::invalid_address));
            endpoint = asio::local::stream_protocol::endpoint(info->socketPath);
        } catch (const boost::system::system_error&) {
            DeliverCompletion(std::move(done), Errc::invalid_address);
            return;
        }
        Json hello;
        try {
            hello =
                Json{{"id", nextId_},
                     {"hello", {{"name", info->name}, {"type", info->type}, {"info", info->info}}}};
            helloLine_ = std::make_shared<std::string>(hello.dump() + "\n");
        } catch (const Json::exception&) {
            DeliverCompletion(std::move(done), Errc::invalid_request);
            return;
        }
        helloId_ = nextId_++;
        state_ = State::connecting;
        connectDone_ = std::move(done);
        const auto generation = ++generation_;
        socket_ = std::make_unique<Socket>(strand_);
        connectTimer_ = std::make_unique<asio::steady_timer>(strand_);
        connectTimer_->expires_after(connectTimeout_);
        connectTimer_->async_wait([self = shared_from_this(), generation](const auto& ec) {
            if (!ec && generation == self->generation_ && self->state_ == State::connecting)
                self->FailConnect(Errc::timed_out);
        });
        socket_->async_connect(endpoint, [self = shared_from_this(), generation](const auto& ec) {
            if (generation != self->generation_ || self->state_ != State::connecting)
                return;
            if (ec) {
                self->FailConnect(ec);
                return;
            }
            self->StartRead(generation);
            self->Write(std::move(self->helloLine_));
        });
    }

    void SendRequest(Json request, std::chrono::milliseconds timeout, ReplyHandler done) {
        if (state_ != State::connected) {
            DeliverReply(std::move(done), Result(make_error_code(Errc::not_connected)));
            return;
        }
        const auto id = nextId_++;
        std::string command;
        if (request.is_object())
            if (const auto c = request.find("command"); c != request.end() && c->is_string())
                command = c->get<std::string>();
        auto line = std::make_shared<std::string>();
        try {
            *line = Json{{"id", id}, {"request", std::move(request)}}.dump();
        } catch (const Json::exception& e) {
            DeliverReply(std::move(done), Result(make_error_code(Errc::invalid_request), e.what()));
            return;
        }
        if (line->size() > framer_.MaxLine()) {
            DeliverReply(std::move(done),
                         Result(make_error_code(Errc::invalid_request),
                                "request exceeds " + std::to_string(framer_.MaxLine()) + " bytes"));
            return;
        }
        line->push_back('\n');
        auto timer = std::make_unique<asio::steady_timer>(strand_);
        timer->expires_after(timeout);
        timer->async_wait([self = shared_from_this(), id, timeout](const auto& ec) {
            if (!ec)
                self->TimeOut(id, timeout);
        });
        pending_.emplace(id, Pending{std::move(done), std::move(timer), std::move(command)});
        Write(std::move(line));
    }

    void Disconnect(CompletionHandler done) {
        boost::system::error_code closeError;
        switch (state_) {
            case State::idle:
                break;
            case State::connecting: {
                auto connectDone = std::move(connectDone_);
                CloseSocket();
                DeliverCompletion(std::move(connectDone), Errc::disconnected);
                break;
            }
            case State::connected: {
                boost::system::error_code ignored;
                socket_->shutdown(Socket::shutdown_both, ignored);
                closeError = CloseSocket();
                FailAll(Errc::disconnected);
                break;
            }
        }
        DeliverCompletion(std::move(done), closeError);
    }

    void SetConnectTimeout(std::chrono::milliseconds timeout) { connectTimeout_ = timeout; }
    void SetEventHandler(EventHandler handler) { eventHandler_ = std::move(handler); }
    void SetConnectionLostHandler(CompletionHandler handler) { lostHandler_ = std::move(handler); }

    /// Drops every callback and closes the connection (the client is being destroyed).
    void Shutdown() {
        orphaned_ = true;
        eventHandler_ = nullptr;
        lostHandler_ = nullptr;
        connectDone_ = nullptr;
        pending_.clear();
        CloseSocket();
    }

    asio::io_context& io_;
    asio::strand<asio::io_context::executor_type> strand_;
    std::atomic<bool> orphaned_{false};

private:
    enum class State { idle, connecting, connected };

    struct Pending {
        ReplyHandler done;
        std::unique_ptr<asio::steady_timer> timer;
        std::string command;  ///< the request's "command", for log lines
    };

    void DeliverCompletion(CompletionHandler done, boost::system::error_code ec) {
        if (done)
            Deliver([done = std::move(done), ec] { done(ec); });
    }

    void DeliverReply(ReplyHandler done, TRresult<Json> result) {
        if (done)
            Deliver(
                [done = std::move(done), result = std::move(result)]() mutable { done(result); });
    }

    void DeliverReply(ReplyHandler done, Result failure) {
        DeliverReply(std::move(done), TRresult<Json>(std::move(failure)));
    }

    /// Closes the socket and forgets the connection's transient state; stale handlers of the
    /// closed connection see a new generation and do nothing.
    boost::system::error_code CloseSocket() {
        ++generation_;
        state_ = State::idle;
        boost::system::error_code ec;
        if (connectTimer_)
            connectTimer_->cancel();
        if (socket_ && socket_->is_open())
            socket_->close(ec);
        writeQueue_.clear();
        writing_ = false;
        framer_.Reset();
        helloLine_.reset();
        return ec;
    }

    void FailConnect(boost::system::error_code ec) {
        auto done = std::move(connectDone_);
        CloseSocket();
        DeliverCompletion(std::move(done), ec);
    }

    void FailAll(Errc reason) {
        auto pending = std::move(pending_);
        pending_.clear();
        for (auto& [id, p] : pending) {
            p.timer->cancel();
            DeliverReply(std::move(p.done), Result(make_error_code(reason)));
        }
    }

    void TimeOut(std::uint64_t id, std::chrono::milliseconds timeout) {
        const auto it = pending_.find(id);
        if (it == pending_.end())
            return;
        auto done = std::move(it->second.done);
        pending_.erase(it);
        DeliverReply(std::move(done),
                     Result(make_error_code(Errc::timed_out),
                            "no reply within " + std::to_string(timeout.count()) + " ms"));
    }

    void OnTransportError(const boost::system::error_code& ec) {
        const auto reason = ec == asio::error::eof ? make_error_code(Errc::connection_lost) : ec;
        if (state_ == State::connecting) {
            FailConnect(reason);
            return;
        }
        SPDLOG_DEBUG("Connection to the device stack lost ({})", reason.message());
        CloseSocket();
        FailAll(Errc::connection_lost);
        Deliver([self = shared_from_this(), reason] {
            if (self->lostHandler_)
                self->lostHandler_(reason);
        });
    }

    void Write(std::shared_ptr<std::string> line) {
        if (!line)
            return;
        writeQueue_.push_back(std::move(line));
        if (!writing_)
            WriteNext(generation_);
    }

    void WriteNext(std::uint64_t generation) {
        writing_ = true;
        auto line = writeQueue_.front();
        asio::async_write(
            *socket_, asio::buffer(*line),
            [self = shared_from_this(), generation, line](const auto& ec, std::size_t) {
                if (generation != self->generation_)
                    return;
                if (ec) {
                    self->OnTransportError(ec);
                    return;
                }
                self->writeQueue_.pop_front();
                if (self->writeQueue_.empty())
                    self->writing_ = false;
                else
                    self->WriteNext(generation);
            });
    }

    void StartRead(std::uint64_t generation) {
        socket_->async_read_some(asio::buffer(readBuffer_), [self = shared_from_this(), generation](
                                                                const auto& ec, std::size_t n) {
            if (generation != self->generation_)
                return;
            if (ec) {
                self->OnTransportError(ec);
                return;
            }
            self->framer_.Feed(
                std::string_view(self->readBuffer_.data(), n),
                [&](std::string_view line) {
                    if (generation == self->generation_)
                        self->HandleLine(line);
                },
                [&](std::string_view prefix) {
                    if (generation == self->generation_)
                        self->HandleOversized(prefix);
                });
            if (generation != self->generation_) {
                self->framer_.Reset();
                return;
            }
            self->StartRead(generation);
        });
    }

    void HandleOversized(std::string_view prefix) {
        SPDLOG_WARN("Dropped a message of more than {} bytes from the device stack",
                    framer_.MaxLine());
        const auto id = LeadingId(prefix);
        if (!id)
            return;
        if (state_ == State::connecting && *id == helloId_) {
            FailConnect(Errc::message_too_large);
            return;
        }
        if (const auto it = pending_.find(*id); it != pending_.end()) {
            auto done = std::move(it->second.done);
            pending_.erase(it);
            DeliverReply(std::move(done), Result(make_error_code(Errc::message_too_large)));
        }
    }

    void HandleLine(std::string_view line) {
        if (!DepthWithin(line, kMaxDepth)) {
            SPDLOG_WARN("Dropped a message from the device stack nested deeper than {} levels",
                        kMaxDepth);
            return;
        }
        Json message = Json::parse(line, nullptr, false);
        if (message.is_discarded() || !message.is_object()) {
            SPDLOG_WARN("Dropped a malformed message of {} bytes from the device stack",
                        line.size());
            return;
        }
        if (const auto id = message.find("id"); id != message.end()) {
            if (!id->is_number_unsigned()) {
                SPDLOG_WARN("Dropped a message from the device stack with an invalid id");
                return;
            }
            HandleReply(id->get<std::uint64_t>(), message);
            return;
        }
        if (message.contains("event")) {
            if (state_ != State::connected) {
                SPDLOG_DEBUG("Dropped a device-stack event that arrived before the hello's answer");
                return;
            }
            Deliver([self = shared_from_this(), message = std::move(message)] {
                if (self->eventHandler_)
                    self->eventHandler_(message);
            });
            return;
        }
        SPDLOG_WARN("Dropped a message from the device stack that is neither reply nor event");
    }

    void HandleReply(std::uint64_t id, Json& message) {
        if (state_ == State::connecting && id == helloId_) {
            if (message.contains("result")) {
                state_ = State::connected;
                connectTimer_->cancel();
                DeliverCompletion(std::move(connectDone_), {});
            } else {
                SPDLOG_DEBUG("Device stack refused the connection: {}",
                             ErrorReply(message.value("error", Json{})).Message());
                FailConnect(Errc::refused);
            }
            return;
        }
        const auto it = pending_.find(id);
        if (it == pending_.end()) {
            SPDLOG_INFO("Dropped a device-stack reply to request {} that is no longer awaited", id);
            return;
        }
        auto done = std::move(it->second.done);
        it->second.timer->cancel();
        pending_.erase(it);
        if (const auto error = message.find("error"); error != message.end())
            DeliverReply(std::move(done), ErrorReply(*error));
        else if (const auto result = message.find("result"); result != message.end())
            DeliverReply(std::move(done), TRresult<Json>(std::move(*result)));
        else
            DeliverReply(std::move(done), Result(make_error_code(Errc::protocol_error)));
    }

    State state_{State::idle};
    std::unique_ptr<Socket> socket_;
    std::uint64_t generation_{0};  ///< bumped whenever a connection is opened or closed
    std::uint64_t nextId_{1};
    std::chrono::milliseconds connectTimeout_{kDefaultConnectTimeout};

    CompletionHandler connectDone_;
    std::uint64_t helloId_{0};
    std::shared_ptr<std::string> helloLine_;
    std::unique_ptr<asio::steady_timer> connectTimer_;

    std::map<std::uint64_t, Pending> pending_;
    std::deque<std::shared_ptr<std::string>> writeQueue_;
    bool writing_{false};
    std::array<char, 64 * 1024> readBuffer_{};
    LineFramer framer_;
    EventHandler eventHandler_;
    CompletionHandler lostHandler_;
};

BaseZorbixClient::BaseZorbixClient(asio::io_context& io) : impl_(std::make_shared<Impl>(io)) {}

BaseZorbixClient::~BaseZorbixClient() {
    impl_->orphaned_ = true;
    if (impl_->io_.stopped() || impl_->strand_.running_in_this_thread())
        impl_->Shutdown();
    else
        impl_->OnStrand([](Impl& impl) { impl.Shutdown(); });
}

void BaseZorbixClient::Connect(std::shared_ptr<const ConnectionInfo> info, CompletionHandler done) {
    impl_->OnStrand([info = std::move(info), done = std::move(done)](Impl& impl) mutable {
        impl.Connect(std::move(info), std::move(done));
    });
}

void BaseZorbixClient::SendRequest(nlohmann::json request, std::chrono::milliseconds timeout,
                                   ReplyHandler done) {
    impl_->OnStrand(
        [request = std::move(request), timeout, done = std::move(done)](Impl& impl) mutable {
            impl.SendRequest(std::move(request), timeout, std::move(done));
        });
}

void BaseZorbixClient::Disconnect(CompletionHandler done) {
    impl_->OnStrand(
        [done = std::move(done)](Impl& impl) mutable { impl.Disconnect(std::move(done)); });
}

void BaseZorbixClient::SetConnectTimeout(std::chrono::milliseconds timeout) {
    impl_->OnStrand([timeout](Impl& impl) { impl.SetConnectTimeout(timeout); });
}

void BaseZorbixClient::SetConnectionLostHandler(CompletionHandler handler) {
    impl_->OnStrand([handler = std::move(handler)](Impl& impl) mutable {
        impl.SetConnectionLostHandler(std::move(handler));
    });
}

void BaseZorbixClient::SetEventHandler(EventHandler handler) {
    impl_->OnStrand([handler = std::move(handler)](Impl& impl) mutable {
        impl.SetEventHandler(std::move(handler));
    });
}

}  // namespace Norvane::zorbixclient
