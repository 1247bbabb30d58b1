// The media factory serving real cameras (tools/test-camera) through a minimal RTSP server to
// real clients: ffprobe, GStreamer's rtspsrc and a raw RTSP connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <string>

#include "Process.h"
#include "RtspServerTestSupport.h"
#include "RtspSrcMediaFactoryTestSupport.h"
#include "Tavrel/gst/CameraCaps.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test::Factory {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

/// ffprobe's view of the streams at `url`: one "codec_type|codec_name|profile" line each.
std::vector<std::string> Probe(const std::string& url, const std::string& transport) {
    const auto result = Norvane::Test::Run(
        {"ffprobe", "-v", "error", "-rtsp_transport", transport, "-show_entries",
         "stream=codec_type,codec_name,profile,width,height", "-of", "compact=p=0:nk=1", url},
        30s);
    std::vector<std::string> streams;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            streams.push_back(line);
    }
    return streams;
}

/// The text after `key` up to the first of `ends` (or the end); empty when `key` is absent.
std::string ValueAfter(const std::string& text, const std::string& key, const char* ends) {
    const auto start = text.find(key);
    if (start == std::string::npos)
        return {};
    const auto from = start + key.size();
    const auto end = text.find_first_of(ends, from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

/// The lines of a text that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    }
    return out;
}

class RtspSrcMediaFactoryPlayback : public ::testing::Test {
protected:
    void SetUp() override { InitGstreamer(); }
};

TEST_F(RtspSrcMediaFactoryPlayback, ServesACleanCompleteSdpOfTheVideoOnly) {
    TestCamera camera("/live", {"--audio"});
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});

    RtspTestClient client(relay.Port(), "");
    const auto describe =
        client.Request("DESCRIBE", relay.Url("/cam"), "Accept: application/sdp\r\n");
    ASSERT_EQ(describe.status, 200) << describe.headers;
    const std::string& sdp = describe.body;
    SCOPED_TRACE(sdp);
    // One stream: the camera's video; its audio is not even set up with the camera.
    std::vector<std::string> mediaLines;
    for (const auto& line : LinesStartingWith(sdp, "m="))
        mediaLines.push_back(line.substr(2, line.find(' ') - 2));
    EXPECT_THAT(mediaLines, ElementsAre("video"));
    EXPECT_THAT(DuplicatedAttributes(sdp), IsEmpty());
    const auto fmtpLines = LinesStartingWith(sdp, "a=fmtp:96 ");
    ASSERT_EQ(fmtpLines.size(), 1u);
    const std::string parameters = fmtpLines[0].substr(10);
    // profile-level-id is there and agrees with the SPS (constrained baseline).
    const std::string sprop = ValueAfter(parameters, "sprop-parameter-sets=", ";");
    ASSERT_FALSE(sprop.empty());
    const auto fromSps = Norvane::Tavrel::gst::H264ProfileLevelId(sprop);
    ASSERT_TRUE(fromSps);
    EXPECT_EQ(fromSps->substr(0, 4), "42c0");
    EXPECT_THAT(parameters, HasSubstr("profile-level-id=" + *fromSps));
    EXPECT_THAT(parameters, HasSubstr("packetization-mode=1"));
    for (const char* leaked :
         {"cname", "clock-base", "seqnum-base", "npt-", "play-", "onvif", "a-tool", "x-", "ssrc-"})
        EXPECT_THAT(parameters, Not(HasSubstr(leaked)));
    EXPECT_THAT(sdp, Not(HasSubstr("a=tool:GStreamer\r\na=tool")));
}

TEST_F(RtspSrcMediaFactoryPlayback, FfprobeOverTcpAndUdp) {
    TestCamera camera("/live", {"--audio"});
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});
    for (const char* transport : {"tcp", "udp"}) {
        SCOPED_TRACE(transport);
        EXPECT_THAT(Probe(relay.Url("/cam"), transport),
                    ElementsAre("h264|Constrained Baseline|video|320|240"));
    }
}

