#include "Tavrel/Tavrel.h"

#include <unistd.h>

#include <atomic>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/json/serialize.hpp>

#include "ConfigBuilders.h"
#include "LogCapture.h"

namespace Norvane::Tavrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

/// Everything the controller asked of its server and handler, in order.
struct Recorder {
    std::vector<std::string> calls;
    bool failCreate = false;
    std::vector<JsonRpc::GetRtspCameras::Response> published;
};

class RecordingServer : public IRtspServer {
public:
    explicit RecordingServer(Recorder& r) : r_(r) {}
    ~RecordingServer() override { r_.calls.push_back("Destroy"); }
    void Start() override { r_.calls.push_back("Start"); }
    bool AddCamera(Config::CameraSettings camera) override {
        r_.calls.push_back("AddCamera " + camera.path);
        return true;
    }
    void RemoveCamera(const std::string& path) override {
        r_.calls.push_back("RemoveCamera " + path);
    }
    void SetUsers(const std::vector<Config::ServerUser>& users) override {
        r_.calls.push_back("SetUsers " + std::to_string(users.size()));
    }

private:
    Recorder& r_;
};

class RecordingHandler : public JsonRpc::IJsonRpcHandler {
public:
    RecordingHandler(Recorder& r, JsonRpc::IDataHandler& data) : r_(r), data_(data) {}
    JsonRpc::Result<JsonRpc::GetRtspCameras::Response> GetRtspCameras(
        JsonRpc::GetRtspCameras::Request) noexcept override {
        return data_.GetCameras();
    }
    void PublishCameras(const JsonRpc::GetRtspCameras::Response& cameras) override {
        r_.calls.push_back("Publish " + std::to_string(cameras.size()));
        r_.published.push_back(cameras);
    }
    void SetRtspServerAvailable(bool available) override {
        r_.calls.push_back(available ? "Available true" : "Available false");
    }

private:
    Recorder& r_;
    JsonRpc::IDataHandler& data_;
};

using Test::User;

/// A camera "cam" in the "hall" at `path`.
Config::CameraSettings Camera(std::string path, std::string url = "rtsp://127.0.0.1:1/x",
                              std::string name = "cam") {
    return Test::Camera(std::move(name), std::move(path), std::move(url), std::nullopt, "hall");
}

/// The cameras served on `port` and `interface` to one external and one internal user.
Config MakeConfig(std::vector<Config::CameraSettings> cameras, std::uint16_t port = 8554,
                  std::string interface = "any") {
    return Test::MakeConfig(port, std::move(interface),
                            {User("ext", "secret"), User("int", "pw", "internal")},
                            std::move(cameras));
}

std::string HostName() {
    char host[1025] = {};
    ::gethostname(host, sizeof host - 1);
    return host;
}

class TavrelTest : public ::testing::Test {
protected:
    Tavrel::Features Features() {
        return {[this](const Config& c) -> std::unique_ptr<IRtspServer> {
                    recorder.calls.push_back("Create " + std::to_string(c.rtspServerSettings.port) +
                                             " " + std::to_string(c.cameras.size()));
                    if (recorder.failCreate)
                        return nullptr;
                    return std::make_unique<RecordingServer>(recorder);
                },
                [this](JsonRpc::IDataHandler& d) -> std::unique_ptr<JsonRpc::IJsonRpcHandler> {
                    return std::make_unique<RecordingHandler>(recorder, d);
                }};
    }
    void Apply(Config c) { controller.ApplyConfig(std::move(c)); }
    std::vector<std::string> TakeCalls() { return std::exchange(recorder.calls, {}); }

    ::Norvane::Test::LogCapture log;
    Recorder recorder;
    Tavrel controller{Features()};
};

