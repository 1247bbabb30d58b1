#include "Tavrel/RtspServer/CameraGuard.h"

#include "Tavrel/RtspServer/CameraFaults.h"
#include "Tavrel/gst/GRef.h"

#include <gst/rtp/gstrtpbuffer.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

// The media factory's category: the guard is part of how it pulls a camera.
GST_DEBUG_CATEGORY_STATIC(camera_guard_debug);
#define GST_CAT_DEFAULT camera_guard_debug

namespace Norvane::Tavrel {
namespace {

using gst::Adopt;

constexpr gint64 kDeadlineUs = static_cast<gint64>(kMediaPrepareDeadline / GST_USECOND);
constexpr std::array kJunkCauses = {"larger than the largest packet passed on", "not RTP version 2",
                                    "of another payload type"};

/* One camera's guard, shared by its probes and its timer. */
struct Guard {
    explicit Guard(GstElement* source, const char* path) : path(path) {
        g_weak_ref_init(&this->source, source);
    }
    ~Guard() {
        Disarm();
        g_weak_ref_clear(&source);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    void Disarm() {
        const std::lock_guard lock(mutex);
        if (deadline) {
            g_source_destroy(deadline);
            g_source_unref(deadline);
            deadline = nullptr;
        }
    }

    GWeakRef source;
    const std::string path;
    std::atomic<gint> payload_type{-1};  // from the caps of the RTP that enters; -1: any
    std::atomic<bool> arrived{false};    // a packet reached the payloader
    std::atomic<bool> failed{false};     // the media was failed
    std::atomic<guint64> junk_total{0};
    std::atomic<gint64> valid_us{g_get_monotonic_time()};  // the last valid packet, or the start

    std::mutex mutex; /* guards deadline; a leaf */
    GSource* deadline = nullptr;
};
using GuardShare = std::shared_ptr<Guard>;

/* Fails the media of the guard's camera once, as an error of its source. */
void Fail(Guard& guard, const char* cause) {
    const auto source = Adopt(static_cast<GstElement*>(g_weak_ref_get(&guard.source)));
    if (!source || guard.failed.exchange(true))
        return;
    const guint64 junk = guard.junk_total;
    if (junk) {
        GST_ELEMENT_ERROR(
            source.get(), STREAM, FAILED,
            ("The camera %s (%" G_GUINT64_FORMAT " junk packets dropped)", cause, junk),
            ("camera at %s", guard.path.c_str()));
    } else {
        GST_ELEMENT_ERROR(source.get(), STREAM, FAILED, ("The camera %s", cause),
                          ("camera at %s", guard.path.c_str()));
    }
}

gboolean OnDeadline(gpointer data) {
    const auto guard = static_cast<std::weak_ptr<Guard>*>(data)->lock();
    if (!guard || guard->arrived)
        return G_SOURCE_REMOVE;
    const auto source = Adopt(static_cast<GstElement*>(g_weak_ref_get(&guard->source)));
    // A media that was never started, or is stopped, is no camera failing.
    if (!source || GST_STATE(source.get()) == GST_STATE_NULL)
        return G_SOURCE_REMOVE;
    const char* cause = guard->junk_total ? "sent only junk within the prepare deadline"
                                          : "sent nothing usable within the prepare deadline";
    NoteCameraFault(guard->path, CameraFault::kNoUsableStream, cause);
    Fail(*guard, cause);
    return G_SOURCE_REMOVE;
}

/* Counts a dropped packet; the camera's junk is logged at most once per interval. */
void CountJunk(Guard& guard, CameraPacket kind) {
    const auto cause = static_cast<std::size_t>(kind) - 1;
    ++guard.junk_total;
    NoteCameraFault(guard.path, CameraFault::kJunkRtp,
                    std::string("the last one ") + kJunkCauses[cause]);
    if (guard.arrived && !guard.failed && g_get_monotonic_time() - guard.valid_us >= kDeadlineUs) {
        NoteCameraFault(guard.path, CameraFault::kNoUsableStream,
                        "sent only junk for longer than the prepare deadline");
        Fail(guard, "sent only junk for longer than the prepare deadline");
    }
}

/* Whether `buffer` passes; junk is counted. */
bool Pass(Guard& guard, GstBuffer* buffer) {
    const CameraPacket kind = ClassifyCameraPacket(buffer, guard.payload_type);
    if (kind == CameraPacket::kValid) {
        guard.valid_us = g_get_monotonic_time();
        return true;
    }
    CountJunk(guard, kind);
    return false;
}

/* On the RTP entering the source's RTP session, on the thread that receives it. */
GstPadProbeReturn OnCameraRtp(GstPad*, GstPadProbeInfo* info, gpointer data) {
    Guard& guard = **static_cast<GuardShare*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        GstCaps* caps = nullptr;
        gint payload_type = -1;
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            gst_event_parse_caps(event, &caps);
            const GstStructure* s =
                gst_caps_get_size(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
            if (s && gst_structure_get_int(s, "payload", &payload_type))
                guard.payload_type = payload_type;
        }
        return GST_PAD_PROBE_OK;
    }
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER)
        return Pass(guard, GST_PAD_PROBE_INFO_BUFFER(info)) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
    GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
    GST_PAD_PROBE_INFO_DATA(info) = list;
    gst_buffer_list_foreach(
        list,
        [](GstBuffer** buffer, guint, gpointer data) -> gboolean {
            if (!Pass(*static_cast<Guard*>(data), *buffer)) {
                gst_buffer_unref(*buffer);
                *buffer = nullptr;
            }
            return TRUE;
        },
        &guard);
    return gst_buffer_list_length(list) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
}

/* The first packet at the payloader: the media came up in time. */
GstPadProbeReturn OnFirstPacket(GstPad*, GstPadProbeInfo*, gpointer data) {
    Guard& guard = **static_cast<GuardShare*>(data);
    guard.arrived = true;
    guard.Disarm();
    return GST_PAD_PROBE_REMOVE;
}

void AddProbe(GstPad* pad, GstPadProbeType type, GstPadProbeCallback callback,
              const GuardShare& guard) {
    gst_pad_add_probe(pad, type, callback, new GuardShare(guard),
                      [](gpointer share) { delete static_cast<GuardShare*>(share); });
}

/* rtspsrc's RTP session: every RTP packet of the camera, by UDP or interleaved, enters it by
 * a "recv_rtp_sink_%u" pad, before anything that keeps state per source or payload type. */
void OnManagerPadAdded(GstElement*, GstPad* pad, gpointer data) {
    if (!g_str_has_prefix(GST_PAD_NAME(pad), "recv_rtp_sink_"))
        return;
    AddProbe(
        pad,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        OnCameraRtp, *static_cast<GuardShare*>(data));
}

void ConnectShare(gpointer instance, const char* signal, GCallback handler,
                  const GuardShare& guard) {
    g_signal_connect_data(
        instance, signal, handler, new GuardShare(guard),
        [](gpointer share, GClosure*) { delete static_cast<GuardShare*>(share); },
        static_cast<GConnectFlags>(0));
}

void OnNewManager(GstElement*, GstElement* manager, gpointer data) {
    ConnectShare(manager, "pad-added", G_CALLBACK(OnManagerPadAdded),
                 *static_cast<GuardShare*>(data));
}

GQuark GuardQuark() {
    static const GQuark kQuark = g_quark_from_static_string("tavrel-camera-guard");
    return kQuark;
}

}  // namespace