TEST_F(RtspSrcMediaFactoryPlayback, RtspsrcDecodesWithoutCritical) {
    TestCamera camera("/live", {"--audio"});
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});
    GstLogCapture records("rtspsrcmediafactory");
    GLogCounter glog;

    const std::string description = "rtspsrc location=" + relay.Url("/cam") +
                                    " latency=100 ! rtph264depay ! h264parse ! avdec_h264 ! "
                                    "fakesink name=out signal-handoffs=true";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
    std::atomic<int> frames{0};
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_signal_connect(sink, "handoff",
                     G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer data) {
                         ++*static_cast<std::atomic<int>*>(data);
                     }),
                     &frames);
    gst_object_unref(sink);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const bool decoded = Eventually([&] { return frames >= 5; }, 20s);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);

    EXPECT_TRUE(decoded) << frames;
    EXPECT_EQ(glog.Criticals(), 0) << ::testing::PrintToString(glog.Messages());
    EXPECT_GE(records.Count("pad added: Link rtspsrc:src with rtpptdemux:sink"), 1u);
    EXPECT_GE(records.Count("pad added: Link rtpptdemux:src with rtppassthroughpay:sink"), 1u);
}

TEST_F(RtspSrcMediaFactoryPlayback, RtpInfoNamesTheFirstPacket) {
    TestCamera camera("/live");
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});

    // The first client starts the camera; a second joins the running media.
    RtspTestClient first(relay.Port(), "");
    RtspTestClient second(relay.Port(), "");
    for (RtspTestClient* client : {&first, &second}) {
        const auto play = client->PlayInterleaved(relay.Url("/cam"));
        ASSERT_EQ(play.status, 200) << play.headers;
        const std::string rtpInfo = play.Header("RTP-Info");
        const std::string seqText = ValueAfter(rtpInfo, "seq=", ";,");
        const std::string timeText = ValueAfter(rtpInfo, "rtptime=", ";,");
        ASSERT_FALSE(seqText.empty() || timeText.empty()) << rtpInfo;
        const auto seq = static_cast<std::uint16_t>(std::stoul(seqText));
        const auto rtptime = static_cast<std::uint32_t>(std::stoul(timeText));
        const auto packet = client->NextRtp();
        ASSERT_TRUE(packet);
        if (client == &first) {
            // Held back until the client plays: exactly the packet it gets first.
            EXPECT_EQ(packet->seq, seq);
            EXPECT_EQ(packet->timestamp, rtptime);
        } else {
            // Joining a running stream: the packet the server sends next, give or take one
            // that crosses the PLAY on its way out.
            const int diff = static_cast<std::int16_t>(packet->seq - seq);
            EXPECT_LE(std::abs(diff), 1) << rtpInfo;
            EXPECT_LE(std::abs(static_cast<std::int32_t>(packet->timestamp - rtptime)), 90000 / 15)
                << rtpInfo;
        }
    }
}

