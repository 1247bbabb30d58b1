#include "Tavrel/gst/RtpPassthroughPay.h"

#include "Tavrel/gst/FrameBatch.h"
#include "Tavrel/gst/KeyFrameCache.h"
#include "Tavrel/gst/SinkWatch.h"

#include <gst/rtp/gstrtpbuffer.h>
#include <spdlog/spdlog.h>

#include <mutex>

GST_DEBUG_CATEGORY(tavrel_rtp_passthrough_pay_debug);
#define GST_CAT_DEFAULT tavrel_rtp_passthrough_pay_debug

using namespace Norvane::Tavrel::gst::Passthrough;

namespace {

constexpr const char* kElementName = "rtppassthroughpay";
constexpr guint kDefaultPt = 96;
constexpr guint kDefaultMtu = 1400;

enum {
    PROP_0,
    PROP_PT,
    PROP_MTU,
    PROP_SSRC,
    PROP_SEQNUM,
    PROP_TIMESTAMP,
    PROP_STATS,
    PROP_INSTANT_START,
};

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                                                             GST_STATIC_CAPS("application/x-rtp"));
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                                                            GST_STATIC_CAPS("application/x-rtp"));

}  // namespace

G_DEFINE_TYPE(TavrelRtpPassthroughPay, tavrel_rtp_passthrough_pay, GST_TYPE_ELEMENT)

/* Forgets everything learnt from a stream; called with the object lock held. */
static void tavrel_rtp_passthrough_pay_reset_locked(TavrelRtpPassthroughPay* self) {
    self->have_packet = FALSE;
    self->ssrc = 0;
    self->seqnum = 0;
    self->timestamp = 0;
    self->running_time = GST_CLOCK_TIME_NONE;
    self->frame_duration = 0;
    if (self->batch)
        static_cast<FrameBatch*>(self->batch)->Restart();
    gst_segment_init(&self->segment, GST_FORMAT_UNDEFINED);
    if (self->cache)
        static_cast<KeyCache*>(self->cache)->Clear();
    for (GList* l = self->watches; l; l = l->next) {
        auto* watch = static_cast<SinkWatch*>(l->data);
        watch->have_packet = FALSE;
        watch->cache.Clear();
    }
}

/* Notes what the packet carries before it goes downstream unchanged; false when it is no RTP
 * packet, else `header` (may be NULL) tells its SSRC, RTP time and marker. */
static bool tavrel_rtp_passthrough_pay_record(TavrelRtpPassthroughPay* self, GstBuffer* buffer,
                                              PacketHeader* header) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
        GST_LOG_OBJECT(self, "not an RTP packet, passed on without being recorded");
        return false;
    }
    const guint pt = gst_rtp_buffer_get_payload_type(&rtp);
    const guint ssrc = gst_rtp_buffer_get_ssrc(&rtp);
    const guint seqnum = gst_rtp_buffer_get_seq(&rtp);
    const guint timestamp = gst_rtp_buffer_get_timestamp(&rtp);

    GstClockTime ts = GST_BUFFER_PTS(buffer);
    if (!GST_CLOCK_TIME_IS_VALID(ts))
        ts = GST_BUFFER_DTS(buffer);

    GST_OBJECT_LOCK(self);
    if (self->have_packet && ssrc == self->ssrc && timestamp != self->timestamp) {
        // A new frame: how far apart frames are tells the time of the one after the last.
        const guint delta = timestamp - self->timestamp;
        if (delta < G_MAXINT32 && (self->clock_rate == 0 || delta <= self->clock_rate))
            self->frame_duration = delta;
    } else if (self->have_packet && ssrc != self->ssrc) {
        self->frame_duration = 0;
    }
    auto* cache = static_cast<KeyCache*>(self->cache);
    if (self->have_packet && ssrc != self->ssrc)
        cache->Clear();
    if (self->instant_start && self->codec != static_cast<gint>(Codec::kNone)) {
        const PacketKind kind =
            Classify(static_cast<Codec>(self->codec),
                     static_cast<const guint8*>(gst_rtp_buffer_get_payload(&rtp)),
                     gst_rtp_buffer_get_payload_len(&rtp));
        cache->Add(GST_OBJECT_CAST(self), buffer, kind, timestamp, self->joining != kNoJoin);
    }
    self->pt = pt;
    self->ssrc = ssrc;
    self->seqnum = seqnum;
    self->timestamp = timestamp;
    self->running_time = GST_CLOCK_TIME_NONE;
    if (GST_CLOCK_TIME_IS_VALID(ts) && self->segment.format == GST_FORMAT_TIME)
        self->running_time = gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, ts);
    self->have_packet = TRUE;
    GST_OBJECT_UNLOCK(self);
    if (header) {
        header->ssrc = ssrc;
        header->timestamp = timestamp;
        header->marker = gst_rtp_buffer_get_marker(&rtp);
    }
    gst_rtp_buffer_unmap(&rtp);
    return true;
}

