#include "Pandrix/Connector/CafConnector.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <variant>

#include <gtest/gtest.h>
#include <caf/all.hpp>

#include "Inbox.h"
#include "LogCapture.h"
#include "SimProcess.h"
#include "TestEnv.h"

namespace {

using namespace std::chrono_literals;
using Norvane::Test::Inbox;
using Norvane::Test::LogCapture;
using Norvane::Test::SimProcess;
using Pandrix::Connector::CafConnector;
using Pandrix::Connector::ConnectionHandler;
namespace Web = Pandrix::JsonRpc;

class NoTypes : public Pandrix::Connector::CafInit {
public:
    void add_message_types(caf::actor_system_config&) override {}
};

std::unique_ptr<Pandrix::Connector::CafInit> MakeInit() {
    return std::make_unique<NoTypes>();
}

struct Connection {
    Web::Router router;
    Pandrix::Authentication::Authenticator authenticator;
    Web::Broker::Actor broker;
    Pandrix::Capability::Registry capabilities;
    Pandrix::FileServer::Registry fileServer;
};
struct GaveUp {};
using Event = std::variant<Connection, GaveUp>;

ConnectionHandler::behavior_type Recorder(ConnectionHandler::pointer,
                                          std::shared_ptr<Inbox<Event>> inbox) {
    return {
        [inbox](Web::Router& router, Pandrix::Authentication::Authenticator& authenticator,
                Web::Broker::Actor& broker, Pandrix::Capability::Registry& capabilities,
                Pandrix::FileServer::Registry& fileServer) {
            inbox->Put(Connection{router, authenticator, broker, capabilities, fileServer});
        },
        [inbox](caf::delete_atom) { inbox->Put(GaveUp{}); },
    };
}

/// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = ::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class CafConnectorTest : public ::testing::Test {
protected:
    // Connector with a recording handler, aimed at 127.0.0.1:`port`.
    std::unique_ptr<CafConnector> MakeConnector(std::uint16_t port) {
        auto connector = std::make_unique<CafConnector>(spdlog::default_logger(), MakeInit,
                                                        std::chrono::seconds(5), "127.0.0.1", port,
                                                        std::string{});
        connector->SetHandler(connector->GetSystem().spawn(Recorder, inbox_));
        return connector;
    }

    LogCapture log_;
    ScopedEnv interval_{"PANDRIX_RETRY_INTERVAL_MS", "20"};
    std::shared_ptr<Inbox<Event>> inbox_ = std::make_shared<Inbox<Event>>();
};

TEST_F(CafConnectorTest, ReportsDeleteAfterTheFastAttemptsThenGoesOnSlowly) {
    ScopedEnv slow{"PANDRIX_SLOW_RETRY_INTERVAL_MS", "200"};
    const auto port = Norvane::Test::FreePort();
    auto connector = MakeConnector(port);
    EXPECT_EQ(connector->RetryInterval(), 20ms);
    EXPECT_EQ(connector->SlowRetryInterval(), 200ms);
    ASSERT_TRUE(connector->TryConnecting(3));
    auto event = inbox_->Take();
    ASSERT_TRUE(event);
    EXPECT_TRUE(std::holds_alternative<GaveUp>(*event));
    std::size_t failures = 0;
    std::size_t slowPace = 0;
    for (const auto& message : log_.Messages()) {
        failures += message.starts_with("Pandrix attempt ") ? 1 : 0;
        slowPace += message.find("not reached in 3 attempts") != std::string::npos &&
                            message.ends_with("trying every 200 ms")
                        ? 1
                        : 0;
    }
    EXPECT_EQ(failures, 2u);
    EXPECT_EQ(slowPace, 1u);
    // The web service appears later: the slow attempts reach it.
    SimProcess sim(port);
    auto connected = inbox_->Take();
    ASSERT_TRUE(connected);
    EXPECT_TRUE(std::holds_alternative<Connection>(*connected));
    connected.reset();
    connector->Stop();
}

TEST_F(CafConnectorTest, RefusesToStartWithoutWhatItNeeds) {
    {
        CafConnector connector{
            spdlog::default_logger(), MakeInit, std::chrono::seconds(5), "127.0.0.1", 4815, ""};
        EXPECT_FALSE(connector.TryConnecting(3));
        EXPECT_EQ(log_.Count("Pandrix not connecting: no handler set"), 1u);
    }
    {
        auto connector = MakeConnector(Norvane::Test::FreePort());
        EXPECT_FALSE(connector->TryConnecting(0));
        EXPECT_EQ(log_.Count("Pandrix not connecting: zero attempts"), 1u);
        connector->Stop();
        EXPECT_FALSE(connector->TryConnecting(3));
        EXPECT_EQ(log_.Count("Pandrix not connecting: the connector was stopped"), 1u);
    }
    EXPECT_EQ(inbox_->Size(), 0u);
}

