#include "zorbixclient/ZorbixClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "LogCapture.h"
#include "ScriptedPeer.h"
#include "TestEnv.h"
#include "zorbixclient/Errc.h"
#include "zorbixclient/LineFramer.h"

namespace Norvane::zorbixclient {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Test::RunFor;
using Test::RunUntil;
using Test::ScriptedPeer;

class ZorbixClientTest : public ::testing::Test {
protected:
    std::shared_ptr<ConnectionInfo> Info(const std::filesystem::path& path) {
        return std::make_shared<ConnectionInfo>(ConnectionInfo{"Tavrel", "generic", "", path});
    }

    /// Connects and runs until the completion came; the error code it carried.
    boost::system::error_code Connect(BaseZorbixClient& client, const std::filesystem::path& path,
                                      std::chrono::milliseconds wait = 5s) {
        std::optional<boost::system::error_code> result;
        client.Connect(Info(path), [&](const auto& ec) { result = ec; });
        EXPECT_TRUE(RunUntil(
            io, [&] { return result.has_value(); }, wait));
        return result.value_or(make_error_code(Errc::timed_out));
    }

    /// Sends a request and runs until its completion came.
    std::optional<TRresult<Json>> Request(BaseZorbixClient& client, Json request,
                                          std::chrono::milliseconds timeout = 5s) {
        std::optional<TRresult<Json>> result;
        client.SendRequest(std::move(request), timeout,
                           [&](TRresult<Json>& r) { result.emplace(std::move(r)); });
        EXPECT_TRUE(RunUntil(
            io, [&] { return result.has_value(); }, timeout + 5s));
        return result;
    }

    Norvane::Test::LogCapture log;
    Norvane::Test::TempDir dir;
    boost::asio::io_context io;
    std::filesystem::path socket = dir / "z.sock";
};

TEST_F(ZorbixClientTest, ResultsCountAsFailedByEitherCode) {
    EXPECT_FALSE(Result().Failed());
    EXPECT_FALSE(Result(boost::system::error_code{}).Failed());
    const Result system(make_error_code(boost::system::errc::no_such_file_or_directory));
    EXPECT_TRUE(system.Failed());
    EXPECT_EQ(system.Code(), ENOENT);
    EXPECT_EQ(system.Message(), "No such file or directory");
    const Result remote(42, "broken");
    EXPECT_TRUE(remote.Failed());
    EXPECT_FALSE(remote.SystemError().failed());
    EXPECT_EQ(remote.Message(), "broken");
    const TRresult<Json> failed{Result(make_error_code(Errc::timed_out))};
    EXPECT_TRUE(failed.Failed());
    EXPECT_TRUE(failed.Value().is_null());
    EXPECT_EQ(failed.Message(), "request timed out");
}

TEST_F(ZorbixClientTest, ConnectionInfoTakesTheSocketFromTheEnvironment) {
    const char* saved = std::getenv("ZORBIX_SOCKET");
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    ::unsetenv("ZORBIX_SOCKET");
    auto info = MakeConnectionInfo("Tavrel", "generic", "");
    EXPECT_EQ(info->socketPath, "/run/zorbix/zorbix.sock");
    EXPECT_EQ(info->name, "Tavrel");
    EXPECT_EQ(info->type, "generic");
    EXPECT_EQ(info->info, "");
    ::setenv("ZORBIX_SOCKET", socket.c_str(), 1);
    EXPECT_EQ(MakeConnectionInfo("a", "b", "c")->socketPath, socket.string());
    if (previous)
        ::setenv("ZORBIX_SOCKET", previous->c_str(), 1);
    else
        ::unsetenv("ZORBIX_SOCKET");
}

TEST_F(ZorbixClientTest, ConnectFailsWhereNoDeviceStackListens) {
    ZorbixClient client(io);
    // No socket file at all.
    EXPECT_EQ(Connect(client, socket), boost::system::errc::no_such_file_or_directory);
    // A socket file nobody listens on.
    { std::ofstream(dir / "plain") << "x"; }
    boost::asio::local::stream_protocol::acceptor stale(io);
    stale.open();
    stale.bind(socket.string());  // bound, never listening
    EXPECT_EQ(Connect(client, socket), boost::system::errc::connection_refused);
    // A path that is no socket, and one too long for a socket address.
    EXPECT_TRUE(Connect(client, dir / "plain").failed());
    EXPECT_EQ(Connect(client, std::string(200, 'x')), make_error_code(Errc::invalid_address));
    EXPECT_EQ(Connect(client, ""), make_error_code(Errc::invalid_address));
    // A failed connect leaves the client usable.
    stale.close();
    std::filesystem::remove(socket);
    ScriptedPeer peer(io, socket);
    EXPECT_FALSE(Connect(client, socket).failed());
}

TEST_F(ZorbixClientTest, ConnectSaysHelloAndCompletesOnTheIoContextOnly) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    std::optional<boost::system::error_code> result;
    std::thread::id completedOn;
    client.Connect(Info(socket), [&](const auto& ec) {
        result = ec;
        completedOn = std::this_thread::get_id();
    });
    EXPECT_FALSE(result) << "completion must not run inside Connect";
    ASSERT_TRUE(RunUntil(io, [&] { return result.has_value(); }));
    EXPECT_FALSE(result->failed()) << result->message();
    EXPECT_EQ(completedOn, std::this_thread::get_id());
    ASSERT_EQ(peer.Received().size(), 1u);
    EXPECT_EQ(peer.Received()[0]["hello"],
              (Json{{"name", "Tavrel"}, {"type", "generic"}, {"info", ""}}));
    // A second Connect while connected is refused without disturbing the connection.
    EXPECT_EQ(Connect(client, socket), make_error_code(Errc::already_connected));
    peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, "pong"); };
    auto reply = Request(client, {{"command", "ping"}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Value(), "pong");
}

