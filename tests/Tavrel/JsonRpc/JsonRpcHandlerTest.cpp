#include "Tavrel/JsonRpc/JsonRpcHandler.h"

#include <signal.h>
#include <stdlib.h>
#include <algorithm>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/json.hpp>
#include <caf/all.hpp>

#include "FakeWebService.h"
#include "LogCapture.h"
#include "SimProcess.h"
#include "TestEnv.h"
#include "WsClient.h"

namespace {

using namespace std::chrono_literals;
using Norvane::Tavrel::CameraEntry;
using Norvane::Tavrel::JsonRpc::GetRtspCameras;
using Norvane::Tavrel::JsonRpc::IDataHandler;
using Norvane::Tavrel::JsonRpc::JsonRpcHandler;
using Norvane::Test::FakeWebService;
using Norvane::Test::LogCapture;
using Norvane::Test::SimProcess;
using Norvane::Test::WsClient;
namespace Web = Pandrix::JsonRpc;

/// The controller's part: a camera list that the test changes.
class Cameras final : public IDataHandler {
public:
    GetRtspCameras::Response GetCameras() override {
        std::lock_guard lock{mutex_};
        return list_;
    }
    void Set(GetRtspCameras::Response list) {
        std::lock_guard lock{mutex_};
        list_ = std::move(list);
    }

private:
    std::mutex mutex_;
    GetRtspCameras::Response list_;
};

const GetRtspCameras::Response kTwo{{"Door", "Hall", "rtsp://server:8554/door"},
                                    {"Yard \"east\"", "Outside", "rtsp://server:8554/yard"}};
const char* const kTwoJson =
    R"([{"name":"Door","location":"Hall","url":"rtsp://server:8554/door"},)"
    R"({"name":"Yard \"east\"","location":"Outside","url":"rtsp://server:8554/yard"}])";
const GetRtspCameras::Response kOne{{"Gate", "Drive", "rtsp://server:8554/gate"}};
const char* const kOneJson =
    R"([{"name":"Gate","location":"Drive","url":"rtsp://server:8554/gate"}])";

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

class JsonRpcHandlerTest : public ::testing::Test {
protected:
    /// The log lines of the handler (they all begin with "JsonRpc ").
    std::vector<std::string> HandlerLines() {
        std::vector<std::string> lines;
        for (const auto& record : log_.sink().Records()) {
            if (record.message.starts_with("JsonRpc ")) {
                lines.push_back(record.message);
            }
        }
        return lines;
    }

    std::unique_ptr<JsonRpcHandler> MakeHandler(std::uint16_t port) {
        port_ = std::make_unique<ScopedEnv>("PANDRIX_PORT", std::to_string(port));
        return std::make_unique<JsonRpcHandler>(cameras_);
    }

    // Waits until the handler finished its connection algorithm: the topic created and the
    // method registered (their answers come in either order).
    bool WaitConnected(std::size_t times = 1) {
        if (log_.sink().WaitForCount("JsonRpc Created topic 'Tavrel.Rtsp.Cameras'", times, 10s) &&
            log_.sink().WaitForCount("JsonRpc Created topic 'Tavrel.Rtsp.Status'", times, 10s) &&
            log_.sink().WaitForCount("JsonRpc Registered 'Tavrel.Rtsp.GetCameras'", times, 10s) &&
            log_.sink().WaitForCount("JsonRpc Registered 'Tavrel.Rtsp.GetStatus'", times, 10s))
            return true;
        for (const auto& message : log_.Messages()) {
            std::cerr << "  log: " << message << "\n";
        }
        return false;
    }

    LogCapture log_;
    Cameras cameras_;
    std::unique_ptr<ScopedEnv> interval_ =
        std::make_unique<ScopedEnv>("PANDRIX_RETRY_INTERVAL_MS", "100");
    std::unique_ptr<ScopedEnv> port_;
};

// -- with the real simulator -----------------------------------------------------------------

