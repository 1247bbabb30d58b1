// The link and bus-message helpers on real elements, pads and messages.

#include "Tavrel/gst/gst_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "GstTestSupport.h"
#include "LogCapture.h"

namespace Norvane::Tavrel::gst::Test {
namespace {

using Norvane::Test::LogCapture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class GstUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitGst();
        pipeline_ = Sink(gst_pipeline_new("pipe"));
    }
    void TearDown() override { gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }
    /// A new element in the pipeline.
    GstElement* Add(const char* factory, const char* name) {
        GstElement* element = gst_element_factory_make(factory, name);
        EXPECT_NE(element, nullptr) << factory;
        gst_bin_add(GST_BIN(pipeline_.get()), element);
        return element;
    }
    /// Records of the given level.
    std::vector<std::string> At(spdlog::level::level_enum level) {
        std::vector<std::string> out;
        for (const auto& record : log_.sink().Records()) {
            if (record.level == level)
                out.push_back(record.message);
        }
        return out;
    }

    LogCapture log_;
    GRef<GstElement> pipeline_;
};

TEST_F(GstUtilsTest, LinkPadsLinksAndReportsWhatItDoes) {
    GstElement* src = Add("fakesrc", "src");
    GstElement* sink = Add("fakesink", "sink");
    const GRef<GstPad> srcPad = Adopt(gst_element_get_static_pad(src, "src"));
    const GRef<GstPad> sinkPad = Adopt(gst_element_get_static_pad(sink, "sink"));

    EXPECT_TRUE(LinkPads(srcPad.get(), sinkPad.get()));
    EXPECT_TRUE(gst_pad_is_linked(srcPad.get()));
    EXPECT_THAT(log_.Messages(), ElementsAre("Linking pad 'src/src' to 'sink/sink'"));

    // Linked to each other already: nothing to do.
    log_.sink().Clear();
    EXPECT_TRUE(LinkPads(srcPad.get(), sinkPad.get()));
    EXPECT_THAT(log_.Messages(),
                ElementsAre("Linking pad 'src/src' to 'sink/sink'", "Pads are already linked"));
    EXPECT_EQ(log_.sink().Records().back().level, spdlog::level::debug);
}

TEST_F(GstUtilsTest, LinkPadsRefusesAPadLinkedElsewhere) {
    // The source pad is linked to another sink: asking for a link to this sink cannot succeed,
    // and the existing link stays.
    GstElement* src = Add("fakesrc", "src");
    GstElement* other = Add("fakesink", "other");
    GstElement* sink = Add("fakesink", "sink");
    ASSERT_TRUE(gst_element_link(src, other));
    const GRef<GstPad> srcPad = Adopt(gst_element_get_static_pad(src, "src"));
    const GRef<GstPad> sinkPad = Adopt(gst_element_get_static_pad(sink, "sink"));

    EXPECT_FALSE(LinkPads(srcPad.get(), sinkPad.get()));
    EXPECT_FALSE(gst_pad_is_linked(sinkPad.get()));
    EXPECT_THAT(At(spdlog::level::err),
                ElementsAre("Failed to link 'src/src' to 'sink/sink': Already linked"));
}

TEST_F(GstUtilsTest, LinkPadsNamesEachFailure) {
    struct Case {
        GstPadLinkReturn result;
        const char* text;
    };
    // Each result reaches LinkPads through a real gst_pad_link whose sink refuses with it.
    const Case cases[] = {
        {GST_PAD_LINK_WRONG_HIERARCHY, "No common grandparent"},
        {GST_PAD_LINK_WAS_LINKED, "Already linked"},
        {GST_PAD_LINK_WRONG_DIRECTION, "Wrong direction"},
        {GST_PAD_LINK_NOFORMAT, "No common format"},
        {GST_PAD_LINK_NOSCHED, "Cannot cooperate in scheduling"},
        {GST_PAD_LINK_REFUSED, "Refused"},
        {static_cast<GstPadLinkReturn>(-7), ""},  // not in the table
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        log_.sink().Clear();
        GstElement* src = Add("fakesrc", "src");
        GstElement* target = Add("fakesink", "target");
        GstPad* custom = gst_pad_new("custom", GST_PAD_SINK);
        g_object_set_data(G_OBJECT(custom), "result", GINT_TO_POINTER(c.result));
        gst_pad_set_link_function(custom, [](GstPad* pad, GstObject*, GstPad*) {
            return static_cast<GstPadLinkReturn>(
                GPOINTER_TO_INT(g_object_get_data(G_OBJECT(pad), "result")));
        });
        gst_element_add_pad(target, custom);
        const GRef<GstPad> srcPad = Adopt(gst_element_get_static_pad(src, "src"));

        EXPECT_FALSE(LinkPads(srcPad.get(), custom));
        EXPECT_THAT(
            At(spdlog::level::err),
            ElementsAre(std::string("Failed to link 'src/src' to 'target/custom': ") + c.text));
        gst_bin_remove_many(GST_BIN(pipeline_.get()), src, target, nullptr);
    }
}