TEST_F(ZorbixClientTest, ConnectFailsWhenTheHelloIsRefusedUnansweredOrCutOff) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);

    peer.onHello = [&](std::uint64_t id, const Json&) {
        peer.ReplyError(id, {{"code", 403}, {"message", "go away"}});
    };
    EXPECT_EQ(Connect(client, socket), make_error_code(Errc::refused));

    peer.onHello = [](std::uint64_t, const Json&) {};
    client.SetConnectTimeout(100ms);
    EXPECT_EQ(Connect(client, socket), make_error_code(Errc::timed_out));
    // The cases below must not race the short time-out on a slow (sanitized) build.
    client.SetConnectTimeout(5s);

    peer.onHello = [&](std::uint64_t, const Json&) { peer.Drop(); };
    EXPECT_EQ(Connect(client, socket), make_error_code(Errc::connection_lost));

    peer.onHello = [&](std::uint64_t id, const Json&) {
        peer.SendRaw("{\"id\":" + std::to_string(id) + ",\"result\":\"" +
                     std::string(LineFramer::kDefaultMaxLine, 'a') + "\"}\n");
    };
    EXPECT_EQ(Connect(client, socket), make_error_code(Errc::message_too_large));
    EXPECT_EQ(peer.Accepted(), 4);
}

TEST_F(ZorbixClientTest, RequestsTravelAsIdentifiedLinesAndRepliesMatchById) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    ASSERT_FALSE(Connect(client, socket).failed());
    std::vector<std::uint64_t> ids;
    peer.onRequest = [&](std::uint64_t id, const Json&) { ids.push_back(id); };

    std::vector<std::string> order;
    for (const char* name : {"first", "second", "third"})
        client.SendRequest({{"command", name}}, 5s, [&order, name](TRresult<Json>& r) {
            EXPECT_FALSE(r.Failed()) << r.Message();
            order.push_back(name + std::string("=") + r.Value().get<std::string>());
        });
    ASSERT_TRUE(RunUntil(io, [&] { return ids.size() == 3; }));
    EXPECT_EQ(peer.Requests(),
              (std::vector<Json>{
                  {{"command", "first"}}, {{"command", "second"}}, {{"command", "third"}}}));
    // Answered out of order, in one write, split across reads.
    std::string lines;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)
        lines += Json{{"id", *it}, {"result", "r" + std::to_string(*it)}}.dump() + "\n";
    peer.SendRaw(lines.substr(0, 7));
    RunFor(io, 20ms);
    peer.SendRaw(lines.substr(7));
    ASSERT_TRUE(RunUntil(io, [&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"third=r" + std::to_string(ids[2]),
                                               "second=r" + std::to_string(ids[1]),
                                               "first=r" + std::to_string(ids[0])}));
}

