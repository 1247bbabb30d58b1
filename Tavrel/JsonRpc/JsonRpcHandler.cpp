#include "Tavrel/JsonRpc/JsonRpcHandler.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>
#include <boost/json/value_from.hpp>
#include <caf/all.hpp>

#include "JsonRpc/JsonRpc_boost.h"

namespace Norvane::Tavrel::JsonRpc {

namespace {

namespace Codec = ::JsonRpc;
namespace Web = ::Pandrix::JsonRpc;
namespace Capability = ::Pandrix::Capability;
namespace Authentication = ::Pandrix::Authentication;
using Pandrix::Connector::CafConnector;
using Pandrix::Connector::CafInit;

constexpr const char* kHost = "127.0.0.1";
constexpr std::uint16_t kPort = 4815;
constexpr std::chrono::seconds kRetryInterval{5};
constexpr std::size_t kConnectionAttempts = 10;
constexpr std::chrono::seconds kCapabilityTimeout{1};

/// Scheduler threads of the actor system: it answers one method and a topic. (Waiting for the
/// capability answer needs no scheduler thread: the answer goes to a blocking actor.)
constexpr std::size_t kSchedulerThreads = 1;
/// Messages an actor handles before others get their turn. The middleman's broker is one of
/// them: without a bound it serialises every queued answer before it writes any, so a burst
/// of calls grows its write buffer (which keeps its size) by the whole burst.
constexpr std::size_t kMaxThroughput = 8;

/// The service carries no message types of its own beyond those the connector loads. It tunes
/// the actor system for a service that is idle most of the time (this runs after the
/// connector's own settings): idle workers wait on a condition variable instead of polling
/// (the work-stealing default wakes every worker 100 times a second), and the middleman
/// deserialises on its own thread instead of keeping worker threads for it.
class CafTypesInit : public CafInit {
public:
    void add_message_types(caf::actor_system_config& cfg) override {
        cfg.set("scheduler.policy", caf::atom("sharing"));
        cfg.set("scheduler.max-threads", kSchedulerThreads);
        cfg.set("scheduler.max-throughput", kMaxThroughput);
        cfg.set("middleman.workers", std::size_t{0});
    }
};

/// The least time between two publications of the status.
constexpr std::chrono::seconds kStatusInterval{1};
/// How long the destructor waits for the status publisher to end.
constexpr std::chrono::seconds kPublisherStopTimeout{5};

/// A method's answer (the camera list, the status object) as JSON in a raw payload.
template <class T>
Codec::Raw ToPayload(const T& value) {
    return Codec::ToRaw(boost::json::value_from(value));
}

/// What the status publisher keeps between its messages.
struct StatusPublisherState {
    std::chrono::steady_clock::time_point last{};  // the last publication
    bool pending{false};                           // a publication is due at last + interval
    const char* name = "jsonrpc-status-publisher";
};

}  // namespace

JsonRpcHandler::JsonRpcHandler(IDataHandler& dataHandler)
    : connector_(
          spdlog::default_logger(),
          []() -> std::unique_ptr<CafInit> { return std::make_unique<CafTypesInit>(); },
          kRetryInterval, kHost, kPort, std::string{}),
      dataHandler_(&dataHandler) {
    connector_.GetSystem().await_actors_before_shutdown(false);
    // Spawned functions always get an argument: CAF 0.17 dereferences an empty argument pack.
    auto connection = connector_.GetSystem().spawn(
        [](ConnectionActor self, JsonRpcHandler* handler) {
            return handler->createConnection(self);
        },
        this);
    connector_.SetHandler(connection);
    // Status changes come in bursts (a camera and its viewers); the topic gets one publication
    // at once and the rest folded into one a second later.
    statusPublisher_ = connector_.GetSystem().spawn(
        [](caf::stateful_actor<StatusPublisherState>* self, JsonRpcHandler* handler) {
            return caf::behavior{
                [self, handler](caf::atom_value what) {
                    using Clock = std::chrono::steady_clock;
                    const auto now = Clock::now();
                    if (what == caf::atom("changed")) {
                        if (self->state.pending) {
                            return;
                        }
                        if (now - self->state.last < kStatusInterval) {
                            self->state.pending = true;
                            self->delayed_send(self, self->state.last + kStatusInterval - now,
                                               caf::atom("publish"));
                            return;
                        }
                    }
                    self->state.pending = false;
                    self->state.last = now;
                    handler->PublishStatus();
                },
            };
        },
        this);
    connector_.TryConnecting(kConnectionAttempts);
}

JsonRpcHandler::~JsonRpcHandler() {
    // The actors call into this object: they must be gone before its members are. The handles
    // are then released (topic first) before the connector shuts its actor system down. The
    // status publisher, which no connection owns, goes first.
    {
        caf::scoped_actor self{connector_.GetSystem()};
        self->monitor(statusPublisher_);
        self->send_exit(statusPublisher_, caf::exit_reason::user_shutdown);
        self->receive([](const caf::down_msg&) {},
                      caf::after(kPublisherStopTimeout) >>
                          [] { SPDLOG_WARN("JsonRpc Status publisher did not stop in time"); });
    }
    connector_.Stop();
    std::unique_lock lock{mutex_};
    topic_ = nullptr;
    statusTopic_ = nullptr;
    capabilityRegistry_ = nullptr;
}

Result<GetRtspCameras::Response> JsonRpcHandler::GetRtspCameras(GetRtspCameras::Request) noexcept {
    return dataHandler_->GetCameras();
}

void JsonRpcHandler::PublishCameras(const GetRtspCameras::Response& cameras) {
    caf::scoped_actor self{connector_.GetSystem()};
    Web::Broker::Topic topic;
    {
        std::shared_lock lock{mutex_};
        topic = topic_;
    }
    if (!topic) {
        return;
    }
    self->send(topic, Web::Broker::Publish{ToPayload(cameras)});
}

Result<GetRtspStatus::Response> JsonRpcHandler::GetRtspStatus(GetRtspStatus::Request) noexcept {
    return dataHandler_->GetStatus();
}

void JsonRpcHandler::StatusChanged() {
    caf::anon_send(statusPublisher_, caf::atom("changed"));
}

void JsonRpcHandler::PublishStatus() {
    Web::Broker::Topic topic;
    {
        std::shared_lock lock{mutex_};
        topic = statusTopic_;
    }
    if (!topic) {
        return;
    }
    caf::anon_send(topic, Web::Broker::Publish{ToPayload(dataHandler_->GetStatus())});
}

void JsonRpcHandler::SetRtspServerAvailable(bool available) {
    if (available_.exchange(available) != available) {
        UpdateRtspServerCapability();
    }
}

void JsonRpcHandler::UpdateRtspServerCapability() {
    const std::lock_guard order{capabilityMutex_};
    Capability::Registry registry;
    {
        std::shared_lock lock{mutex_};
        registry = capabilityRegistry_;
    }
    if (!registry) {
        return;
    }
    caf::scoped_actor self{connector_.GetSystem()};
    Authentication::Groups groups;
    groups.entries.emplace_back();
    Capability::Capability capability{Handler::rtspCapability,
                                      Codec::ToRaw(boost::json::value(available_.load()))};
    self->request(registry, kCapabilityTimeout, Capability::Set::value, std::move(capability),
                  std::move(groups))
        .receive(
            [this]() {
                SPDLOG_DEBUG("JsonRpc Added capability 'RtspCameraServer': {}", available_.load());
            },
            [](caf::error& err) {
                SPDLOG_ERROR("JsonRpc Add capabilities response: {}", caf::to_string(err));
            });
}

Pandrix::Connector::ConnectionHandler::behavior_type JsonRpcHandler::createConnection(
    ConnectionActor self) {
    // A failed registration request must not end the connection actor (CAF's default would):
    // the connector delivers a new connection message after the web service comes back.
    self->set_error_handler([](caf::error& err) {
        SPDLOG_ERROR("JsonRpc Request to the web service failed: {}", caf::to_string(err));
    });
    return {
        [this, self](Web::Router& router, Authentication::Authenticator&,
                     Web::Broker::Actor& broker, Capability::Registry& capabilityRegistry,
                     Pandrix::FileServer::Registry&) {
            SPDLOG_INFO("JsonRpc Pandrix connection established");
            {
                std::unique_lock lock{mutex_};
                capabilityRegistry_ = std::move(capabilityRegistry);
            }
            UpdateRtspServerCapability();
            // The actors of an earlier connection are replaced by new ones.
            for (auto& child : self->state.children) {
                self->unlink_from(child);
                self->send_exit(child, caf::exit_reason::user_shutdown);
            }
            self->state.children.clear();
            auto f = std::bind_front(&IJsonRpcHandler::GetRtspCameras,
                                     static_cast<IJsonRpcHandler*>(this));
            registerMethod<JsonRpc::GetRtspCameras, Handler::rtspMethod>(self, router, f);
            auto status = std::bind_front(&IJsonRpcHandler::GetRtspStatus,
                                          static_cast<IJsonRpcHandler*>(this));
            registerMethod<JsonRpc::GetRtspStatus, Handler::statusMethod>(self, router, status);
            if (broker) {
                registerTopic<JsonRpc::GetRtspCameras, Handler::rtspTopicHandler>(
                    self, broker, f, &JsonRpcHandler::topic_);
                registerTopic<JsonRpc::GetRtspStatus, Handler::statusTopic>(
                    self, broker, status, &JsonRpcHandler::statusTopic_);
            } else {
                SPDLOG_ERROR("JsonRpc Received no broker");
            }
        },
        [](caf::delete_atom) { SPDLOG_ERROR("JsonRpc Connection retry failed"); },
    };
}

template <class Method, const char* Name, class F>
void JsonRpcHandler::registerMethod(ConnectionActor self, const Web::Router& router, F f) {
    const std::string name = Name;
    if (!router) {
        SPDLOG_ERROR("JsonRpc Received no router, cannot register '{}'", name);
        return;
    }
    auto method = self->template spawn<caf::linked>(
        [](Web::MethodHandler::pointer, F call) { return createJsonRpcWrapper<Method>(call); }, f);
    // Kept here so that the actor lives while the connection does, whoever else holds it.
    self->state.children.push_back(caf::actor_cast<caf::actor>(method));
    self->request(router, caf::infinite, Web::Method{name}, method)
        .then([name](const Web::RegisterId& id) {
            if (id.value != 0) {
                SPDLOG_DEBUG("JsonRpc Registered '{}'", name);
            } else {
                SPDLOG_ERROR("JsonRpc Failed to register '{}'", name);
            }
        });
}

template <class Method, const char* Topic, class F>
void JsonRpcHandler::registerTopic(ConnectionActor self, const Web::Broker::Actor& broker, F f,
                                   Web::Broker::Topic JsonRpcHandler::*slot) {
    auto handler = self->template spawn<caf::linked>(
        [](Web::Broker::Topic::pointer handlerSelf, F call) {
            return createTopicHandlerWrapper<Method, Topic>(handlerSelf, call);
        },
        f);
    self->state.children.push_back(caf::actor_cast<caf::actor>(handler));
    self->request(broker, caf::infinite, Web::Broker::CreateTopic{Topic, handler, false})
        .then([this, self, f, slot](Web::Broker::Topic& topic) {
            {
                std::unique_lock lock{mutex_};
                this->*slot = topic;
            }
            // A web service that (re)started has nothing of the earlier run: the new topic
            // starts from the current list.
            if (auto result = f(typename Method::Request{})) {
                self->send(topic, Web::Broker::Publish{ToPayload(result.value())});
            }
            SPDLOG_DEBUG("JsonRpc Created topic '{}'", Topic);
        });
}

template <class Method, class F>
Web::MethodHandler::behavior_type JsonRpcHandler::createJsonRpcWrapper(F f) {
    // The list changes rarely: its JSON text is made once per change and shared by every
    // answer (and every answer still queued for the web service) until the next one.
    struct Encoded {
        typename Method::Response list;
        std::optional<Codec::Raw> payload;
    };
    auto last = std::make_shared<Encoded>();
    return {
        [f, last](const Codec::Request& request) -> Codec::Response {
            const std::uint64_t id = request.id.value_or(0);
            auto result = f(typename Method::Request{});
            if (!result) {
                return Codec::MakeErrorResponse(id, result.error());
            }
            if (!last->payload || result.value() != last->list) {
                last->payload = ToPayload(result.value());
                last->list = std::move(result).value();
            }
            Codec::Response response;
            response.id = id;
            response.body = *last->payload;
            return response;
        },
    };
}

template <class Method, const char* Topic, class F>
Web::Broker::Topic::behavior_type JsonRpcHandler::createTopicHandlerWrapper(
    Web::Broker::Topic::pointer self, F f) {
    return {
        [](const Web::Broker::Publish&) {
            SPDLOG_ERROR("JsonRpc Publish called with topic: '{}', but should not have been called",
                         Topic);
        },
        [self, f](const Web::Broker::Subscribe& subscribe) {
            auto result = f(typename Method::Request{});
            if (!result) {
                SPDLOG_ERROR("JsonRpc Could not get initial data for topic: {}", Topic);
                return;
            }
            if (subscribe.subscriber) {
                self->send(subscribe.subscriber, Web::Broker::Publish{ToPayload(result.value())});
            }
        },
        [](const Web::Broker::Unsubscribe&) {},
    };
}

}  // namespace Norvane::Tavrel::JsonRpc