/* The packets collected so far (transfer full; NULL when none), no longer pending. */
static GstBufferList* tavrel_rtp_passthrough_pay_take_pending(TavrelRtpPassthroughPay* self) {
    GST_OBJECT_LOCK(self);
    GstBufferList* pending = static_cast<FrameBatch*>(self->batch)->Take();
    GST_OBJECT_UNLOCK(self);
    return pending;
}

/* Pushes the packets collected so far; OK when there were none. */
static GstFlowReturn tavrel_rtp_passthrough_pay_push_pending(TavrelRtpPassthroughPay* self) {
    GstBufferList* pending = tavrel_rtp_passthrough_pay_take_pending(self);
    return pending ? gst_pad_push_list(self->srcpad, pending) : GST_FLOW_OK;
}

static void tavrel_rtp_passthrough_pay_drop_pending(TavrelRtpPassthroughPay* self) {
    if (GstBufferList* pending = tavrel_rtp_passthrough_pay_take_pending(self)) {
        GST_DEBUG_OBJECT(self, "dropped %u pending packets", gst_buffer_list_length(pending));
        gst_buffer_list_unref(pending);
    }
}

static GstFlowReturn tavrel_rtp_passthrough_pay_chain(GstPad*, GstObject* parent,
                                                      GstBuffer* buffer) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(parent);
    PacketHeader header;
    if (!tavrel_rtp_passthrough_pay_record(self, buffer, &header)) {
        const GstFlowReturn ret = tavrel_rtp_passthrough_pay_push_pending(self);
        const GstFlowReturn own = gst_pad_push(self->srcpad, buffer);
        return ret == GST_FLOW_OK ? own : ret;
    }
    const gint64 now = g_get_monotonic_time();
    GST_OBJECT_LOCK(self);
    const BatchOut out = static_cast<FrameBatch*>(self->batch)->Add(buffer, header, now);
    GST_OBJECT_UNLOCK(self);
    const GstFlowReturn ret =
        out.before ? gst_pad_push_list(self->srcpad, out.before) : GST_FLOW_OK;
    GstFlowReturn own = GST_FLOW_OK;
    if (out.complete)
        own = gst_pad_push_list(self->srcpad, out.complete);
    else if (out.single)
        own = gst_pad_push(self->srcpad, out.single);
    return ret == GST_FLOW_OK ? own : ret;
}

static GstFlowReturn tavrel_rtp_passthrough_pay_chain_list(GstPad*, GstObject* parent,
                                                           GstBufferList* list) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(parent);
    const guint length = gst_buffer_list_length(list);
    if (length > 0)
        tavrel_rtp_passthrough_pay_record(self, gst_buffer_list_get(list, length - 1), nullptr);
    const GstFlowReturn ret = tavrel_rtp_passthrough_pay_push_pending(self);
    const GstFlowReturn own = gst_pad_push_list(self->srcpad, list);
    return ret == GST_FLOW_OK ? own : ret;
}

