// The passthrough payloader: registration, packets passed unchanged, what it reports.

#include "Tavrel/gst/RtpPassthroughPay.h"

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gst/check/gstharness.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "GstTestSupport.h"
#include "LogCapture.h"

namespace Norvane::Tavrel::gst::Test {
namespace {

using Norvane::Test::LogCapture;
using ::testing::ElementsAre;

constexpr const char* kCaps =
    "application/x-rtp, media=(string)video, payload=(int)96, clock-rate=(int)90000, "
    "encoding-name=(string)H264";

struct Packet {
    guint16 seq;
    guint32 timestamp;
    guint32 ssrc = 0x11223344;
    guint8 pt = 96;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    bool marker = true;  // a whole frame: it goes downstream at once
};

GstBuffer* MakeRtp(const Packet& p) {
    GstBuffer* buffer = gst_rtp_buffer_new_allocate(12, 0, 0);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(buffer, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_seq(&rtp, p.seq);
    gst_rtp_buffer_set_timestamp(&rtp, p.timestamp);
    gst_rtp_buffer_set_ssrc(&rtp, p.ssrc);
    gst_rtp_buffer_set_payload_type(&rtp, p.pt);
    gst_rtp_buffer_set_marker(&rtp, p.marker);
    guint8* payload = static_cast<guint8*>(gst_rtp_buffer_get_payload(&rtp));
    for (guint i = 0; i < 12; ++i)
        payload[i] = static_cast<guint8>(p.seq + i);
    gst_rtp_buffer_unmap(&rtp);
    GST_BUFFER_PTS(buffer) = p.pts;
    return buffer;
}

/// An H.264 packet, a frame of its own (passed on at once).
GstBuffer* MakeH264(guint16 seq, guint32 ts, const std::vector<guint8>& payload) {
    GstBuffer* buffer = gst_rtp_buffer_new_allocate(static_cast<guint>(payload.size()), 0, 0);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(buffer, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_seq(&rtp, seq);
    gst_rtp_buffer_set_timestamp(&rtp, ts);
    gst_rtp_buffer_set_ssrc(&rtp, 0x11223344);
    gst_rtp_buffer_set_payload_type(&rtp, 96);
    gst_rtp_buffer_set_marker(&rtp, TRUE);
    std::copy(payload.begin(), payload.end(),
              static_cast<guint8*>(gst_rtp_buffer_get_payload(&rtp)));
    gst_rtp_buffer_unmap(&rtp);
    return buffer;
}

/// Starts the stream on a sink's pad, as a pipeline would.
void StartStream(GstPad* pad) {
    gst_pad_send_event(pad, gst_event_new_stream_start("s"));
    gst_pad_send_event(pad, gst_event_new_caps(gst_caps_from_string(kCaps)));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_send_event(pad, gst_event_new_segment(&segment));
}

/// The bytes of a buffer.
std::vector<guint8> Bytes(GstBuffer* buffer) {
    std::vector<guint8> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    return bytes;
}

/// The payloader's "stats"; nullptr when it has none.
GstStructure* Stats(GstElement* element) {
    GstStructure* stats = nullptr;
    g_object_get(element, "stats", &stats, nullptr);
    return stats;
}

guint UintField(const GstStructure* s, const char* name) {
    guint value = 0;
    EXPECT_TRUE(gst_structure_get_uint(s, name, &value)) << name;
    return value;
}

guint UintProperty(GstElement* element, const char* name) {
    guint value = 0;
    g_object_get(element, name, &value, nullptr);
    return value;
}

class RtpPassthroughPayTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitGst();
        ASSERT_TRUE(EnsurePassthroughPayloader());
        harness_ = gst_harness_new("rtppassthroughpay");
        ASSERT_NE(harness_, nullptr);
        pay_ = harness_->element;
    }
    void TearDown() override { gst_harness_teardown(harness_); }

    GstHarness* harness_{nullptr};
    GstElement* pay_{nullptr};
};

TEST_F(RtpPassthroughPayTest, PacketsPassUnchangedAndAreRecorded) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    // Nothing is claimed before the first packet.
    EXPECT_EQ(Stats(pay_), nullptr);

