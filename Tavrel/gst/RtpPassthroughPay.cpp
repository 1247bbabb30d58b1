#include "Tavrel/gst/RtpPassthroughPay.h"

#include "Tavrel/gst/GRef.h"

#include <gio/gio.h>
#include <gst/app/gstappsink.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(tavrel_rtp_passthrough_pay_debug);
#define GST_CAT_DEFAULT tavrel_rtp_passthrough_pay_debug

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

/* The key-frame cache of a sink: the RTP packets it sent since the last key frame (with the
 * parameter sets before it), handed to a client that joins so that it can decode at once. A
 * group longer than these bounds is not kept; such a client waits for the next key frame. */
constexpr gsize kMaxCachedPackets = 4096;
constexpr gsize kMaxCachedBytes = 4 * 1024 * 1024;

/* A joining UDP client gets its cache in chunks of this many bytes, one chunk per period
 * (8 MiB/s, about 64 Mbit/s): fast enough to catch up with any camera, slow enough that a
 * receiver's socket buffer keeps up. */
constexpr gsize kBurstChunkBytes = 32 * 1024;
constexpr gint64 kBurstChunkPeriodUs = 4000;
/* How long a UDP send waits for room in the socket's send buffer. */
constexpr gint64 kSendWaitUs = 100 * 1000;
/* RTP clock ticks between the frames of a cache sent to a joining client (FirstJoinTimestamp). */
constexpr guint32 kCachedFrameSpacing = 1;
/* Packets a UDP joiner may fall behind the live stream before it is given up on. */
constexpr gsize kMaxBurstBacklog = 2 * kMaxCachedPackets;

/* The payload formats whose key frames we know. */
enum class Codec { kNone, kH264, kH265, kJpeg };

/* What one packet means to the cache. */
enum class PacketKind {
    kOther,         ///< anything else (a slice of a picture that needs an earlier one, ...)
    kParameterSet,  ///< only parameter sets, SEI or delimiters: may lead a key frame
    kKeyStart,      ///< the first packet of a key frame (or, in H.264/H.265, any of its slices)
};

Codec CodecOf(const GstStructure* caps) {
    const gchar* name = gst_structure_get_string(caps, "encoding-name");
    if (!name) {
        gint payload = -1;
        return gst_structure_get_int(caps, "payload", &payload) && payload == 26 ? Codec::kJpeg
                                                                                 : Codec::kNone;
    }
    if (g_ascii_strcasecmp(name, "H264") == 0)
        return Codec::kH264;
    if (g_ascii_strcasecmp(name, "H265") == 0)
        return Codec::kH265;
    if (g_ascii_strcasecmp(name, "JPEG") == 0)
        return Codec::kJpeg;
    return Codec::kNone;
}

PacketKind H264Kind(guint type) {
    if (type == 5)
        return PacketKind::kKeyStart;
    if (type >= 6 && type <= 9)
        return PacketKind::kParameterSet;
    return PacketKind::kOther;
}

PacketKind H265Kind(guint type) {
    if (type >= 16 && type <= 21)
        return PacketKind::kKeyStart;
    if ((type >= 32 && type <= 35) || type == 39 || type == 40)
        return PacketKind::kParameterSet;
    return PacketKind::kOther;
}

/* The strongest kind among the units of an aggregation packet (2-byte sizes from `offset`). */
template <typename KindOf>
PacketKind AggregateKind(const guint8* p, gsize size, gsize offset, KindOf kindOf,
                         guint (*typeOf)(const guint8*)) {
    PacketKind result = PacketKind::kParameterSet;
    bool any = false;
    while (offset + 2 < size) {
        const gsize length = (static_cast<gsize>(p[offset]) << 8) | p[offset + 1];
        offset += 2;
        if (length == 0 || offset + length > size)
            break;
        const PacketKind kind = kindOf(typeOf(p + offset));
        any = true;
        if (kind == PacketKind::kKeyStart)
            return kind;
        if (kind == PacketKind::kOther)
            result = kind;
        offset += length;
    }
    return any ? result : PacketKind::kOther;
}

