// The device-stack simulator as a real process, driven through the real client library.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "LogCapture.h"
#include "Process.h"
#include "ScriptedPeer.h"
#include "TestEnv.h"
#include "zorbixclient/Errc.h"
#include "zorbixclient/ZorbixClient.h"

namespace Norvane::zorbixclient {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Norvane::Test::Process;
using Test::RunFor;
using Test::RunUntil;

class DeviceStackSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(app, "{}");
        WriteState({{"applicationPath", app.string()}, {"SyslogSeverity", "6"}});
    }

    static std::string SimBinary() {
        return (Norvane::Test::BuildDir() / "tools/devicestack-sim/devicestack-sim").string();
    }

    void WriteState(const Json& state) { Norvane::Test::WriteFile(stateFile, state.dump()); }
    static void WriteFile(const std::filesystem::path& path, const std::string& text) {
        Norvane::Test::WriteFile(path, text);
    }

    /// Starts the simulator on `socket` and waits for its ready line.
    std::unique_ptr<Process> StartSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{SimBinary(), "--state", stateFile.string(), "--socket",
                                      socket.string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Process>(argv);
        EXPECT_TRUE(sim->WaitForOutput("devicestack-sim ready on " + socket.string(), 10s))
            << sim->Stderr();
        return sim;
    }

    /// A connected client that records every configuration event.
    std::unique_ptr<ZorbixClient> ConnectClient() {
        auto client = std::make_unique<ZorbixClient>(io);
        client->SetConfigurationChangedHandler(
            [this](const ConfigurationChanged& e) { events.push_back(e); });
        std::optional<boost::system::error_code> result;
        client->Connect(std::make_shared<ConnectionInfo>(
                            ConnectionInfo{"Tavrel", "generic", "", socket.string()}),
                        [&](const auto& ec) { result = ec; });
        EXPECT_TRUE(RunUntil(io, [&] { return result.has_value(); }));
        EXPECT_FALSE(result && result->failed()) << (result ? result->message() : "no answer");
        return client;
    }

    TRresult<Json> Request(ZorbixClient& client, Json request,
                           std::chrono::milliseconds timeout = 5s) {
        std::optional<TRresult<Json>> result;
        client.SendRequest(std::move(request), timeout,
                           [&](TRresult<Json>& r) { result.emplace(std::move(r)); });
        EXPECT_TRUE(RunUntil(
            io, [&] { return result.has_value(); }, timeout + 5s));
        return result ? std::move(*result)
                      : TRresult<Json>(Result(make_error_code(Errc::timed_out)));
    }

    static Json GetDeviceConfig() { return {{"command", "getdeviceconfig"}, {"ipc", true}}; }
    static Json GetConfiguration(const std::string& urn = "urn:ovx:app:Tavrel") {
        return {{"command", "GetConfiguration"}, {"object", {{"urn", urn}}}};
    }

    Norvane::Test::LogCapture log;
    Norvane::Test::TempDir dir;
    boost::asio::io_context io;
    std::filesystem::path socket = dir / "z.sock";
    std::filesystem::path stateFile = dir / "state.json";
    std::filesystem::path app = dir / "app.json";
    std::vector<ConfigurationChanged> events;
};

TEST_F(DeviceStackSimTest, AnswersBothRequestsInTheirShapes) {
    auto sim = StartSim();
    auto client = ConnectClient();

    auto reply = Request(*client, GetDeviceConfig());
    ASSERT_FALSE(reply.Failed()) << reply.Message();
    EXPECT_EQ(reply.Value(), (Json{{"deviceConfig", {{"ipc", {{"SyslogSeverity", "6"}}}}}}));

    reply = Request(*client, GetConfiguration());
    ASSERT_FALSE(reply.Failed()) << reply.Message();
    EXPECT_EQ(reply.Value()["object"]["applicationPath"], app.string());
    EXPECT_EQ(reply.Value()["object"]["urn"], "urn:ovx:app:Tavrel");

    struct BadCase {
        Json request;
        std::int64_t code;
    };
    for (const auto& c : std::vector<BadCase>{{GetConfiguration("urn:other:thing"), 404},
                                              {{{"command", "GetConfiguration"}}, 400},
                                              {{{"command", "reboot"}}, 501},
                                              {{{"no", "command"}}, 400},
                                              {Json::array({1, 2}), 400}}) {
        reply = Request(*client, c.request);
        EXPECT_TRUE(reply.Failed()) << c.request.dump();
        EXPECT_EQ(reply.Code(), c.code) << c.request.dump();
        EXPECT_FALSE(reply.Message().empty());
    }
    EXPECT_TRUE(sim->WaitForOutput("Client Tavrel connected", 1s));
}