TEST_F(JsonRpcHandlerTest, BeforeConnectionNothingIsSentThenCapabilityOnConnectionAndChangeOnly) {
    const auto port = Norvane::Test::FreePort();
    auto handler = MakeHandler(port);
    // Nobody listens yet: the flag is only stored, the list is dropped.
    handler->SetRtspServerAvailable(true);
    handler->SetRtspServerAvailable(true);
    handler->PublishCameras(kTwo);
    EXPECT_EQ(log_.Count("JsonRpc Added capability 'RtspCameraServer': true"), 0u);

    SimProcess sim{port};
    ASSERT_TRUE(WaitConnected());
    EXPECT_EQ(sim.Count("capability set: RtspCameraServer = true"), 1u);
    // The list given before the topic existed was dropped; the new topic starts from the data
    // handler's list.
    EXPECT_LE(sim.Count("published on Tavrel.Rtsp.Cameras"), 1u);
    EXPECT_EQ(log_.Count("JsonRpc Added capability 'RtspCameraServer': true"), 1u);

    handler->SetRtspServerAvailable(true);  // unchanged: nothing sent
    handler->SetRtspServerAvailable(false);
    handler->SetRtspServerAvailable(false);  // unchanged again
    EXPECT_EQ(sim.Count("capability set: RtspCameraServer = true"), 1u);
    EXPECT_EQ(sim.Count("capability set: RtspCameraServer = false"), 1u);
    EXPECT_EQ(log_.Count("JsonRpc Added capability 'RtspCameraServer': false"), 1u);

    WsClient client{sim.WsPort()};
    EXPECT_EQ(client.Call("Pandrix.GetCapabilities"),
              R"({"jsonrpc":"2.0","id":1,"result":{"RtspCameraServer":false}})");

    // Registration and topic creation are answered in either order.
    auto lines = HandlerLines();
    ASSERT_EQ(lines.size(), 7u);
    std::sort(lines.begin() + 2, lines.begin() + 6);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "JsonRpc Pandrix connection established",
                         "JsonRpc Added capability 'RtspCameraServer': true",
                         "JsonRpc Created topic 'Tavrel.Rtsp.Cameras'",
                         "JsonRpc Created topic 'Tavrel.Rtsp.Status'",
                         "JsonRpc Registered 'Tavrel.Rtsp.GetCameras'",
                         "JsonRpc Registered 'Tavrel.Rtsp.GetStatus'",
                         "JsonRpc Added capability 'RtspCameraServer': false",
                     }));
    for (const auto& record : log_.sink().Records()) {
        if (record.message.starts_with("JsonRpc ")) {
            EXPECT_FALSE(record.function.empty()) << record.message;
        }
    }
}

TEST_F(JsonRpcHandlerTest, MethodAnswersTheDataHandlersListWhateverTheParameters) {
    SimProcess sim;
    auto handler = MakeHandler(sim.ConnectorPort());
    ASSERT_TRUE(WaitConnected());
    WsClient client{sim.WsPort()};
    struct Case {
        GetRtspCameras::Response list;
        const char* json;
        const char* params;
    };
    for (const Case& c : {Case{kTwo, kTwoJson, ""}, Case{kOne, kOneJson, R"({"x":1})"},
                          Case{{}, "[]", "[1,2]"}, Case{kTwo, kTwoJson, "null"}}) {
        SCOPED_TRACE(c.params);
        cameras_.Set(c.list);
        auto response = client.Call("Tavrel.Rtsp.GetCameras", c.params);
        ASSERT_TRUE(response);
        EXPECT_EQ(*response, R"({"jsonrpc":"2.0","id":)" + std::to_string(client.LastId()) +
                                 R"(,"result":)" + c.json + "}");
        auto direct = handler->GetRtspCameras({});
        ASSERT_TRUE(direct);
        EXPECT_EQ(direct.value(), c.list);
    }
    // Destruction ends the handler's actors (linked to the connection actor) before its system.
    handler.reset();
    for (const auto& message : log_.Messages()) {
        EXPECT_EQ(message.find("still running"), std::string::npos) << message;
    }
}