/* Reads only the NAL unit headers (or the JPEG fragment offset) at the start of the payload. */
PacketKind Classify(Codec codec, const guint8* p, gsize size) {
    switch (codec) {
        case Codec::kH264: {
            if (size < 1)
                return PacketKind::kOther;
            const guint type = p[0] & 0x1f;
            if (type == 24)  // STAP-A
                return AggregateKind(p, size, 1, H264Kind,
                                     [](const guint8* n) -> guint { return n[0] & 0x1f; });
            if (type == 28)  // FU-A: the start of a unit counts
                return size >= 2 && (p[1] & 0x80) ? H264Kind(p[1] & 0x1f) : PacketKind::kOther;
            return H264Kind(type);
        }
        case Codec::kH265: {
            if (size < 2)
                return PacketKind::kOther;
            const guint type = (p[0] >> 1) & 0x3f;
            if (type == 48)  // aggregation packet
                return AggregateKind(p, size, 2, H265Kind,
                                     [](const guint8* n) -> guint { return (n[0] >> 1) & 0x3f; });
            if (type == 49)  // fragmentation unit
                return size >= 3 && (p[2] & 0x80) ? H265Kind(p[2] & 0x3f) : PacketKind::kOther;
            return H265Kind(type);
        }
        case Codec::kJpeg:
            // Every frame is whole: its packet at fragment offset 0 starts it.
            return size >= 4 && p[1] == 0 && p[2] == 0 && p[3] == 0 ? PacketKind::kKeyStart
                                                                    : PacketKind::kOther;
        case Codec::kNone:
            break;
    }
    return PacketKind::kOther;
}

/* The packets since the last key frame a sink sent (references only; the packets themselves
 * are shared with everyone else who holds them). */
class KeyCache {
public:
    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache() { Clear(); }

    /* True when the packets begin with a key frame. */
    bool Valid() const { return valid_ && !packets_.empty(); }
    const std::deque<GstBuffer*>& Packets() const { return packets_; }

    void Clear() {
        for (GstBuffer* buffer : packets_)
            gst_buffer_unref(buffer);
        packets_.clear();
        bytes_ = 0;
        valid_ = false;
        leading_ = 0;
    }

    /* Starts with the packets of `other` that come before the one with sequence number
     * `seqnum` (a sink that starts sending at that packet); false when `other` has no key frame
     * before it. */
    bool SeedFrom(const KeyCache& other, guint16 seqnum) {
        Clear();
        if (!other.Valid())
            return false;
        gsize count = 0;
        for (GstBuffer* buffer : other.packets_) {
            GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
            if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
                return false;
            const guint16 seq = gst_rtp_buffer_get_seq(&rtp);
            gst_rtp_buffer_unmap(&rtp);
            if (seq == seqnum)
                break;
            ++count;
        }
        if (count == 0 || count == other.packets_.size())
            return false;
        for (gsize i = 0; i < count; ++i) {
            packets_.push_back(gst_buffer_ref(other.packets_[i]));
            bytes_ += gst_buffer_get_size(other.packets_[i]);
        }
        valid_ = true;
        key_timestamp_ = other.key_timestamp_;
        return true;
    }

    /* Takes a reference of its own on `buffer` where it keeps it. */
    void Add(GstObject* owner, GstBuffer* buffer, PacketKind kind, guint32 timestamp) {
        if (kind == PacketKind::kKeyStart && (!valid_ || timestamp != key_timestamp_)) {
            // A new key frame: what led it (its parameter sets) stays, the rest goes.
            DropFront(packets_.size() - leading_);
            valid_ = true;
            key_timestamp_ = timestamp;
            too_long_ = false;
        } else if (!valid_ && kind != PacketKind::kParameterSet) {
            Clear();
            leading_ = 0;
            return;
        }
        leading_ = kind == PacketKind::kParameterSet ? leading_ + 1 : 0;
        packets_.push_back(gst_buffer_ref(buffer));
        bytes_ += gst_buffer_get_size(buffer);
        if (packets_.size() > kMaxCachedPackets || bytes_ > kMaxCachedBytes) {
            if (valid_ && !too_long_) {
                GST_DEBUG_OBJECT(owner,
                                 "key-frame group longer than %" G_GSIZE_FORMAT
                                 " packets or %" G_GSIZE_FORMAT
                                 " bytes: not cached, a joining client waits for the next one",
                                 kMaxCachedPackets, kMaxCachedBytes);
            }
            too_long_ = valid_ || too_long_;
            Clear();
        }
    }

private:
    void DropFront(gsize count) {
        for (gsize i = 0; i < count; ++i) {
            bytes_ -= gst_buffer_get_size(packets_.front());
            gst_buffer_unref(packets_.front());
            packets_.pop_front();
        }
    }

    std::deque<GstBuffer*> packets_;
    gsize bytes_ = 0;
    bool valid_ = false;
    bool too_long_ = false;  // the group being sent overflowed: told once
    gsize leading_ = 0;      // trailing packets that hold only parameter sets
    guint32 key_timestamp_ = 0;
};

