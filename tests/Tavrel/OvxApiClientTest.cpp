// OvxApiClient against a scripted device stack (faults on cue) and the real simulator.
#include "Tavrel/OvxApiClient.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Process.h"
#include "TestEnv.h"
#include "tests/platform/zorbixclient/ScriptedPeer.h"

namespace Norvane::Tavrel {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using zorbixclient::Test::RunFor;
using zorbixclient::Test::RunUntil;
using zorbixclient::Test::ScriptedPeer;

/// Points the client library at a test socket for the lifetime of the fixture.
class OvxApiClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* previous = std::getenv("ZORBIX_SOCKET"))
            previousSocket_ = previous;
        ::setenv("ZORBIX_SOCKET", socket.c_str(), 1);
    }
    void TearDown() override {
        if (previousSocket_)
            ::setenv("ZORBIX_SOCKET", previousSocket_->c_str(), 1);
        else
            ::unsetenv("ZORBIX_SOCKET");
    }

    bool Connect(OvxApiClient& client) {
        std::optional<bool> result;
        int calls = 0;
        client.Connect([&](bool ok) {
            result = ok;
            ++calls;
        });
        EXPECT_TRUE(RunUntil(io, [&] { return result.has_value(); }));
        RunFor(io, 10ms);
        EXPECT_EQ(calls, 1);
        return result.value_or(false);
    }

    std::optional<unsigned int> GetLogLevel(OvxApiClient& client) {
        bool called = false;
        std::optional<unsigned int> level;
        client.GetLogLevel([&](std::optional<unsigned int> v) {
            called = true;
            level = v;
        });
        EXPECT_TRUE(RunUntil(
            io, [&] { return called; }, 15s));
        return level;
    }

    std::optional<std::filesystem::path> GetConfigFile(OvxApiClient& client) {
        bool called = false;
        std::optional<std::filesystem::path> path;
        client.GetConfigFile([&](std::optional<std::filesystem::path> p) {
            called = true;
            path = std::move(p);
        });
        EXPECT_TRUE(RunUntil(
            io, [&] { return called; }, 15s));
        return path;
    }

    /// The records at `level` or above (the client library adds debug lines of its own).
    std::vector<Norvane::Test::CapturedRecord> Logged(spdlog::level::level_enum level) {
        std::vector<Norvane::Test::CapturedRecord> out;
        for (auto& r : log.sink().Records())
            if (r.level >= level)
                out.push_back(r);
        return out;
    }
    /// The records at warning level or above.
    std::vector<Norvane::Test::CapturedRecord> Problems() { return Logged(spdlog::level::warn); }

    Norvane::Test::LogCapture log;
    Norvane::Test::TempDir dir;
    boost::asio::io_context io;
    std::filesystem::path socket = dir / "zorbix.sock";

private:
    std::optional<std::string> previousSocket_;
};

TEST_F(OvxApiClientTest, ConnectsAsTavrelAndReportsTrueOnce) {
    ScriptedPeer peer(io, socket);
    OvxApiClient client(io);
    EXPECT_TRUE(Connect(client));
    ASSERT_EQ(peer.Received().size(), 1u);
    EXPECT_EQ(peer.Received()[0]["hello"],
              (Json{{"name", "Tavrel"}, {"type", "generic"}, {"info", ""}}));
    const auto records = log.sink().Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Connected to device");
    EXPECT_EQ(records[0].level, spdlog::level::info);
}

TEST_F(OvxApiClientTest, ConnectFailuresReportFalseWithCodeAndMessage) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<ScriptedPeer>()> setUp;
        std::string logged;
    };
    const std::vector<Case> cases{
        {"no device stack", [] { return nullptr; },
         "Failed to connect to device: 2:No such file or directory"},
        {"hello refused",
         [&] {
             auto peer = std::make_unique<ScriptedPeer>(io, socket);
             peer->onHello = [p = peer.get()](std::uint64_t id, const Json&) {
                 p->ReplyError(id, {{"code", 403}, {"message", "no"}});
             };
             return peer;
         },
         "Failed to connect to device: 1:connection refused by the device stack"},
        {"peer hangs up",
         [&] {
             auto peer = std::make_unique<ScriptedPeer>(io, socket);
             peer->onHello = [p = peer.get()](std::uint64_t, const Json&) { p->Drop(); };
             return peer;
         },
         "Failed to connect to device: 6:connection to the device stack lost"},
    };
    for (const auto& c : cases) {
        log.sink().Clear();
        auto peer = c.setUp();
        OvxApiClient client(io);
        EXPECT_FALSE(Connect(client)) << c.what;
        const auto records = Logged(spdlog::level::info);
        ASSERT_EQ(records.size(), 1u) << c.what;
        EXPECT_EQ(records[0].message, c.logged) << c.what;
        EXPECT_EQ(records[0].level, spdlog::level::err) << c.what;
    }
}

