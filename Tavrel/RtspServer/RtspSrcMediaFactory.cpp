#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"

#include "Tavrel/RtspServer/CameraConnection.h"
#include "Tavrel/RtspServer/CameraGuard.h"
#include "Tavrel/RtspServer/CameraStreams.h"
#include "Tavrel/RtspServer/ClientPorts.h"
#include "Tavrel/gst/CameraCaps.h"
#include "Tavrel/gst/GRef.h"
#include "Tavrel/gst/RtpPassthroughPay.h"

#include <spdlog/spdlog.h>

#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>

GST_DEBUG_CATEGORY_STATIC(rtsp_src_media_factory_debug);
#define GST_CAT_DEFAULT rtsp_src_media_factory_debug

namespace {

using Norvane::Tavrel::gst::Adopt;
using Norvane::Tavrel::gst::GRef;
using Norvane::Tavrel::gst::Sink;

constexpr guint kLatencyMs = 100;
/* How long the camera may take to connect or answer one RTSP request before the media fails
 * (rtspsrc's default of 20 s holds the client for that long). In microseconds. */
constexpr guint64 kUpstreamTcpTimeoutUs = 5 * G_USEC_PER_SEC;

/* Data key of the request path on the bin we build. */
constexpr const char* kPathKey = "rtsp-src-media-factory-path";

/* Per factory: how often the media of each path was retired (it failed, was unprepared, or its
 * camera was removed). A failed shared media stays in the library's cache as long as one of its
 * clients stays connected, and the library refuses to prepare it again; a new generation makes
 * the next client get a new media instead. */
struct FactoryState {
    std::mutex mutex; /* protects generations; a leaf: nothing else is taken while it is held */
    std::map<std::string, guint> generations;
};

GQuark StateQuark() {
    static const GQuark kQuark = g_quark_from_static_string("rtsp-src-media-factory-state");
    return kQuark;
}

FactoryState* State(GstRTSPMediaFactory* factory) {
    return static_cast<FactoryState*>(g_object_get_qdata(G_OBJECT(factory), StateQuark()));
}

/* What the handlers watching one media share: its path, whether it was retired, whether it is
 * being unprepared (its last client left) and whether its end was reported. Each handler owns a
 * share. */
struct MediaWatch {
    MediaWatch(GstRTSPMediaFactory* factory, const char* path) : path(path) {
        g_weak_ref_init(&this->factory, factory);
    }
    ~MediaWatch() { g_weak_ref_clear(&factory); }
    MediaWatch(const MediaWatch&) = delete;
    MediaWatch& operator=(const MediaWatch&) = delete;

    GWeakRef factory;
    std::string path;
    std::atomic<bool> retired{false};
    std::atomic<bool> unpreparing{false};
    std::atomic<bool> reported{false};
};
using MediaWatchShare = std::shared_ptr<MediaWatch>;

/* A share of a media's watch, kept on the media. */
GQuark MediaWatchQuark() {
    static const GQuark kQuark = g_quark_from_static_string("tavrel-media-watch");
    return kQuark;
}

}  // namespace

static GstElement* rtsp_src_media_factory_create_element(GstRTSPMediaFactory* factory,
                                                         const GstRTSPUrl* url);

static void rtsp_src_media_factory_configure(GstRTSPMediaFactory* factory, GstRTSPMedia* media);

static gchar* rtsp_src_media_factory_gen_key(GstRTSPMediaFactory* factory, const GstRTSPUrl* url);
static GstRTSPMedia* rtsp_src_media_factory_construct(GstRTSPMediaFactory* factory,
                                                      const GstRTSPUrl* url);

static gpointer rtsp_src_media_factory_parent_class = nullptr;