/* One UDP client that gets its cache before it joins the sink's destinations: a thread of
 * its own sends the cache and then the live packets that came meanwhile, paced, until it has
 * caught up; then the sink's streaming thread adds the client to the sink. */
struct UdpJoin {
    std::string host;
    gint port = 0;
    Norvane::Tavrel::gst::GRef<GSocket> socket;
    Norvane::Tavrel::gst::GRef<GSocketAddress> address;
    bool started = false; /* under the watch's join_mutex */
    std::thread thread;   /* under the watch's join_mutex */

    std::mutex mutex; /* protects the fields below */
    std::condition_variable wake;
    std::deque<GstBuffer*> queue; /* references owned */
    bool idle = false;            /* the thread waits for packets, having sent all before */
    bool done = false;            /* handed over or given up: the thread ends */

    ~UdpJoin() {
        for (GstBuffer* buffer : queue)
            gst_buffer_unref(buffer);
    }

    void Run();
    void Stop() {
        {
            const std::lock_guard lock(mutex);
            done = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }
};

void UdpJoin::Run() {
    gint64 chunkStart = g_get_monotonic_time();
    gsize chunkBytes = 0;
    std::unique_lock lock(mutex);
    while (!done) {
        if (queue.empty()) {
            idle = true;
            wake.wait(lock);
            continue;
        }
        idle = false;
        GstBuffer* buffer = queue.front();
        queue.pop_front();
        lock.unlock();
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            GError* error = nullptr;
            gssize sent = g_socket_send_to(socket.get(), address.get(),
                                           reinterpret_cast<const gchar*>(map.data), map.size,
                                           nullptr, &error);
            if (sent < 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
                // The socket's send buffer is full: once more when it has room.
                g_clear_error(&error);
                if (g_socket_condition_timed_wait(socket.get(), G_IO_OUT, kSendWaitUs, nullptr,
                                                  nullptr))
                    sent = g_socket_send_to(socket.get(), address.get(),
                                            reinterpret_cast<const gchar*>(map.data), map.size,
                                            nullptr, &error);
            }
            if (sent < 0) {
                GST_DEBUG("cached packet to %s:%d not sent: %s", host.c_str(), port,
                          error ? error->message : "no room");
                g_clear_error(&error);
            }
            chunkBytes += map.size;
            gst_buffer_unmap(buffer, &map);
        }
        gst_buffer_unref(buffer);
        lock.lock();
        if (chunkBytes >= kBurstChunkBytes) {
            chunkStart += kBurstChunkPeriodUs;
            const gint64 now = g_get_monotonic_time();
            if (chunkStart > now) {
                wake.wait_for(lock, std::chrono::microseconds(chunkStart - now),
                              [this] { return done; });
            } else {
                chunkStart = now;
            }
            chunkBytes = 0;
        }
    }
}

/* One sink whose packets are followed; the probe on the sink's pad owns a share, and so does a
 * client thread while it waits on a hold. */
struct SinkWatch : std::enable_shared_from_this<SinkWatch> {
    SinkWatch() = default;
    SinkWatch(const SinkWatch&) = delete;
    SinkWatch& operator=(const SinkWatch&) = delete;
    ~SinkWatch() {
        for (GstBuffer* buffer : held)
            gst_buffer_unref(buffer);
        if (pay)
            gst_object_unref(pay);
    }

    TavrelRtpPassthroughPay* pay = nullptr; /* one reference owned */
    GstElement* sink = nullptr;             /* not owned: the watch ends with the sink's pad */
    gboolean sends_later = FALSE;           /* hands packets to another thread to send (appsink) */
    gboolean is_udp = FALSE;                /* a multiudpsink */
    /* the fields below up to `cache` are under the payloader's lock */
    gboolean have_packet = FALSE; /* the fields below are valid */
    guint seqnum = 0;
    guint timestamp = 0;
    gboolean marker = FALSE;
    GstClockTime running_time = GST_CLOCK_TIME_NONE;
    KeyCache cache; /* what this sink sent since its last key frame */

    GstPad* pad = nullptr; /* the sink's pad; not owned, valid while the watch is listed */

    /* protects udp_joins, held_pad and held; taken before the payloader's lock */
    std::mutex join_mutex;
    std::vector<std::shared_ptr<UdpJoin>> udp_joins;
    GstPad* held_pad = nullptr;   /* the pad whose stream lock a client thread holds; one ref */
    std::vector<GstBuffer*> held; /* the cache for the client of the hold; references owned */
};