TEST_F(ZorbixClientTest, ErrorRepliesAndMalformedRepliesFail) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    ASSERT_FALSE(Connect(client, socket).failed());

    struct Case {
        Json reply;  // without the id
        std::int64_t code;
        std::string message;
    };
    const std::vector<Case> cases{
        {{{"error", {{"code", 404}, {"message", "no such object"}}}}, 404, "no such object"},
        {{{"error", {{"code", 0}, {"message", "zero"}}}}, -1, "zero"},
        {{{"error", "text"}}, -1, "device stack reported error -1"},
        {{{"error", {{"code", -7}}}}, -7, "device stack reported error -7"},
        {{{"nothing", 1}},
         static_cast<std::int64_t>(Errc::protocol_error),
         "malformed message from the device stack"},
    };
    for (const auto& c : cases) {
        peer.onRequest = [&](std::uint64_t id, const Json&) {
            Json reply = c.reply;
            reply["id"] = id;
            peer.Send(reply);
        };
        auto result = Request(client, {{"command", "x"}});
        ASSERT_TRUE(result) << c.reply.dump();
        EXPECT_TRUE(result->Failed()) << c.reply.dump();
        EXPECT_EQ(result->Code(), c.code) << c.reply.dump();
        EXPECT_EQ(result->Message(), c.message) << c.reply.dump();
    }
    // A result of null is a success carrying null.
    peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, nullptr); };
    auto result = Request(client, {{"command", "x"}});
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->Failed());
    EXPECT_TRUE(result->Value().is_null());
}

TEST_F(ZorbixClientTest, UnansweredRequestTimesOutAndALateReplyIsDropped) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    ASSERT_FALSE(Connect(client, socket).failed());
    int calls = 0;
    std::optional<TRresult<Json>> result;
    client.SendRequest({{"command", "slow"}}, 50ms, [&](TRresult<Json>& r) {
        ++calls;
        result.emplace(std::move(r));
    });
    ASSERT_TRUE(RunUntil(io, [&] { return result.has_value(); }));
    EXPECT_EQ(result->SystemError(), make_error_code(Errc::timed_out));
    EXPECT_EQ(result->Message(), "no reply within 50 ms");
    peer.Reply(*peer.LastRequestId(), "late");
    const std::string dropped = "Dropped a device-stack reply to request " +
                                std::to_string(*peer.LastRequestId()) +
                                " that is no longer awaited";
    ASSERT_TRUE(RunUntil(io, [&] { return log.Count(dropped) == 1; }));
    EXPECT_EQ(calls, 1);
}

TEST_F(ZorbixClientTest, RequestsFailAtOnceWithoutConnection) {
    ZorbixClient client(io);
    auto result = Request(client, {{"command", "x"}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->SystemError(), make_error_code(Errc::not_connected));

    ScriptedPeer peer(io, socket);
    ASSERT_FALSE(Connect(client, socket).failed());
    // A request that cannot be encoded (invalid UTF-8) fails without touching the connection.
    result = Request(client, {{"command", std::string("\xff\xfe")}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->SystemError(), make_error_code(Errc::invalid_request));
    peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, 1); };
    result = Request(client, {{"command", "x"}});
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->Failed());
}

