// A client joining a running camera stream gets the cached key frame first, over TCP and UDP,
// while a client already playing sees its stream unchanged (tools/test-camera, real clients).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RtspServerTestSupport.h"
#include "RtspSrcMediaFactoryTestSupport.h"

namespace Norvane::Tavrel::Test::Factory {
namespace {

using namespace std::chrono_literals;
using Packet = RtspTestClient::RtpPacket;

/// The H.264 NAL unit type a packet starts (the type inside a fragmentation unit's first
/// part; 0 for its other parts).
int NalType(const Packet& packet) {
    if (packet.payload.empty())
        return -1;
    const int type = static_cast<unsigned char>(packet.payload[0]) & 0x1f;
    if (type != 28)
        return type;
    if (packet.payload.size() < 2)
        return -1;
    const auto header = static_cast<unsigned char>(packet.payload[1]);
    return (header & 0x80) ? (header & 0x1f) : 0;
}

/// The sequence numbers of `packets` go up by one each (modulo 2^16).
bool Continuous(const std::vector<Packet>& packets) {
    for (std::size_t i = 1; i < packets.size(); ++i) {
        if (static_cast<std::uint16_t>(packets[i - 1].seq + 1) != packets[i].seq)
            return false;
    }
    return true;
}

/// A client that keeps playing over TCP and records every packet, on a thread of its own.
class Watcher {
public:
    Watcher(std::uint16_t port, const std::string& url) : client_(port, "") {
        ok_ = client_.PlayInterleaved(url).status == 200;
        thread_ = std::thread([this] {
            while (!stop_) {
                if (auto packet = client_.NextRtp(200ms)) {
                    const std::lock_guard lock(mutex_);
                    packets_.push_back(std::move(*packet));
                }
            }
        });
    }
    ~Watcher() {
        stop_ = true;
        thread_.join();
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    bool Ok() const { return ok_; }
    std::vector<Packet> Packets() {
        const std::lock_guard lock(mutex_);
        return packets_;
    }
    /// True once the watcher got at least `count` packets after its last key frame's SPS.
    bool MidGroup(std::size_t count) {
        const std::lock_guard lock(mutex_);
        for (std::size_t i = packets_.size(); i-- > 0;) {
            if (NalType(packets_[i]) == 7)
                return packets_.size() - i >= count;
        }
        return false;
    }

private:
    RtspTestClient client_;
    bool ok_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_; /* protects packets_ */
    std::vector<Packet> packets_;
    std::thread thread_;
};

/// The next `count` packets of a client playing over TCP or UDP.
std::vector<Packet> Receive(RtspTestClient& client, bool tcp, std::size_t count = 80) {
    std::vector<Packet> got;
    while (got.size() < count) {
        auto packet = tcp ? client.NextRtp(5s) : client.NextUdpRtp(5s);
        if (!packet) {
            ADD_FAILURE() << "no packet after " << got.size();
            break;
        }
        got.push_back(std::move(*packet));
    }
    return got;
}

/// The parameter sets and the key frame first (delimiters and SEI aside), the first of them
/// named by RTP-Info; then every packet once.
void ExpectKeyFrameFirst(const std::vector<Packet>& got, const std::string& rtpInfo) {
    ASSERT_FALSE(got.empty());
    std::vector<int> types;
    for (const auto& packet : got) {
        const int type = NalType(packet);
        if (type != 6 && type != 9 && type != 0)
            types.push_back(type);
    }
    const auto slice = std::find_if(types.begin(), types.end(), [](int t) { return t <= 5; });
    ASSERT_NE(slice, types.end());
    EXPECT_EQ(*slice, 5);
    EXPECT_EQ(types.front(), 7);
    EXPECT_TRUE(std::all_of(types.begin(), slice, [](int t) { return t == 7 || t == 8; }));
    EXPECT_NE(rtpInfo.find("seq=" + std::to_string(got[0].seq) + ";"), std::string::npos)
        << rtpInfo;
    EXPECT_TRUE(Continuous(got));
}

class InstantStart : public ::testing::Test {
protected:
    void SetUp() override { InitGstreamer(); }
};

TEST_F(InstantStart, AJoinerGetsTheKeyFrameFirstThenTheLiveStream) {
    TestCamera camera("/live", {"--key-interval", "2"});
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});
    Watcher watcher(relay.Port(), relay.Url("/cam"));
    ASSERT_TRUE(watcher.Ok());

    for (const bool tcp : {true, false}) {
        SCOPED_TRACE(tcp ? "tcp" : "udp");
        // Well inside a group of pictures: the next key frame is more than a second away.
        ASSERT_TRUE(Eventually([&] { return watcher.MidGroup(40); }, 10s));
        RtspTestClient joiner(relay.Port(), "/cam");
        std::string rtpInfo;
        if (tcp) {
            const auto play = joiner.PlayInterleaved(relay.Url("/cam"));
            ASSERT_EQ(play.status, 200) << play.headers;
            rtpInfo = play.Header("RTP-Info");
        } else {
            ASSERT_EQ(joiner.Describe().status, 200);
            ASSERT_EQ(joiner.Setup().status, 200);
            const auto play = joiner.Play();
            ASSERT_EQ(play.status, 200) << play.headers;
            rtpInfo = play.Header("RTP-Info");
        }
        ExpectKeyFrameFirst(Receive(joiner, tcp), rtpInfo);
    }
    // Two clients joining over TCP at the same moment (the phone and the panel at the door)
    // each get the key frame first.
    {
        ASSERT_TRUE(Eventually([&] { return watcher.MidGroup(10); }, 10s));
        std::latch ready(2);
        std::array<std::unique_ptr<RtspTestClient>, 2> joiners;
        std::array<RtspTestClient::Response, 2> plays;
        std::array<std::vector<Packet>, 2> got;
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < joiners.size(); ++i) {
            joiners[i] = std::make_unique<RtspTestClient>(relay.Port(), "/cam");
            threads.emplace_back([&, i] {
                plays[i] = joiners[i]->PlayInterleaved(relay.Url("/cam"),
                                                       [&ready] { ready.arrive_and_wait(); });
                if (plays[i].status == 200)
                    got[i] = Receive(*joiners[i], true);
            });
        }
        for (auto& thread : threads)
            thread.join();
        for (std::size_t i = 0; i < joiners.size(); ++i) {
            ASSERT_EQ(plays[i].status, 200) << plays[i].headers;
            ExpectKeyFrameFirst(got[i], plays[i].Header("RTP-Info"));
        }
    }
    // The client that was playing all along saw nothing of it.
    const auto watched = watcher.Packets();
    EXPECT_GT(watched.size(), 60u);
    EXPECT_TRUE(Continuous(watched));
}

}  // namespace
}  // namespace Norvane::Tavrel::Test::Factory