    const Packet packets[] = {{65534, 1000, 0xabcdef01, 96, GST_SECOND},
                              {65535, 1000, 0xabcdef01, 96, GST_SECOND},
                              {0, 4600, 0xabcdef01, 96, GST_SECOND + 40 * GST_MSECOND}};
    for (const auto& p : packets) {
        GstBuffer* in = MakeRtp(p);
        const auto bytes = Bytes(in);
        ASSERT_EQ(gst_harness_push(harness_, in), GST_FLOW_OK);
        GstBuffer* out = gst_harness_pull(harness_);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out, in);  // the very same buffer
        EXPECT_EQ(Bytes(out), bytes);
        EXPECT_EQ(GST_BUFFER_PTS(out), p.pts);
        gst_buffer_unref(out);
    }

    GstStructure* stats = Stats(pay_);
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(UintField(stats, "seqnum-offset"), 0u);
    EXPECT_EQ(UintField(stats, "seqnum"), 0u);
    EXPECT_EQ(UintField(stats, "timestamp"), 4600u);
    EXPECT_EQ(UintField(stats, "clock-rate"), 90000u);
    EXPECT_EQ(UintField(stats, "ssrc"), 0xabcdef01u);
    EXPECT_EQ(UintField(stats, "pt"), 96u);
    guint64 runningTime = 0;
    EXPECT_TRUE(gst_structure_get_uint64(stats, "running-time", &runningTime));
    EXPECT_EQ(runningTime, GST_SECOND + 40 * GST_MSECOND);
    gst_structure_free(stats);

    EXPECT_EQ(UintProperty(pay_, "seqnum"), 0u);
    EXPECT_EQ(UintProperty(pay_, "timestamp"), 4600u);
    EXPECT_EQ(UintProperty(pay_, "ssrc"), 0xabcdef01u);

    // The source pad carries the caps it was given.
    GstCaps* expected = gst_caps_from_string(kCaps);
    const GRef<GstPad> src = Adopt(gst_element_get_static_pad(pay_, "src"));
    GstCaps* current = gst_pad_get_current_caps(src.get());
    ASSERT_NE(current, nullptr);
    EXPECT_TRUE(gst_caps_is_equal(current, expected));
    gst_caps_unref(current);
    gst_caps_unref(expected);
}

TEST_F(RtpPassthroughPayTest, RunningTimeFollowsTheSegment) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    segment.start = 10 * GST_SECOND;
    segment.time = 10 * GST_SECOND;
    segment.base = 2 * GST_SECOND;
    ASSERT_TRUE(gst_harness_push_event(harness_, gst_event_new_segment(&segment)));
    ASSERT_EQ(gst_harness_push(harness_, MakeRtp({7, 90, 1, 96, 11 * GST_SECOND})), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(harness_));

    GstStructure* stats = Stats(pay_);
    ASSERT_NE(stats, nullptr);
    guint64 runningTime = 0;
    EXPECT_TRUE(gst_structure_get_uint64(stats, "running-time", &runningTime));
    EXPECT_EQ(runningTime, 3 * GST_SECOND);
    gst_structure_free(stats);

    // A packet without time keeps the numbers but has no running time.
    ASSERT_EQ(gst_harness_push(harness_, MakeRtp({8, 180})), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(harness_));
    stats = Stats(pay_);
    ASSERT_NE(stats, nullptr);
    EXPECT_TRUE(gst_structure_get_uint64(stats, "running-time", &runningTime));
    EXPECT_EQ(runningTime, GST_CLOCK_TIME_NONE);
    EXPECT_EQ(UintField(stats, "seqnum-offset"), 8u);
    gst_structure_free(stats);
}

