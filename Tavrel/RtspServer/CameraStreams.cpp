#include "Tavrel/RtspServer/CameraStreams.h"

#include <atomic>
#include <mutex>

// The media factory's category: the stream choice is part of how it pulls a camera.
GST_DEBUG_CATEGORY_STATIC(camera_streams_debug);
#define GST_CAT_DEFAULT camera_streams_debug

namespace Norvane::Tavrel {
namespace {

constexpr gint64 kNoStream = -1;

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

}  // namespace

void SelectFirstVideoStream(GstElement* source) {
    static std::once_flag once;
    std::call_once(once, [] {
        GST_DEBUG_CATEGORY_INIT(camera_streams_debug, "rtspsrcmediafactory", 0,
                                "RtspSrcMediaFactory");
    });
    g_signal_connect_data(
        source, "select-stream", G_CALLBACK(OnSelectStream), new std::atomic<gint64>(kNoStream),
        [](gpointer data, GClosure*) { delete static_cast<std::atomic<gint64>*>(data); },
        static_cast<GConnectFlags>(0));
}

}  // namespace Norvane::Tavrel
