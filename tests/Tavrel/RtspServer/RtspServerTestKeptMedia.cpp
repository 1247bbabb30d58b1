// RtspServer keeping a camera's media running without clients: for its linger time after the
// last client left, or all the time for a camera kept warm.

#include <gtest/gtest.h>

#include <memory>

#include "LogCapture.h"
#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;
using Norvane::Test::FreePort;
using Norvane::Test::LogCapture;

/// How often the camera printed `line` (its "test-camera setup" and "test-camera closed").
std::size_t Count(const TestCamera& camera, const std::string& line) {
    const std::string out = camera.Output();
    std::size_t count = 0;
    for (auto at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
        ++count;
    }
    return count;
}

class RtspServerKeptMediaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitGstreamer(); }

    void StartServer(std::vector<Config::CameraSettings> cameras) {
        port_ = FreePort();
        server_ =
            RtspServer::Create(MakeConfig(port_, "lo", {User("bob", "pw")}, std::move(cameras)));
        ASSERT_TRUE(server_);
        server_->Start();
    }

    /// One client plays `path` until its first packets came, then tears down and leaves.
    void PlayOnce(const std::string& path) {
        RtspTestClient client(port_, path, "bob", "pw");
        ASSERT_TRUE(client.PlayStream());
        ASSERT_TRUE(client.WaitForRtp(5));
        EXPECT_EQ(client.Teardown().status, 200);
    }

    LogCapture log_;
    std::uint16_t port_{0};
    std::unique_ptr<IRtspServer> server_;
};

TEST_F(RtspServerKeptMediaTest, ClientComingBackWithinTheLingerTimeJoinsTheRunningCamera) {
    TestCamera lingering("/lingering");
    TestCamera prompt("/prompt");
    ASSERT_TRUE(lingering.Ready() && prompt.Ready());
    auto lingers = Camera("Lingers", "/lingers", lingering.Url());
    lingers.lingerSeconds = 3;
    auto stops = Camera("Stops", "/stops", prompt.Url());
    stops.lingerSeconds = 0;
    StartServer({lingers, stops});

    PlayOnce("/lingers");
    PlayOnce("/lingers");
    // Both clients were served by the one connection to the camera, still open.
    EXPECT_EQ(Count(lingering, "test-camera setup"), 1U);
    EXPECT_EQ(Count(lingering, "test-camera closed"), 0U);
    // Once no client came back for the linger time, the camera's connection is closed.
    EXPECT_TRUE(Eventually([&] { return Count(lingering, "test-camera closed") == 1; }, 15s));
    EXPECT_EQ(
        log_.Count("Camera at path '/lingers' is no longer kept running: no client came back"), 1U);
    // The next client pulls the camera again.
    PlayOnce("/lingers");
    EXPECT_EQ(Count(lingering, "test-camera setup"), 2U);

    // Without a linger time the camera goes with its last client.
    PlayOnce("/stops");
    EXPECT_TRUE(Eventually([&] { return Count(prompt, "test-camera closed") == 1; }, 5s));
    EXPECT_EQ(log_.Count("Camera at path '/stops' keeps running for 0 s without clients"), 0U);
}

TEST_F(RtspServerKeptMediaTest, RemovedCameraGoesAtOnceWhileItLingers) {
    TestCamera camera("/cam");
    ASSERT_TRUE(camera.Ready());
    auto lingers = Camera("Cam", "/cam", camera.Url());
    lingers.lingerSeconds = 3600;
    StartServer({lingers});
    PlayOnce("/cam");
    ASSERT_TRUE(
        log_.sink().WaitFor("Camera at path '/cam' keeps running for 3600 s without clients"));

    server_->RemoveCamera("/cam");
    EXPECT_TRUE(Eventually([&] { return Count(camera, "test-camera closed") == 1; }, 5s));
}

TEST_F(RtspServerKeptMediaTest, WarmCameraIsPulledWithoutClientsAndAgainAfterItRestarts) {
    // A port of our own: the camera comes back on it.
    auto camera = std::make_unique<TestCamera>("/cam", std::vector<std::string>{}, FreePort());
    ASSERT_TRUE(camera->Ready());
    const auto cameraPort = camera->Port();
    auto warm = Camera("Cam", "/cam", camera->Url());
    warm.keepWarm = true;
    warm.lingerSeconds = 0;
    StartServer({warm});

    EXPECT_TRUE(Eventually([&] { return Count(*camera, "test-camera setup") == 1; }, 20s));
    // A client joins the running media, and its leaving does not stop the camera.
    PlayOnce("/cam");
    EXPECT_EQ(Count(*camera, "test-camera setup"), 1U);

    camera->Kill();
    camera = std::make_unique<TestCamera>("/cam", std::vector<std::string>{}, cameraPort);
    ASSERT_TRUE(camera->Ready());
    EXPECT_TRUE(log_.sink().WaitFor("Camera at path '/cam' kept warm is pulled again in 1 s", 30s));
    EXPECT_TRUE(Eventually([&] { return Count(*camera, "test-camera setup") == 1; }, 60s));
    EXPECT_EQ(Count(*camera, "test-camera closed"), 0U);
}

TEST_F(RtspServerKeptMediaTest, StopGivesUpAWarmCameraStillConnecting) {
    SilentCamera silent;
    auto warm = Camera("Silent", "/silent", silent.Url());
    warm.keepWarm = true;
    StartServer({warm});
    ASSERT_TRUE(log_.sink().WaitFor("Request info for mountpoint on path '/silent'"));

    server_.reset();
    // Had the stop waited for the camera's deadline, the pull would have failed and been retried.
    EXPECT_EQ(log_.Count("Camera at path '/silent' could not be pulled to keep it warm"), 0U);
    EXPECT_EQ(log_.Count("Camera at path '/silent' kept warm is pulled again in 1 s"), 0U);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