/* Set while the sink's streaming thread adds a client itself, so that our handler of the
 * sink's "add" lets it through. */
thread_local bool t_adding_client = false;

guint32 TimestampOf(GstBuffer* buffer) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return 0;
    const guint32 timestamp = gst_rtp_buffer_get_timestamp(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    return timestamp;
}

/* Cached pictures lie in the past: a player would show them at their pace and stay behind the
 * live stream by as much for good. So the frames of a cache get RTP times one clock tick apart
 * just before its last frame (which may be the one being sent live and keeps its time), and the
 * live packets keep the camera's times. A player that paces by the times since its first packet
 * (ffmpeg -re) stays behind by the span of the cached times for good, so the span is as short
 * as the times can be and still rise: about a millisecond for 90 cached frames at 90 kHz. What
 * the first cached packet's time becomes: */
guint32 FirstJoinTimestamp(const KeyCache& cache, gsize* frames = nullptr) {
    const auto& packets = cache.Packets();
    gsize count = 0;
    guint32 previous = 0;
    for (gsize i = 0; i < packets.size(); ++i) {
        const guint32 timestamp = TimestampOf(packets[i]);
        if (i == 0 || timestamp != previous)
            ++count;
        previous = timestamp;
    }
    if (frames)
        *frames = count;
    return count == 0 ? 0 : previous - static_cast<guint32>(count - 1) * kCachedFrameSpacing;
}

/* The cached packets of `cache` for a joining client (references; copies where the RTP time
 * changes, see FirstJoinTimestamp). */
std::vector<GstBuffer*> CopyPackets(const KeyCache& cache) {
    std::vector<GstBuffer*> out;
    if (!cache.Valid())
        return out;
    gsize frames = 0;
    const guint32 first = FirstJoinTimestamp(cache, &frames);
    out.reserve(cache.Packets().size());
    gsize frame = 0;
    guint32 previous = 0;
    for (gsize i = 0; i < cache.Packets().size(); ++i) {
        GstBuffer* buffer = cache.Packets()[i];
        const guint32 timestamp = TimestampOf(buffer);
        if (i > 0 && timestamp != previous)
            ++frame;
        previous = timestamp;
        const guint32 rewritten = first + static_cast<guint32>(frame) * kCachedFrameSpacing;
        if (rewritten == timestamp) {
            out.push_back(gst_buffer_ref(buffer));
            continue;
        }
        GstBuffer* copy = gst_buffer_copy_deep(buffer);
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (gst_rtp_buffer_map(copy, GST_MAP_WRITE, &rtp)) {
            gst_rtp_buffer_set_timestamp(&rtp, rewritten);
            gst_rtp_buffer_unmap(&rtp);
        }
        out.push_back(copy);
    }
    return out;
}

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
    gst_segment_init(&self->segment, GST_FORMAT_UNDEFINED);
    if (self->cache)
        static_cast<KeyCache*>(self->cache)->Clear();
    for (GList* l = self->watches; l; l = l->next) {
        auto* watch = static_cast<SinkWatch*>(l->data);
        watch->have_packet = FALSE;
        watch->cache.Clear();
    }
}

/* Notes what the packet carries before it goes downstream unchanged. */
static void tavrel_rtp_passthrough_pay_record(TavrelRtpPassthroughPay* self, GstBuffer* buffer) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
        GST_LOG_OBJECT(self, "not an RTP packet, passed on without being recorded");
        return;
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
        cache->Add(GST_OBJECT_CAST(self), buffer, kind, timestamp);
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
    gst_rtp_buffer_unmap(&rtp);
}

static GstFlowReturn tavrel_rtp_passthrough_pay_chain(GstPad*, GstObject* parent,
                                                      GstBuffer* buffer) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(parent);
    tavrel_rtp_passthrough_pay_record(self, buffer);
    return gst_pad_push(self->srcpad, buffer);
}

static GstFlowReturn tavrel_rtp_passthrough_pay_chain_list(GstPad*, GstObject* parent,
                                                           GstBufferList* list) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(parent);
    const guint length = gst_buffer_list_length(list);
    if (length > 0)
        tavrel_rtp_passthrough_pay_record(self, gst_buffer_list_get(list, length - 1));
    return gst_pad_push_list(self->srcpad, list);
}