// Packets leave as they come from the camera's jitter buffer: no sink of the server waits on
// the clock (the library turns sync on for its TCP sink after adding it). Clients come over IPv4
// only, so the media has no IPv6 ports (nor a thread receiving on them).
TEST_F(RtspSrcMediaFactoryPlayback, ServerSinksSendWithoutClockWaitFromIpv4PortsOnly) {
    TestCamera camera("/live");
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera.Url(), std::nullopt, std::nullopt});
    GstRTSPMedia* media = nullptr; /* one reference owned */
    g_signal_connect(relay.factory(), "media-configure",
                     G_CALLBACK(+[](GstRTSPMediaFactory*, GstRTSPMedia* m, gpointer data) {
                         *static_cast<GstRTSPMedia**>(data) = GST_RTSP_MEDIA(g_object_ref(m));
                     }),
                     &media);
    RtspTestClient client(relay.Port(), "");
    ASSERT_EQ(client.PlayInterleaved(relay.Url("/cam")).status, 200);
    ASSERT_TRUE(client.NextRtp());
    // A client over UDP joins the shared media: the server adds its UDP sinks.
    ASSERT_FALSE(Probe(relay.Url("/cam"), "udp").empty());
    ASSERT_NE(media, nullptr);
    GstRTSPStream* stream = gst_rtsp_media_get_stream(media, 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(gst::Adopt(gst_rtsp_stream_get_rtcp_socket(stream, G_SOCKET_FAMILY_IPV4)));
    EXPECT_FALSE(gst::Adopt(gst_rtsp_stream_get_rtcp_socket(stream, G_SOCKET_FAMILY_IPV6)));

    GstElement* element = gst_rtsp_media_get_element(media);
    GstObject* pipeline = gst_object_get_parent(GST_OBJECT(element));
    std::map<std::string, int> syncing;
    GstIterator* sinks = gst_bin_iterate_sinks(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
        auto* sink = GST_ELEMENT(g_value_get_object(&item));
        gboolean sync = TRUE;
        g_object_get(sink, "sync", &sync, nullptr);
        syncing[GST_OBJECT_NAME(gst_element_get_factory(sink))] += sync ? 1 : 0;
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(sinks);
    gst_object_unref(pipeline);
    gst_object_unref(element);
    g_object_unref(media);

    EXPECT_THAT(syncing, ElementsAre(std::pair<const std::string, int>{"appsink", 0},
                                     std::pair<const std::string, int>{"multiudpsink", 0}));
}

TEST_F(RtspSrcMediaFactoryPlayback, CameraBehindCredentials) {
    TestCamera camera("/secure", {"--user", "cam", "--password", "p4ss"});
    ASSERT_TRUE(camera.Ready());
    MiniRelay relay({"/with", "/without"});
    relay.SetCamera("/with", {camera.Url(), "cam", "p4ss"});
    relay.SetCamera("/without", {camera.Url(), std::nullopt, std::nullopt});

    EXPECT_THAT(Probe(relay.Url("/with"), "tcp"),
                ElementsAre("h264|Constrained Baseline|video|320|240"));
    RtspTestClient client(relay.Port(), "");
    const auto start = Clock::now();
    const auto refused = client.Request("DESCRIBE", relay.Url("/without"));
    EXPECT_NE(refused.status, 200);
    EXPECT_NE(refused.status, 0) << "no answer";
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(RtspSrcMediaFactoryPlayback, UpstreamFailuresAreAnsweredWithinSeconds) {
    SilentCamera silent;
    const std::uint16_t closedPort = Norvane::Test::FreePort();
    TestCamera audioOnly("/audio", {"--no-video", "--audio"});
    ASSERT_TRUE(audioOnly.Ready());
    MiniRelay relay({"/unknown", "/closed", "/silent", "/audio"});
    relay.SetCamera("/closed", {"rtsp://127.0.0.1:" + std::to_string(closedPort) + "/x",
                                std::nullopt, std::nullopt});
    relay.SetCamera("/silent", {"rtsp://127.0.0.1:" + std::to_string(silent.Port()) + "/x",
                                std::nullopt, std::nullopt});
    relay.SetCamera("/audio", {audioOnly.Url(), std::nullopt, std::nullopt});
    GstLogCapture records("rtspsrcmediafactory");
    GLogCounter glog;

    const struct {
        const char* path;
        std::chrono::seconds within;
    } cases[] = {{"/unknown", 2s}, {"/closed", 3s}, {"/audio", 5s}, {"/silent", 9s}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        RtspTestClient client(relay.Port(), "");
        const auto start = Clock::now();
        const auto response = client.Request("DESCRIBE", relay.Url(c.path), {}, 30s);
        const auto took = Clock::now() - start;
        EXPECT_NE(response.status, 0) << "no answer";
        EXPECT_NE(response.status, 200) << response.body;
        EXPECT_LT(took, c.within);
    }
    EXPECT_EQ(records.Count("Failed to find source info for path: /unknown"), 1u);
    EXPECT_EQ(glog.Criticals(), 0) << ::testing::PrintToString(glog.Messages());
}

TEST_F(RtspSrcMediaFactoryPlayback, CameraThatDropsAndComesBack) {
    const std::uint16_t port = Norvane::Test::FreePort();
    auto camera = std::make_unique<TestCamera>("/live", std::vector<std::string>{}, port);
    ASSERT_TRUE(camera->Ready());
    MiniRelay relay({"/cam"});
    relay.SetCamera("/cam", {camera->Url(), std::nullopt, std::nullopt});

    RtspTestClient client(relay.Port(), "");
    ASSERT_EQ(client.PlayInterleaved(relay.Url("/cam")).status, 200);
    ASSERT_TRUE(client.NextRtp());
    camera->Kill();
    // The client is told the stream ended (RTCP BYE).
    EXPECT_TRUE(client.WaitForBye(5s));

    camera = std::make_unique<TestCamera>("/live", std::vector<std::string>{}, port);
    ASSERT_TRUE(camera->Ready());
    // While the first client still holds the failed media, a new client gets a new one.
    const bool played = Eventually(
        [&] {
            RtspTestClient attempt(relay.Port(), "");
            return attempt.PlayInterleaved(relay.Url("/cam")).status == 200 && attempt.NextRtp(5s);
        },
        20s);
    EXPECT_TRUE(played);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test::Factory