TEST_F(GstUtilsTest, LinkPadsRealFailures) {
    // Pads given the wrong way round, elements in different bins, formats that do not meet.
    GstElement* audio = Add("audiotestsrc", "audio");
    GstElement* video = Add("videoconvert", "video");
    GstElement* sink = Add("fakesink", "sink");
    const GRef<GstElement> outside = Sink(gst_element_factory_make("fakesink", "outside"));
    const GRef<GstPad> audioSrc = Adopt(gst_element_get_static_pad(audio, "src"));
    const GRef<GstPad> videoSink = Adopt(gst_element_get_static_pad(video, "sink"));
    const GRef<GstPad> sinkPad = Adopt(gst_element_get_static_pad(sink, "sink"));
    const GRef<GstPad> outsidePad = Adopt(gst_element_get_static_pad(outside.get(), "sink"));

    EXPECT_FALSE(LinkPads(sinkPad.get(), audioSrc.get()));
    EXPECT_FALSE(LinkPads(audioSrc.get(), outsidePad.get()));
    EXPECT_FALSE(LinkPads(audioSrc.get(), videoSink.get()));
    EXPECT_THAT(At(spdlog::level::err),
                ElementsAre("Failed to link 'sink/sink' to 'audio/src': Wrong direction",
                            "Failed to link 'audio/src' to 'outside/sink': No common grandparent",
                            "Failed to link 'audio/src' to 'video/sink': No common format"));
    EXPECT_FALSE(gst_pad_is_linked(audioSrc.get()));
}

TEST_F(GstUtilsTest, LinkElementPadsRequestsPadsOnEitherSide) {
    GstElement* tee = Add("tee", "tee");
    GstElement* sink = Add("fakesink", "sink");
    EXPECT_TRUE(LinkElementPads(tee, sink, false, "src_%u"));
    EXPECT_THAT(log_.Messages(), ElementsAre("Requesting pad 'tee/src_%u'",
                                             "Linking pad 'tee/src_0' to 'sink/sink'"));

    log_.sink().Clear();
    GstElement* src = Add("fakesrc", "src");
    GstElement* funnel = Add("funnel", "funnel");
    EXPECT_TRUE(LinkElementPads(src, funnel, true, "sink_%u"));
    EXPECT_THAT(log_.Messages(), ElementsAre("Requesting pad 'funnel/sink_%u'",
                                             "Linking pad 'src/src' to 'funnel/funnelpad0'"));
    const GRef<GstPad> srcPad = Adopt(gst_element_get_static_pad(src, "src"));
    EXPECT_TRUE(gst_pad_is_linked(srcPad.get()));
}

TEST_F(GstUtilsTest, LinkElementPadsWithoutPads) {
    GstElement* tee = Add("tee", "tee");
    GstElement* sink = Add("fakesink", "sink");
    GstElement* src = Add("fakesrc", "src");
    EXPECT_FALSE(LinkElementPads(tee, sink, false, "nope_%u"));
    // A source without a static "src" pad (tee has only request pads).
    EXPECT_FALSE(LinkElementPads(tee, src, true, "sink_%u"));
    EXPECT_THAT(log_.Messages(), ElementsAre("Requesting pad 'tee/nope_%u'", "Failed to get pads",
                                             "Requesting pad 'src/sink_%u'", "Failed to get pads"));
    // Nothing requested stays behind on a failed attempt with a missing template.
    EXPECT_EQ(tee->numsrcpads, 0);
}

