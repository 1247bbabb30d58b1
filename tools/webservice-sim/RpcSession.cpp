#include "RpcSession.h"

#include <chrono>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <boost/json.hpp>
#include <caf/all.hpp>

#include "JsonRpc/JsonRpc_boost.h"

namespace Norvane::WebServiceSim {

namespace {

namespace Codec = ::JsonRpc;
namespace Web = ::Pandrix::JsonRpc;

using text_atom = caf::atom_constant<caf::atom("text")>;
using notify_atom = caf::atom_constant<caf::atom("notify")>;

// JSON-RPC 2.0 error codes.
constexpr std::int64_t kParseError = -32700;
constexpr std::int64_t kInvalidRequest = -32600;
constexpr std::int64_t kInvalidParams = -32602;
constexpr std::int64_t kInternalError = -32603;

// How long a registered method may take to answer.
constexpr std::chrono::seconds kCallTimeout{10};

struct SessionState {
    struct Subscription {
        Web::Broker::Topic topic;
        Web::Broker::Subscriber subscriber;
    };
    Codec::JsonBufferPtr buffer = Codec::JsonBuffer::Create();
    std::map<std::string, Subscription> subscriptions;
    const char* name = "rpc-session";
};

using SessionActor = caf::stateful_actor<SessionState>;

struct Context {
    caf::actor router;
    caf::actor broker;
    caf::actor capabilities;
    RpcSession::Deliver deliver;
    EventSink events;
};

// Forwards a topic's publications to the session, tagged with the topic's name.
Web::Broker::Subscriber::behavior_type SubscriberActor(Web::Broker::Subscriber::pointer,
                                                       caf::actor session, std::string topic) {
    return {
        [session, topic](const Web::Broker::Publish& publish) {
            caf::anon_send(session, notify_atom::value, topic, publish.payload);
        },
    };
}

std::string ErrorText(const boost::json::value& id, std::int64_t code, std::string_view message,
                      std::optional<std::string> data = std::nullopt) {
    boost::json::object error;
    error["code"] = code;
    error["message"] = message;
    if (data) {
        error["data"] = *data;
    }
    boost::json::object response;
    response["jsonrpc"] = "2.0";
    response["id"] = id;
    response["error"] = std::move(error);
    return boost::json::serialize(response);
}

// The id of a message that is not a valid request, if it has a usable one.
boost::json::value IdOf(const boost::json::object& message) {
    const auto* id = message.if_contains("id");
    if (id != nullptr && (id->is_uint64() || (id->is_int64() && id->as_int64() >= 0))) {
        return *id;
    }
    return nullptr;
}

Codec::Raw Payload(std::string text) {
    return Codec::Raw{Codec::CowString{std::move(text)}};
}

class Dispatcher {
public:
    Dispatcher(SessionActor* self, const Context& ctx, Codec::Request request)
        : self_(self), ctx_(ctx), request_(std::move(request)) {}

    void Run() {
        const auto& method = request_.method;
        if (method == "Pandrix.GetCapabilities") {
            GetCapabilities();
        } else if (method == "Pandrix.GetMethods") {
            GetNames(ctx_.router, methods_atom::value);
        } else if (method == "Pandrix.GetTopics") {
            GetNames(ctx_.broker, topics_atom::value);
        } else if (method == "Pandrix.Subscribe") {
            Subscribe();
        } else if (method == "Pandrix.Unsubscribe") {
            Unsubscribe();
        } else {
            Call();
        }
    }

private:
    void Reply(std::string text) const {
        if (request_.id) {
            ctx_.deliver(std::move(text));
        }
    }

    void Result(std::string json) const {
        if (!request_.id) {
            return;
        }
        Codec::Response response;
        response.id = *request_.id;
        response.body = Payload(std::move(json));
        Reply(Codec::SerializeResponse(response, self_->state.buffer));
    }

    void Error(std::int64_t code, std::string_view message,
               std::optional<std::string> data = std::nullopt) const {
        Reply(ErrorText(request_.id ? boost::json::value(*request_.id) : boost::json::value(), code,
                        message, std::move(data)));
    }

    void Failed(const caf::error& err) const {
        Error(kInternalError, "Internal error", self_->system().render(err));
    }

    // The "topic" member of the parameters.
    std::optional<std::string> TopicParam() const {
        auto params = Codec::FromRaw(request_.params);
        if (!params || !params.value().is_object()) {
            return std::nullopt;
        }
        const auto* topic = params.value().as_object().if_contains("topic");
        if (topic == nullptr || !topic->is_string() || topic->as_string().empty()) {
            return std::nullopt;
        }
        return std::string{topic->as_string()};
    }

    void GetCapabilities() {
        auto self = self_;
        auto copy = *this;
        self->request(ctx_.capabilities, kCallTimeout, caps_atom::value)
            .then([copy](std::string& json) { copy.Result(std::move(json)); },
                  [copy](caf::error& err) { copy.Failed(err); });
    }