static gboolean tavrel_rtp_passthrough_pay_sink_event(GstPad* pad, GstObject* parent,
                                                      GstEvent* event) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(parent);
    const GstEventType type = GST_EVENT_TYPE(event);
    if (type == GST_EVENT_FLUSH_START || type == GST_EVENT_FLUSH_STOP) {
        tavrel_rtp_passthrough_pay_drop_pending(self);
    } else if (GST_EVENT_IS_SERIALIZED(event)) {
        // Whatever the event marks (end of stream, new segment or caps) comes after the
        // packets collected before it.
        const GstFlowReturn ret = tavrel_rtp_passthrough_pay_push_pending(self);
        if (ret != GST_FLOW_OK)
            GST_DEBUG_OBJECT(self, "pending packets before %s: %s", GST_EVENT_TYPE_NAME(event),
                             gst_flow_get_name(ret));
    }
    switch (type) {
        case GST_EVENT_CAPS: {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            const GstStructure* s = gst_caps_get_structure(caps, 0);
            gint payload = -1;
            gint clock_rate = 0;
            const gboolean has_payload = gst_structure_get_int(s, "payload", &payload);
            const gboolean has_rate = gst_structure_get_int(s, "clock-rate", &clock_rate);
            const Codec codec = CodecOf(s);
            GST_OBJECT_LOCK(self);
            if (has_payload && payload >= 0 && payload <= 127)
                self->pt = static_cast<guint>(payload);
            self->clock_rate = has_rate && clock_rate > 0 ? static_cast<guint>(clock_rate) : 0;
            self->codec = static_cast<gint>(codec);
            GST_OBJECT_UNLOCK(self);
            GST_DEBUG_OBJECT(self, "caps %" GST_PTR_FORMAT, caps);
            break;
        }
        case GST_EVENT_SEGMENT: {
            GstSegment segment;
            gst_event_copy_segment(event, &segment);
            GST_OBJECT_LOCK(self);
            self->segment = segment;
            GST_OBJECT_UNLOCK(self);
            break;
        }
        case GST_EVENT_STREAM_START:
        case GST_EVENT_FLUSH_STOP:
            GST_OBJECT_LOCK(self);
            tavrel_rtp_passthrough_pay_reset_locked(self);
            GST_OBJECT_UNLOCK(self);
            break;
        default:
            break;
    }
    return gst_pad_event_default(pad, parent, event);
}

static GstStateChangeReturn tavrel_rtp_passthrough_pay_change_state(GstElement* element,
                                                                    GstStateChange transition) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        GST_OBJECT_LOCK(self);
        tavrel_rtp_passthrough_pay_reset_locked(self);
        GST_OBJECT_UNLOCK(self);
    }
    const GstStateChangeReturn ret = GST_ELEMENT_CLASS(tavrel_rtp_passthrough_pay_parent_class)
                                         ->change_state(element, transition);
    // The pads are inactive now: no streaming thread collects packets any more.
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
        tavrel_rtp_passthrough_pay_drop_pending(self);
    return ret;
}

/* The first packet of `cache` as a joining client gets it. Called with the object lock held. */
static bool tavrel_rtp_passthrough_pay_first_cached_locked(TavrelRtpPassthroughPay* self,
                                                           const KeyCache& cache, guint16* seqnum,
                                                           guint* timestamp,
                                                           GstClockTime* running_time) {
    if (!self->instant_start || !cache.Valid())
        return false;
    GstBuffer* first = cache.Packets().front();
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(first, GST_MAP_READ, &rtp))
        return false;
    *seqnum = gst_rtp_buffer_get_seq(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    *timestamp = FirstJoinTimestamp(cache);
    *running_time = GST_CLOCK_TIME_NONE;
    if (GST_BUFFER_PTS_IS_VALID(first) && self->segment.format == GST_FORMAT_TIME)
        *running_time =
            gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(first));
    return true;
}

/* The first packet a client joining through `watch` gets: its first cached packet when it has
 * a cache to give, else the next one it sends (an appsink's last packet may still wait for
 * the thread that sends it to the clients; a packet a network sink handled has gone out). A
 * UDP sink that has sent nothing gives a pinned client our cache (see ..._pin_udp).
 * Called with the object lock held. */
