// The media factory without a network: type, records, the bin it builds.

#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"

#include <gmock/gmock.h>
#include <gst/rtsp/gstrtspurl.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "RtspServerTestSupport.h"
#include "RtspSrcMediaFactoryTestSupport.h"

namespace Norvane::Tavrel::Test::Factory {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

struct Lookup {
    RtspSrcConfig answer;
    std::vector<std::string> asked;  ///< abspath of each request, "(null)" when absent
};

RtspSrcConfig Answer(const GstRTSPUrl* url, gpointer data) {
    auto* lookup = static_cast<Lookup*>(data);
    lookup->asked.push_back(url && url->abspath ? url->abspath : "(null)");
    return lookup->answer;
}

/// The factory's create_element, as the RTSP server library calls it.
GstElement* CreateElement(RtspSrcMediaFactory* factory, const GstRTSPUrl* url) {
    return GST_RTSP_MEDIA_FACTORY_GET_CLASS(factory)->create_element(
        GST_RTSP_MEDIA_FACTORY(factory), url);
}

GstRTSPUrl* ParseUrl(const char* text) {
    GstRTSPUrl* url = nullptr;
    EXPECT_EQ(gst_rtsp_url_parse(text, &url), GST_RTSP_OK);
    return url;
}

std::string FactoryName(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? GST_OBJECT_NAME(factory) : "";
}

/// The bin's rtspsrc, or null.
GstElement* Source(GstElement* bin) {
    for (GList* l = GST_BIN_CHILDREN(bin); l; l = l->next) {
        if (FactoryName(GST_ELEMENT(l->data)) == "rtspsrc")
            return GST_ELEMENT(l->data);
    }
    return nullptr;
}

std::string StringProperty(GstElement* element, const char* name) {
    gchar* value = nullptr;
    g_object_get(element, name, &value, nullptr);
    std::string out = value ? value : "(null)";
    g_free(value);
    return out;
}

class RtspSrcMediaFactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitGstreamer();
        factory_ = rtsp_src_media_factory_new();
        rtsp_src_media_factory_set_config_func(factory_, Answer, &lookup_);
        url_ = ParseUrl("rtsp://127.0.0.1:8554/cam");
    }
    void TearDown() override {
        gst_rtsp_url_free(url_);
        g_object_unref(factory_);
    }

    Lookup lookup_;
    RtspSrcMediaFactory* factory_{nullptr};
    GstRTSPUrl* url_{nullptr};
};

TEST_F(RtspSrcMediaFactoryTest, TypeAndConstruction) {
    GstLogCapture records("rtspsrcmediafactory");
    RtspSrcMediaFactory* factory = rtsp_src_media_factory_new();
    EXPECT_STREQ(G_OBJECT_TYPE_NAME(factory), "RtspSrcMediaFactory");
    EXPECT_EQ(g_type_parent(RTSP_SRC_TYPE_MEDIA_FACTORY), GST_TYPE_RTSP_MEDIA_FACTORY);
    EXPECT_EQ(rtsp_src_media_factory_get_type(), RTSP_SRC_TYPE_MEDIA_FACTORY);
    EXPECT_EQ(factory->config_func, nullptr);
    EXPECT_EQ(factory->config_data, nullptr);
    const auto all = records.Records();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].message, "new");
    EXPECT_EQ(all[0].level, GST_LEVEL_INFO);
    EXPECT_EQ(all[0].object, G_OBJECT(factory));
    g_object_unref(factory);
}

TEST_F(RtspSrcMediaFactoryTest, BinLayout) {
    lookup_.answer = {"rtsp://127.0.0.1:9/camera", std::nullopt, std::nullopt};
    GstElement* bin = CreateElement(factory_, url_);
    ASSERT_NE(bin, nullptr);
    EXPECT_TRUE(g_object_is_floating(bin));
    gst_object_ref_sink(bin);
    EXPECT_THAT(lookup_.asked, ElementsAre("/cam"));
    EXPECT_TRUE(GST_IS_BIN(bin));
    EXPECT_STREQ(GST_OBJECT_NAME(bin), "RtspSrcMediaFactoryBin");

    std::vector<std::string> factories;
    for (GList* l = GST_BIN_CHILDREN(bin); l; l = l->next)
        factories.push_back(FactoryName(GST_ELEMENT(l->data)));
    EXPECT_THAT(factories, UnorderedElementsAre("rtspsrc", "rtpptdemux", "rtppassthroughpay"));

    GstElement* pay = gst_bin_get_by_name(GST_BIN(bin), "pay0");
    ASSERT_NE(pay, nullptr);
    EXPECT_EQ(FactoryName(pay), "rtppassthroughpay");
    // Nothing is linked before the camera's pads appear.
    GstPad* paySink = gst_element_get_static_pad(pay, "sink");
    EXPECT_FALSE(gst_pad_is_linked(paySink));
    gst_object_unref(paySink);
    gst_object_unref(pay);

    GstElement* src = Source(bin);
    ASSERT_NE(src, nullptr);
    guint latency = 0;
    gboolean retransmission = TRUE;
    guint64 tcpTimeout = 0;
    g_object_get(src, "latency", &latency, "do-retransmission", &retransmission, "tcp-timeout",
                 &tcpTimeout, nullptr);
    EXPECT_EQ(latency, 100u);
    EXPECT_FALSE(retransmission);
    EXPECT_EQ(tcpTimeout, 5 * G_USEC_PER_SEC);
    EXPECT_EQ(StringProperty(src, "location"), "rtsp://127.0.0.1:9/camera");
    gst_object_unref(bin);
}

