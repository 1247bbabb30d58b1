// Caps from a camera made fit to be served again.

#include "Tavrel/gst/CameraCaps.h"

#include <gtest/gtest.h>

#include "GstTestSupport.h"

namespace Norvane::Tavrel::gst::Test {
namespace {

// What rtspsrc hands on for our test camera (a GStreamer RTSP server).
constexpr const char* kCameraVideo =
    "application/x-rtp, media=(string)video, payload=(int)96, clock-rate=(int)90000, "
    "encoding-name=(string)H264, packetization-mode=(string)1, "
    "sprop-parameter-sets=(string)\"Z0LAHtoCgPbAWoMDA1KAAAADAIAAABlHixdQ\\,aM48gA\\=\\=\", "
    "profile=(string)constrained-baseline, a-tool=(string)GStreamer, a-type=(string)broadcast, "
    "a-framerate=(string)25, a-ts-refclk=(string)local, a-mediaclk=(string)sender, "
    "ssrc-1222804607-cname=(string)\"user588684602\\@host-a6a477a1\", ssrc=(uint)1222804607, "
    "clock-base=(uint)273722169, seqnum-base=(uint)3217, npt-start=(guint64)0, "
    "play-speed=(double)1, play-scale=(double)1, onvif-mode=(boolean)false, "
    "x-onvif-track=(string)video0001";

TEST(CameraCaps, SessionFields) {
    const struct {
        const char* field;
        bool session;
    } cases[] = {
        {"a-tool", true},
        {"a-type", true},
        {"a-ts-refclk", true},
        {"a-mediaclk", true},
        {"ssrc-1234-cname", true},
        {"x-onvif-track", true},
        {"x-dimensions", true},
        {"clock-base", true},
        {"seqnum-base", true},
        {"npt-start", true},
        {"npt-stop", true},
        {"play-speed", true},
        {"play-scale", true},
        {"onvif-mode", true},
        {"ssrc", false},
        {"a-framerate", false},
        {"payload", false},
        {"encoding-name", false},
        {"sprop-parameter-sets", false},
        {"profile-level-id", false},
        {"ssrc-1234-foo", false},
        {"media", false},
        {"a-toolbox", false},
        {"clock-rate", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsCameraSessionField(c.field), c.session) << c.field;
}

TEST(CameraCaps, ProfileLevelIdFromTheSps) {
    EXPECT_EQ(H264ProfileLevelId("Z0LAHtoCgPbAWoMDA1KAAAADAIAAABlHixdQ,aM48gA=="), "42c01e");
    // PPS first, then an SPS of High profile level 4.0.
    EXPECT_EQ(H264ProfileLevelId("aM48gA==,Z2QAKKzZQHgCJ+XARAAAAwAEAAADAPA8YMZY"), "640028");
    EXPECT_EQ(H264ProfileLevelId(""), std::nullopt);
    EXPECT_EQ(H264ProfileLevelId(","), std::nullopt);
    EXPECT_EQ(H264ProfileLevelId("aM48gA=="), std::nullopt);  // PPS only
    EXPECT_EQ(H264ProfileLevelId("Zw=="), std::nullopt);      // SPS cut short
    EXPECT_EQ(H264ProfileLevelId("!!!"), std::nullopt);
}

TEST(CameraCaps, CleanCapsOfACamera) {
    InitGst();
    const GRef<GstCaps> caps = Adopt(gst_caps_from_string(kCameraVideo));
    ASSERT_NE(caps, nullptr);
    const GRef<GstCaps> clean = Adopt(CleanCameraCaps(caps.get()));
    const GstStructure* s = gst_caps_get_structure(clean.get(), 0);
    for (const char* gone :
         {"a-tool", "a-type", "a-ts-refclk", "a-mediaclk", "ssrc-1222804607-cname", "clock-base",
          "seqnum-base", "npt-start", "play-speed", "play-scale", "onvif-mode", "x-onvif-track"})
        EXPECT_FALSE(gst_structure_has_field(s, gone)) << gone;
    for (const char* kept : {"media", "payload", "clock-rate", "encoding-name",
                             "packetization-mode", "sprop-parameter-sets", "a-framerate", "ssrc"})
        EXPECT_TRUE(gst_structure_has_field(s, kept)) << kept;
    EXPECT_STREQ(gst_structure_get_string(s, "profile-level-id"), "42c01e");
    // The input stays as it was.
    EXPECT_TRUE(gst_structure_has_field(gst_caps_get_structure(caps.get(), 0), "a-tool"));
}

TEST(CameraCaps, ExistingProfileLevelIdAndOtherCodecsAreLeftAlone) {
    InitGst();
    const GRef<GstCaps> h264 = Adopt(gst_caps_from_string(
        "application/x-rtp, encoding-name=(string)H264, profile-level-id=(string)4d401f, "
        "sprop-parameter-sets=(string)\"Z0LAHtoCgPbAWoMDA1KAAAADAIAAABlHixdQ\""));
    const GRef<GstCaps> pcma = Adopt(gst_caps_from_string(
        "application/x-rtp, media=(string)audio, encoding-name=(string)PCMA, "
        "sprop-parameter-sets=(string)\"Z0LAHtoCgPbAWoMDA1KAAAADAIAAABlHixdQ\", "
        "a-tool=(string)x"));
    const GRef<GstCaps> cleanH264 = Adopt(CleanCameraCaps(h264.get()));
    const GRef<GstCaps> cleanPcma = Adopt(CleanCameraCaps(pcma.get()));
    const GstStructure* h264Clean = gst_caps_get_structure(cleanH264.get(), 0);
    const GstStructure* pcmaClean = gst_caps_get_structure(cleanPcma.get(), 0);
    EXPECT_STREQ(gst_structure_get_string(h264Clean, "profile-level-id"), "4d401f");
    EXPECT_FALSE(gst_structure_has_field(pcmaClean, "profile-level-id"));
    EXPECT_FALSE(gst_structure_has_field(pcmaClean, "a-tool"));
}

}  // namespace
}  // namespace Norvane::Tavrel::gst::Test