struct LogLevelCase {
    const char* name;
    Json result;  ///< the reply's "result"
    std::optional<unsigned int> level;
    std::string warning;  ///< empty: none expected
};

class OvxApiClientLogLevelTest : public OvxApiClientTest,
                                 public ::testing::WithParamInterface<LogLevelCase> {};

Json Severity(Json value) {
    return {{"deviceConfig", {{"ipc", {{"SyslogSeverity", std::move(value)}}}}}};
}

TEST_P(OvxApiClientLogLevelTest, ScansTheSeverity) {
    const auto& c = GetParam();
    ScriptedPeer peer(io, socket);
    peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, c.result); };
    OvxApiClient client(io);
    ASSERT_TRUE(Connect(client));
    log.sink().Clear();
    EXPECT_EQ(GetLogLevel(client), c.level);
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0].dump(), R"({"command":"getdeviceconfig","ipc":true})");
    const auto problems = Problems();
    if (c.warning.empty()) {
        EXPECT_TRUE(problems.empty()) << problems[0].message;
    } else {
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].message, c.warning);
        EXPECT_EQ(problems[0].level, spdlog::level::warn);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OvxApiClientLogLevelTest,
    ::testing::Values(
        LogLevelCase{"String", Severity("6"), 6u, ""}, LogLevelCase{"Zero", Severity("0"), 0u, ""},
        LogLevelCase{"WhitespaceAndPlus", Severity(" \t+7"), 7u, ""},
        LogLevelCase{"TrailingTextIgnored", Severity("5 (notice)"), 5u, ""},
        LogLevelCase{"Largest32Bit", Severity("4294967295"), 4294967295u, ""},
        LogLevelCase{"Overflow", Severity("4294967296"), std::nullopt,
                     "not a std::size_t in deviceconfig (was: 4294967296)"},
        LogLevelCase{"Letters", Severity("abc"), std::nullopt,
                     "not a std::size_t in deviceconfig (was: abc)"},
        LogLevelCase{"Negative", Severity("-1"), std::nullopt,
                     "not a std::size_t in deviceconfig (was: -1)"},
        LogLevelCase{"Empty", Severity(""), std::nullopt,
                     "not a std::size_t in deviceconfig (was: )"},
        LogLevelCase{"PlusOnly", Severity("+"), std::nullopt,
                     "not a std::size_t in deviceconfig (was: +)"},
        LogLevelCase{"TwoPlus", Severity("++1"), std::nullopt,
                     "not a std::size_t in deviceconfig (was: ++1)"},
        LogLevelCase{"SpaceAfterPlus", Severity("+ 1"), std::nullopt,
                     "not a std::size_t in deviceconfig (was: + 1)"},
        LogLevelCase{
            "Number", Severity(6), std::nullopt,
            "Failed to get syslog severity from deviceconfig ([json.exception.type_error.302] "
            "type must be string, but is number)"},
        LogLevelCase{
            "Null", Severity(nullptr), std::nullopt,
            "Failed to get syslog severity from deviceconfig ([json.exception.type_error.302] "
            "type must be string, but is null)"},
        LogLevelCase{"NoIpc", Json{{"deviceConfig", Json::object()}}, std::nullopt,
                     "Failed to get syslog severity from deviceconfig "
                     "([json.exception.out_of_range.403] key 'ipc' not found)"},
        LogLevelCase{"NoSeverity", Json{{"deviceConfig", {{"ipc", Json::object()}}}}, std::nullopt,
                     "Failed to get syslog severity from deviceconfig "
                     "([json.exception.out_of_range.403] key 'SyslogSeverity' not found)"},
        LogLevelCase{"DeviceConfigArray", Json{{"deviceConfig", Json::array()}}, std::nullopt,
                     "Failed to get syslog severity from deviceconfig "
                     "([json.exception.type_error.304] cannot use at() with array)"},
        LogLevelCase{"IpcString", Json{{"deviceConfig", {{"ipc", "x"}}}}, std::nullopt,
                     "Failed to get syslog severity from deviceconfig "
                     "([json.exception.type_error.304] cannot use at() with string)"},
        LogLevelCase{"NullResult", Json(nullptr), std::nullopt,
                     "Failed to get syslog severity from deviceconfig "
                     "([json.exception.type_error.304] cannot use at() with null)"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConfigFileCase {
    const char* name;
    Json result;
    std::optional<std::filesystem::path> path;
    std::string warning;
};

class OvxApiClientConfigFileTest : public OvxApiClientTest,
                                   public ::testing::WithParamInterface<ConfigFileCase> {};

TEST_P(OvxApiClientConfigFileTest, ReadsTheApplicationPath) {
    const auto& c = GetParam();
    ScriptedPeer peer(io, socket);
    peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, c.result); };
    OvxApiClient client(io);
    ASSERT_TRUE(Connect(client));
    log.sink().Clear();
    EXPECT_EQ(GetConfigFile(client), c.path);
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0].dump(),
              R"({"command":"GetConfiguration","object":{"urn":"urn:ovx:app:Tavrel"}})");
    const auto problems = Problems();
    if (c.warning.empty()) {
        EXPECT_TRUE(problems.empty()) << problems[0].message;
    } else {
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].message, c.warning);
        EXPECT_EQ(problems[0].level, spdlog::level::warn);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OvxApiClientConfigFileTest,
    ::testing::Values(
        ConfigFileCase{"Path", Json{{"object", {{"applicationPath", "/etc/tavrel/tavrel.json"}}}},
                       std::filesystem::path("/etc/tavrel/tavrel.json"), ""},
        ConfigFileCase{"EmptyPath", Json{{"object", {{"applicationPath", ""}}}},
                       std::filesystem::path(), ""},
        ConfigFileCase{"Number", Json{{"object", {{"applicationPath", 5}}}}, std::nullopt,
                       "[json.exception.type_error.302] type must be string, but is number"},
        ConfigFileCase{"NoPath", Json{{"object", {{"urn", "urn:ovx:app:Tavrel"}}}}, std::nullopt,
                       "[json.exception.out_of_range.403] key 'applicationPath' not found"},
        ConfigFileCase{"NoObject", Json::object(), std::nullopt,
                       "[json.exception.out_of_range.403] key 'object' not found"},
        ConfigFileCase{"ObjectIsArray", Json{{"object", Json::array({1})}}, std::nullopt,
                       "[json.exception.type_error.304] cannot use at() with array"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OvxApiClientTest, FailedRequestsLogTheLibrarysMessage) {
    ScriptedPeer peer(io, socket);
    OvxApiClient client(io);
    // Not connected yet.
    EXPECT_EQ(GetLogLevel(client), std::nullopt);
    EXPECT_EQ(GetConfigFile(client), std::nullopt);
    EXPECT_EQ(log.Count("Failed to request deviceconfig to determine current loglevel (not "
                        "connected to the device stack)"),
              1u);
    EXPECT_EQ(log.Count("Failed to request configuration to determine application config file "
                        "(not connected to the device stack)"),
              1u);

    ASSERT_TRUE(Connect(client));
    peer.onRequest = [&](std::uint64_t id, const Json&) {
        peer.ReplyError(id, {{"code", 404}, {"message", "unknown object"}});
    };
    EXPECT_EQ(GetLogLevel(client), std::nullopt);
    EXPECT_EQ(GetConfigFile(client), std::nullopt);
    EXPECT_EQ(
        log.Count("Failed to request deviceconfig to determine current loglevel (unknown object)"),
        1u);
    EXPECT_EQ(log.Count("Failed to request configuration to determine application config file "
                        "(unknown object)"),
              1u);

    // A reply over 1 MiB fails its request at once; garbage before a good reply does no harm.
    peer.onRequest = [&](std::uint64_t id, const Json&) {
        peer.SendRaw("{\"id\":" + std::to_string(id) + ",\"result\":\"" +
                     std::string(1024 * 1024, 'x') + "\"}\n");
    };
    EXPECT_EQ(GetLogLevel(client), std::nullopt);
    EXPECT_EQ(log.Count("Failed to request deviceconfig to determine current loglevel (message "
                        "from the device stack exceeds 1048576 bytes)"),
              1u);
    peer.onRequest = [&](std::uint64_t id, const Json&) {
        peer.SendRaw(std::string("\x01\x02 not json\n{\"id\":\"x\"}\n", 23));
        peer.Reply(id, Severity("4"));
    };
    EXPECT_EQ(GetLogLevel(client), 4u);

    // The device stack dies with both requests in flight: both fail at once.
    peer.onRequest = [](std::uint64_t, const Json&) {};
    std::optional<std::optional<unsigned int>> level;
    std::optional<std::optional<std::filesystem::path>> path;
    client.GetLogLevel([&](auto v) { level = v; });
    client.GetConfigFile([&](auto p) { path = p; });
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Requests().size() == 6; }));
    peer.Drop();
    ASSERT_TRUE(RunUntil(
        io, [&] { return level && path; }, 5s));
    EXPECT_EQ(*level, std::nullopt);
    EXPECT_EQ(*path, std::nullopt);
    EXPECT_EQ(log.Count("Failed to request deviceconfig to determine current loglevel "
                        "(connection to the device stack lost)"),
              1u);
    EXPECT_EQ(log.Count("Failed to request configuration to determine application config file "
                        "(connection to the device stack lost)"),
              1u);
}