TEST_F(ZorbixClientTest, LostConnectionFailsRequestsInFlightAtOnceAndIsReported) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    std::vector<boost::system::error_code> lost;
    client.SetConnectionLostHandler([&](const auto& ec) { lost.push_back(ec); });
    ASSERT_FALSE(Connect(client, socket).failed());
    std::vector<TRresult<Json>> results;
    for (int i = 0; i < 3; ++i)
        client.SendRequest({{"command", "x"}}, 60s,
                           [&](TRresult<Json>& r) { results.push_back(std::move(r)); });
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Requests().size() == 3; }));
    const auto start = std::chrono::steady_clock::now();
    peer.Drop();
    ASSERT_TRUE(RunUntil(io, [&] { return results.size() == 3; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // not by the 60 s time-out
    for (const auto& r : results)
        EXPECT_EQ(r.SystemError(), make_error_code(Errc::connection_lost));
    ASSERT_TRUE(RunUntil(io, [&] { return !lost.empty(); }));
    EXPECT_EQ(lost, std::vector{make_error_code(Errc::connection_lost)});
    EXPECT_EQ(
        log.Count("Connection to the device stack lost (connection to the device stack lost)"), 1u);
    // Afterwards requests fail at once, and a new Connect works.
    auto result = Request(client, {{"command", "x"}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->SystemError(), make_error_code(Errc::not_connected));
    EXPECT_FALSE(Connect(client, socket).failed());
    EXPECT_EQ(peer.Accepted(), 2);
    client.Disconnect(nullptr);
    RunFor(io, 50ms);
    EXPECT_EQ(lost.size(), 1u) << "Disconnect is no loss";
}

TEST_F(ZorbixClientTest, DisconnectFailsRequestsAndLetsTheIoContextRunOut) {
    auto peer = std::make_unique<ScriptedPeer>(io, socket);
    ZorbixClient client(io);
    std::optional<boost::system::error_code> disconnected;
    client.Disconnect([&](const auto& ec) { disconnected = ec; });
    ASSERT_TRUE(RunUntil(io, [&] { return disconnected.has_value(); }));
    EXPECT_FALSE(disconnected->failed()) << "nothing to close is no failure";

    ASSERT_FALSE(Connect(client, socket).failed());
    std::optional<TRresult<Json>> inFlight;
    client.SendRequest({{"command", "x"}}, 60s,
                       [&](TRresult<Json>& r) { inFlight.emplace(std::move(r)); });
    disconnected.reset();
    client.Disconnect([&](const auto& ec) { disconnected = ec; });
    ASSERT_TRUE(RunUntil(io, [&] { return disconnected && inFlight; }));
    EXPECT_FALSE(disconnected->failed());
    EXPECT_EQ(inFlight->SystemError(), make_error_code(Errc::disconnected));
    ASSERT_TRUE(RunUntil(io, [&] { return peer->ClientClosed(); }));

    // Nothing of the client is left pending: with the peer gone, run() returns by itself.
    peer.reset();
    io.restart();
    std::mutex finishedMutex;
    std::condition_variable finishedChanged;
    bool finished = false;  // protected by finishedMutex
    std::atomic<bool> stoppedByGuard{false};
    std::thread guard([&] {
        std::unique_lock lock(finishedMutex);
        if (!finishedChanged.wait_for(lock, 5s, [&] { return finished; })) {
            stoppedByGuard = true;
            io.stop();
        }
    });
    io.run();
    {
        std::lock_guard lock(finishedMutex);
        finished = true;
    }
    finishedChanged.notify_one();
    guard.join();
    EXPECT_FALSE(stoppedByGuard) << "the io_context did not run out of work";
}

TEST_F(ZorbixClientTest, DisconnectWhileConnectingAbortsTheConnect) {
    ScriptedPeer peer(io, socket);
    peer.onHello = [](std::uint64_t, const Json&) {};  // never answered
    ZorbixClient client(io);
    std::optional<boost::system::error_code> connected;
    std::optional<boost::system::error_code> disconnected;
    client.Connect(Info(socket), [&](const auto& ec) { connected = ec; });
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Received().size() == 1; }));
    client.Disconnect([&](const auto& ec) { disconnected = ec; });
    ASSERT_TRUE(RunUntil(io, [&] { return connected && disconnected; }));
    EXPECT_EQ(*connected, make_error_code(Errc::disconnected));
    EXPECT_FALSE(disconnected->failed());
}