static gboolean tavrel_rtp_passthrough_pay_sink_event(GstPad* pad, GstObject* parent,
                                                      GstEvent* event) {
    TavrelRtpPassthroughPay* self = TAVREL_RTP_PASSTHROUGH_PAY(parent);
    switch (GST_EVENT_TYPE(event)) {
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
    return GST_ELEMENT_CLASS(tavrel_rtp_passthrough_pay_parent_class)
        ->change_state(element, transition);
}

/* The first packet a client joining through `watch` gets: its first cached packet when it has
 * a cache to give, else the next one it sends (an appsink's last packet may still wait for
 * the thread that sends it to the clients; a packet a network sink handled has gone out).
 * Called with the object lock held. */
static bool tavrel_rtp_passthrough_pay_first_for_joiner_locked(TavrelRtpPassthroughPay* self,
                                                               const SinkWatch* watch,
                                                               guint16* seqnum, guint* timestamp,
                                                               GstClockTime* running_time) {
    if (!watch->have_packet)
        return false;
    if (self->instant_start && watch->cache.Valid()) {
        GstBuffer* first = watch->cache.Packets().front();
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (gst_rtp_buffer_map(first, GST_MAP_READ, &rtp)) {
            *seqnum = gst_rtp_buffer_get_seq(&rtp);
            gst_rtp_buffer_unmap(&rtp);
            *timestamp = FirstJoinTimestamp(watch->cache);
            *running_time = GST_CLOCK_TIME_NONE;
            if (GST_BUFFER_PTS_IS_VALID(first) && self->segment.format == GST_FORMAT_TIME)
                *running_time = gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME,
                                                            GST_BUFFER_PTS(first));
            return true;
        }
    }
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
 * packet the sinks send). Without: the last packet that passed here, which is the first one a
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

/* Notes each RTP packet of our stream that the watched sink handles (RTCP and other streams
 * through the same kind of sink are told apart by their SSRC) and keeps it in the sink's
 * key-frame cache. Only the last packet of a list moves the sink's position. */
static void tavrel_rtp_passthrough_pay_sink_saw(SinkWatch* watch, GstBuffer* buffer, bool last) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return;
    const guint ssrc = gst_rtp_buffer_get_ssrc(&rtp);
    const guint seqnum = gst_rtp_buffer_get_seq(&rtp);
    const guint timestamp = gst_rtp_buffer_get_timestamp(&rtp);
    const gboolean marker = gst_rtp_buffer_get_marker(&rtp);
    TavrelRtpPassthroughPay* self = watch->pay;
    GST_OBJECT_LOCK(self);
    if (self->have_packet && ssrc == self->ssrc) {
        if (self->instant_start && self->codec != static_cast<gint>(Codec::kNone)) {
            const PacketKind kind =
                Classify(static_cast<Codec>(self->codec),
                         static_cast<const guint8*>(gst_rtp_buffer_get_payload(&rtp)),
                         gst_rtp_buffer_get_payload_len(&rtp));
            watch->cache.Add(GST_OBJECT_CAST(self), buffer, kind, timestamp);
        }
        if (last) {
            watch->have_packet = TRUE;
            watch->seqnum = seqnum;
            watch->timestamp = timestamp;
            watch->marker = marker;
            GstClockTime ts = GST_BUFFER_PTS(buffer);
            watch->running_time = GST_CLOCK_TIME_NONE;
            if (GST_CLOCK_TIME_IS_VALID(ts) && self->segment.format == GST_FORMAT_TIME)
                watch->running_time =
                    gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, ts);
        }
    }
    GST_OBJECT_UNLOCK(self);
    gst_rtp_buffer_unmap(&rtp);
}

/* A sink's first packet of our stream: its cache starts with the packets of the current key
 * frame that came before (from ours), so that a sink that was added late (the first client over
 * its transport) has a cache at once. */