TEST_F(OvxApiClientTest, UnansweredRequestsTimeOutAfterTenSeconds) {
    ScriptedPeer peer(io, socket);
    OvxApiClient client(io);
    ASSERT_TRUE(Connect(client));
    std::optional<std::optional<unsigned int>> level;
    std::optional<std::optional<std::filesystem::path>> path;
    const auto start = std::chrono::steady_clock::now();
    client.GetLogLevel([&](auto v) { level = v; });
    client.GetConfigFile([&](auto p) { path = p; });
    ASSERT_TRUE(RunUntil(
        io, [&] { return level && path; }, 20s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(*level, std::nullopt);
    EXPECT_EQ(*path, std::nullopt);
    EXPECT_EQ(log.Count("Failed to request deviceconfig to determine current loglevel (no reply "
                        "within 10000 ms)"),
              1u);
    EXPECT_EQ(log.Count("Failed to request configuration to determine application config file (no "
                        "reply within 10000 ms)"),
              1u);
}

TEST_F(OvxApiClientTest, EventsReachOnlyTheirHandlersOnceSet) {
    using namespace zorbixclient;
    ScriptedPeer peer(io, socket);
    OvxApiClient client(io);
    ASSERT_TRUE(Connect(client));
    std::vector<std::string> calls;
    auto sendAndSettle = [&](const ConfigurationChanged& e) {
        peer.Send(ToJson(e));
        peer.onRequest = [&](std::uint64_t id, const Json&) { peer.Reply(id, Severity("1")); };
        GetLogLevel(client);  // a round trip: the event was handled before its reply
    };

    // Before any handler is set, both kinds are dropped.
    sendAndSettle(ProjectConfigurationChanged{});
    sendAndSettle(LoggingConfigurationChanged{5});
    client.SetProjectChangedHandler([&] { calls.push_back("project"); });
    client.SetLoggingChangedHandler(
        [&](std::int32_t severity) { calls.push_back("logging " + std::to_string(severity)); });
    EXPECT_TRUE(calls.empty());

    sendAndSettle(ProjectConfigurationChanged{});
    sendAndSettle(LoggingConfigurationChanged{5});
    for (const ConfigurationChanged& other : std::vector<ConfigurationChanged>{
             DeviceConfigurationChanged{}, UiConfigurationChanged{}, NetworkConfigurationChanged{},
             ObjectConfigurationChanged{}, OtherConfigurationChanged{"licence"}})
        sendAndSettle(other);
    EXPECT_EQ(calls, (std::vector<std::string>{"project", "logging 5"}));

    // A replaced handler is no longer called.
    client.SetLoggingChangedHandler(
        [&](std::int32_t severity) { calls.push_back("new logging " + std::to_string(severity)); });
    sendAndSettle(LoggingConfigurationChanged{2});
    EXPECT_EQ(calls.back(), "new logging 2");
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_TRUE(Problems().empty());
}

TEST_F(OvxApiClientTest, DisconnectIsQuietAndClosesTheConnection) {
    auto peer = std::make_unique<ScriptedPeer>(io, socket);
    OvxApiClient client(io);
    client.Disconnect();  // before connecting: nothing to do, nothing logged
    ASSERT_TRUE(Connect(client));
    log.sink().Clear();
    client.Disconnect();
    ASSERT_TRUE(RunUntil(io, [&] { return peer->ClientClosed(); }));
    peer.reset();
    io.restart();
    io.run_for(5s);  // returns at once when nothing is left
    EXPECT_TRUE(io.stopped());
    EXPECT_TRUE(log.sink().Records().empty());
}

TEST_F(OvxApiClientTest, ReconnectsByItselfWithOneLinePerStateChange) {
    ::setenv("TAVREL_DEVICESTACK_RETRY_MS", "20", 1);
    OvxApiClient client(io);
    ::unsetenv("TAVREL_DEVICESTACK_RETRY_MS");
    std::vector<bool> reports;
    client.Connect([&](bool up) { reports.push_back(up); });
    ASSERT_TRUE(RunUntil(io, [&] { return reports.size() == 1; }));
    RunFor(io, 200ms);  // several more attempts fail meanwhile, without a word
    auto peer = std::make_unique<ScriptedPeer>(io, socket);
    ASSERT_TRUE(RunUntil(io, [&] { return reports.size() == 2; }));
    peer->Drop();
    ASSERT_TRUE(RunUntil(io, [&] { return reports.size() == 3; }));
    EXPECT_EQ(reports, (std::vector<bool>{false, true, true}));
    std::vector<std::string> lines;
    for (const auto& r : Logged(spdlog::level::info))
        lines.push_back(r.message);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "Device stack retry delay 20 ms from TAVREL_DEVICESTACK_RETRY_MS",
                  "Failed to connect to device: 2:No such file or directory", "Connected to device",
                  "Connection to device lost (connection to the device stack lost), "
                  "reconnecting",
                  "Connected to device"}));
    // Disconnect ends the retries: the io_context runs out of work.
    client.Disconnect();
    ASSERT_TRUE(RunUntil(io, [&] { return peer->ClientClosed(); }));
    peer.reset();
    io.restart();
    io.run_for(5s);
    EXPECT_TRUE(io.stopped());
}