    template <class Atom>
    void GetNames(const caf::actor& whom, Atom atom) {
        auto copy = *this;
        self_->request(whom, kCallTimeout, atom)
            .then(
                [copy](const std::vector<std::string>& names) {
                    boost::json::array array;
                    for (const auto& name : names) {
                        array.emplace_back(name);
                    }
                    copy.Result(boost::json::serialize(array));
                },
                [copy](caf::error& err) { copy.Failed(err); });
    }

    void Subscribe() {
        auto name = TopicParam();
        if (!name) {
            Error(kInvalidParams, "Invalid params", "expected {\"topic\": name}");
            return;
        }
        auto copy = *this;
        auto self = self_;
        self_->request(ctx_.broker, kCallTimeout, topic_atom::value, *name)
            .then(
                [copy, self, name = *name](Web::Broker::Topic& topic) {
                    if (!topic) {
                        copy.Error(kInvalidParams, "Invalid params", "unknown topic: " + name);
                        return;
                    }
                    auto& subscriptions = self->state.subscriptions;
                    if (subscriptions.count(name) != 0) {
                        copy.Result("true");
                        return;
                    }
                    auto subscriber =
                        self->spawn(SubscriberActor, caf::actor_cast<caf::actor>(self), name);
                    subscriptions[name] = {topic, subscriber};
                    // The answer goes out before the topic's first publication can.
                    copy.Result("true");
                    self->send(topic, Web::Broker::Subscribe{subscriber});
                },
                [copy](caf::error& err) { copy.Failed(err); });
    }

    void Unsubscribe() {
        auto name = TopicParam();
        if (!name) {
            Error(kInvalidParams, "Invalid params", "expected {\"topic\": name}");
            return;
        }
        auto& subscriptions = self_->state.subscriptions;
        auto it = subscriptions.find(*name);
        if (it == subscriptions.end()) {
            Result("false");
            return;
        }
        self_->send(it->second.topic, Web::Broker::Unsubscribe{it->second.subscriber});
        self_->send_exit(it->second.subscriber, caf::exit_reason::user_shutdown);
        subscriptions.erase(it);
        Result("true");
    }

    void Call() {
        auto copy = *this;
        self_->request(ctx_.router, kCallTimeout, request_)
            .then(
                [copy](Codec::Response& response) {
                    try {
                        copy.Reply(Codec::SerializeResponse(response, copy.self_->state.buffer));
                    } catch (const std::exception& e) {
                        copy.Error(kInternalError, "Internal error",
                                   std::string{"invalid response: "} + e.what());
                    }
                },
                [copy](caf::error& err) { copy.Failed(err); });
    }

    SessionActor* self_;
    Context ctx_;
    Codec::Request request_;
};

void Handle(SessionActor* self, const Context& ctx, const std::string& text) {
    boost::json::parse_options options;
    options.max_depth = 32;
    boost::system::error_code ec;
    boost::json::value message = boost::json::parse(text, ec, {}, options);
    if (ec) {
        ctx.deliver(ErrorText(nullptr, kParseError, "Parse error", ec.message()));
        return;
    }
    if (!message.is_object()) {
        ctx.deliver(ErrorText(nullptr, kInvalidRequest, "Invalid Request",
                              message.is_array() ? "batch requests are not supported"
                                                 : "a request is a JSON object"));
        return;
    }
    Codec::Request request;
    try {
        request = boost::json::value_to<Codec::Request>(message);
    } catch (const Codec::JsonRpcVersion::WrongVersion& e) {
        ctx.deliver(ErrorText(IdOf(message.as_object()), kInvalidRequest, "Invalid Request",
                              std::string{"unsupported jsonrpc version: "} + e.what()));
        return;
    } catch (const std::exception& e) {
        ctx.deliver(
            ErrorText(IdOf(message.as_object()), kInvalidRequest, "Invalid Request", e.what()));
        return;
    }
    Dispatcher{self, ctx, std::move(request)}.Run();
}

caf::behavior Session(SessionActor* self, Context ctx) {
    return {
        [self, ctx](text_atom, const std::string& text) { Handle(self, ctx, text); },
        [self, ctx](notify_atom, const std::string& topic, const Codec::Raw& payload) {
            Codec::Request notification;
            notification.method = topic;
            notification.params = payload;
            try {
                ctx.deliver(Codec::Serialize(notification, self->state.buffer));
            } catch (const std::exception& e) {
                ctx.events("publication on " + topic + " dropped: " + e.what());
            }
        },
        [self](caf::close_atom) {
            for (auto& [name, subscription] : self->state.subscriptions) {
                self->send(subscription.topic, Web::Broker::Unsubscribe{subscription.subscriber});
                self->send_exit(subscription.subscriber, caf::exit_reason::user_shutdown);
            }
            self->state.subscriptions.clear();
            self->quit();
        },
    };
}

}  // namespace

RpcSession::RpcSession(caf::actor_system& system, const WebService& service, Deliver deliver)
    : actor_(
          system.spawn(Session, Context{service.Router(), service.Broker(), service.Capabilities(),
                                        std::move(deliver), service.Events()})) {}

RpcSession::~RpcSession() {
    caf::anon_send(actor_, caf::close_atom::value);
}

void RpcSession::Receive(std::string text) {
    caf::anon_send(actor_, text_atom::value, std::move(text));
}

}  // namespace Norvane::WebServiceSim