TEST_F(CafConnectorTest, EnvironmentOverridesOnlyWithNumbers) {
    struct Case {
        const char* value;
        std::uint16_t port;
        bool warned;
    };
    for (const Case& c :
         {Case{"1234", 1234, false}, Case{"abc", 4815, true}, Case{"70000", 4815, true},
          Case{"12x", 4815, true}, Case{"", 4815, false}}) {
        SCOPED_TRACE(c.value);
        log_.sink().Clear();
        ScopedEnv port{"PANDRIX_PORT", c.value};
        CafConnector connector{
            spdlog::default_logger(), MakeInit, std::chrono::seconds(5), "127.0.0.1", 4815, ""};
        EXPECT_EQ(connector.Port(), c.port);
        EXPECT_EQ(log_.Count(std::string{"Pandrix ignoring PANDRIX_PORT='"} + c.value +
                             "': not a number"),
                  c.warned ? 1u : 0u);
    }
}

TEST_F(CafConnectorTest, StopTerminatesTheHandlerAndWaitsForItsActors) {
    auto connector =
        std::make_unique<CafConnector>(spdlog::default_logger(), MakeInit, std::chrono::seconds(5),
                                       "127.0.0.1", Norvane::Test::FreePort(), std::string{});
    auto handler = connector->GetSystem().spawn(Recorder, inbox_);
    connector->SetHandler(handler);
    // (No scoped actor here: it would count as running, hidden or not.)
    auto ended = std::make_shared<std::atomic<bool>>(false);
    handler->attach_functor([ended] { *ended = true; });
    const auto before = std::chrono::steady_clock::now();
    connector->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);
    EXPECT_EQ(connector->GetSystem().registry().running(), 0u);
    EXPECT_TRUE(*ended);
    for (const auto& message : log_.Messages()) {
        EXPECT_EQ(message.find("still running"), std::string::npos) << message;
        EXPECT_EQ(message.find("did not stop"), std::string::npos) << message;
    }
}

// Everything below crosses a real process boundary: the simulator's actors on loopback.
class CafConnectorSimTest : public CafConnectorTest {
protected:
    Connection Connect(CafConnector& connector) {
        EXPECT_TRUE(connector.TryConnecting(10));
        auto event = inbox_->Take();
        if (!event || !std::holds_alternative<Connection>(*event)) {
            ADD_FAILURE() << "no connection";
            return {};
        }
        return std::get<Connection>(*event);
    }
};