TEST_F(GstUtilsTest, LinkElementPadsByName) {
    GstElement* src = Add("fakesrc", "src");
    GstElement* sink = Add("fakesink", "sink");
    EXPECT_FALSE(LinkElementPads(src, "nope", sink, "sink"));
    EXPECT_TRUE(LinkElementPads(src, "src", sink, "sink"));
    EXPECT_THAT(log_.Messages(), ElementsAre("Linking elements 'src/nope' to 'sink/sink'",
                                             "Failed to link elements 'src/nope' to 'sink/sink'",
                                             "Linking elements 'src/src' to 'sink/sink'"));
    EXPECT_THAT(At(spdlog::level::err),
                ElementsAre("Failed to link elements 'src/nope' to 'sink/sink'"));
}

TEST_F(GstUtilsTest, LinkElementPadsWithCapsNamesTheCaps) {
    GstElement* src = Add("audiotestsrc", "src");
    GstElement* sink = Add("fakesink", "sink");
    GstCaps* video = gst_caps_from_string("video/x-raw");
    GstCaps* audio = gst_caps_from_string("audio/x-raw, rate=(int)8000");
    EXPECT_FALSE(LinkElementPadsWithCaps(src, "src", sink, "sink", video));
    EXPECT_TRUE(LinkElementPadsWithCaps(src, "src", sink, "sink", audio));
    EXPECT_THAT(log_.Messages(),
                ElementsAre("Linking elements 'src/src' to 'sink/sink', caps: video/x-raw",
                            "Failed to link elements 'src/src' to 'sink/sink', caps: video/x-raw",
                            "Linking elements 'src/src' to 'sink/sink', caps: audio/x-raw, "
                            "rate=(int)8000"));
    // The caps stay the caller's.
    EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(video), 1);
    gst_caps_unref(audio);
    gst_caps_unref(video);
}

TEST_F(GstUtilsTest, LinkElementsOnlyReportsFailure) {
    GstElement* src = Add("fakesrc", "src");
    GstElement* sink = Add("fakesink", "sink");
    const GRef<GstElement> outside = Sink(gst_element_factory_make("fakesink", "outside"));
    EXPECT_FALSE(LinkElements(src, outside.get()));
    EXPECT_TRUE(LinkElements(src, sink));
    EXPECT_THAT(log_.Messages(), ElementsAre("Failed to link 'src' to 'outside'"));
}

TEST_F(GstUtilsTest, LinkElementsWithCapsText) {
    GstElement* src = Add("audiotestsrc", "src");
    GstElement* sink = Add("fakesink", "sink");
    EXPECT_FALSE(LinkElementsWithCaps(src, sink, "audio/x-raw, rate=(int)"));
    EXPECT_FALSE(LinkElementsWithCaps(src, sink, "video/x-raw"));
    EXPECT_TRUE(LinkElementsWithCaps(src, sink, "audio/x-raw,channels=1"));
    EXPECT_THAT(log_.Messages(),
                ElementsAre("Failed to get caps from string: 'audio/x-raw, rate=(int)'",
                            "Failed to link 'src' to 'sink', caps: video/x-raw"));
}

