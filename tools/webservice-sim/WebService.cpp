#include "WebService.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <boost/json.hpp>
#include <caf/all.hpp>
#include <caf/io/middleman.hpp>

#include "JsonRpc/JsonRpc_boost.h"

namespace Norvane::WebServiceSim {

namespace {

namespace Codec = ::JsonRpc;
namespace Web = ::Pandrix::JsonRpc;
namespace Capability = ::Pandrix::Capability;
namespace Authentication = ::Pandrix::Authentication;
namespace FileServer = ::Pandrix::FileServer;

// Methods of the simulator itself; applications cannot register names with this prefix.
constexpr std::string_view kReservedPrefix = "Pandrix.";

// -- router -------------------------------------------------------------------------------------

struct RouterState {
    struct Entry {
        Web::MethodHandler handler;
        std::uint64_t id;
    };
    std::map<std::string, Entry> methods;
    std::uint64_t nextId{1};
    const char* name = "router";
};

caf::behavior RouterActor(caf::stateful_actor<RouterState>* self, EventSink events) {
    self->set_down_handler([self, events](caf::down_msg& msg) {
        auto& methods = self->state.methods;
        for (auto it = methods.begin(); it != methods.end();) {
            if (it->second.handler.address() == msg.source) {
                events(fmt::format("method unregistered: {} (handler gone)", it->first));
                it = methods.erase(it);
            } else {
                ++it;
            }
        }
    });
    return {
        [self, events](const Web::Method& method, Web::MethodHandler& handler) -> Web::RegisterId {
            if (method.name.empty() || !handler || method.name.starts_with(kReservedPrefix)) {
                events(fmt::format("method rejected: '{}'", method.name));
                return Web::RegisterId{0};
            }
            self->monitor(handler);
            const auto id = self->state.nextId++;
            self->state.methods[method.name] = {std::move(handler), id};
            events(fmt::format("method registered: {} (id {})", method.name, id));
            return Web::RegisterId{id};
        },
        [self](Codec::Request& request) -> caf::result<Codec::Response> {
            auto it = self->state.methods.find(request.method);
            if (it == self->state.methods.end()) {
                Codec::Response response;
                response.id = request.id.value_or(0);
                response.body = Codec::Response::Error{-32601, "Method not found", std::nullopt};
                return response;
            }
            return self->delegate(it->second.handler, std::move(request));
        },
        [self](methods_atom) {
            std::vector<std::string> names;
            for (const auto& [name, entry] : self->state.methods) {
                names.push_back(name);
            }
            return names;
        },
    };
}

// -- topics and broker --------------------------------------------------------------------------

struct TopicState {
    std::string topic;
    Web::Broker::Topic handler;  // the application's handler; may be empty
    std::vector<Web::Broker::Subscriber> subscribers;
    const char* name = "topic";
};

caf::behavior TopicActor(caf::stateful_actor<TopicState>* self, std::string topic,
                         EventSink events) {
    self->state.topic = std::move(topic);
    self->set_down_handler([self, events](caf::down_msg& msg) {
        auto& state = self->state;
        if (state.handler && state.handler.address() == msg.source) {
            events(fmt::format("topic handler gone: {}", state.topic));
            state.handler = nullptr;
        }
        auto& subs = state.subscribers;
        subs.erase(std::remove_if(subs.begin(), subs.end(),
                                  [&](const auto& s) { return s.address() == msg.source; }),
                   subs.end());
    });
    return {
        [self](caf::put_atom, Web::Broker::Topic& handler) {
            if (handler) {
                self->monitor(handler);
            }
            self->state.handler = std::move(handler);
        },
        [self, events](const Web::Broker::Publish& publish) {
            events(fmt::format("published on {} to {} subscriber(s)", self->state.topic,
                               self->state.subscribers.size()));
            for (const auto& subscriber : self->state.subscribers) {
                self->send(subscriber, publish);
            }
        },
        [self](const Web::Broker::Subscribe& subscribe) {
            if (!subscribe.subscriber) {
                return;
            }
            auto& subs = self->state.subscribers;
            if (std::find(subs.begin(), subs.end(), subscribe.subscriber) == subs.end()) {
                self->monitor(subscribe.subscriber);
                subs.push_back(subscribe.subscriber);
            }
            if (self->state.handler) {
                self->send(self->state.handler, subscribe);
            }
        },
        [self](const Web::Broker::Unsubscribe& unsubscribe) {
            auto& subs = self->state.subscribers;
            subs.erase(std::remove(subs.begin(), subs.end(), unsubscribe.subscriber), subs.end());
            if (self->state.handler) {
                self->send(self->state.handler, unsubscribe);
            }
        },
    };
}

struct BrokerState {
    std::map<std::string, caf::actor> topics;
    const char* name = "broker";
};

caf::behavior BrokerActor(caf::stateful_actor<BrokerState>* self, EventSink events) {
    return {
        [self, events](Web::Broker::CreateTopic& create) -> Web::Broker::Topic {
            if (create.name.empty()) {
                events("topic rejected: empty name");
                return Web::Broker::Topic{};
            }
            auto& topic = self->state.topics[create.name];
            if (topic) {
                events(fmt::format("topic handler replaced: {}", create.name));
            } else {
                // Linked: a topic ends with the broker (handed out, the actor registry holds it).
                topic = self->spawn<caf::linked>(TopicActor, create.name, events);
                events(fmt::format("topic created: {}", create.name));
            }
            self->send(topic, caf::put_atom::value, std::move(create.handler));
            return caf::actor_cast<Web::Broker::Topic>(topic);
        },
        [self](topic_atom, const std::string& name) -> Web::Broker::Topic {
            auto it = self->state.topics.find(name);
            if (it == self->state.topics.end()) {
                return Web::Broker::Topic{};
            }
            return caf::actor_cast<Web::Broker::Topic>(it->second);
        },
        [self](topics_atom) {
            std::vector<std::string> names;
            for (const auto& [name, topic] : self->state.topics) {
                names.push_back(name);
            }
            return names;
        },
    };
}

// -- capabilities, authentication, file server ---------------------------------------------------

struct CapabilityState {
    std::map<std::string, std::string> values;  // name -> JSON text
    const char* name = "capabilities";
};

caf::behavior CapabilityActor(caf::stateful_actor<CapabilityState>* self, EventSink events) {
    return {
        [self, events](Capability::Set, const Capability::Capability& capability,
                       const Authentication::Groups& groups) {
            std::string text = capability.value.text.empty() ? "null" : capability.value.text.str();
            boost::system::error_code ec;
            (void)boost::json::parse(text, ec);
            if (ec) {
                events(fmt::format("capability rejected: {} (value is not JSON)", capability.name));
                return;
            }
            self->state.values[capability.name] = text;
            events(fmt::format("capability set: {} = {} ({} group(s))", capability.name, text,
                               groups.entries.size()));
        },
        [self](caps_atom) {
            boost::json::object caps;
            for (const auto& [name, text] : self->state.values) {
                caps[name] = boost::json::parse(text);
            }
            return boost::json::serialize(caps);
        },
    };
}

Authentication::Authenticator::behavior_type AuthenticatorActor(
    Authentication::Authenticator::pointer, EventSink events) {
    return {
        [events](const Authentication::Login& login) {
            events(fmt::format("login rejected: {}", login.user));
            return Authentication::Groups{};
        },
    };
}

FileServer::Registry::behavior_type FileServerActor(FileServer::Registry::pointer,
                                                    EventSink events) {
    return {
        [events](const FileServer::Share& share) {
            events(fmt::format("share registered: {} -> {}", share.urlPath, share.directory));
            return true;
        },
    };
}

struct Handles {
    Web::Router router;
    Authentication::Authenticator authenticator;
    Web::Broker::Actor broker;
    Capability::Registry capabilities;
    FileServer::Registry fileServer;
};

Pandrix::Connector::Gateway::behavior_type GatewayActor(Pandrix::Connector::Gateway::pointer,
                                                        Handles handles, EventSink events) {
    return {
        [handles, events](caf::connect_atom, const std::string& token) {
            events(fmt::format("client connected (token '{}')", token));
            return std::make_tuple(handles.router, handles.authenticator, handles.broker,
                                   handles.capabilities, handles.fileServer);
        },
    };
}

}  // namespace

WebService::WebService(caf::actor_system& system, EventSink events)
    : system_(system), events_(events) {
    router_ = system.spawn(RouterActor, events);
    authenticator_ = caf::actor_cast<caf::actor>(system.spawn(AuthenticatorActor, events));
    broker_ = system.spawn(BrokerActor, events);
    capabilities_ = system.spawn(CapabilityActor, events);
    fileServer_ = caf::actor_cast<caf::actor>(system.spawn(FileServerActor, events));
    Handles handles{caf::actor_cast<Web::Router>(router_),
                    caf::actor_cast<Authentication::Authenticator>(authenticator_),
                    caf::actor_cast<Web::Broker::Actor>(broker_),
                    caf::actor_cast<Capability::Registry>(capabilities_),
                    caf::actor_cast<FileServer::Registry>(fileServer_)};
    gateway_ = system.spawn(GatewayActor, std::move(handles), events);
}

WebService::~WebService() {
    caf::anon_send_exit(gateway_, caf::exit_reason::user_shutdown);
    for (auto* actor : {&router_, &authenticator_, &broker_, &capabilities_, &fileServer_}) {
        caf::anon_send_exit(*actor, caf::exit_reason::user_shutdown);
    }
}

caf::expected<std::uint16_t> WebService::Publish(std::uint16_t port) {
    return system_.middleman().publish(gateway_, port, "127.0.0.1", true);
}

}  // namespace Norvane::WebServiceSim