static void rtsp_src_media_factory_class_init(gpointer klass, gpointer) {
    rtsp_src_media_factory_parent_class = g_type_class_peek_parent(klass);
    GstRTSPMediaFactoryClass* factory_class = GST_RTSP_MEDIA_FACTORY_CLASS(klass);
    factory_class->create_element = rtsp_src_media_factory_create_element;
    factory_class->configure = rtsp_src_media_factory_configure;
    factory_class->gen_key = rtsp_src_media_factory_gen_key;
    factory_class->construct = rtsp_src_media_factory_construct;
    if (!rtsp_src_media_factory_debug) {
        GST_DEBUG_CATEGORY_INIT(rtsp_src_media_factory_debug, "rtspsrcmediafactory", 0,
                                "RtspSrcMediaFactory");
    }
    // Before the first camera is connected to.
    Norvane::Tavrel::BoundCameraConnections();
}

static void rtsp_src_media_factory_init(GTypeInstance* instance, gpointer) {
    RtspSrcMediaFactory* factory = reinterpret_cast<RtspSrcMediaFactory*>(instance);
    factory->config_func = nullptr;
    factory->config_data = nullptr;
    factory->stopped_func = nullptr;
    factory->stopped_data = nullptr;
    g_object_set_qdata_full(G_OBJECT(factory), StateQuark(), new FactoryState,
                            [](gpointer data) { delete static_cast<FactoryState*>(data); });
    if (const auto pool = Norvane::Tavrel::Ipv4PortPool())
        gst_rtsp_media_factory_set_address_pool(GST_RTSP_MEDIA_FACTORY(factory), pool.get());
    GST_INFO_OBJECT(factory, "new");
}

GType rtsp_src_media_factory_get_type(void) {
    static gsize type_id = 0;
    if (g_once_init_enter(&type_id)) {
        const GType type = g_type_register_static_simple(
            GST_TYPE_RTSP_MEDIA_FACTORY, g_intern_static_string("RtspSrcMediaFactory"),
            sizeof(RtspSrcMediaFactoryClass), rtsp_src_media_factory_class_init,
            sizeof(RtspSrcMediaFactory), rtsp_src_media_factory_init, static_cast<GTypeFlags>(0));
        g_once_init_leave(&type_id, type);
    }
    return type_id;
}

RtspSrcMediaFactory* rtsp_src_media_factory_new(void) {
    return static_cast<RtspSrcMediaFactory*>(g_object_new(RTSP_SRC_TYPE_MEDIA_FACTORY, nullptr));
}

void rtsp_src_media_factory_set_config_func(RtspSrcMediaFactory* factory, RtspSrcConfigFunc func,
                                            gpointer user_data) {
    g_return_if_fail(RTSP_SRC_IS_MEDIA_FACTORY(factory));
    factory->config_func = func;
    factory->config_data = user_data;
}

void rtsp_src_media_factory_set_stopped_func(RtspSrcMediaFactory* factory, RtspSrcStoppedFunc func,
                                             gpointer user_data) {
    g_return_if_fail(RTSP_SRC_IS_MEDIA_FACTORY(factory));
    factory->stopped_func = func;
    factory->stopped_data = user_data;
}

void rtsp_src_media_factory_retire_path(RtspSrcMediaFactory* factory, const gchar* path) {
    g_return_if_fail(RTSP_SRC_IS_MEDIA_FACTORY(factory) && path != nullptr);
    if (FactoryState* state = State(GST_RTSP_MEDIA_FACTORY(factory))) {
        const std::lock_guard lock(state->mutex);
        ++state->generations[path];
    }
}

/* Links a new pad of `element` with the sink of `next`. A pad finding it taken (a further stream)
 * stays unused; other failures fail the media (an error of `element`), not leave it half-linked. */
static void LinkNewPad(GstElement* element, GstPad* pad, GstElement* next) {
    const auto result = gst_pad_link(pad, Adopt(gst_element_get_static_pad(next, "sink")).get());
    if (result == GST_PAD_LINK_WAS_LINKED) {
        GST_WARNING_OBJECT(pad, "unused: the sink of %s is linked already", GST_ELEMENT_NAME(next));
    } else if (result != GST_PAD_LINK_OK) {
        GST_ELEMENT_ERROR(element, CORE, PAD,
                          ("Failed to link %s with %s: %s", GST_PAD_NAME(pad),
                           GST_ELEMENT_NAME(next), gst_pad_link_get_name(result)),
                          (nullptr));
    }
}