TEST_F(JsonRpcHandlerTest, SubscriberGetsTheListAtOnceAndEveryPublication) {
    SimProcess sim;
    auto handler = MakeHandler(sim.ConnectorPort());
    ASSERT_TRUE(WaitConnected());
    // The new topic's first list (still empty) is on its way when the topic is reported
    // created; a subscriber before it arrives would get it as well.
    ASSERT_TRUE(sim.WaitFor("published on Tavrel.Rtsp.Cameras to 0 subscriber(s)"));
    cameras_.Set(kTwo);
    WsClient client{sim.WsPort()};
    EXPECT_EQ(client.Call("Pandrix.Subscribe", R"({"topic":"Tavrel.Rtsp.Cameras"})"),
              R"({"jsonrpc":"2.0","id":1,"result":true})");
    auto expectNotification = [&](const char* json) {
        auto notification = client.NextNotification();
        ASSERT_TRUE(notification);
        EXPECT_EQ(boost::json::serialize(*notification),
                  std::string{R"({"jsonrpc":"2.0","method":"Tavrel.Rtsp.Cameras","params":)"} +
                      json + "}");
    };
    expectNotification(kTwoJson);
    handler->PublishCameras(kOne);
    expectNotification(kOneJson);
    handler->PublishCameras({});
    expectNotification("[]");

    // A later subscriber gets the data handler's list, not the last publication.
    WsClient second{sim.WsPort()};
    EXPECT_TRUE(second.Call("Pandrix.Subscribe", R"({"topic":"Tavrel.Rtsp.Cameras"})"));
    auto initial = second.NextNotification();
    ASSERT_TRUE(initial);
    EXPECT_EQ(boost::json::serialize(initial->at("params")), kTwoJson);
}

