#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <caf/actor.hpp>
#include <caf/actor_system.hpp>
#include <caf/atom.hpp>
#include <caf/expected.hpp>

#include "Pandrix/Types.h"

namespace Norvane::WebServiceSim {

/// Asks the router for the names of the registered methods (answer: vector of strings).
using methods_atom = caf::atom_constant<caf::atom("methods")>;
/// Asks the broker for the names of its topics (answer: vector of strings).
using topics_atom = caf::atom_constant<caf::atom("topics")>;
/// Asks the broker for one topic by name (answer: the topic handle, invalid when unknown).
using topic_atom = caf::atom_constant<caf::atom("topic")>;
/// Asks the capability registry for all capabilities (answer: a JSON object as text).
using caps_atom = caf::atom_constant<caf::atom("caps")>;

/// Where the simulator reports what happens to it (one line per event).
using EventSink = std::function<void(const std::string&)>;

/// The web service's actors: router, authenticator, broker, capability registry, file-server
/// registry, and the gateway that hands their handles to a connecting application.
class WebService {
public:
    /// Spawns the actors in `system`; `events` receives one line per event.
    WebService(caf::actor_system& system, EventSink events);
    /// Terminates the actors.
    ~WebService();
    WebService(const WebService&) = delete;
    WebService& operator=(const WebService&) = delete;

    /// Publishes the gateway on 127.0.0.1:`port` (0: any free port); the port bound.
    caf::expected<std::uint16_t> Publish(std::uint16_t port);

    /// The router (also routes JSON-RPC requests and lists methods).
    const caf::actor& Router() const { return router_; }
    /// The broker (also finds and lists topics).
    const caf::actor& Broker() const { return broker_; }
    /// The capability registry (also lists capabilities).
    const caf::actor& Capabilities() const { return capabilities_; }
    /// Where events are reported.
    const EventSink& Events() const { return events_; }

private:
    caf::actor_system& system_;
    EventSink events_;
    caf::actor router_;
    caf::actor authenticator_;
    caf::actor broker_;
    caf::actor capabilities_;
    caf::actor fileServer_;
    Pandrix::Connector::Gateway gateway_;
};

}  // namespace Norvane::WebServiceSim