static void tavrel_rtp_passthrough_pay_seed(SinkWatch* watch, GstBuffer* buffer) {
    TavrelRtpPassthroughPay* self = watch->pay;
    GST_OBJECT_LOCK(self);
    if (watch->have_packet || !self->instant_start || !self->have_packet) {
        GST_OBJECT_UNLOCK(self);
        return;
    }
    GST_OBJECT_UNLOCK(self);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return;
    const guint ssrc = gst_rtp_buffer_get_ssrc(&rtp);
    const guint16 seqnum = gst_rtp_buffer_get_seq(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    GST_OBJECT_LOCK(self);
    if (!watch->have_packet && ssrc == self->ssrc &&
        watch->cache.SeedFrom(*static_cast<KeyCache*>(self->cache), seqnum)) {
        GST_DEBUG_OBJECT(self, "%s starts at %u with %" G_GSIZE_FORMAT " cached packets",
                         GST_OBJECT_NAME(watch->sink), seqnum, watch->cache.Packets().size());
    }
    GST_OBJECT_UNLOCK(self);
}

/* Adds a UDP client to the sink itself (our handler of "add" lets it through). */
static void tavrel_rtp_passthrough_pay_add_client(SinkWatch* watch, const UdpJoin& join) {
    t_adding_client = true;
    g_signal_emit_by_name(watch->sink, "add", join.host.c_str(), join.port, nullptr);
    t_adding_client = false;
}

/* Before a packet leaves a UDP sink: a joining client gets its cache from a thread of its own,
 * then the packets the sink sends meanwhile, until it has caught up; then the sink takes it
 * over, starting with this packet. */
static void tavrel_rtp_passthrough_pay_serve_udp_joins(SinkWatch* watch, GstBuffer* const* packets,
                                                       gsize count) {
    const std::lock_guard joins_lock(watch->join_mutex);
    for (auto it = watch->udp_joins.begin(); it != watch->udp_joins.end();) {
        UdpJoin& join = **it;
        bool hand_over = false;
        if (!join.started) {
            GST_OBJECT_LOCK(watch->pay);
            std::vector<GstBuffer*> cached = CopyPackets(watch->cache);
            GST_OBJECT_UNLOCK(watch->pay);
            join.started = true;
            if (cached.empty()) {
                hand_over = true;
            } else {
                GST_DEBUG_OBJECT(watch->pay, "%s:%d gets %" G_GSIZE_FORMAT " cached packets",
                                 join.host.c_str(), join.port, cached.size());
                {
                    const std::lock_guard lock(join.mutex);
                    join.queue.assign(cached.begin(), cached.end());
                    for (gsize i = 0; i < count; ++i)
                        join.queue.push_back(gst_buffer_ref(packets[i]));
                }
                join.thread = std::thread([share = *it] { share->Run(); });
            }
        } else {
            std::unique_lock lock(join.mutex);
            if (join.queue.empty() && join.idle) {
                hand_over = true;
            } else if (join.queue.size() > kMaxBurstBacklog) {
                GST_DEBUG_OBJECT(watch->pay, "%s:%d does not catch up: it gets the live stream",
                                 join.host.c_str(), join.port);
                hand_over = true;
            } else {
                for (gsize i = 0; i < count; ++i)
                    join.queue.push_back(gst_buffer_ref(packets[i]));
            }
        }
        if (!hand_over) {
            ++it;
            continue;
        }
        join.Stop();
        tavrel_rtp_passthrough_pay_add_client(watch, join);
        it = watch->udp_joins.erase(it);
    }
}

static GstPadProbeReturn tavrel_rtp_passthrough_pay_sink_probe(GstPad*, GstPadProbeInfo* info,
                                                               gpointer data) {
    SinkWatch* watch = static_cast<std::shared_ptr<SinkWatch>*>(data)->get();
    // One packet (the usual case) needs no list of its own.
    GstBuffer* single = nullptr;
    std::vector<GstBuffer*> several;
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        single = GST_PAD_PROBE_INFO_BUFFER(info);
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0; i < gst_buffer_list_length(list); ++i)
            several.push_back(gst_buffer_list_get(list, i));
    }
    GstBuffer* const* packets = single ? &single : several.data();
    const gsize count = single ? 1 : several.size();
    if (count > 0)
        tavrel_rtp_passthrough_pay_seed(watch, packets[0]);
    if (watch->is_udp)
        tavrel_rtp_passthrough_pay_serve_udp_joins(watch, packets, count);
    for (gsize i = 0; i < count; ++i)
        tavrel_rtp_passthrough_pay_sink_saw(watch, packets[i], i + 1 == count);
    return GST_PAD_PROBE_OK;
}

/* The sink's "add" (a client joins): with a cache to give, the client is taken aside until it
 * has had it (see ..._serve_udp_joins). Runs on the thread that adds the client, before the
 * sink does. */