static void OnVideoPadAdded(GstElement* source, GstPad* pad, GstElement* demuxer) {
    const auto pad_caps = Adopt(gst_pad_get_current_caps(pad));
    const auto video_caps = Adopt(gst_caps_from_string("application/x-rtp,media=video"));
    if (pad_caps && gst_caps_is_subset(pad_caps.get(), video_caps.get())) {
        GST_DEBUG("pad added: Link rtspsrc:src with rtpptdemux:sink");
        LinkNewPad(source, pad, demuxer);
    }
}

static void OnPadAdded(GstElement* demuxer, GstPad* pad, GstElement* payloader) {
    GST_DEBUG("pad added: Link rtpptdemux:src with rtppassthroughpay:sink");
    LinkNewPad(demuxer, pad, payloader);
}

/* Name of the element message that tells a camera's end (see the header). */
constexpr const char* kCameraEndedMessage = "rtsp-src-camera-ended";

static bool IsCameraEnd(GstMessage* message) {
    const GstStructure* s = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT
                                ? gst_message_get_structure(message)
                                : nullptr;
    return s && gst_structure_has_name(s, kCameraEndedMessage);
}

/* The camera's end of stream (after its RTCP BYE, or when rtspsrc timed its source out) is
 * announced as it reaches the payloader: the pipeline's own EOS message is not reliable, as the
 * RTP session that serves our clients may send its BYE before it marks its input as ended and
 * then never passes EOS on to the RTCP sink, so the pipeline never counts every sink as done. */
static void PostCameraEnded(GstPad* pad) {
    const auto payloader = Adopt(gst_pad_get_parent(pad));
    if (!payloader)
        return;
    GST_INFO_OBJECT(payloader.get(), "the camera ended its stream");
    gst_element_post_message(
        GST_ELEMENT(payloader.get()),
        gst_message_new_element(payloader.get(), gst_structure_new_empty(kCameraEndedMessage)));
}

/* The caps that reach the payloader describe the camera's session too; the SDP we serve is made
 * from them, so they are cleaned on their way in (whichever payloader element is used). */
static GstPadProbeReturn OnPayloaderSinkEvent(GstPad* pad, GstPadProbeInfo* info, gpointer) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_EOS)
        PostCameraEnded(pad);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
        return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    const auto clean = Adopt(Norvane::Tavrel::gst::CleanCameraCaps(caps));
    GST_DEBUG("caps for the payloader: %" GST_PTR_FORMAT, clean.get());
    GstEvent* replacement = gst_event_new_caps(clean.get());
    gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
    gst_event_unref(event);
    GST_PAD_PROBE_INFO_DATA(info) = replacement;
    return GST_PAD_PROBE_OK;
}

static void OnSinkSyncChanged(GObject* sink, GParamSpec*, gpointer) {
    gboolean sync = FALSE;
    g_object_get(sink, "sync", &sync, nullptr);
    if (sync)
        g_object_set(sink, "sync", FALSE, nullptr);
}

/* The server's sinks join the media's pipeline when it is prepared.
 * - They send each packet as it comes: the camera's jitter buffer already releases packets in
 *   order as they arrive, and waiting on the clock for their time would hold every packet for
 *   the pipeline's latency plus the sink's processing deadline (20 ms) and wake the sending
 *   thread once more per packet.
 * - Our payloader follows what they send, so that RTP-Info names the next packet for a client
 *   that joins a running stream (the library would name the last packet sent, which that
 *   client never gets). */
static void OnDeepElementAdded(GstBin*, GstBin*, GstElement* element, gpointer payloader) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory)
        return;
    const gchar* name = GST_OBJECT_NAME(factory);
    if (g_strcmp0(name, "multiudpsink") != 0 && g_strcmp0(name, "appsink") != 0)
        return;
    g_object_set(element, "sync", FALSE, "processing-deadline", G_GUINT64_CONSTANT(0), nullptr);
    // The library turns sync on for its TCP sink after adding it.
    g_signal_connect(element, "notify::sync", G_CALLBACK(OnSinkSyncChanged), nullptr);
    if (payloader)
        tavrel_rtp_passthrough_pay_watch_sink(TAVREL_RTP_PASSTHROUGH_PAY(payloader), element);
}