TEST_F(RtpPassthroughPayTest, BufferListsPassWhole) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    GstBufferList* list = gst_buffer_list_new();
    for (guint16 seq = 100; seq < 103; ++seq)
        gst_buffer_list_add(list, MakeRtp({seq, 5000u + seq, 9, 96, GST_SECOND}));
    ASSERT_EQ(gst_pad_push_list(harness_->srcpad, list), GST_FLOW_OK);
    for (guint16 seq = 100; seq < 103; ++seq) {
        GstBuffer* out = gst_harness_pull(harness_);
        ASSERT_NE(out, nullptr);
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        ASSERT_TRUE(gst_rtp_buffer_map(out, GST_MAP_READ, &rtp));
        EXPECT_EQ(gst_rtp_buffer_get_seq(&rtp), seq);
        gst_rtp_buffer_unmap(&rtp);
        gst_buffer_unref(out);
    }
    EXPECT_EQ(UintProperty(pay_, "seqnum"), 102u);
    EXPECT_EQ(UintProperty(pay_, "timestamp"), 5102u);
}

TEST_F(RtpPassthroughPayTest, FramesGoDownstreamAsOneList) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    std::vector<guint> lists;  // the length of each list pushed
    const GRef<GstPad> src = Adopt(gst_element_get_static_pad(pay_, "src"));
    gst_pad_add_probe(
        src.get(), GST_PAD_PROBE_TYPE_BUFFER_LIST,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            static_cast<std::vector<guint>*>(data)->push_back(
                gst_buffer_list_length(GST_PAD_PROBE_INFO_BUFFER_LIST(info)));
            return GST_PAD_PROBE_OK;
        },
        &lists, nullptr);
    auto push = [&](guint16 seq, guint32 ts, bool marker, guint32 ssrc = 1) {
        ASSERT_EQ(gst_harness_push(harness_, MakeRtp({seq, ts, ssrc, 96, GST_SECOND, marker})),
                  GST_FLOW_OK);
    };
    auto drain = [&] {
        std::vector<guint> seqs;
        while (gst_harness_buffers_in_queue(harness_) > 0) {
            GstBuffer* out = gst_harness_pull(harness_);
            GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
            gst_rtp_buffer_map(out, GST_MAP_READ, &rtp);
            seqs.push_back(gst_rtp_buffer_get_seq(&rtp));
            gst_rtp_buffer_unmap(&rtp);
            gst_buffer_unref(out);
        }
        return seqs;
    };

    // Passed on one by one until a frame has ended with its marker.
    push(1, 1000, false);
    push(2, 1000, true);
    EXPECT_THAT(drain(), ElementsAre(1u, 2u));
    // Then held until the frame's last packet, recorded at once.
    push(3, 4600, false);
    push(4, 4600, false);
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(UintProperty(pay_, "seqnum"), 4u);
    push(5, 4600, true);
    EXPECT_THAT(drain(), ElementsAre(3u, 4u, 5u));
    // Another source ends what was collected; a serialized event follows it.
    push(6, 8200, false);
    push(7, 8200, false, 2);
    EXPECT_THAT(drain(), ElementsAre(6u));
    ASSERT_TRUE(gst_harness_push_event(harness_, gst_event_new_gap(0, GST_SECOND)));
    EXPECT_THAT(drain(), ElementsAre(7u));
    // A frame that ended without its marker: one by one again until a marker comes.
    push(8, 11800, false, 2);
    push(9, 15400, false, 2);
    EXPECT_THAT(drain(), ElementsAre(8u, 9u));
    push(10, 15400, true, 2);
    EXPECT_THAT(drain(), ElementsAre(10u));
    // At most 64 packets in a list.
    for (guint16 seq = 100; seq < 165; ++seq)
        push(seq, 19000, false, 2);
    EXPECT_EQ(drain().size(), 64u);
    // A packet that waited longer than the bound goes when the next one arrives.
    g_usleep(6 * G_TIME_SPAN_MILLISECOND);
    push(165, 19000, false, 2);
    EXPECT_THAT(drain(), ElementsAre(164u));
    EXPECT_THAT(lists, ElementsAre(3u, 1u, 1u, 1u, 64u, 1u));
    // A flush drops what was collected.
    ASSERT_TRUE(gst_harness_push_event(harness_, gst_event_new_flush_start()));
    ASSERT_TRUE(gst_harness_push_event(harness_, gst_event_new_flush_stop(TRUE)));
    gst_harness_set_src_caps_str(harness_, kCaps);
    push(200, 22600, true);
    EXPECT_THAT(drain(), ElementsAre(200u));
}