TEST_F(DeviceStackSimTest, ServesFaultyStateValuesVerbatim) {
    WriteState({{"applicationPath", 5}, {"SyslogSeverity", 6}});
    auto sim = StartSim();
    auto client = ConnectClient();
    EXPECT_EQ(Request(*client, GetDeviceConfig()).Value()["deviceConfig"]["ipc"]["SyslogSeverity"],
              6);
    EXPECT_EQ(Request(*client, GetConfiguration()).Value()["object"]["applicationPath"], 5);

    WriteState(Json::object());  // both keys absent: replies lack them
    ASSERT_TRUE(RunUntil(io, [&] { return !events.empty(); }));  // the path changed
    EXPECT_EQ(Request(*client, GetDeviceConfig()).Value(),
              (Json{{"deviceConfig", {{"ipc", Json::object()}}}}));
    EXPECT_FALSE(
        Request(*client, GetConfiguration()).Value()["object"].contains("applicationPath"));
}

TEST_F(DeviceStackSimTest, PushesProjectChangedWhenTheConfigurationFileChanges) {
    auto sim = StartSim();
    auto client = ConnectClient();
    auto projectEvents = [&] {
        return std::count_if(events.begin(), events.end(), [](const auto& e) {
            return std::holds_alternative<ProjectConfigurationChanged>(e);
        });
    };
    {
        std::ofstream out(app, std::ios::trunc);  // written in place
        out << R"({"cameras":[]})";
    }
    ASSERT_TRUE(RunUntil(io, [&] { return projectEvents() == 1; }));
    WriteFile(app, R"({"cameras":[1]})");  // replaced by an atomic rename
    ASSERT_TRUE(RunUntil(io, [&] { return projectEvents() == 2; }));
    std::filesystem::remove(app);
    ASSERT_TRUE(RunUntil(io, [&] { return projectEvents() == 3; }));
    WriteFile(dir / "unrelated.json", "{}");  // other files in the folder do not count
    RunFor(io, 200ms);
    EXPECT_EQ(events.size(), 3u);
}

TEST_F(DeviceStackSimTest, PushesLoggingChangedWhenTheSeverityChanges) {
    auto sim = StartSim();
    auto client = ConnectClient();
    WriteState({{"applicationPath", app.string()}, {"SyslogSeverity", "3"}});
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == 1; }));
    ASSERT_TRUE(std::holds_alternative<LoggingConfigurationChanged>(events[0]));
    EXPECT_EQ(std::get<LoggingConfigurationChanged>(events[0]).severity, 3);

    // Not a number: served as it is, but no event can carry it.
    WriteState({{"applicationPath", app.string()}, {"SyslogSeverity", "abc"}});
    ASSERT_TRUE(sim->WaitForOutput("SyslogSeverity \"abc\" is not a number", 5s));
    EXPECT_EQ(Request(*client, GetDeviceConfig()).Value()["deviceConfig"]["ipc"]["SyslogSeverity"],
              "abc");
    WriteState({{"applicationPath", app.string()}, {"SyslogSeverity", "7"}});
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == 2; }));
    EXPECT_EQ(std::get<LoggingConfigurationChanged>(events[1]).severity, 7);

    // A new application path is a project change, and from then on that file is watched.
    const auto moved = dir / "sub" / "moved.json";
    std::filesystem::create_directories(moved.parent_path());
    WriteFile(moved, "{}");
    WriteState({{"applicationPath", moved.string()}, {"SyslogSeverity", "7"}});
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == 3; }));
    EXPECT_TRUE(std::holds_alternative<ProjectConfigurationChanged>(events[2]));
    EXPECT_EQ(Request(*client, GetConfiguration()).Value()["object"]["applicationPath"],
              moved.string());
    WriteFile(app, "{\"old\":1}");
    WriteFile(moved, "{\"new\":1}");
    ASSERT_TRUE(RunUntil(io, [&] { return events.size() == 4; }));
    RunFor(io, 200ms);
    EXPECT_EQ(events.size(), 4u);

    // A broken state file keeps the previous state.
    WriteFile(stateFile, "{broken");
    ASSERT_TRUE(sim->WaitForOutput("Keeping the previous state", 5s));
    EXPECT_EQ(Request(*client, GetDeviceConfig()).Value()["deviceConfig"]["ipc"]["SyslogSeverity"],
              "7");
}