/* The media of a path is shared by every spelling of its URL: the library's own key is the whole
 * request URL, so a query string or another host name would each pull the camera again. The
 * library has already folded doubled and trailing slashes of the path. */
static gchar* rtsp_src_media_factory_gen_key(GstRTSPMediaFactory* factory, const GstRTSPUrl* url) {
    if (!url || !url->abspath)
        return GST_RTSP_MEDIA_FACTORY_CLASS(rtsp_src_media_factory_parent_class)
            ->gen_key(factory, url);
    FactoryState* state = State(factory);
    guint generation = 0;
    if (state) {
        const std::lock_guard lock(state->mutex);
        const auto it = state->generations.find(url->abspath);
        if (it != state->generations.end())
            generation = it->second;
    }
    return g_strdup_printf("%s#%u", url->abspath, generation);
}

/* As the library's own construct, except that a path without camera (our error record was
 * written) ends quietly instead of with the library's CRITICAL "could not create element". */
static GstRTSPMedia* rtsp_src_media_factory_construct(GstRTSPMediaFactory* factory,
                                                      const GstRTSPUrl* url) {
    GstRTSPMediaFactoryClass* klass = GST_RTSP_MEDIA_FACTORY_GET_CLASS(factory);
    // A media without RTCP can only be made by the library itself (no public setter).
    if (!gst_rtsp_media_factory_is_enable_rtcp(factory)) {
        return GST_RTSP_MEDIA_FACTORY_CLASS(rtsp_src_media_factory_parent_class)
            ->construct(factory, url);
    }
    GstElement* element = gst_rtsp_media_factory_create_element(factory, url);
    if (!element)
        return nullptr;
    auto* media = static_cast<GstRTSPMedia*>(g_object_new(
        gst_rtsp_media_factory_get_media_gtype(factory), "element", element, "transport-mode",
        gst_rtsp_media_factory_get_transport_mode(factory), nullptr));
    gst_rtsp_media_collect_streams(media);
    if (!klass->create_pipeline || !klass->create_pipeline(factory, media)) {
        GST_ERROR_OBJECT(factory, "Failed to create the media pipeline");
        g_object_unref(media);
        return nullptr;
    }
    return media;
}

/* The media of watch->path may not serve another client: the next one gets a new media. */
static void RetireMedia(MediaWatch& watch) {
    if (watch.retired.exchange(true))
        return;
    const auto factory = Adopt(static_cast<GstRTSPMediaFactory*>(g_weak_ref_get(&watch.factory)));
    if (!factory)
        return;
    if (FactoryState* state = State(factory.get())) {
        const std::lock_guard lock(state->mutex);
        ++state->generations[watch.path];
    }
}

/* The camera behind the media failed or ended: the media is retired, and the factory's owner
 * is told once. */
static void ReportStopped(MediaWatch& watch, const gchar* reason) {
    RetireMedia(watch);
    const auto factory = Adopt(static_cast<RtspSrcMediaFactory*>(g_weak_ref_get(&watch.factory)));
    if (factory && factory->stopped_func)
        factory->stopped_func(watch.path.c_str(), reason, factory->stopped_data);
}

/* Runs on the thread that posts the error (a streaming thread of the camera's source). */
static void OnMediaError(GstBus*, GstMessage* message, gpointer data) {
    MediaWatch& watch = **static_cast<MediaWatchShare*>(data);
    // An error of a pipeline on its way down (the camera's connection closing) is no failure.
    if (watch.unpreparing || watch.reported.exchange(true))
        return;
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    const auto owned = Adopt(error);
    GST_WARNING("media of %s failed (%s): the next client gets a new one", watch.path.c_str(),
                error ? error->message : "?");
    ReportStopped(watch, error ? error->message : "");
}

/* A camera that ends its stream leaves a media that has nothing more to give; it is treated
 * like one that failed. */
static void OnCameraEnded(GstBus*, GstMessage* message, gpointer data) {
    MediaWatch& watch = **static_cast<MediaWatchShare*>(data);
    if (!IsCameraEnd(message) || watch.unpreparing || watch.reported.exchange(true))
        return;
    GST_INFO("media of %s ended: the next client gets a new one", watch.path.c_str());
    ReportStopped(watch, "end of stream");
}