TEST_F(RtpPassthroughPayTest, DataThatIsNotRtpPassesUnrecorded) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    GstBuffer* junk = gst_buffer_new_wrapped(g_strdup("junk"), 4);
    ASSERT_EQ(gst_harness_push(harness_, junk), GST_FLOW_OK);
    GstBuffer* out = gst_harness_pull(harness_);
    EXPECT_EQ(out, junk);
    gst_buffer_unref(out);
    EXPECT_EQ(Stats(pay_), nullptr);
}

TEST_F(RtpPassthroughPayTest, PayloadTypeAndMtu) {
    // Before any caps: the property's own value, which can be set.
    EXPECT_EQ(UintProperty(pay_, "pt"), 96u);
    g_object_set(pay_, "pt", 101u, nullptr);
    EXPECT_EQ(UintProperty(pay_, "pt"), 101u);
    // The caps name the stream's payload type, the packets have the last word.
    gst_harness_set_src_caps_str(harness_,
                                 "application/x-rtp, payload=(int)35, clock-rate=(int)8000");
    EXPECT_EQ(UintProperty(pay_, "pt"), 35u);
    ASSERT_EQ(gst_harness_push(harness_, MakeRtp({1, 1, 1, 97})), GST_FLOW_OK);
    GstBuffer* out = gst_harness_pull(harness_);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    ASSERT_TRUE(gst_rtp_buffer_map(out, GST_MAP_READ, &rtp));
    EXPECT_EQ(gst_rtp_buffer_get_payload_type(&rtp), 97);  // never rewritten
    gst_rtp_buffer_unmap(&rtp);
    gst_buffer_unref(out);
    EXPECT_EQ(UintProperty(pay_, "pt"), 97u);

    // The server sets "mtu"; a passthrough only stores it.
    EXPECT_EQ(UintProperty(pay_, "mtu"), 1400u);
    g_object_set(pay_, "mtu", 1200u, nullptr);
    EXPECT_EQ(UintProperty(pay_, "mtu"), 1200u);

    // What the server reads has the types it reads them with.
    const struct {
        const char* name;
        GType type;
        bool writable;
    } expected[] = {{"pt", G_TYPE_UINT, true},      {"mtu", G_TYPE_UINT, true},
                    {"seqnum", G_TYPE_UINT, false}, {"timestamp", G_TYPE_UINT, false},
                    {"ssrc", G_TYPE_UINT, false},   {"stats", GST_TYPE_STRUCTURE, false}};
    for (const auto& e : expected) {
        GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(pay_), e.name);
        ASSERT_NE(pspec, nullptr) << e.name;
        EXPECT_EQ(G_PARAM_SPEC_VALUE_TYPE(pspec), e.type) << e.name;
        EXPECT_EQ((pspec->flags & G_PARAM_WRITABLE) != 0, e.writable) << e.name;
    }
}

TEST_F(RtpPassthroughPayTest, FlushAndNewStreamForgetThePast) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    ASSERT_EQ(gst_harness_push(harness_, MakeRtp({5, 50})), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(harness_));
    GstStructure* stats = Stats(pay_);
    ASSERT_NE(stats, nullptr);
    gst_structure_free(stats);

    ASSERT_TRUE(gst_harness_push_event(harness_, gst_event_new_flush_start()));
    ASSERT_TRUE(gst_harness_push_event(harness_, gst_event_new_flush_stop(TRUE)));
    EXPECT_EQ(Stats(pay_), nullptr);
}