TEST_F(RtspSrcMediaFactoryTest, CredentialsOnlyWhenBothArePresent) {
    const struct {
        std::optional<std::string> user;
        std::optional<std::string> password;
        const char* expectedUser;
        const char* expectedPassword;
    } cases[] = {
        {"viewer", "s3cret:x@y", "viewer", "s3cret:x@y"},
        {std::nullopt, std::nullopt, "(null)", "(null)"},
        {"viewer", std::nullopt, "(null)", "(null)"},
        {std::nullopt, "lonely", "(null)", "(null)"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.expectedUser) + "/" + c.expectedPassword);
        lookup_.answer = {"rtsp://127.0.0.1:9/camera", c.user, c.password};
        auto* bin = static_cast<GstElement*>(gst_object_ref_sink(CreateElement(factory_, url_)));
        ASSERT_NE(bin, nullptr);
        GstElement* src = Source(bin);
        ASSERT_NE(src, nullptr);
        EXPECT_EQ(StringProperty(src, "user-id"), c.expectedUser);
        EXPECT_EQ(StringProperty(src, "user-pw"), c.expectedPassword);
        gst_object_unref(bin);
    }
}

TEST_F(RtspSrcMediaFactoryTest, OnlyTheFirstVideoStreamIsSetUp) {
    lookup_.answer = {"rtsp://127.0.0.1:9/camera", std::nullopt, std::nullopt};
    auto* bin = static_cast<GstElement*>(gst_object_ref_sink(CreateElement(factory_, url_)));
    ASSERT_NE(bin, nullptr);
    GstElement* src = Source(bin);
    ASSERT_NE(src, nullptr);
    GstCaps* video = gst_caps_from_string("application/x-rtp,media=video,encoding-name=H264");
    GstCaps* audio = gst_caps_from_string("application/x-rtp,media=audio,encoding-name=PCMA");
    const auto select = [src](guint num, GstCaps* caps) {
        gboolean selected = FALSE;
        g_signal_emit_by_name(src, "select-stream", num, caps, &selected);
        return selected != FALSE;
    };
    // The camera's first connection: audio, video, video, no caps.
    EXPECT_FALSE(select(0, audio));
    EXPECT_TRUE(select(1, video));
    EXPECT_FALSE(select(2, video));
    EXPECT_FALSE(select(3, nullptr));
    // Asked again after a reconnect: the same stream, and only it.
    EXPECT_FALSE(select(0, video));
    EXPECT_TRUE(select(1, video));
    EXPECT_FALSE(select(1, audio));
    gst_caps_unref(video);
    gst_caps_unref(audio);
    gst_object_unref(bin);
}

TEST_F(RtspSrcMediaFactoryTest, NoCameraForThePath) {
    GstLogCapture records("rtspsrcmediafactory");
    // No camera, a URL without path, and no lookup at all: no element and one error record.
    lookup_.answer = {};
    EXPECT_EQ(CreateElement(factory_, url_), nullptr);
    GstRTSPUrl noPath = *url_;
    noPath.abspath = nullptr;
    EXPECT_EQ(CreateElement(factory_, &noPath), nullptr);
    EXPECT_THAT(lookup_.asked, ElementsAre("/cam", "(null)"));

    RtspSrcMediaFactory* bare = rtsp_src_media_factory_new();
    EXPECT_EQ(CreateElement(bare, url_), nullptr);
    g_object_unref(bare);

    std::vector<std::string> errors;
    for (const auto& r : records.Records()) {
        if (r.level == GST_LEVEL_ERROR) {
            errors.push_back(r.message);
            EXPECT_EQ(r.object, nullptr);
        }
    }
    EXPECT_THAT(errors, ElementsAre("Failed to find source info for path: /cam",
                                    "Failed to find source info for path: (none)",
                                    "Failed to find source info for path: /cam"));
}

TEST_F(RtspSrcMediaFactoryTest, FailingLookupIsLoggedAndGivesNoElement) {
    Norvane::Test::LogCapture log;
    rtsp_src_media_factory_set_config_func(
        factory_,
        [](const GstRTSPUrl*, gpointer) -> RtspSrcConfig { throw std::runtime_error("boom"); },
        nullptr);
    EXPECT_EQ(CreateElement(factory_, url_), nullptr);
    EXPECT_EQ(log.Count("Camera lookup for path '/cam' failed: boom"), 1U);
}

TEST_F(RtspSrcMediaFactoryTest, LookupReplacedAndAskedPerMedia) {
    Lookup second;
    second.answer = {"rtsp://127.0.0.1:9/other", std::nullopt, std::nullopt};
    rtsp_src_media_factory_set_config_func(factory_, Answer, &second);
    GstRTSPUrl* url = ParseUrl("rtsp://127.0.0.1:8554/a/b");
    for (int i = 0; i < 2; ++i) {
        GstElement* bin = CreateElement(factory_, url);
        ASSERT_NE(bin, nullptr);
        gst_object_unref(gst_object_ref_sink(bin));
    }
    gst_rtsp_url_free(url);
    EXPECT_TRUE(lookup_.asked.empty());
    EXPECT_THAT(second.asked, ElementsAre("/a/b", "/a/b"));
}

}  // namespace
}  // namespace Norvane::Tavrel::Test::Factory
