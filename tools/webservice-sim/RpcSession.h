#pragma once

#include <functional>
#include <string>

#include <caf/actor.hpp>
#include <caf/actor_system.hpp>

#include "WebService.h"

namespace Norvane::WebServiceSim {

/// One JSON-RPC 2.0 client of the simulator, independent of the transport: takes the client's
/// message texts and delivers the answers and notifications as texts.
///
/// Methods: every method registered with the router, and the simulator's own
/// "Pandrix.GetCapabilities", "Pandrix.GetMethods", "Pandrix.GetTopics",
/// "Pandrix.Subscribe" {"topic":name} and "Pandrix.Unsubscribe" {"topic":name}. A publication on
/// a subscribed topic arrives as the notification {"jsonrpc":"2.0","method":topic,"params":list}.
class RpcSession {
public:
    /// Texts to send to the client; called from the actor system's threads, in order.
    using Deliver = std::function<void(std::string)>;

    /// Spawns the session's actor.
    RpcSession(caf::actor_system& system, const WebService& service, Deliver deliver);
    /// Ends the session and its subscriptions.
    ~RpcSession();
    RpcSession(const RpcSession&) = delete;
    RpcSession& operator=(const RpcSession&) = delete;

    /// Hands one message of the client to the session.
    void Receive(std::string text);

private:
    caf::actor actor_;
};

}  // namespace Norvane::WebServiceSim