TEST_F(RtpPassthroughPayTest, StatsFollowWatchedSinks) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    // Two frames, 3600 ticks apart; the first in two packets.
    auto packet = [](guint16 seq, guint32 ts, bool marker, guint32 ssrc = 0x11223344) {
        GstBuffer* buffer = MakeRtp({seq, ts, ssrc, 96, GST_SECOND});
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        gst_rtp_buffer_map(buffer, GST_MAP_WRITE, &rtp);
        gst_rtp_buffer_set_marker(&rtp, marker);
        gst_rtp_buffer_unmap(&rtp);
        return buffer;
    };
    for (auto* buffer : {packet(10, 1000, false), packet(11, 1000, true), packet(12, 4600, true)})
        ASSERT_EQ(gst_harness_push(harness_, buffer), GST_FLOW_OK);
    for (int i = 0; i < 3; ++i)
        gst_buffer_unref(gst_harness_pull(harness_));

    // A network sink has sent what it handled; an appsink's last packet may still wait.
    GRef<GstElement> net = Sink(gst_element_factory_make("fakesink", "net"));
    GRef<GstElement> app = Sink(gst_element_factory_make("appsink", "app"));
    for (GstElement* sink : {net.get(), app.get()}) {
        g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
        ASSERT_NE(gst_element_set_state(sink, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        tavrel_rtp_passthrough_pay_watch_sink(TAVREL_RTP_PASSTHROUGH_PAY(pay_), sink);
        gboolean lastSample = TRUE;
        g_object_get(sink, "enable-last-sample", &lastSample, nullptr);
        EXPECT_FALSE(lastSample);
    }
    GRef<GstPad> netPad = Adopt(gst_element_get_static_pad(net.get(), "sink"));
    GRef<GstPad> appPad = Adopt(gst_element_get_static_pad(app.get(), "sink"));
    for (GstPad* pad : {netPad.get(), appPad.get()}) {
        gst_pad_send_event(pad, gst_event_new_stream_start("s"));
        gst_pad_send_event(pad, gst_event_new_caps(gst_caps_from_string(kCaps)));
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        gst_pad_send_event(pad, gst_event_new_segment(&segment));
    }
    auto expectNext = [&](guint seq, guint ts, int line = __builtin_LINE()) {
        SCOPED_TRACE(line);
        GstStructure* stats = Stats(pay_);
        ASSERT_NE(stats, nullptr);
        EXPECT_EQ(UintField(stats, "seqnum-offset"), seq);
        EXPECT_EQ(UintField(stats, "timestamp"), ts);
        gst_structure_free(stats);
    };

    // No sink has handled a packet: the last one through the payloader.
    expectNext(12, 4600);
    ASSERT_EQ(gst_pad_chain(netPad.get(), packet(10, 1000, false)), GST_FLOW_OK);
    expectNext(11, 1000);  // same frame goes on
    ASSERT_EQ(gst_pad_chain(netPad.get(), packet(11, 1000, true)), GST_FLOW_OK);
    expectNext(12, 4600);  // the next frame, one frame later
    ASSERT_EQ(gst_pad_chain(appPad.get(), packet(10, 1000, false)), GST_FLOW_OK);
    expectNext(10, 1000);  // the appsink is behind, and its packet may still go out
    ASSERT_EQ(gst_pad_chain(netPad.get(), packet(12, 4600, true)), GST_FLOW_OK);
    ASSERT_EQ(gst_pad_chain(appPad.get(), packet(12, 4600, true)), GST_FLOW_OK);
    expectNext(12, 4600);
    // Packets of another source (RTCP, another stream) through the same sink are not ours.
    ASSERT_EQ(gst_pad_chain(appPad.get(), packet(500, 9, false, 0x55)), GST_FLOW_OK);
    expectNext(12, 4600);

    // A watch ends with its sink.
    for (GstElement* sink : {net.get(), app.get()})
        gst_element_set_state(sink, GST_STATE_NULL);
    appPad.reset();
    netPad.reset();
    net.reset();
    app.reset();
    EXPECT_EQ(TAVREL_RTP_PASSTHROUGH_PAY(pay_)->watches, nullptr);
    expectNext(12, 4600);
}

TEST_F(RtpPassthroughPayTest, KeyFrameCacheNamesItsFirstPacket) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    g_object_set(pay_, "instant-start", TRUE, nullptr);
    GRef<GstElement> net = Sink(gst_element_factory_make("fakesink", "net"));
    g_object_set(net.get(), "sync", FALSE, "async", FALSE, nullptr);
    ASSERT_NE(gst_element_set_state(net.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    tavrel_rtp_passthrough_pay_watch_sink(TAVREL_RTP_PASSTHROUGH_PAY(pay_), net.get());
    GRef<GstPad> pad = Adopt(gst_element_get_static_pad(net.get(), "sink"));
    StartStream(pad.get());
    // Through the payloader and then the sink, as in a pipeline.
    auto send = [&](guint16 seq, guint32 ts, std::vector<guint8> payload) {
        ASSERT_EQ(gst_harness_push(harness_, MakeH264(seq, ts, payload)), GST_FLOW_OK);
        ASSERT_EQ(gst_pad_chain(pad.get(), gst_harness_pull(harness_)), GST_FLOW_OK);
    };
    auto stats = [&] {
        GstStructure* s = Stats(pay_);
        std::pair<guint, guint> out{s ? UintField(s, "seqnum-offset") : 0,
                                    s ? UintField(s, "timestamp") : 0};
        if (s)
            gst_structure_free(s);
        return out;
    };

    send(10, 1000, {0x41, 0});        // a picture that needs earlier ones
    send(11, 4600, {0x67, 0});        // SPS
    send(12, 4600, {0x68, 0});        // PPS
    send(13, 4600, {0x7c, 0x85, 0});  // IDR slice, first part
    send(14, 4600, {0x7c, 0x45, 0});  // its last part
    send(15, 8200, {0x41, 0});        // the next picture
    // A joiner starts with the parameter sets; the older frame's time moves next to the newer,
    // one clock tick before it.
    EXPECT_EQ(stats(), std::make_pair(11u, 8200u - 1u));

    // A group of pictures longer than the cache holds is not kept: the next packet counts.
    send(16, 11800, {0x65, 0});
    for (guint16 i = 0; i < 4100; ++i)
        send(static_cast<guint16>(17 + i), 11800 + 3600u * (i + 1), {0x41, 0});
    EXPECT_EQ(stats().first, 17u + 4100u);

    // Switched off: as before, whatever comes.
    send(5000, 30000000, {0x65, 0});
    g_object_set(pay_, "instant-start", FALSE, nullptr);
    EXPECT_EQ(stats().first, 5001u);
    gst_element_set_state(net.get(), GST_STATE_NULL);
}

// The first UDP client of a camera that a TCP client watches: the UDP sink has sent nothing, so
// the client starts with the payloader's cache, and a key frame that comes between RTP-Info and
// the sink's first packets must not move its start.
TEST_F(RtpPassthroughPayTest, UdpJoinerOfAnIdleSinkStartsWhereStatsSaid) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    g_object_set(pay_, "instant-start", TRUE, nullptr);
    auto* pay = TAVREL_RTP_PASSTHROUGH_PAY(pay_);
    GRef<GstElement> app = Sink(gst_element_factory_make("appsink", "app"));
    GRef<GstElement> udp = Sink(gst_element_factory_make("multiudpsink", "udp"));
    GError* error = nullptr;
    auto socket = [&] {
        GRef<GSocket> s = Adopt(g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM,
                                             G_SOCKET_PROTOCOL_UDP, &error));
        auto any = Adopt(g_inet_socket_address_new_from_string("127.0.0.1", 0));
        EXPECT_TRUE(s && g_socket_bind(s.get(), any.get(), FALSE, &error));
        g_socket_set_timeout(s.get(), 5);
        return s;
    };
    GRef<GSocket> send_socket = socket();
    GRef<GSocket> client = socket();
    ASSERT_EQ(error, nullptr) << error->message;
    g_object_set(udp.get(), "socket", send_socket.get(), nullptr);
    struct Stop {
        std::vector<GstElement*> sinks;
        ~Stop() {
            for (GstElement* sink : sinks)
                gst_element_set_state(sink, GST_STATE_NULL);
        }
    } stop{{app.get(), udp.get()}};
    GRef<GstPad> appPad = Adopt(gst_element_get_static_pad(app.get(), "sink"));
    GRef<GstPad> udpPad = Adopt(gst_element_get_static_pad(udp.get(), "sink"));
    for (GstElement* sink : {app.get(), udp.get()}) {
        g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
        ASSERT_NE(gst_element_set_state(sink, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        tavrel_rtp_passthrough_pay_watch_sink(pay, sink);
    }
    StartStream(appPad.get());
    StartStream(udpPad.get());
    // Through the payloader; then to the sinks, as a pipeline's queues may do later.
    auto push = [&](guint16 seq, guint32 ts, std::vector<guint8> payload) {
        EXPECT_EQ(gst_harness_push(harness_, MakeH264(seq, ts, payload)), GST_FLOW_OK);
        return gst_harness_pull(harness_);
    };
    const std::vector<guint8> sps{0x67, 0}, idr{0x65, 0}, slice{0x41, 0};
    for (GstBuffer* packet : {push(11, 100, sps), push(12, 100, idr), push(13, 200, slice)})
        ASSERT_EQ(gst_pad_chain(appPad.get(), packet), GST_FLOW_OK);

    ASSERT_TRUE(tavrel_rtp_passthrough_pay_pin_udp(pay));
    GstStructure* stats = Stats(pay_);
    ASSERT_NE(stats, nullptr);
    const guint named = UintField(stats, "seqnum-offset");
    gst_structure_free(stats);
    EXPECT_EQ(named, 11u);
    // A key frame, then the server adds the client; the sink sends the key frame only after.
    GstBufferList* key = gst_buffer_list_new();
    gst_buffer_list_add(key, push(14, 300, sps));
    gst_buffer_list_add(key, push(15, 300, idr));
    GSocketAddress* local = g_socket_get_local_address(client.get(), nullptr);
    g_signal_emit_by_name(udp.get(), "add", "127.0.0.1",
                          g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local)), nullptr);
    g_object_unref(local);
    tavrel_rtp_passthrough_pay_unpin_udp(pay);
    ASSERT_EQ(gst_pad_chain_list(udpPad.get(), key), GST_FLOW_OK);

    // Every packet once, from the one named, whether the joiner's thread or the sink sends it.
    std::vector<guint> got;
    for (guint16 seq = 16; got.size() < 8; ++seq) {
        if (seq < 20) {  // more live packets until the sink has taken the client over
            ASSERT_EQ(gst_pad_chain(udpPad.get(), push(seq, 400 + seq, slice)), GST_FLOW_OK);
        }
        guint8 data[64];
        if (g_socket_receive(client.get(), reinterpret_cast<gchar*>(data), sizeof data, nullptr,
                             &error) < 12)
            break;
        got.push_back((data[2] << 8) | data[3]);
    }
    EXPECT_THAT(got, ElementsAre(11, 12, 13, 14, 15, 16, 17, 18)) << (error ? error->message : "");
    g_clear_error(&error);
}