/* A shared media that is being unprepared (its last client left) stays in the library's cache
 * until its pipeline has stopped, and a client coming meanwhile would be refused (503); from
 * then on the next client gets a new media. */
static void OnMediaTargetState(GstRTSPMedia*, gint state, gpointer data) {
    if (state == GST_STATE_NULL) {
        MediaWatch& watch = **static_cast<MediaWatchShare*>(data);
        watch.unpreparing = true;
        RetireMedia(watch);
    }
}

/* Connects a handler that holds a share of the media's watch. */
static void ConnectMediaWatch(gpointer instance, const char* signal, GCallback handler,
                              const MediaWatchShare& watch) {
    g_signal_connect_data(
        instance, signal, handler, new MediaWatchShare(watch),
        [](gpointer share, GClosure*) { delete static_cast<MediaWatchShare*>(share); },
        static_cast<GConnectFlags>(0));
}

static void rtsp_src_media_factory_configure(GstRTSPMediaFactory* factory, GstRTSPMedia* media) {
    GST_RTSP_MEDIA_FACTORY_CLASS(rtsp_src_media_factory_parent_class)->configure(factory, media);

    const auto element = Adopt(gst_rtsp_media_get_element(media));
    if (!element)
        return;
    const auto payloader = Adopt(
        GST_IS_BIN(element.get()) ? gst_bin_get_by_name(GST_BIN(element.get()), "pay0") : nullptr);
    const auto pipeline = Adopt(gst_object_get_parent(GST_OBJECT(element.get())));
    // Only our own element can follow the sinks; another one keeps the library's way.
    if (pipeline && GST_IS_BIN(pipeline.get())) {
        GstElement* ours =
            payloader && TAVREL_IS_RTP_PASSTHROUGH_PAY(payloader.get()) ? payloader.get() : nullptr;
        g_signal_connect_data(pipeline.get(), "deep-element-added", G_CALLBACK(OnDeepElementAdded),
                              ours ? gst_object_ref(ours) : nullptr,
                              reinterpret_cast<GClosureNotify>(+[](gpointer data, GClosure*) {
                                  if (data)
                                      gst_object_unref(data);
                              }),
                              static_cast<GConnectFlags>(0));
    }
    const auto* path =
        static_cast<const gchar*>(g_object_get_data(G_OBJECT(element.get()), kPathKey));
    if (pipeline && GST_IS_PIPELINE(pipeline.get()) && path) {
        const auto watch = std::make_shared<MediaWatch>(factory, path);
        const auto bus = Adopt(gst_pipeline_get_bus(GST_PIPELINE(pipeline.get())));
        gst_bus_enable_sync_message_emission(bus.get());
        ConnectMediaWatch(bus.get(), "sync-message::error", G_CALLBACK(OnMediaError), watch);
        ConnectMediaWatch(bus.get(), "sync-message::element", G_CALLBACK(OnCameraEnded), watch);
        ConnectMediaWatch(media, "target-state", G_CALLBACK(OnMediaTargetState), watch);
        g_object_set_qdata_full(
            G_OBJECT(media), MediaWatchQuark(), new MediaWatchShare(watch),
            [](gpointer share) { delete static_cast<MediaWatchShare*>(share); });
    }
}

void rtsp_src_media_factory_abandon_media(GstRTSPMedia* media) {
    g_return_if_fail(GST_IS_RTSP_MEDIA(media));
    if (auto* watch =
            static_cast<MediaWatchShare*>(g_object_get_qdata(G_OBJECT(media), MediaWatchQuark())))
        (*watch)->unpreparing = true;
    const auto element = Adopt(gst_rtsp_media_get_element(media));
    const auto pipeline =
        Adopt(element ? gst_object_get_parent(GST_OBJECT(element.get())) : nullptr);
    if (!pipeline || !GST_IS_ELEMENT(pipeline.get()))
        return;
    // The library's own end of a media that failed: an error on its pipeline's bus sets the
    // media's status, which a waiting prepare looks at.
    const auto error = Adopt(g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_STATE_CHANGE,
                                                 "the camera is no longer wanted"));
    gst_element_post_message(
        GST_ELEMENT(pipeline.get()),
        gst_message_new_error(GST_OBJECT(pipeline.get()), error.get(), nullptr));
}