TEST_F(ZorbixClientTest, GarbageFromThePeerIsDroppedAndTheConnectionSurvives) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    ASSERT_FALSE(Connect(client, socket).failed());
    struct Case {
        std::string line;
        std::string logged;
    };
    const std::vector<Case> cases{
        {"this is not json", "Dropped a malformed message of 16 bytes from the device stack"},
        {"[1,2,3]", "Dropped a malformed message of 7 bytes from the device stack"},
        {std::string("{\"a\":\"\xff\xfe\"}"),
         "Dropped a malformed message of 10 bytes from the device stack"},
        {std::string("\0\0\0", 3), "Dropped a malformed message of 3 bytes from the device stack"},
        {std::string(10000, '['),
         "Dropped a message from the device stack nested deeper than 64 levels"},
        {R"({"id":"7","result":1})", "Dropped a message from the device stack with an invalid id"},
        {R"({"id":-3,"result":1})", "Dropped a message from the device stack with an invalid id"},
        {R"({"id":987654,"result":1})",
         "Dropped a device-stack reply to request 987654 that is no longer awaited"},
        {R"({"hello":1})",
         "Dropped a message from the device stack that is neither reply nor event"},
        {std::string(LineFramer::kDefaultMaxLine + 10, 'g'),
         "Dropped a message of more than 1048576 bytes from the device stack"},
    };
    for (const auto& c : cases) {
        peer.SendRaw(c.line + "\n");
        EXPECT_TRUE(RunUntil(io, [&] { return log.Count(c.logged) == 1; })) << c.logged;
        log.sink().Clear();
    }
    peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, "still here"); };
    auto result = Request(client, {{"command", "x"}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->Value(), "still here");
}

TEST_F(ZorbixClientTest, OversizedReplyFailsItsRequestAtOnceAndALineAtTheLimitPasses) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    ASSERT_FALSE(Connect(client, socket).failed());
    // {"id":N,"result":"aaa..."} padded to a given total line length.
    std::size_t lineLength = 0;
    peer.onRequest = [&](std::uint64_t id, const Json&) {
        const std::string head = "{\"id\":" + std::to_string(id) + ",\"result\":\"";
        const std::string tail = "\"}";
        peer.SendRaw(head + std::string(lineLength - head.size() - tail.size(), 'a') + tail + "\n");
    };

    lineLength = LineFramer::kDefaultMaxLine + 1;
    auto result = Request(client, {{"command", "big"}}, 60s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->SystemError(), make_error_code(Errc::message_too_large));
    EXPECT_EQ(result->Message(), "message from the device stack exceeds 1048576 bytes");

    lineLength = LineFramer::kDefaultMaxLine;
    result = Request(client, {{"command", "big"}});
    ASSERT_TRUE(result);
    ASSERT_FALSE(result->Failed()) << result->Message();
    EXPECT_EQ(result->Value().get<std::string>().size(),
              LineFramer::kDefaultMaxLine - std::to_string(*peer.LastRequestId()).size() - 19);
}

