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
#include <tuple>
#include <vector>

#include "RtspServerTestSupport.h"
#include "RtspSrcMediaFactoryTestSupport.h"
#include "Tavrel/gst/GRef.h"

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
        std::string session;
        if (tcp) {
            const auto play = joiner.PlayInterleaved(relay.Url("/cam"));
            ASSERT_EQ(play.status, 200) << play.headers;
            rtpInfo = play.Header("RTP-Info");
            session = play.Header("Session").substr(0, play.Header("Session").find(';'));
        } else {
            ASSERT_EQ(joiner.Describe().status, 200);
            ASSERT_EQ(joiner.Setup().status, 200);
            const auto play = joiner.Play();
            ASSERT_EQ(play.status, 200) << play.headers;
            rtpInfo = play.Header("RTP-Info");
        }
        const auto got = Receive(joiner, tcp);
        ExpectKeyFrameFirst(got, rtpInfo);
        if (tcp && !got.empty()) {
            // Another PLAY while playing (a liveness check) leaves the stream as it is.
            ASSERT_EQ(
                joiner.Request("PLAY", relay.Url("/cam"), "Session: " + session + "\r\n").status,
                200);
            // (Packets that came with the answer were skipped by the test client.)
            const auto more = Receive(joiner, true, 40);
            ASSERT_FALSE(more.empty());
            EXPECT_GT(static_cast<std::int16_t>(more.front().seq - got.back().seq), 0);
            EXPECT_TRUE(Continuous(more));
        }
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

/// What an H.265 or JPEG packet starts: parameter sets only, the first packet of a picture,
/// of a key picture (H.265: a random-access one; JPEG: every frame).
struct Start {
    bool parameterSets = false;
    bool picture = false;
    bool key = false;
};

Start H265Start(const Packet& packet) {
    const auto* p = reinterpret_cast<const unsigned char*>(packet.payload.data());
    const std::size_t size = packet.payload.size();
    if (size < 3)
        return {};
    int type = (p[0] >> 1) & 0x3f;
    if (type == 48 && size >= 5)  // an aggregation packet: its first unit counts
        type = (p[4] >> 1) & 0x3f;
    else if (type == 49)  // a fragmentation unit: only its first part starts one
        type = (p[2] & 0x80) ? (p[2] & 0x3f) : -1;
    const bool irap = type >= 16 && type <= 21;
    return {type >= 32 && type <= 34, (type >= 0 && type <= 9) || irap, irap};
}

Start JpegStart(const Packet& packet) {
    const auto* p = reinterpret_cast<const unsigned char*>(packet.payload.data());
    // The fragment offset of the JPEG header: 0 in a frame's first packet.
    const bool first = packet.payload.size() >= 8 && p[1] == 0 && p[2] == 0 && p[3] == 0;
    return {false, first, first};
}

TEST_F(InstantStart, H265AndJpegJoinersStartAtAKeyFrame) {
    std::string missing;  // encoders this machine lacks
    // A small H.265 picture (x265 is slow); JPEG frames large enough to take many packets, so
    // that a joiner given no cache would start inside one.
    for (const auto& [encoder, start, width] :
         {std::tuple{"x265enc", &H265Start, "160"}, std::tuple{"jpegenc", &JpegStart, "640"}}) {
        SCOPED_TRACE(encoder);
        if (!gst::Adopt(gst_element_factory_find(encoder))) {
            missing += std::string(missing.empty() ? "" : ", ") + encoder;
            continue;
        }
        TestCamera camera(
            "/live", {"--encoder", encoder, "--key-interval", "2", "--width", width, "--height",
                      width == std::string("160") ? "120" : "480", "--bitrate", "200"});
        ASSERT_TRUE(camera.Ready());
        MiniRelay relay({"/cam"});
        relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});
        Watcher watcher(relay.Port(), relay.Url("/cam"));
        ASSERT_TRUE(watcher.Ok());
        // Past the key frame the camera started with: the watcher had a second picture.
        ASSERT_TRUE(Eventually(
            [&] {
                const auto packets = watcher.Packets();
                return std::count_if(packets.begin(), packets.end(),
                                     [&](const Packet& p) { return start(p).picture; }) >= 2;
            },
            10s));
        RtspTestClient joiner(relay.Port(), "/cam");
        const auto play = joiner.PlayInterleaved(relay.Url("/cam"));
        ASSERT_EQ(play.status, 200) << play.headers;
        const auto got = Receive(joiner, true, 20);
        ASSERT_FALSE(got.empty());
        const auto firstPicture = std::find_if(
            got.begin(), got.end(), [&](const Packet& p) { return !start(p).parameterSets; });
        ASSERT_NE(firstPicture, got.end());
        EXPECT_TRUE(start(*firstPicture).key);
        EXPECT_TRUE(std::all_of(got.begin(), firstPicture,
                                [&](const Packet& p) { return start(p).parameterSets; }));
        EXPECT_TRUE(Continuous(got));
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed: " << missing;
}

}  // namespace
}  // namespace Norvane::Tavrel::Test::Factory