// The server takes packets from its TCP sink only while a TCP client can take more; meanwhile the
// sink waits with its stream lock held. A joining client's hold gives up instead of waiting.
TEST_F(RtpPassthroughPayTest, HoldGivesUpOnATcpSinkNobodyTakesFrom) {
    gst_harness_set_src_caps_str(harness_, kCaps);
    g_object_set(pay_, "instant-start", TRUE, nullptr);
    auto* pay = TAVREL_RTP_PASSTHROUGH_PAY(pay_);
    GRef<GstElement> app = Sink(gst_element_factory_make("appsink", "app"));
    g_object_set(app.get(), "sync", FALSE, "async", FALSE, "max-buffers", 1, nullptr);
    ASSERT_NE(gst_element_set_state(app.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    tavrel_rtp_passthrough_pay_watch_sink(pay, app.get());
    GRef<GstPad> pad = Adopt(gst_element_get_static_pad(app.get(), "sink"));
    StartStream(pad.get());
    auto push = [&](guint16 seq, std::vector<guint8> payload) {
        EXPECT_EQ(gst_harness_push(harness_, MakeH264(seq, 100u * seq, payload)), GST_FLOW_OK);
        return gst_harness_pull(harness_);
    };
    ASSERT_EQ(gst_pad_chain(pad.get(), push(1, {0x65, 0})), GST_FLOW_OK);
    // The sink is full: the next packet waits in it.
    std::thread streaming([&, packet = push(2, {0x41, 0})] { gst_pad_chain(pad.get(), packet); });
    while (GST_PAD_STREAM_TRYLOCK(pad.get())) {
        GST_PAD_STREAM_UNLOCK(pad.get());
        std::this_thread::yield();
    }
    EXPECT_FALSE(tavrel_rtp_passthrough_pay_hold(pay));
    gst_element_set_state(app.get(), GST_STATE_NULL);  // flushes: the waiting packet goes
    streaming.join();
}

TEST(RtpPassthroughPayRegistration, EnsureIsIdempotentAndThreadSafe) {
    InitGst();
    LogCapture log;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] { ok += EnsurePassthroughPayloader() ? 1 : 0; });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ok, 8);
    EXPECT_TRUE(EnsurePassthroughPayloader());
    const GRef<GstElement> element = Sink(gst_element_factory_make("rtppassthroughpay", nullptr));
    ASSERT_NE(element, nullptr);
    for (const auto& record : log.sink().Records())
        EXPECT_LT(record.level, spdlog::level::warn) << record.message;
}