TEST_F(ZorbixClientTest, ConfigurationEventsAreDecodedInOrder) {
    ScriptedPeer peer(io, socket);
    ZorbixClient client(io);
    std::vector<ConfigurationChanged> events;
    client.SetConfigurationChangedHandler(
        [&](const ConfigurationChanged& e) { events.push_back(e); });
    ASSERT_FALSE(Connect(client, socket).failed());

    const std::vector<ConfigurationChanged> sent{DeviceConfigurationChanged{},
                                                 ProjectConfigurationChanged{},
                                                 UiConfigurationChanged{},
                                                 NetworkConfigurationChanged{},
                                                 ObjectConfigurationChanged{},
                                                 LoggingConfigurationChanged{7},
                                                 OtherConfigurationChanged{"licence"}};
    for (const auto& e : sent)
        peer.Send(ToJson(e));
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == sent.size(); }));
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(events[i].index(), i) << "variant alternative " << i;
    EXPECT_EQ(std::get<LoggingConfigurationChanged>(events[5]).severity, 7);
    EXPECT_EQ(std::get<OtherConfigurationChanged>(events[6]).kind, "licence");
    EXPECT_EQ(ToJson(LoggingConfigurationChanged{7}),
              (Json{{"event", "configurationChanged"}, {"kind", "logging"}, {"severity", 7}}));

    // Malformed configuration events are dropped with a warning; other events quietly.
    events.clear();
    for (const Json& bad :
         {Json{{"event", "configurationChanged"}, {"kind", "logging"}, {"severity", "6"}},
          Json{{"event", "configurationChanged"}, {"kind", "logging"}},
          Json{{"event", "configurationChanged"}, {"kind", "logging"}, {"severity", 4294967296LL}},
          Json{{"event", "configurationChanged"}, {"kind", 3}},
          Json{{"event", "configurationChanged"}}})
        peer.Send(bad);
    peer.Send({{"event", "somethingElse"}});
    peer.Send(ToJson(LoggingConfigurationChanged{-2}));
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == 1; }));
    RunFor(io, 20ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<LoggingConfigurationChanged>(events[0]).severity, -2);
    EXPECT_EQ(log.Count("Dropped a malformed configuration-changed event from the device stack"),
              5u);
}

TEST_F(ZorbixClientTest, EventsBeforeTheHelloIsAnsweredAreDropped) {
    ScriptedPeer peer(io, socket);
    peer.onHello = [&](std::uint64_t id, const Json&) {
        peer.Send(ToJson(ProjectConfigurationChanged{}));
        peer.Reply(id, Json::object());
        peer.Send(ToJson(LoggingConfigurationChanged{3}));
    };
    ZorbixClient client(io);
    std::vector<ConfigurationChanged> events;
    client.SetConfigurationChangedHandler(
        [&](const ConfigurationChanged& e) { events.push_back(e); });
    ASSERT_FALSE(Connect(client, socket).failed());
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == 1; }));
    RunFor(io, 20ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<LoggingConfigurationChanged>(events[0]));
}

TEST_F(ZorbixClientTest, DestroyedClientDropsItsPendingCallbacks) {
    ScriptedPeer peer(io, socket);
    int calls = 0;
    {
        ZorbixClient client(io);
        client.SetConfigurationChangedHandler([&](const ConfigurationChanged&) { ++calls; });
        ASSERT_FALSE(Connect(client, socket).failed());
        client.SendRequest({{"command", "x"}}, 60s, [&](TRresult<Json>&) { ++calls; });
        ASSERT_TRUE(RunUntil(io, [&] { return peer.Requests().size() == 1; }));
        peer.Reply(*peer.LastRequestId(), 1);  // arrives after the client is gone
        peer.Send(ToJson(ProjectConfigurationChanged{}));
    }
    ASSERT_TRUE(RunUntil(io, [&] { return peer.ClientClosed(); }));
    RunFor(io, 20ms);
    EXPECT_EQ(calls, 0);
}

TEST_F(ZorbixClientTest, CallsFromAnotherThreadCompleteOnTheIoThread) {
    ScriptedPeer peer(io, socket);
    peer.onRequest = [&](std::uint64_t id, const Json& r) { peer.Reply(id, r["n"]); };
    ZorbixClient client(io);
    ASSERT_FALSE(Connect(client, socket).failed());
    std::atomic<int> done{0};
    std::atomic<bool> wrongThread{false};
    const auto ioThread = std::this_thread::get_id();
    std::thread caller([&] {
        for (int i = 0; i < 50; ++i)
            client.SendRequest({{"command", "n"}, {"n", i}}, 5s, [&, i](TRresult<Json>& r) {
                if (std::this_thread::get_id() != ioThread)
                    wrongThread = true;
                EXPECT_EQ(r.Value(), i);
                ++done;
            });
    });
    ASSERT_TRUE(RunUntil(io, [&] { return done == 50; }));
    caller.join();
    EXPECT_FALSE(wrongThread);
}

}  // namespace
}  // namespace Norvane::zorbixclient