TEST_F(JsonRpcHandlerTest, AbsentWebServiceTenAttemptsThenOneErrorAndServiceRunsOn) {
    interval_.reset();
    interval_ = std::make_unique<ScopedEnv>("PANDRIX_RETRY_INTERVAL_MS", "10");
    auto handler = MakeHandler(Norvane::Test::FreePort());
    ASSERT_TRUE(log_.sink().WaitFor("JsonRpc Connection retry failed"));
    std::size_t failedAttempts = 0;
    std::size_t gaveUp = 0;
    for (const auto& message : log_.Messages()) {
        failedAttempts += message.starts_with("Pandrix attempt ") ? 1 : 0;
        gaveUp += message.find("not reached in 10 attempts") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(failedAttempts, 9u);
    EXPECT_EQ(gaveUp, 1u);
    // The service runs on: nothing is sent, nothing blocks, nothing more is logged.
    handler->SetRtspServerAvailable(true);
    handler->PublishCameras(kTwo);
    handler->SetRtspServerAvailable(false);
    EXPECT_EQ(HandlerLines(), std::vector<std::string>{"JsonRpc Connection retry failed"});
    for (const auto& record : log_.sink().Records()) {
        if (record.message == "JsonRpc Connection retry failed") {
            EXPECT_EQ(record.level, spdlog::level::err);
        }
    }
}

TEST_F(JsonRpcHandlerTest, WebServiceGoingAwayAndComingBack) {
    // Long enough for the simulator to come back before the attempts after the loss run out.
    interval_.reset();
    interval_ = std::make_unique<ScopedEnv>("PANDRIX_RETRY_INTERVAL_MS", "500");
    const auto port = Norvane::Test::FreePort();
    auto sim = std::make_unique<SimProcess>(port);
    auto handler = MakeHandler(port);
    ASSERT_TRUE(WaitConnected());
    sim->process().Signal(SIGKILL);
    sim->process().Wait();
    // Neither call may crash or hang with the web service gone.
    handler->SetRtspServerAvailable(true);
    handler->PublishCameras(kTwo);

    sim = std::make_unique<SimProcess>(port);
    ASSERT_TRUE(WaitConnected(2));
    EXPECT_EQ(log_.Count("JsonRpc Pandrix connection established"), 2u);
    EXPECT_EQ(sim->Count("capability set: RtspCameraServer = true"), 1u);
    cameras_.Set(kOne);
    WsClient client{sim->WsPort()};
    EXPECT_EQ(client.Call("Tavrel.Rtsp.GetCameras"),
              std::string{R"({"jsonrpc":"2.0","id":1,"result":)"} + kOneJson + "}");
}

// -- with a scripted web service for faults ---------------------------------------------------

TEST_F(JsonRpcHandlerTest, RegistrationAnsweredWithZero) {
    FakeWebService fake{{.registerId = 0}};
    auto handler = MakeHandler(fake.Port());
    ASSERT_TRUE(log_.sink().WaitFor("JsonRpc Failed to register 'Tavrel.Rtsp.GetCameras'"));
    EXPECT_EQ(log_.Count("JsonRpc Registered 'Tavrel.Rtsp.GetCameras'"), 0u);
    // The method actor stays alive and answers whoever calls it.
    auto method = fake.methods->Take();
    ASSERT_TRUE(method);
    cameras_.Set(kOne);
    caf::scoped_actor self{fake.System()};
    JsonRpc::Request request;
    request.id = 3;
    request.method = "Tavrel.Rtsp.GetCameras";
    self->request(*method, 5s, request)
        .receive(
            [](const JsonRpc::Response& response) {
                EXPECT_EQ(response.id, 3u);
                ASSERT_EQ(response.body.index(), 1u);
                EXPECT_EQ(std::get<1>(response.body).text.str(), kOneJson);
            },
            [](caf::error& err) { ADD_FAILURE() << caf::to_string(err); });
    method.reset();
}

TEST_F(JsonRpcHandlerTest, NoBrokerMethodStaysRegisteredNoTopic) {
    FakeWebService fake{{.broker = false}};
    auto handler = MakeHandler(fake.Port());
    ASSERT_TRUE(log_.sink().WaitFor("JsonRpc Received no broker"));
    ASSERT_TRUE(log_.sink().WaitFor("JsonRpc Registered 'Tavrel.Rtsp.GetCameras'"));
    EXPECT_EQ(fake.topicHandlers->Size(), 0u);
    handler->PublishCameras(kTwo);  // no topic: nothing to send to
    EXPECT_EQ(log_.Count("JsonRpc Created topic 'Tavrel.Rtsp.Cameras'"), 0u);
}

TEST_F(JsonRpcHandlerTest, CapabilityRequestTimingOut) {
    FakeWebService fake{{.answerCapabilities = false}};
    auto handler = MakeHandler(fake.Port());
    ASSERT_TRUE(log_.sink().WaitFor("JsonRpc Registered 'Tavrel.Rtsp.GetCameras'"));
    EXPECT_EQ(fake.capabilities->Take(), std::optional<std::string>{"RtspCameraServer=false"});
    const auto before = std::chrono::steady_clock::now();
    handler->SetRtspServerAvailable(true);
    const auto blocked = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(fake.capabilities->Take(), std::optional<std::string>{"RtspCameraServer=true"});
    EXPECT_GE(blocked, 900ms);  // the request's time-out is one second
    std::vector<std::string> timeouts;
    for (const auto& record : log_.sink().Records()) {
        if (record.message.starts_with("JsonRpc Add capabilities response: ")) {
            EXPECT_EQ(record.level, spdlog::level::err);
            timeouts.push_back(record.message);
        }
    }
    ASSERT_EQ(timeouts.size(), 2u);
    EXPECT_NE(timeouts[0].find("request_timeout"), std::string::npos) << timeouts[0];
    EXPECT_EQ(log_.Count("JsonRpc Added capability 'RtspCameraServer': true"), 0u);
}

TEST_F(JsonRpcHandlerTest, TopicHandlerRejectsPublishAndIgnoresEmptySubscribers) {
    FakeWebService fake{{}};
    auto handler = MakeHandler(fake.Port());
    ASSERT_TRUE(WaitConnected());
    auto topicHandler = fake.topicHandlers->Take();
    ASSERT_TRUE(topicHandler);
    caf::scoped_actor self{fake.System()};
    self->send(*topicHandler, Web::Broker::Publish{});
    ASSERT_TRUE(log_.sink().WaitFor(
        "JsonRpc Publish called with topic: 'Tavrel.Rtsp.Cameras', but should not have been "
        "called"));
    self->send(*topicHandler, Web::Broker::Subscribe{});
    self->send(*topicHandler, Web::Broker::Unsubscribe{});
    // A real subscriber after them still gets the list: the handler survived both.
    cameras_.Set(kOne);
    std::optional<std::string> received;
    self->send(*topicHandler, Web::Broker::Subscribe{caf::actor_cast<Web::Broker::Subscriber>(
                                  caf::actor_cast<caf::actor>(self))});
    self->receive([&](const Web::Broker::Publish& p) { received = p.payload.text.str(); },
                  caf::after(5s) >> [] {});
    EXPECT_EQ(received, std::optional<std::string>{kOneJson});
    topicHandler.reset();
}

}  // namespace