CameraPacket ClassifyCameraPacket(GstBuffer* buffer, gint payload_type) {
    if (gst_buffer_get_size(buffer) > kMaxCameraRtpSize)
        return CameraPacket::kOversize;
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return CameraPacket::kNotRtp;
    const gint type = gst_rtp_buffer_get_payload_type(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    return payload_type < 0 || type == payload_type ? CameraPacket::kValid
                                                    : CameraPacket::kWrongPayloadType;
}

void GuardCameraMedia(GstElement* source, GstElement* payloader, const char* path) {
    static std::once_flag once;
    std::call_once(once, [] {
        GST_DEBUG_CATEGORY_INIT(camera_guard_debug, "rtspsrcmediafactory", 0,
                                "RtspSrcMediaFactory");
    });
    const auto guard = std::make_shared<Guard>(source, path);
    // The guard ends with the source (its timer with it); probes and handlers hold shares.
    g_object_set_qdata_full(G_OBJECT(source), GuardQuark(), new GuardShare(guard),
                            [](gpointer share) { delete static_cast<GuardShare*>(share); });
    ConnectShare(source, "new-manager", G_CALLBACK(OnNewManager), guard);
    AddProbe(
        Adopt(gst_element_get_static_pad(payloader, "sink")).get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        OnFirstPacket, guard);

    // A timer of the main context, which the server runs anyway: an asynchronous wait on the
    // system clock would keep a thread of its own for it.
    GSource* deadline =
        g_timeout_source_new(static_cast<guint>(kMediaPrepareDeadline / GST_MSECOND));
    g_source_set_callback(deadline, OnDeadline, new std::weak_ptr<Guard>(guard),
                          [](gpointer weak) { delete static_cast<std::weak_ptr<Guard>*>(weak); });
    const std::lock_guard lock(guard->mutex);
    guard->deadline = deadline;
    g_source_attach(deadline, nullptr);
}

}  // namespace Norvane::Tavrel