static bool tavrel_rtp_passthrough_pay_first_for_joiner_locked(TavrelRtpPassthroughPay* self,
                                                               const SinkWatch* watch,
                                                               guint16* seqnum, guint* timestamp,
                                                               GstClockTime* running_time) {
    if (!watch->have_packet)
        return self->joining == kUdpJoin && watch->is_udp &&
               tavrel_rtp_passthrough_pay_first_cached_locked(
                   self, *static_cast<KeyCache*>(self->cache), seqnum, timestamp, running_time);
    if (tavrel_rtp_passthrough_pay_first_cached_locked(self, watch->cache, seqnum, timestamp,
                                                       running_time))
        return true;
    *seqnum = static_cast<guint16>(watch->seqnum + (watch->sends_later ? 0 : 1));
    *timestamp = watch->timestamp;
    *running_time = watch->running_time;
    if (!watch->sends_later && watch->marker && self->frame_duration > 0) {
        // The next packet starts a new frame: its time is told from the frame spacing.
        *timestamp += self->frame_duration;
        if (GST_CLOCK_TIME_IS_VALID(*running_time) && self->clock_rate > 0)
            *running_time +=
                gst_util_uint64_scale_int(self->frame_duration, GST_SECOND, self->clock_rate);
    }
    return true;
}

/* The structure an RTSP server reads for RTP-Info. With watched sinks: the first packet a
 * client joining now gets (the first of the cached key frame when there is one, else the next
 * packet the sinks send), through the kind of sink of the client being added when we know it.
 * Without: the last packet that passed here, which is the first one a
 * client gets while the server holds the stream back before it starts. Nothing before the
 * first packet, so that no made-up sequence number reaches a client. */
static GstStructure* tavrel_rtp_passthrough_pay_create_stats(TavrelRtpPassthroughPay* self) {
    GstStructure* stats = nullptr;
    GST_OBJECT_LOCK(self);
    // With several sinks the one furthest behind counts.
    bool have_behind = false;
    guint16 behind_seqnum = 0;
    guint behind_timestamp = 0;
    GstClockTime behind_running_time = GST_CLOCK_TIME_NONE;
    for (GList* l = self->watches; l; l = l->next) {
        const auto* watch = static_cast<const SinkWatch*>(l->data);
        if ((self->joining == kTcpJoin && !watch->sends_later) ||
            (self->joining == kUdpJoin && !watch->is_udp))
            continue;
        guint16 seqnum = 0;
        guint timestamp = 0;
        GstClockTime running_time = GST_CLOCK_TIME_NONE;
        if (!tavrel_rtp_passthrough_pay_first_for_joiner_locked(self, watch, &seqnum, &timestamp,
                                                                &running_time))
            continue;
        GST_LOG_OBJECT(self, "sink at %u/%u marker %d: a joiner starts at %u, payloader at %u",
                       watch->seqnum, watch->timestamp, watch->marker, seqnum, self->seqnum);
        // Signed distances: a network sink's next packet is one past the payloader's last.
        if (!have_behind || static_cast<gint16>(self->seqnum - seqnum) >
                                static_cast<gint16>(self->seqnum - behind_seqnum)) {
            have_behind = true;
            behind_seqnum = seqnum;
            behind_timestamp = timestamp;
            behind_running_time = running_time;
        }
    }
    if (self->have_packet) {
        guint seqnum = self->seqnum;
        guint timestamp = self->timestamp;
        GstClockTime running_time = self->running_time;
        if (have_behind) {
            seqnum = behind_seqnum;
            timestamp = behind_timestamp;
            running_time = behind_running_time;
        }
        stats = gst_structure_new(
            "application/x-rtp-payload-stats", "clock-rate", G_TYPE_UINT, self->clock_rate,
            "running-time", G_TYPE_UINT64, static_cast<guint64>(running_time), "seqnum",
            G_TYPE_UINT, seqnum, "seqnum-offset", G_TYPE_UINT, seqnum, "timestamp", G_TYPE_UINT,
            timestamp, "ssrc", G_TYPE_UINT, self->ssrc, "pt", G_TYPE_UINT, self->pt, nullptr);
    }
    GST_OBJECT_UNLOCK(self);
    GST_LOG_OBJECT(self, "stats %" GST_PTR_FORMAT, stats);
    return stats;
}