TEST_F(GstUtilsTest, StateChangedFromARealBus) {
    Add("fakesrc", "src");
    ASSERT_EQ(gst_element_set_state(pipeline_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    const GRef<GstBus> bus = Adopt(gst_element_get_bus(pipeline_.get()));
    std::vector<std::string> changes;
    for (;;) {
        GstMessage* message = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_STATE_CHANGED);
        if (!message)
            break;
        OnStateChanged([] { return std::string("[test]"); }, message,
                       [&](std::string_view name, GstState from, GstState to) {
                           changes.push_back(std::string(name) + ":" +
                                             gst_element_state_get_name(from) + ">" +
                                             gst_element_state_get_name(to));
                       });
        gst_message_unref(message);
    }
    EXPECT_THAT(changes, ElementsAre("src:NULL>READY", "pipe:NULL>READY"));
    EXPECT_THAT(log_.Messages(),
                ElementsAre("[test] State changed 'src' from NULL -> READY (VOID_PENDING)",
                            "[test] State changed 'pipe' from NULL -> READY (VOID_PENDING)"));
}

TEST_F(GstUtilsTest, StateChangedWithoutSource) {
    GstMessage* message = gst_message_new_state_changed(nullptr, GST_STATE_READY, GST_STATE_PAUSED,
                                                        GST_STATE_PLAYING);
    std::string seen = "unset";
    OnStateChanged([] { return std::string("p"); }, message,
                   [&](std::string_view name, GstState, GstState) { seen = name; });
    // Without a change callable only the record is written.
    OnStateChanged([] { return std::string("q"); }, message);
    gst_message_unref(message);
    EXPECT_EQ(seen, "(NULL)");
    EXPECT_THAT(log_.Messages(),
                ElementsAre("p State changed '(NULL)' from READY -> PAUSED (PLAYING)",
                            "q State changed '(NULL)' from READY -> PAUSED (PLAYING)"));
}

TEST_F(GstUtilsTest, BusHelpersNeedAPrefix) {
    GstMessage* state = gst_message_new_state_changed(nullptr, GST_STATE_NULL, GST_STATE_READY,
                                                      GST_STATE_VOID_PENDING);
    GstElement* owner = Add("fakesrc", "owner");
    GstMessage* status =
        gst_message_new_stream_status(GST_OBJECT(owner), GST_STREAM_STATUS_TYPE_ENTER, owner);
    EXPECT_THROW(OnStateChanged({}, state), std::bad_function_call);
    EXPECT_THROW(OnStreamStatus({}, status), std::bad_function_call);
    gst_message_unref(status);
    gst_message_unref(state);
}

TEST_F(GstUtilsTest, StreamStatusTypes) {
    GstElement* owner = Add("fakesrc", "owner");
    const GRef<GstPad> pad = Adopt(gst_element_get_static_pad(owner, "src"));
    const std::pair<GstStreamStatusType, const char*> cases[] = {
        {GST_STREAM_STATUS_TYPE_CREATE, "CREATE"}, {GST_STREAM_STATUS_TYPE_ENTER, "ENTER"},
        {GST_STREAM_STATUS_TYPE_LEAVE, "LEAVE"},   {GST_STREAM_STATUS_TYPE_DESTROY, "DESTROY"},
        {GST_STREAM_STATUS_TYPE_START, "START"},   {GST_STREAM_STATUS_TYPE_PAUSE, "PAUSE"},
        {GST_STREAM_STATUS_TYPE_STOP, "STOP"},     {static_cast<GstStreamStatusType>(5), ""},
    };
    for (const auto& [type, text] : cases) {
        log_.sink().Clear();
        GstMessage* message = gst_message_new_stream_status(GST_OBJECT(pad.get()), type, owner);
        OnStreamStatus([] { return std::string("p"); }, message);
        gst_message_unref(message);
        EXPECT_THAT(log_.Messages(),
                    ElementsAre(std::string("p Stream status 'owner/src': ") + text));
    }
}

TEST_F(GstUtilsTest, StreamStatusFromARunningPipeline) {
    GstElement* src = Add("fakesrc", "src");
    GstElement* sink = Add("fakesink", "sink");
    g_object_set(src, "num-buffers", 1, nullptr);
    ASSERT_TRUE(gst_element_link(src, sink));
    const GRef<GstBus> bus = Adopt(gst_element_get_bus(pipeline_.get()));
    gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
    GstMessage* message =
        gst_bus_timed_pop_filtered(bus.get(), 5 * GST_SECOND, GST_MESSAGE_STREAM_STATUS);
    ASSERT_NE(message, nullptr);
    OnStreamStatus([] { return std::string("run"); }, message);
    gst_message_unref(message);
    EXPECT_THAT(log_.Messages(), ElementsAre("run Stream status 'src/src': CREATE"));

    GstMessage* orphan = gst_message_new_stream_status(nullptr, GST_STREAM_STATUS_TYPE_LEAVE, src);
    log_.sink().Clear();
    OnStreamStatus([] { return std::string("o"); }, orphan);
    gst_message_unref(orphan);
    EXPECT_THAT(log_.Messages(), ElementsAre("o Stream status 'src/(NULL)': LEAVE"));
}

TEST_F(GstUtilsTest, BusHelpersIgnoreOtherMessages) {
    GstMessage* eos = gst_message_new_eos(nullptr);
    bool called = false;
    OnStateChanged(
        [&] {
            called = true;
            return std::string();
        },
        eos);
    OnStreamStatus(
        [&] {
            called = true;
            return std::string();
        },
        eos);
    gst_message_unref(eos);
    EXPECT_FALSE(called);
    EXPECT_THAT(At(spdlog::level::err), ElementsAre("Not a state-changed message: eos",
                                                    "Not a stream-status message: eos"));
    EXPECT_THAT(At(spdlog::level::debug), IsEmpty());
}

}  // namespace
}  // namespace Norvane::Tavrel::gst::Test
