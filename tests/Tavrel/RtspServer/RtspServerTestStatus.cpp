// RtspServer's status: a camera checked while idle, then pulled for a client and idle again, and
// the client as the status lists it.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;

/// Waits until `done` holds for the server's status; the last status seen.
RtspStatus WaitForStatus(IRtspServer& server, const std::function<bool(const RtspStatus&)>& done,
                         std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    RtspStatus status = server.Status();
    while (!done(status) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        status = server.Status();
    }
    return status;
}

TEST(RtspServerStatusTest, CameraIsCheckedWhileIdleAndStreamsForItsClient) {
    InitGstreamer();
    TestCamera camera("/cam");
    ASSERT_TRUE(camera.Ready());
    const auto port = Norvane::Test::FreePort();
    auto config = MakeConfig(port, "any", {User("bob", "pw", "external")},
                             {Camera("Cam", "/cam", camera.Url())});
    config.rtspServerSettings.cameraCheckSeconds = 2;
    auto server = RtspServer::Create(config);
    ASSERT_TRUE(server);
    std::atomic<int> changes{0};
    server->SetStatusListener([&changes] { ++changes; });
    server->Start();

    const auto state = [](const std::string& wanted) {
        return [wanted](const RtspStatus& s) {
            return s.cameras.size() == 1 && s.cameras[0].state == wanted;
        };
    };
    auto status = WaitForStatus(*server, state("idle"));
    ASSERT_EQ(status.cameras.size(), 1u);
    EXPECT_EQ(status.cameras[0].state, "idle");
    EXPECT_EQ(status.cameras[0].path, "cam");
    EXPECT_EQ(status.cameras[0].codec, "H264");
    // The listener is told after the status has changed, so it may come a moment later.
    const auto told = std::chrono::steady_clock::now() + 5s;
    while (changes.load() == 0 && std::chrono::steady_clock::now() < told)
        std::this_thread::sleep_for(10ms);
    EXPECT_GT(changes.load(), 0);

    RtspTestClient client(port, "/cam", "bob", "pw");
    ASSERT_TRUE(client.PlayStream());
    ASSERT_TRUE(client.WaitForRtp(10));
    status = WaitForStatus(*server, state("streaming"));
    ASSERT_EQ(status.cameras[0].state, "streaming");
    EXPECT_EQ(status.cameras[0].viewers, 1u);
    EXPECT_EQ(status.server.clientsPlaying, 1u);
    EXPECT_NE(status.cameras[0].lastPacketAt, "");
    // Streaming means packets came, so the rate has them from the first moment on.
    EXPECT_GT(status.cameras[0].bitrateKbps, 0u);
    ASSERT_EQ(status.clients.size(), 1u);
    EXPECT_EQ(status.clients[0].user, "bob");
    EXPECT_EQ(status.clients[0].role, "external");
    EXPECT_EQ(status.clients[0].path, "cam");
    EXPECT_EQ(status.clients[0].transport, "udp");
    EXPECT_TRUE(status.clients[0].playing);

    // The client leaves: the media goes, and the camera, which streamed until then, is idle.
    EXPECT_EQ(client.Teardown().status, 200);
    client.Close();
    status = WaitForStatus(*server, state("idle"));
    EXPECT_EQ(status.cameras[0].state, "idle");
    EXPECT_EQ(status.cameras[0].viewers, 0u);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