static void tavrel_rtp_passthrough_pay_set_property(GObject* object, guint prop_id,
                                                    const GValue* value, GParamSpec* pspec) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(object);
    switch (prop_id) {
        case PROP_PT:
            GST_OBJECT_LOCK(self);
            self->pt = g_value_get_uint(value);
            GST_OBJECT_UNLOCK(self);
            GST_DEBUG_OBJECT(self, "pt set to %u (packets keep their own)",
                             g_value_get_uint(value));
            break;
        case PROP_MTU:
            GST_OBJECT_LOCK(self);
            self->mtu = g_value_get_uint(value);
            GST_OBJECT_UNLOCK(self);
            GST_DEBUG_OBJECT(self, "mtu set to %u (packets keep their size)",
                             g_value_get_uint(value));
            break;
        case PROP_INSTANT_START:
            GST_OBJECT_LOCK(self);
            self->instant_start = g_value_get_boolean(value);
            if (!self->instant_start) {
                static_cast<KeyCache*>(self->cache)->Clear();
                for (GList* l = self->watches; l; l = l->next)
                    static_cast<SinkWatch*>(l->data)->cache.Clear();
            }
            GST_OBJECT_UNLOCK(self);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
            break;
    }
}

static void tavrel_rtp_passthrough_pay_get_property(GObject* object, guint prop_id, GValue* value,
                                                    GParamSpec* pspec) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(object);
    switch (prop_id) {
        case PROP_STATS:
            g_value_take_boxed(value, tavrel_rtp_passthrough_pay_create_stats(self));
            return;
        default:
            break;
    }
    GST_OBJECT_LOCK(self);
    switch (prop_id) {
        case PROP_PT:
            g_value_set_uint(value, self->pt);
            break;
        case PROP_MTU:
            g_value_set_uint(value, self->mtu);
            break;
        case PROP_SSRC:
            g_value_set_uint(value, self->ssrc);
            break;
        case PROP_SEQNUM:
            g_value_set_uint(value, self->seqnum);
            break;
        case PROP_TIMESTAMP:
            g_value_set_uint(value, self->timestamp);
            break;
        case PROP_INSTANT_START:
            g_value_set_boolean(value, self->instant_start);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
            break;
    }
    GST_OBJECT_UNLOCK(self);
    GST_LOG_OBJECT(self, "read property '%s'", pspec->name);
}

static void tavrel_rtp_passthrough_pay_finalize(GObject* object) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(object);
    delete static_cast<KeyCache*>(self->cache);
    self->cache = nullptr;
    delete static_cast<FrameBatch*>(self->batch);
    self->batch = nullptr;
    G_OBJECT_CLASS(tavrel_rtp_passthrough_pay_parent_class)->finalize(object);
}