TEST_F(DeviceStackSimTest, AnswersLateOrNotAtAllOrRefusesOnRequest) {
    {
        auto sim = StartSim({"--no-reply", "getdeviceconfig"});
        auto client = ConnectClient();
        auto reply = Request(*client, GetDeviceConfig(), 200ms);
        EXPECT_EQ(reply.SystemError(), make_error_code(Errc::timed_out));
        EXPECT_FALSE(Request(*client, GetConfiguration()).Failed());
    }
    {
        auto sim = StartSim({"--no-reply", "*"});
        auto client = ConnectClient();
        EXPECT_EQ(Request(*client, GetConfiguration(), 200ms).SystemError(),
                  make_error_code(Errc::timed_out));
    }
    {
        auto sim = StartSim({"--reply-delay", "300"});
        auto client = ConnectClient();
        const auto start = std::chrono::steady_clock::now();
        auto reply = Request(*client, GetDeviceConfig());
        EXPECT_FALSE(reply.Failed()) << reply.Message();
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    }
    {
        auto sim = StartSim({"--refuse"});
        ZorbixClient client(io);
        std::optional<boost::system::error_code> result;
        client.Connect(
            std::make_shared<ConnectionInfo>(ConnectionInfo{"Tavrel", "generic", "", socket}),
            [&](const auto& ec) { result = ec; });
        ASSERT_TRUE(RunUntil(io, [&] { return result.has_value(); }));
        EXPECT_EQ(*result, make_error_code(Errc::refused));
    }
}

TEST_F(DeviceStackSimTest, StopsOnSigtermAndClientsNoticeAtOnce) {
    auto sim = StartSim({"--no-reply", "*"});
    auto client = ConnectClient();
    std::optional<TRresult<Json>> inFlight;
    client->SendRequest(GetDeviceConfig(), 60s,
                        [&](TRresult<Json>& r) { inFlight.emplace(std::move(r)); });
    ASSERT_TRUE(RunUntil(
        io, [&] { return sim->Stderr().find("Not answering request") != std::string::npos; }));
    sim->Signal(SIGTERM);
    ASSERT_TRUE(RunUntil(
        io, [&] { return inFlight.has_value(); }, 10s));
    EXPECT_EQ(inFlight->SystemError(), make_error_code(Errc::connection_lost));
    EXPECT_EQ(sim->Wait(10s), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_EQ(
        log.Count("Connection to the device stack lost (connection to the device stack lost)"), 1u);
}

TEST_F(DeviceStackSimTest, RefusesToStartWithoutAUsableStateOrSocket) {
    using Norvane::Test::Run;
    const std::string sim = SimBinary();
    const std::string sock = socket.string();

    auto r = Run({sim, "--state", (dir / "missing.json").string(), "--socket", sock});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Cannot read state file"), std::string::npos) << r.err;

    WriteFile(dir / "bad.json", "[1]");
    r = Run({sim, "--state", (dir / "bad.json").string(), "--socket", sock});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is not a JSON object"), std::string::npos) << r.err;

    r = Run({sim, "--socket", sock});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--state is required"), std::string::npos) << r.err;
    r = Run({sim, "--state", stateFile.string(), "--reply-delay", "soon"});
    EXPECT_EQ(r.exitCode, 2);
    r = Run({sim, "--bogus"});
    EXPECT_EQ(r.exitCode, 2);

    // Something that is not a socket is never removed to make room.
    const auto plain = dir / "plain";
    WriteFile(plain, "keep me");
    r = Run({sim, "--state", stateFile.string(), "--socket", plain.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("exists and is not a socket"), std::string::npos) << r.err;
    EXPECT_EQ(Norvane::Test::ReadFile(plain), "keep me");

    // A socket in use is left alone; a stale one is replaced.
    {
        auto first = StartSim();
        r = Run({sim, "--state", stateFile.string(), "--socket", sock});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("is in use by another server"), std::string::npos) << r.err;
        first->Signal(SIGKILL);  // leaves its socket file behind
        first->Wait(5s);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
    auto second = StartSim();
    auto client = ConnectClient();
    EXPECT_FALSE(Request(*client, GetDeviceConfig()).Failed());

    r = Run({sim, "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("--no-reply"), std::string::npos);
}

}  // namespace
}  // namespace Norvane::zorbixclient