static GstElement* MakePayloader() {
    GstElement* payloader = gst_element_factory_make("rtppassthroughpay", "pay0");
    if (!payloader && Norvane::Tavrel::gst::EnsurePassthroughPayloader())
        payloader = gst_element_factory_make("rtppassthroughpay", "pay0");
    return payloader;
}

static GstElement* rtsp_src_media_factory_create_element(GstRTSPMediaFactory* factory,
                                                         const GstRTSPUrl* url) {
    RtspSrcMediaFactory* self = RTSP_SRC_MEDIA_FACTORY(factory);
    const gchar* abspath = url && url->abspath ? url->abspath : "(none)";
    RtspSrcConfig config;
    if (self->config_func) {
        try {
            config = self->config_func(url, self->config_data);
        } catch (const std::exception& e) {
            SPDLOG_ERROR("Camera lookup for path '{}' failed: {}", abspath, e.what());
            config = RtspSrcConfig{};
        } catch (...) {
            SPDLOG_ERROR("Camera lookup for path '{}' failed", abspath);
            config = RtspSrcConfig{};
        }
    }
    if (!config.url) {
        GST_ERROR("Failed to find source info for path: %s", abspath);
        return nullptr;
    }

    // The bin is handed out floating, as the library expects of create_element.
    auto bin = Adopt(gst_bin_new("RtspSrcMediaFactoryBin"));
    if (url && url->abspath)
        g_object_set_data_full(G_OBJECT(bin.get()), kPathKey, g_strdup(url->abspath), g_free);
    const auto source = Sink(gst_element_factory_make("rtspsrc", nullptr));
    const auto demuxer = Sink(gst_element_factory_make("rtpptdemux", nullptr));
    const auto payloader = Sink(MakePayloader());
    if (!source || !demuxer || !payloader) {
        GST_ERROR("Failed to create element '%s'", !source    ? "rtspsrc"
                                                   : !demuxer ? "rtpptdemux"
                                                              : "rtppassthroughpay");
        return nullptr;
    }

    g_object_set(source.get(), "latency", kLatencyMs, "do-retransmission", FALSE, "location",
                 config.url->c_str(), nullptr);
    if (config.user && config.password) {
        g_object_set(source.get(), "user-id", config.user->c_str(), "user-pw",
                     config.password->c_str(), nullptr);
    }
    g_object_set(source.get(), "tcp-timeout", kUpstreamTcpTimeoutUs, nullptr);
    if (config.protocols)
        g_object_set(source.get(), "protocols", *config.protocols, nullptr);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(payloader.get()), "instant-start"))
        g_object_set(payloader.get(), "instant-start", config.instantStart ? TRUE : FALSE, nullptr);

    // The bin takes a reference of its own on each; ours go when this function returns.
    gst_bin_add_many(GST_BIN(bin.get()), source.get(), demuxer.get(), payloader.get(), nullptr);

    gst_pad_add_probe(Adopt(gst_element_get_static_pad(payloader.get(), "sink")).get(),
                      GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnPayloaderSinkEvent, nullptr, nullptr);

    Norvane::Tavrel::SelectFirstVideoStream(source.get());
    Norvane::Tavrel::StopDummyPacketsWhenSent(source.get());
    Norvane::Tavrel::GuardCameraMedia(source.get(), payloader.get(), abspath);
    Norvane::Tavrel::WatchCameraConnections(source.get(), abspath);
    if (config.media)
        Norvane::Tavrel::WatchCameraMedia(bin.get(), source.get(), payloader.get(), config.media);
    g_signal_connect(source.get(), "pad-added", G_CALLBACK(OnVideoPadAdded), demuxer.get());
    g_signal_connect(demuxer.get(), "pad-added", G_CALLBACK(OnPadAdded), payloader.get());
    return bin.release();
}