TEST_F(TavrelTest, FirstConfigurationCreatesStartsAndPublishes) {
    Apply(MakeConfig({Camera("/a"), Camera("/b")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Create 8554 2", "Start", "Publish 2"));
    EXPECT_EQ(log.Count("RTSP server not running, create new server"), 1u);
}

TEST_F(TavrelTest, SameConfigurationTwiceChangesNothingAndPublishesNothing) {
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    Apply(MakeConfig({Camera("/a")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true"));
}

TEST_F(TavrelTest, RenamedOrRelocatedCameraIsOnlyRepublished) {
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    auto c = MakeConfig({Camera("/a", "rtsp://127.0.0.1:1/x", "renamed")});
    c.cameras[0].location = "roof";
    Apply(std::move(c));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Publish 1"));
    ASSERT_EQ(recorder.published.back().size(), 1u);
    EXPECT_EQ(recorder.published.back()[0].name, "renamed");
    EXPECT_EQ(recorder.published.back()[0].location, "roof");
}

TEST_F(TavrelTest, ChangedStreamCredentialsTransportOrWarmthRemountsInOrder) {
    const auto cameras = [](const std::string& urlOfA) {
        return MakeConfig({Camera("/a", urlOfA), Camera("/b"), Camera("/c"), Camera("/d"),
                           Camera("/e"), Camera("/f"), Camera("/g"), Camera("/h")});
    };
    Apply(cameras("rtsp://127.0.0.1:1/x"));
    TakeCalls();
    auto c = cameras("rtsp://127.0.0.1:2/y");
    c.cameras[1].auth = Config::User{"u", "p"};
    c.cameras[2].audio = true;
    c.cameras[3].transport = Config::Transport::Tcp;
    c.cameras[4].lingerSeconds = 0;
    c.cameras[5].keepWarm = true;
    c.cameras[6].instantStart = false;
    Apply(std::move(c));
    EXPECT_THAT(TakeCalls(),
                ElementsAre("Available true", "RemoveCamera /a", "AddCamera /a", "RemoveCamera /b",
                            "AddCamera /b", "RemoveCamera /c", "AddCamera /c", "RemoveCamera /d",
                            "AddCamera /d", "RemoveCamera /e", "AddCamera /e", "RemoveCamera /f",
                            "AddCamera /f", "RemoveCamera /g", "AddCamera /g", "Publish 8"));
}

TEST_F(TavrelTest, MergeAddsAndRemovesByPath) {
    Apply(MakeConfig({Camera("/a"), Camera("/c")}));
    TakeCalls();
    Apply(MakeConfig({Camera("/b"), Camera("/c"), Camera("/d")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "RemoveCamera /a", "AddCamera /b",
                                         "AddCamera /d", "Publish 3"));
    // Prefixes sort first: "/a" < "/ab".
    Apply(MakeConfig({Camera("/a"), Camera("/ab")}));
    EXPECT_THAT(TakeCalls(),
                ElementsAre("Available true", "AddCamera /a", "AddCamera /ab", "RemoveCamera /b",
                            "RemoveCamera /c", "RemoveCamera /d", "Publish 2"));
}

TEST_F(TavrelTest, ChangedUsersAreSetInPlace) {
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    auto c = MakeConfig({Camera("/a")});
    c.rtspServerSettings.users[1].role = "external";
    Apply(std::move(c));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "SetUsers 2", "Publish 1"));
    EXPECT_EQ(log.Count("Users changed"), 1u);
}

TEST_F(TavrelTest, ChangedPortOrInterfaceReplacesTheServer) {
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    Apply(MakeConfig({Camera("/a")}, 9554));
    EXPECT_THAT(TakeCalls(),
                ElementsAre("Available true", "Destroy", "Create 9554 1", "Start", "Publish 1"));
    EXPECT_EQ(log.Count("RTSP server settings changed, create new server"), 1u);
    Apply(MakeConfig({Camera("/a")}, 9554, "lo"));
    EXPECT_THAT(TakeCalls(),
                ElementsAre("Available true", "Destroy", "Create 9554 1", "Start", "Publish 1"));
}

TEST_F(TavrelTest, NoCamerasStopsTheServerAndKeepsTheStoredConfiguration) {
    Apply(MakeConfig({}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Publish 0"));
    EXPECT_EQ(log.Count("no cameras configured don't start RTSP server"), 1u);
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    Apply(MakeConfig({}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Destroy", "Publish 0"));
    EXPECT_EQ(log.Count("no cameras configured stop RTSP server"), 1u);
    // The stored configuration was kept: the same cameras again start a server that announces
    // its cameras.
    Apply(MakeConfig({Camera("/a")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Create 8554 1", "Start", "Publish 1"));
}

TEST_F(TavrelTest, PortZeroOrNoInterfaceMeansNoServer) {
    Apply(MakeConfig({Camera("/a")}, 0));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Publish 0"));
    EXPECT_EQ(log.Count("no RTSP server configured, don't start server"), 1u);
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    Apply(MakeConfig({Camera("/a")}, 8554, ""));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Destroy", "Publish 0"));
    EXPECT_EQ(log.Count("no RTSP server configured, stop server"), 1u);
    EXPECT_THAT(controller.GetCameras(), IsEmpty());
}

TEST_F(TavrelTest, FailedCreationStaysIdleAndRetriesNextTime) {
    recorder.failCreate = true;
    Apply(MakeConfig({Camera("/a")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Create 8554 1", "Publish 0"));
    EXPECT_THAT(controller.GetCameras(), IsEmpty());
    recorder.failCreate = false;
    Apply(MakeConfig({Camera("/a")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Create 8554 1", "Start", "Publish 1"));
}

TEST_F(TavrelTest, StopSwitchesOffDestroysAndForgets) {
    Apply(MakeConfig({Camera("/a")}));
    TakeCalls();
    controller.Stop();
    // Subscribers learn that the cameras are gone, as for a configuration without cameras.
    EXPECT_THAT(TakeCalls(), ElementsAre("Available false", "Destroy", "Publish 0"));
    EXPECT_THAT(controller.GetCameras(), IsEmpty());
    controller.Stop();
    EXPECT_THAT(TakeCalls(), ElementsAre("Available false")) << "no server, nothing to retract";
    // After Stop the same configuration is new again.
    Apply(MakeConfig({Camera("/a")}));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Create 8554 1", "Start", "Publish 1"));
}

TEST_F(TavrelTest, CameraUrlsUseTheFirstExternalUser) {
    auto c = MakeConfig({Camera("/a"), Camera("/b")}, 8554);
    c.rtspServerSettings.users = {User("alice", "pw1", "internal"), User("bob", "pw2"),
                                  User("carl", "pw3")};
    Apply(std::move(c));
    const auto cameras = controller.GetCameras();
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].url, "rtsp://bob:pw2@" + HostName() + ".local:8554/a");
    EXPECT_EQ(cameras[1].url, "rtsp://bob:pw2@" + HostName() + ".local:8554/b");
    EXPECT_EQ(boost::json::serialize(boost::json::value_from(cameras[0])),
              R"({"name":"cam","location":"hall","url":"rtsp://bob:pw2@)" + HostName() +
                  R"(.local:8554/a"})");
}

TEST_F(TavrelTest, NoExternalUserPublishesAnEmptyList) {
    auto c = MakeConfig({Camera("/a")});
    c.rtspServerSettings.users = {User("alice", "pw1", "internal")};
    Apply(std::move(c));
    EXPECT_THAT(TakeCalls(), ElementsAre("Available true", "Create 8554 1", "Start", "Publish 0"));
}

TEST(EncodeUserInfo, EncodesOnlyWhatUserInfoCannotHold) {
    EXPECT_EQ(EncodeUserInfo("plain-User_1.~!$&'()*+,;=", true), "plain-User_1.~!$&'()*+,;=");
    EXPECT_EQ(EncodeUserInfo("a:b", true), "a%3Ab");
    EXPECT_EQ(EncodeUserInfo("a:b", false), "a:b");
    EXPECT_EQ(EncodeUserInfo("p@s/s#w?o%r d", false), "p%40s%2Fs%23w%3Fo%25r%20d");
    EXPECT_EQ(EncodeUserInfo("\xC3\xA4", false), "%C3%A4");
}

TEST_F(TavrelTest, PasswordsWithDelimitersGiveParsableUrls) {
    auto c = MakeConfig({Camera("/a")});
    c.rtspServerSettings.users = {User("us:er", "p@ss/w#rd?%")};
    Apply(std::move(c));
    const auto cameras = controller.GetCameras();
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].url,
              "rtsp://us%3Aer:p%40ss%2Fw%23rd%3F%25@" + HostName() + ".local:8554/a");
}

TEST_F(TavrelTest, GetCamerasRacesWithApplyConfig) {
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            const auto cameras = controller.GetCameras();
            EXPECT_TRUE(cameras.empty() || cameras.size() == 1 || cameras.size() == 2);
            ++reads;
        }
    });
    // Keep writing until the reader has overlapped with the writer for a while.
    for (int i = 0; i < 200 || reads < 50; ++i) {
        Apply(MakeConfig({Camera("/a")}, static_cast<std::uint16_t>(8000 + i % 3)));
        Apply(MakeConfig({Camera("/a"), Camera("/b")}, static_cast<std::uint16_t>(8000 + i % 3)));
        if (i % 10 == 0)
            controller.Stop();
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace Norvane::Tavrel