TEST_F(CafConnectorSimTest, DeliversTheFiveHandlesAndMessagesCrossBothWays) {
    SimProcess sim;
    auto connector = MakeConnector(sim.ConnectorPort());
    auto& system = connector->GetSystem();
    {
        Connection connection = Connect(*connector);
        ASSERT_TRUE(connection.router);
        ASSERT_TRUE(connection.authenticator);
        ASSERT_TRUE(connection.broker);
        ASSERT_TRUE(connection.capabilities);
        ASSERT_TRUE(connection.fileServer);
        EXPECT_TRUE(sim.WaitFor("client connected (token '')"));
        caf::scoped_actor self{system};

        // A method: registered, then called through the router, answered here.
        // Spawned functions take an argument: CAF 0.17 dereferences an empty argument pack.
        auto echo = system.spawn(
            [](Web::MethodHandler::pointer, int) -> Web::MethodHandler::behavior_type {
                return {[](const JsonRpc::Request& request) {
                    JsonRpc::Response response;
                    response.id = request.id.value_or(0);
                    response.body = request.params.value_or(JsonRpc::Raw{});
                    return response;
                }};
            },
            0);
        std::uint64_t id = 0;
        self->request(connection.router, 5s, Web::Method{"Demo.Echo"}, echo)
            .receive([&](const Web::RegisterId& reg) { id = reg.value; },
                     [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
        EXPECT_NE(id, 0u);
        self->request(connection.router, 5s, Web::Method{"Pandrix.Reserved"}, echo)
            .receive([&](const Web::RegisterId& reg) { EXPECT_EQ(reg.value, 0u); },
                     [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
        JsonRpc::Request call;
        call.id = 9;
        call.method = "Demo.Echo";
        call.params = JsonRpc::Raw{JsonRpc::CowString{R"([1,"a"])"}};
        self->request(connection.router, 5s, call)
            .receive(
                [&](const JsonRpc::Response& response) {
                    EXPECT_EQ(response.id, 9u);
                    ASSERT_EQ(response.body.index(), 1u);
                    EXPECT_EQ(std::get<1>(response.body).text.str(), R"([1,"a"])");
                },
                [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });

        // A topic: the handler here learns of a subscription, the subscriber gets publications.
        auto subscriptions = std::make_shared<Inbox<Web::Broker::Subscriber>>();
        auto handler = system.spawn(
            [](Web::Broker::Topic::pointer,
               std::shared_ptr<Inbox<Web::Broker::Subscriber>> subscriptions)
                -> Web::Broker::Topic::behavior_type {
                return {
                    [](const Web::Broker::Publish&) {},
                    [subscriptions](const Web::Broker::Subscribe& s) {
                        subscriptions->Put(s.subscriber);
                    },
                    [](const Web::Broker::Unsubscribe&) {},
                };
            },
            subscriptions);
        Web::Broker::Topic topic;
        self->request(connection.broker, 5s, Web::Broker::CreateTopic{"Demo.Topic", handler, false})
            .receive([&](Web::Broker::Topic& t) { topic = std::move(t); },
                     [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
        ASSERT_TRUE(topic);
        auto received = std::make_shared<Inbox<std::string>>();
        auto subscriber = system.spawn(
            [](Web::Broker::Subscriber::pointer, std::shared_ptr<Inbox<std::string>> received)
                -> Web::Broker::Subscriber::behavior_type {
                return {[received](const Web::Broker::Publish& p) {
                    received->Put(p.payload.text.str());
                }};
            },
            received);
        self->send(topic, Web::Broker::Subscribe{subscriber});
        auto seen = subscriptions->Take();
        ASSERT_TRUE(seen);
        EXPECT_EQ(*seen, Web::Broker::Subscriber{subscriber});
        self->send(topic, Web::Broker::Publish{JsonRpc::Raw{JsonRpc::CowString{"42"}}});
        EXPECT_EQ(received->Take(), std::optional<std::string>{"42"});

        // A capability: answered with nothing, recorded by the simulator.
        Pandrix::Authentication::Groups groups;
        groups.entries.emplace_back();
        bool answered = false;
        self->request(
                connection.capabilities, 5s, Pandrix::Capability::Set::value,
                Pandrix::Capability::Capability{"Demo", JsonRpc::Raw{JsonRpc::CowString{"true"}}},
                groups)
            .receive([&] { answered = true; },
                     [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
        EXPECT_TRUE(answered);
        EXPECT_TRUE(sim.WaitFor("capability set: Demo = true (1 group(s))"));
        for (auto* actor : {&echo}) {
            self->send_exit(*actor, caf::exit_reason::user_shutdown);
        }
        self->send_exit(handler, caf::exit_reason::user_shutdown);
        self->send_exit(subscriber, caf::exit_reason::user_shutdown);
    }
    connector->Stop();
}

TEST_F(CafConnectorSimTest, StartsOverWhenTheConnectionIsLost) {
    // On a busy machine the restart may outlast the fast attempts; the slow ones then find it.
    ScopedEnv slow{"PANDRIX_SLOW_RETRY_INTERVAL_MS", "100"};
    const auto port = Norvane::Test::FreePort();
    auto sim = std::make_unique<SimProcess>(port);
    auto connector = MakeConnector(port);
    {
        Connection first = Connect(*connector);
        EXPECT_TRUE(first.router);
    }
    sim->process().Signal(SIGKILL);
    sim->process().Wait();
    sim = std::make_unique<SimProcess>(port);
    auto event = inbox_->Take();
    while (event && std::holds_alternative<GaveUp>(*event)) {
        event = inbox_->Take();
    }
    ASSERT_TRUE(event);
    ASSERT_TRUE(std::holds_alternative<Connection>(*event));
    EXPECT_TRUE(std::get<Connection>(*event).router);
    event.reset();
    std::size_t lost = 0;
    for (const auto& message : log_.Messages()) {
        lost += message.starts_with("Pandrix connection to 127.0.0.1:") ? 1 : 0;
    }
    EXPECT_EQ(lost, 1u);
    connector->Stop();
}

}  // namespace