// The scenarios below need a process of their own: what the registry holds before the first
// call decides what happens.

class RtpPassthroughPayFreshProcess : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(RtpPassthroughPayFreshProcess, OursIsRegisteredWhenMissing) {
    EXPECT_EXIT(
        {
            InitGst();
            bool ok = gst_element_factory_find("rtppassthroughpay") == nullptr;
            ok = ok && EnsurePassthroughPayloader() && EnsurePassthroughPayloader();
            GstElement* element = gst_element_factory_make("rtppassthroughpay", "pay0");
            ok = ok && element && TAVREL_IS_RTP_PASSTHROUGH_PAY(element);
            ok = ok && gst_registry_find_plugin(gst_registry_get(), "tavrelpassthrough");
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(RtpPassthroughPayFreshProcess, AnExistingElementIsKept) {
    EXPECT_EXIT(
        {
            InitGst();
            // Another "rtppassthroughpay" (here: identity under that name) is there first.
            const GType other =
                G_OBJECT_TYPE(Sink(gst_element_factory_make("identity", nullptr)).get());
            static GType otherType;
            otherType = other;
            gst_plugin_register_static(
                GST_VERSION_MAJOR, GST_VERSION_MINOR, "otherpassthrough", "test",
                [](GstPlugin* plugin) -> gboolean {
                    return gst_element_register(plugin, "rtppassthroughpay", GST_RANK_NONE,
                                                otherType);
                },
                "1.0", "LGPL", "test", "test", "test");
            bool ok = EnsurePassthroughPayloader();
            GstElement* element = gst_element_factory_make("rtppassthroughpay", nullptr);
            ok = ok && element && G_OBJECT_TYPE(element) == other;
            ok = ok && !gst_registry_find_plugin(gst_registry_get(), "tavrelpassthrough");
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(RtpPassthroughPayFreshProcess, NeedsGStreamerInitialised) {
    EXPECT_EXIT(
        {
            bool ok;
            {
                LogCapture log;
                ok = !EnsurePassthroughPayloader();
                ok = ok && log.sink().Records().size() == 1 &&
                     log.sink().Records()[0].level == spdlog::level::err;
            }
            InitGst();
            ok = ok && EnsurePassthroughPayloader();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Norvane::Tavrel::gst::Test