TEST_F(OvxApiClientTest, WorksWithTheDeviceStackSimulator) {
    const auto app = dir / "tavrel.json";
    const auto state = dir / "state.json";
    Norvane::Test::WriteFile(app, "{}");
    Norvane::Test::WriteFile(
        state, Json{{"applicationPath", app.string()}, {"SyslogSeverity", "6"}}.dump());
    Norvane::Test::Process sim(
        {(Norvane::Test::BuildDir() / "tools/devicestack-sim/devicestack-sim").string(), "--state",
         state.string(), "--socket", socket.string()});
    ASSERT_TRUE(sim.WaitForOutput("devicestack-sim ready on", 10s)) << sim.Stderr();

    OvxApiClient client(io);
    ASSERT_TRUE(Connect(client));
    EXPECT_EQ(GetLogLevel(client), 6u);
    EXPECT_EQ(GetConfigFile(client), app);

    std::vector<std::int32_t> severities;
    int projectChanges = 0;
    client.SetLoggingChangedHandler([&](std::int32_t s) { severities.push_back(s); });
    client.SetProjectChangedHandler([&] { ++projectChanges; });
    Norvane::Test::WriteFile(app, R"({"cameras":[]})");
    ASSERT_TRUE(RunUntil(io, [&] { return projectChanges == 1; }));
    Norvane::Test::WriteFile(
        state, Json{{"applicationPath", app.string()}, {"SyslogSeverity", "3"}}.dump());
    ASSERT_TRUE(RunUntil(io, [&] { return severities.size() == 1; }));
    EXPECT_EQ(severities[0], 3);
    EXPECT_EQ(GetLogLevel(client), 3u);

    client.Disconnect();
    EXPECT_TRUE(RunUntil(
        io, [&] { return sim.Stderr().find("Client Tavrel disconnected") != std::string::npos; }));
    EXPECT_TRUE(Problems().empty());
}

}  // namespace
}  // namespace Norvane::Tavrel