static void tavrel_rtp_passthrough_pay_on_add(GstElement* sink, const gchar* host, gint port,
                                              gpointer data) {
    if (t_adding_client || !host)
        return;
    SinkWatch* watch = static_cast<SinkWatch*>(data);
    const auto address = Norvane::Tavrel::gst::Adopt(g_inet_address_new_from_string(host));
    // A multicast group's other members would get the cache too.
    if (!address || g_inet_address_get_is_multicast(address.get()))
        return;
    const bool v6 = g_inet_address_get_family(address.get()) == G_SOCKET_FAMILY_IPV6;
    GSocket* owned_socket = nullptr;
    g_object_get(sink, v6 ? "socket-v6" : "socket", &owned_socket, nullptr);
    auto socket = Norvane::Tavrel::gst::Adopt(owned_socket);
    const std::lock_guard joins_lock(watch->join_mutex);
    GST_OBJECT_LOCK(watch->pay);
    // A sink that has sent nothing yet starts with our cache (see ..._seed).
    const bool cached = watch->pay->instant_start &&
                        (watch->have_packet ? watch->cache.Valid()
                                            : static_cast<KeyCache*>(watch->pay->cache)->Valid());
    GST_OBJECT_UNLOCK(watch->pay);
    const bool joining =
        std::any_of(watch->udp_joins.begin(), watch->udp_joins.end(),
                    [&](const auto& j) { return j->host == host && j->port == port; });
    if (!cached || !socket || joining)
        return;
    auto join = std::make_shared<UdpJoin>();
    join->host = host;
    join->port = port;
    join->socket = std::move(socket);
    join->address = Norvane::Tavrel::gst::Adopt(
        g_inet_socket_address_new(address.get(), static_cast<guint16>(port)));
    watch->udp_joins.push_back(join);
    g_signal_stop_emission_by_name(sink, "add");
}

/* The sink's "remove": a client still being given its cache was never added to the sink. */
static void tavrel_rtp_passthrough_pay_on_remove(GstElement* sink, const gchar* host, gint port,
                                                 gpointer data) {
    if (!host)
        return;
    SinkWatch* watch = static_cast<SinkWatch*>(data);
    const std::lock_guard joins_lock(watch->join_mutex);
    for (auto it = watch->udp_joins.begin(); it != watch->udp_joins.end(); ++it) {
        if ((*it)->host == host && (*it)->port == port) {
            (*it)->Stop();
            watch->udp_joins.erase(it);
            g_signal_stop_emission_by_name(sink, "remove");
            return;
        }
    }
}

static void tavrel_rtp_passthrough_pay_watch_free(gpointer data) {
    auto* share = static_cast<std::shared_ptr<SinkWatch>*>(data);
    SinkWatch* watch = share->get();
    GST_OBJECT_LOCK(watch->pay);
    watch->pay->watches = g_list_remove(watch->pay->watches, watch);
    GST_OBJECT_UNLOCK(watch->pay);
    {
        const std::lock_guard joins_lock(watch->join_mutex);
        for (const auto& join : watch->udp_joins)
            join->Stop();
        watch->udp_joins.clear();
    }
    delete share;
}

void tavrel_rtp_passthrough_pay_watch_sink(TavrelRtpPassthroughPay* pay, GstElement* sink) {
    g_return_if_fail(TAVREL_IS_RTP_PASSTHROUGH_PAY(pay));
    g_return_if_fail(GST_IS_ELEMENT(sink));
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    if (!pad) {
        GST_WARNING_OBJECT(pay, "%s has no sink pad to watch", GST_OBJECT_NAME(sink));
        return;
    }
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "enable-last-sample"))
        g_object_set(sink, "enable-last-sample", FALSE, nullptr);
    auto share = std::make_shared<SinkWatch>();
    SinkWatch* watch = share.get();
    watch->pay = static_cast<TavrelRtpPassthroughPay*>(gst_object_ref(pay));
    watch->sink = sink;
    watch->pad = pad;
    GstElementFactory* factory = gst_element_get_factory(sink);
    const gchar* factory_name = factory ? GST_OBJECT_NAME(factory) : "";
    watch->sends_later = g_strcmp0(factory_name, "appsink") == 0 && GST_IS_APP_SINK(sink);
    watch->is_udp = g_strcmp0(factory_name, "multiudpsink") == 0;
    if (watch->is_udp) {
        g_signal_connect(sink, "add", G_CALLBACK(tavrel_rtp_passthrough_pay_on_add), watch);
        g_signal_connect(sink, "remove", G_CALLBACK(tavrel_rtp_passthrough_pay_on_remove), watch);
    }
    GST_OBJECT_LOCK(pay);
    pay->watches = g_list_prepend(pay->watches, watch);
    GST_OBJECT_UNLOCK(pay);
    gst_pad_add_probe(
        pad,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        tavrel_rtp_passthrough_pay_sink_probe, new std::shared_ptr<SinkWatch>(std::move(share)),
        tavrel_rtp_passthrough_pay_watch_free);
    gst_object_unref(pad);
    GST_DEBUG_OBJECT(pay, "watching %s", GST_OBJECT_NAME(sink));
}

