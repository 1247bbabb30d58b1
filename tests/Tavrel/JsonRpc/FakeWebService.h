#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <caf/actor_system.hpp>
#include <caf/actor_system_config.hpp>

#include "Inbox.h"
#include "Pandrix/Types.h"

namespace Norvane::Test {

/// A web service scripted by the test, in this process but reached over loopback through CAF's
/// I/O module like the real one: for faults on cue.
class FakeWebService {
public:
    /// How the fake answers.
    struct Script {
        std::uint64_t registerId{1};    ///< answer to every method registration
        bool broker{true};              ///< whether the connection message carries a broker
        bool answerCapabilities{true};  ///< false: capability requests are never answered
    };

    /// Spawns the fake's actors and publishes its gateway on a free port of 127.0.0.1.
    explicit FakeWebService(Script script);
    ~FakeWebService();
    FakeWebService(const FakeWebService&) = delete;
    FakeWebService& operator=(const FakeWebService&) = delete;

    /// The port the gateway listens on.
    std::uint16_t Port() const { return port_; }
    /// The fake's actor system.
    caf::actor_system& System() { return *system_; }

    /// Capability values received, as "name=json".
    std::shared_ptr<Inbox<std::string>> capabilities = std::make_shared<Inbox<std::string>>();
    /// Method actors registered.
    std::shared_ptr<Inbox<Pandrix::JsonRpc::MethodHandler>> methods =
        std::make_shared<Inbox<Pandrix::JsonRpc::MethodHandler>>();
    /// Topic handlers of the topics created.
    std::shared_ptr<Inbox<Pandrix::JsonRpc::Broker::Topic>> topicHandlers =
        std::make_shared<Inbox<Pandrix::JsonRpc::Broker::Topic>>();

private:
    std::unique_ptr<caf::actor_system_config> config_;
    std::unique_ptr<caf::actor_system> system_;
    std::vector<caf::actor> actors_;
    std::uint16_t port_{0};
};

}  // namespace Norvane::Test