static void tavrel_rtp_passthrough_pay_class_init(TavrelRtpPassthroughPayClass* klass) {
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);

    gobject_class->finalize = tavrel_rtp_passthrough_pay_finalize;
    gobject_class->set_property = tavrel_rtp_passthrough_pay_set_property;
    gobject_class->get_property = tavrel_rtp_passthrough_pay_get_property;

    const auto readable = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    const auto readwrite = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        gobject_class, PROP_PT,
        g_param_spec_uint("pt", "payload type",
                          "Payload type of the stream (taken from the packets, never rewritten)", 0,
                          0x7f, kDefaultPt, readwrite));
    g_object_class_install_property(
        gobject_class, PROP_MTU,
        g_param_spec_uint("mtu", "MTU", "Maximum packet size (packets pass unchanged)", 28,
                          G_MAXUINT, kDefaultMtu, readwrite));
    g_object_class_install_property(
        gobject_class, PROP_SSRC,
        g_param_spec_uint("ssrc", "SSRC", "SSRC of the last packet", 0, G_MAXUINT, 0, readable));
    g_object_class_install_property(
        gobject_class, PROP_SEQNUM,
        g_param_spec_uint("seqnum", "Sequence number", "Sequence number of the last packet", 0,
                          G_MAXUINT16, 0, readable));
    g_object_class_install_property(
        gobject_class, PROP_TIMESTAMP,
        g_param_spec_uint("timestamp", "Timestamp", "RTP timestamp of the last packet", 0,
                          G_MAXUINT, 0, readable));
    g_object_class_install_property(
        gobject_class, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "clock-rate, running-time, seqnum, seqnum-offset, timestamp, ssrc and "
                           "pt of the last packet (none before the first packet)",
                           GST_TYPE_STRUCTURE, readable));
    g_object_class_install_property(
        gobject_class, PROP_INSTANT_START,
        g_param_spec_boolean("instant-start", "Instant start",
                             "Keep the packets since the last key frame each watched sink sent "
                             "and give them to a client that joins first",
                             FALSE, readwrite));

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(
        element_class, "RTP passthrough payloader", "Codec/Payloader/Network/RTP",
        "Passes RTP packets through unchanged and reports their numbering", "Tavrel");
    element_class->change_state = tavrel_rtp_passthrough_pay_change_state;

    GST_DEBUG_CATEGORY_INIT(tavrel_rtp_passthrough_pay_debug, kElementName, 0,
                            "RTP passthrough payloader");
}

static void tavrel_rtp_passthrough_pay_init(TavrelRtpPassthroughPay* self) {
    self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
    gst_pad_set_chain_function(self->sinkpad, tavrel_rtp_passthrough_pay_chain);
    gst_pad_set_chain_list_function(self->sinkpad, tavrel_rtp_passthrough_pay_chain_list);
    gst_pad_set_event_function(self->sinkpad, tavrel_rtp_passthrough_pay_sink_event);
    GST_PAD_SET_PROXY_CAPS(self->sinkpad);
    GST_PAD_SET_PROXY_ALLOCATION(self->sinkpad);
    GST_PAD_SET_PROXY_SCHEDULING(self->sinkpad);
    gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

    self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
    GST_PAD_SET_PROXY_CAPS(self->srcpad);
    GST_PAD_SET_PROXY_ALLOCATION(self->srcpad);
    GST_PAD_SET_PROXY_SCHEDULING(self->srcpad);
    gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

    self->pt = kDefaultPt;
    self->mtu = kDefaultMtu;
    self->clock_rate = 0;
    self->codec = static_cast<gint>(Codec::kNone);
    self->instant_start = FALSE;
    self->watches = nullptr;
    self->cache = new KeyCache;
    self->batch = new FrameBatch;
    tavrel_rtp_passthrough_pay_reset_locked(self);
}

static gboolean tavrel_rtp_passthrough_pay_plugin_init(GstPlugin* plugin) {
    return gst_element_register(plugin, kElementName, GST_RANK_NONE,
                                TAVREL_TYPE_RTP_PASSTHROUGH_PAY);
}

namespace Norvane::Tavrel::gst {

namespace {

bool RegistryHasElement() {
    GstPluginFeature* feature =
        gst_registry_find_feature(gst_registry_get(), kElementName, GST_TYPE_ELEMENT_FACTORY);
    if (!feature)
        return false;
    gst_object_unref(feature);
    return true;
}

}  // namespace

bool EnsurePassthroughPayloader() {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    if (!gst_is_initialized()) {
        SPDLOG_ERROR("Cannot register '{}': GStreamer is not initialised", kElementName);
        return false;
    }
    if (RegistryHasElement())
        return true;
    if (!gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "tavrelpassthrough",
                                    "RTP passthrough payloader of the camera relay",
                                    tavrel_rtp_passthrough_pay_plugin_init, "1.0", "Proprietary",
                                    "tavrel", "tavrel", "https://localhost/") ||
        !RegistryHasElement()) {
        SPDLOG_ERROR("Failed to register element '{}'", kElementName);
        return false;
    }
    SPDLOG_DEBUG("Registered our own element '{}'", kElementName);
    return true;
}

}  // namespace Norvane::Tavrel::gst
