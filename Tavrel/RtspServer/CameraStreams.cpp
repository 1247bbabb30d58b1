#include "Tavrel/RtspServer/CameraStreams.h"

#include "Tavrel/gst/GRef.h"

#include <atomic>
#include <mutex>

// The media factory's category: the stream choice is part of how it pulls a camera.
GST_DEBUG_CATEGORY_STATIC(camera_streams_debug);
#define GST_CAT_DEFAULT camera_streams_debug

namespace Norvane::Tavrel {
namespace {

constexpr gint64 kNoStream = -1;

void InitDebugCategory() {
    static std::once_flag once;
    std::call_once(once, [] {
        GST_DEBUG_CATEGORY_INIT(camera_streams_debug, "rtspsrcmediafactory", 0,
                                "RtspSrcMediaFactory");
    });
}

/* rtspsrc "select-stream", asked once per SDP stream on the element's own thread; answering
 * FALSE skips the stream's SETUP and everything that would receive it. */
gboolean OnSelectStream(GstElement* source, guint num, GstCaps* caps, gpointer data) {
    auto& chosen = *static_cast<std::atomic<gint64>*>(data);
    const GstStructure* s =
        caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    const gchar* media = s ? gst_structure_get_string(s, "media") : nullptr;
    const bool video = media && g_strcmp0(media, "video") == 0;
    gint64 first = kNoStream;
    const bool selected =
        video && (chosen.compare_exchange_strong(first, num) || first == static_cast<gint64>(num));
    GST_DEBUG_OBJECT(source, "stream %u (%s): %s", num, media ? media : "?",
                     selected ? "set up"
                     : video  ? "skipped, another video stream is set up"
                              : "skipped");
    return selected;
}

/* The element that sent the dummy packets, held weakly until the main context stops it. */
struct DummySender {
    explicit DummySender(GstElement* element) { g_weak_ref_init(&this->element, element); }
    ~DummySender() { g_weak_ref_clear(&element); }
    DummySender(const DummySender&) = delete;
    DummySender& operator=(const DummySender&) = delete;
    GWeakRef element;
};

gboolean StopDummySender(gpointer data) {
    const auto element = gst::Adopt(
        static_cast<GstElement*>(g_weak_ref_get(&static_cast<DummySender*>(data)->element)));
    const auto pad =
        gst::Adopt(element ? gst_element_get_static_pad(element.get(), "src") : nullptr);
    if (!pad)
        return G_SOURCE_REMOVE;
    // Under the element's state lock, so that a new round of packets that rtspsrc started
    // meanwhile (from its own thread) is not cut short: its pad is not at its end then.
    GST_STATE_LOCK(element.get());
    if (GST_PAD_IS_EOS(pad.get())) {
        GST_DEBUG_OBJECT(element.get(), "dummy packets sent, stopping");
        gst_element_set_state(element.get(), GST_STATE_NULL);
    }
    GST_STATE_UNLOCK(element.get());
    return G_SOURCE_REMOVE;
}

/* The end of the dummy packets, on the sender's streaming thread, which cannot stop itself. */
GstPadProbeReturn OnDummyPacketsEvent(GstPad* pad, GstPadProbeInfo* info, gpointer) {
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS)
        return GST_PAD_PROBE_OK;
    GstElement* element = GST_PAD_PARENT(pad);
    if (element == nullptr)
        return GST_PAD_PROBE_OK;
    const auto idle = gst::Adopt(g_idle_source_new());
    g_source_set_callback(idle.get(), StopDummySender, new DummySender(element),
                          [](gpointer data) { delete static_cast<DummySender*>(data); });
    g_source_attach(idle.get(), nullptr);
    return GST_PAD_PROBE_OK;
}

/* rtspsrc adds the dummy packets' sender to itself when it sets up a stream over UDP. */
void OnSourceElementAdded(GstBin*, GstElement* element, gpointer) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory == nullptr || g_strcmp0(GST_OBJECT_NAME(factory), "fakesrc") != 0)
        return;
    if (const auto pad = gst::Adopt(gst_element_get_static_pad(element, "src")))
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnDummyPacketsEvent,
                          nullptr, nullptr);
}

}  // namespace

void StopDummyPacketsWhenSent(GstElement* source) {
    InitDebugCategory();
    g_signal_connect(source, "element-added", G_CALLBACK(OnSourceElementAdded), nullptr);
}

void SelectFirstVideoStream(GstElement* source) {
    InitDebugCategory();
    g_signal_connect_data(
        source, "select-stream", G_CALLBACK(OnSelectStream), new std::atomic<gint64>(kNoStream),
        [](gpointer data, GClosure*) { delete static_cast<std::atomic<gint64>*>(data); },
        static_cast<GConnectFlags>(0));
}

}  // namespace Norvane::Tavrel