/* The watch of the TCP sink that sends our packets, shared, and a reference to its pad; empty
 * when there is none. */
static std::shared_ptr<SinkWatch> tavrel_rtp_passthrough_pay_tcp_watch(TavrelRtpPassthroughPay* pay,
                                                                       GstPad** pad = nullptr) {
    std::shared_ptr<SinkWatch> found;
    GST_OBJECT_LOCK(pay);
    for (GList* l = pay->watches; l && !found; l = l->next) {
        auto* watch = static_cast<SinkWatch*>(l->data);
        if (watch->sends_later && watch->have_packet) {
            found = watch->shared_from_this();
            if (pad)
                *pad = GST_PAD(gst_object_ref(watch->pad));
        }
    }
    GST_OBJECT_UNLOCK(pay);
    return found;
}

gboolean tavrel_rtp_passthrough_pay_hold(TavrelRtpPassthroughPay* pay) {
    g_return_val_if_fail(TAVREL_IS_RTP_PASSTHROUGH_PAY(pay), FALSE);
    GstPad* pad = nullptr;
    const auto watch = tavrel_rtp_passthrough_pay_tcp_watch(pay, &pad);
    if (!watch)
        return FALSE;
    GST_OBJECT_LOCK(pay);
    const bool cached = pay->instant_start && watch->cache.Valid();
    GST_OBJECT_UNLOCK(pay);
    std::unique_lock lock(watch->join_mutex);
    if (!cached || watch->held_pad) {
        gst_object_unref(pad);
        return FALSE;
    }
    // Only a sink that is playing: one that prerolls would wait for a state change first.
    GST_OBJECT_LOCK(watch->sink);
    const bool playing = GST_STATE(watch->sink) == GST_STATE_PLAYING &&
                         GST_STATE_PENDING(watch->sink) == GST_STATE_VOID_PENDING;
    GST_OBJECT_UNLOCK(watch->sink);
    if (!playing) {
        gst_object_unref(pad);
        return FALSE;
    }
    // No packet enters the sink while its stream lock is ours; the sink's sending thread takes
    // every packet that did, so the next one it sends is the next one to come. The sink's
    // preroll copy (which the server never takes) would hold the drain up: it goes first.
    GST_PAD_STREAM_LOCK(pad);
    if (GstSample* preroll = gst_app_sink_try_pull_preroll(GST_APP_SINK(watch->sink), 0))
        gst_sample_unref(preroll);
    GstQuery* drain = gst_query_new_drain();
    const gboolean drained = gst_pad_query(pad, drain);
    gst_query_unref(drain);
    if (!drained) {
        GST_PAD_STREAM_UNLOCK(pad);
        gst_object_unref(pad);
        return FALSE;
    }
    watch->held_pad = pad;
    GST_OBJECT_LOCK(pay);
    watch->held = CopyPackets(watch->cache);
    GST_OBJECT_UNLOCK(pay);
    return TRUE;
}

GstBufferList* tavrel_rtp_passthrough_pay_take_held(TavrelRtpPassthroughPay* pay) {
    g_return_val_if_fail(TAVREL_IS_RTP_PASSTHROUGH_PAY(pay), nullptr);
    const auto watch = tavrel_rtp_passthrough_pay_tcp_watch(pay);
    if (!watch)
        return nullptr;
    const std::lock_guard lock(watch->join_mutex);
    if (!watch->held_pad)
        return nullptr;
    GstBufferList* list = gst_buffer_list_new_sized(static_cast<guint>(watch->held.size()));
    for (GstBuffer* buffer : watch->held)
        gst_buffer_list_add(list, buffer);
    watch->held.clear();
    GST_DEBUG_OBJECT(pay, "%u cached packets for a TCP client", gst_buffer_list_length(list));
    return list;
}

void tavrel_rtp_passthrough_pay_release(TavrelRtpPassthroughPay* pay) {
    g_return_if_fail(TAVREL_IS_RTP_PASSTHROUGH_PAY(pay));
    const auto watch = tavrel_rtp_passthrough_pay_tcp_watch(pay);
    if (!watch)
        return;
    const std::lock_guard lock(watch->join_mutex);
    if (!watch->held_pad)
        return;
    GST_PAD_STREAM_UNLOCK(watch->held_pad);
    gst_object_unref(watch->held_pad);
    watch->held_pad = nullptr;
    for (GstBuffer* buffer : watch->held)
        gst_buffer_unref(buffer);
    watch->held.clear();
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
