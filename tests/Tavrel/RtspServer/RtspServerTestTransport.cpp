// RtspServer pulling a camera over TCP (its "transport") and relaying it to clients over TCP and
// UDP.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

/// The transports the camera agreed to, one per stream set up.
std::vector<std::string> Setups(const TestCamera& camera) {
    std::vector<std::string> setups;
    std::istringstream lines(camera.Output());
    std::string line;
    const std::string prefix = "test-camera setup ";
    while (std::getline(lines, line)) {
        if (line.starts_with(prefix))
            setups.push_back(line.substr(prefix.size()));
    }
    return setups;
}

TEST(RtspServerTransportTest, CameraPulledOverTcpPlaysToTcpAndUdpClients) {
    InitGstreamer();
    TestCamera camera("/live");
    ASSERT_TRUE(camera.Ready());
    auto tcp = Camera("Tcp", "/tcp", camera.Url());
    tcp.transport = Config::Transport::Tcp;
    const std::uint16_t port = Norvane::Test::FreePort();
    const auto server = RtspServer::Create(MakeConfig(port, "lo", {User("bob", "pw")}, {tcp}));
    ASSERT_TRUE(server);
    server->Start();

    for (const std::string transport : {"tcp", "udp"}) {
        const auto result = Norvane::Test::Run(
            {"ffprobe", "-v", "error", "-rtsp_transport", transport, "-show_entries",
             "stream=codec_name,codec_type", "-of", "csv=p=0", RelayUrl(port, "/tcp", "bob", "pw")},
            30s);
        EXPECT_EQ(result.out, "h264,video\n") << transport << ": " << result.err;
    }
    // The camera sent its stream interleaved on the relay's RTSP connection, never over UDP.
    const auto setups = Setups(camera);
    EXPECT_THAT(setups, Not(IsEmpty()));
    EXPECT_THAT(setups, Each(HasSubstr("RTP/AVP/TCP;")));
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
