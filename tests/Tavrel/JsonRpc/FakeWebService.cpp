#include "FakeWebService.h"

#include <stdexcept>
#include <tuple>

#include <caf/all.hpp>
#include <caf/io/middleman.hpp>

#include "Pandrix/Connector/CafInit.h"

namespace Norvane::Test {

namespace {

namespace Web = Pandrix::JsonRpc;

class FakeInit : public Pandrix::Connector::CafInit {
public:
    void add_message_types(caf::actor_system_config&) override {}
};

struct CapabilityState {
    std::vector<caf::response_promise> unanswered;  // kept so that no answer ever goes out
};

}  // namespace

FakeWebService::FakeWebService(Script script)
    : config_(std::make_unique<caf::actor_system_config>()) {
    FakeInit{}.load_impl(*config_);
    system_ = std::make_unique<caf::actor_system>(*config_);
    auto& sys = *system_;

    auto methods = this->methods;
    // Every spawned function takes an argument: CAF 0.17 dereferences an empty argument pack.
    auto router = sys.spawn(
        [methods](caf::event_based_actor*, Script s) -> caf::behavior {
            return {[s, methods](const Web::Method&, Web::MethodHandler& handler) {
                methods->Put(handler);
                return Web::RegisterId{s.registerId};
            }};
        },
        script);
    auto topicHandlers = this->topicHandlers;
    auto broker = sys.spawn(
        [](caf::event_based_actor* self,
           std::shared_ptr<Inbox<Web::Broker::Topic>> topicHandlers) -> caf::behavior {
            return {[self, topicHandlers](Web::Broker::CreateTopic& create) {
                topicHandlers->Put(create.handler);
                // The topic itself: accepts what a topic accepts and drops it. Once handed out it
                // is held by the actor registry, so it ends with the broker (linked).
                return caf::actor_cast<Web::Broker::Topic>(self->spawn<caf::linked>(
                    [](caf::event_based_actor*, int) -> caf::behavior {
                        return {[](const Web::Broker::Publish&) {},
                                [](const Web::Broker::Subscribe&) {},
                                [](const Web::Broker::Unsubscribe&) {}};
                    },
                    0));
            }};
        },
        topicHandlers);
    auto capabilities = this->capabilities;
    auto registry = sys.spawn(
        [capabilities](caf::stateful_actor<CapabilityState>* self, Script script) -> caf::behavior {
            return {[self, script, capabilities](Pandrix::Capability::Set,
                                                 const Pandrix::Capability::Capability& c,
                                                 const Pandrix::Authentication::Groups&) {
                capabilities->Put(c.name + "=" + c.value.text.str());
                if (!script.answerCapabilities) {
                    self->state.unanswered.push_back(self->make_response_promise());
                }
            }};
        },
        script);
    auto other = sys.spawn(
        [](caf::event_based_actor*, int) -> caf::behavior {
            return {[](const Pandrix::Authentication::Login&) {
                        return Pandrix::Authentication::Groups{};
                    },
                    [](const Pandrix::FileServer::Share&) { return false; }};
        },
        0);
    actors_ = {router, broker, registry, other};
    auto gateway = sys.spawn(
        [=](Pandrix::Connector::Gateway::pointer,
            int) -> Pandrix::Connector::Gateway::behavior_type {
            return {[=](caf::connect_atom, const std::string&) {
                return std::make_tuple(
                    caf::actor_cast<Web::Router>(router),
                    caf::actor_cast<Pandrix::Authentication::Authenticator>(other),
                    script.broker ? caf::actor_cast<Web::Broker::Actor>(broker)
                                  : Web::Broker::Actor{},
                    caf::actor_cast<Pandrix::Capability::Registry>(registry),
                    caf::actor_cast<Pandrix::FileServer::Registry>(other));
            }};
        },
        0);
    actors_.push_back(caf::actor_cast<caf::actor>(gateway));
    auto port = sys.middleman().publish(gateway, 0, "127.0.0.1");
    if (!port) {
        throw std::runtime_error("cannot publish the fake web service: " +
                                 sys.render(port.error()));
    }
    port_ = *port;
}

FakeWebService::~FakeWebService() {
    for (auto& actor : actors_) {
        caf::anon_send_exit(actor, caf::exit_reason::user_shutdown);
    }
    actors_.clear();
    // Handles the test took out of the inboxes must be gone before the system.
    while (methods->Take(std::chrono::milliseconds(0))) {
    }
    while (topicHandlers->Take(std::chrono::milliseconds(0))) {
    }
    system_.reset();
}

}  // namespace Norvane::Test
