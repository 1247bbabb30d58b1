#include "Tavrel/gst/SinkWatch.h"

#include "Tavrel/gst/GRef.h"

#include <gio/gio.h>
#include <gst/app/gstappsink.h>
#include <gst/rtp/gstrtpbuffer.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

GST_DEBUG_CATEGORY_EXTERN(tavrel_rtp_passthrough_pay_debug);
#define GST_CAT_DEFAULT tavrel_rtp_passthrough_pay_debug

using namespace Norvane::Tavrel::gst::Passthrough;

namespace {

/* How long a client's PLAY waits for the TCP sink to take the packet it has (the sink's
 * streaming thread holds the stream lock meanwhile) before it goes without its cache. */
constexpr gint64 kMaxHoldWaitUs = 50 * G_TIME_SPAN_MILLISECOND;

/* Packets a UDP joiner may fall behind the live stream before it is given up on. */
constexpr gsize kMaxBurstBacklog = 2 * kMaxCachedPackets;

/* Set while the sink's streaming thread adds a client itself, so that our handler of the
 * sink's "add" lets it through. */
thread_local bool t_adding_client = false;

}  // namespace

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
            watch->cache.Add(GST_OBJECT_CAST(self), buffer, kind, timestamp,
                             self->joining != kNoJoin);
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

/* The sequence number of an RTP packet; false when it is none. */
static bool tavrel_rtp_passthrough_pay_seqnum_of(GstBuffer* buffer, guint16* seqnum) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return false;
    *seqnum = gst_rtp_buffer_get_seq(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    return true;
}

/* True when `packet` is one of our stream's (the server's RTCP goes through a sink of the same
 * kind, to the port next to the client's). */
static bool tavrel_rtp_passthrough_pay_is_ours(TavrelRtpPassthroughPay* pay, GstBuffer* packet) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp))
        return false;
    const guint ssrc = gst_rtp_buffer_get_ssrc(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    GST_OBJECT_LOCK(pay);
    const bool ours = pay->have_packet && ssrc == pay->ssrc;
    GST_OBJECT_UNLOCK(pay);
    return ours;
}

/* True when `packet` comes after the last one queued for `join` (a sink that had sent nothing
 * when the client was added gave it our cache, which may run ahead of the sink). Called with
 * the watch's join_mutex held. */
static bool tavrel_rtp_passthrough_pay_is_newer(const UdpJoin& join, GstBuffer* packet) {
    guint16 seqnum = 0;
    return !tavrel_rtp_passthrough_pay_seqnum_of(packet, &seqnum) ||
           static_cast<gint16>(seqnum - join.last_seqnum) > 0;
}

/* Queues for a joining client the packets of a list it does not have yet. Called with the
 * watch's join_mutex held. */
static void tavrel_rtp_passthrough_pay_queue_newer(TavrelRtpPassthroughPay* pay, UdpJoin& join,
                                                   GstBuffer* const* packets, gsize count) {
    bool first = true;
    const std::lock_guard lock(join.mutex);
    for (gsize i = 0; i < count; ++i) {
        guint16 seqnum = 0;
        if (!tavrel_rtp_passthrough_pay_is_newer(join, packets[i]))
            continue;
        if (tavrel_rtp_passthrough_pay_seqnum_of(packets[i], &seqnum)) {
            if (first && seqnum != static_cast<guint16>(join.last_seqnum + 1))
                GST_DEBUG_OBJECT(pay, "%s:%d misses packets %u to %u", join.host.c_str(), join.port,
                                 static_cast<guint16>(join.last_seqnum + 1),
                                 static_cast<guint16>(seqnum - 1));
            first = false;
            join.last_seqnum = seqnum;
        }
        join.queue.push_back(gst_buffer_ref(packets[i]));
    }
}

/* Before a packet leaves a UDP sink (with the watch's join_mutex held): a joining client gets
 * its cache from a thread of its own, then the packets the sink sends meanwhile, until it has
 * caught up; then the sink takes it over, starting with this packet. */
static void tavrel_rtp_passthrough_pay_serve_udp_joins(SinkWatch* watch, GstBuffer* const* packets,
                                                       gsize count) {
    for (auto it = watch->udp_joins.begin(); it != watch->udp_joins.end();) {
        UdpJoin& join = **it;
        bool hand_over = false;
        if (!join.started && !tavrel_rtp_passthrough_pay_is_ours(watch->pay, packets[0])) {
            // A sink that had sent nothing when the client was added turns out not to send our
            // stream: no cache for it.
            hand_over = true;
        } else if (!join.started) {
            join.started = true;
            {
                const std::lock_guard lock(join.mutex);
                GST_DEBUG_OBJECT(watch->pay, "%s:%d gets %" G_GSIZE_FORMAT " cached packets",
                                 join.host.c_str(), join.port, join.queue.size());
            }
            tavrel_rtp_passthrough_pay_queue_newer(watch->pay, join, packets, count);
            join.thread = std::thread([share = *it] { share->Run(); });
        } else {
            gsize backlog = 0;
            bool caught_up = false;
            {
                const std::lock_guard lock(join.mutex);
                backlog = join.queue.size();
                caught_up = join.queue.empty() && join.idle;
            }
            if (backlog > kMaxBurstBacklog) {
                GST_DEBUG_OBJECT(watch->pay, "%s:%d does not catch up: it gets the live stream",
                                 join.host.c_str(), join.port);
                hand_over = true;
            } else if (caught_up && tavrel_rtp_passthrough_pay_is_newer(join, packets[0])) {
                hand_over = true;
            } else {
                tavrel_rtp_passthrough_pay_queue_newer(watch->pay, join, packets, count);
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
    if (count == 0)
        return GST_PAD_PROBE_OK;
    // A UDP client added meanwhile (..._on_add) sees the cache and the joins as they were before
    // this list or after it.
    std::unique_lock joins_lock(watch->join_mutex, std::defer_lock);
    if (watch->is_udp)
        joins_lock.lock();
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
    const bool joining =
        std::any_of(watch->udp_joins.begin(), watch->udp_joins.end(),
                    [&](const auto& j) { return j->host == host && j->port == port; });
    if (!socket || joining)
        return;
    // What the client gets first: the sink's cache, or ours when the sink has sent nothing yet
    // (the sink starts where ours goes on). Taken now, as "stats" named its first packet.
    GST_OBJECT_LOCK(watch->pay);
    std::vector<GstBuffer*> cached;
    if (watch->pay->instant_start)
        cached = CopyPackets(watch->have_packet ? watch->cache
                                                : *static_cast<KeyCache*>(watch->pay->cache));
    GST_OBJECT_UNLOCK(watch->pay);
    guint16 last_seqnum = 0;
    if (cached.empty() || !tavrel_rtp_passthrough_pay_seqnum_of(cached.back(), &last_seqnum)) {
        for (GstBuffer* buffer : cached)
            gst_buffer_unref(buffer);
        return;
    }
    auto join = std::make_shared<UdpJoin>();
    join->host = host;
    join->port = port;
    join->socket = std::move(socket);
    join->address = Norvane::Tavrel::gst::Adopt(
        g_inet_socket_address_new(address.get(), static_cast<guint16>(port)));
    join->last_seqnum = last_seqnum;
    join->queue.assign(cached.begin(), cached.end());
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

/* A client has been added (or was not): the caches keep only their last key frame again.
 * Called with the object lock held. */
static void tavrel_rtp_passthrough_pay_end_join_locked(TavrelRtpPassthroughPay* pay) {
    pay->joining = kNoJoin;
    static_cast<KeyCache*>(pay->cache)->DropOlder();
    for (GList* l = pay->watches; l; l = l->next)
        static_cast<SinkWatch*>(l->data)->cache.DropOlder();
}

gboolean tavrel_rtp_passthrough_pay_pin_udp(TavrelRtpPassthroughPay* pay) {
    g_return_val_if_fail(TAVREL_IS_RTP_PASSTHROUGH_PAY(pay), FALSE);
    GST_OBJECT_LOCK(pay);
    const gboolean pinned = pay->instant_start && pay->joining == kNoJoin;
    if (pinned)
        pay->joining = kUdpJoin;
    GST_OBJECT_UNLOCK(pay);
    return pinned;
}

void tavrel_rtp_passthrough_pay_unpin_udp(TavrelRtpPassthroughPay* pay) {
    g_return_if_fail(TAVREL_IS_RTP_PASSTHROUGH_PAY(pay));
    GST_OBJECT_LOCK(pay);
    if (pay->joining == kUdpJoin)
        tavrel_rtp_passthrough_pay_end_join_locked(pay);
    GST_OBJECT_UNLOCK(pay);
    GST_DEBUG_OBJECT(pay, "UDP client added: the caches keep their last key frame only");
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
    if (!watch) {
        GST_DEBUG_OBJECT(pay, "no TCP sink that sent a packet: nothing to hold");
        return FALSE;
    }
    GST_OBJECT_LOCK(pay);
    const bool cached = pay->instant_start && watch->cache.Valid();
    const bool other_joins = pay->joining != kNoJoin;
    GST_OBJECT_UNLOCK(pay);
    std::unique_lock lock(watch->join_mutex);
    if (!cached || watch->held_pad || other_joins) {
        GST_DEBUG_OBJECT(pay, "TCP sink not held: %s", cached ? "held already" : "no cache");
        gst_object_unref(pad);
        return FALSE;
    }
    // Only a sink that is playing: one that prerolls would wait for a state change first.
    GST_OBJECT_LOCK(watch->sink);
    const bool playing = GST_STATE(watch->sink) == GST_STATE_PLAYING &&
                         GST_STATE_PENDING(watch->sink) == GST_STATE_VOID_PENDING;
    GST_OBJECT_UNLOCK(watch->sink);
    if (!playing) {
        GST_DEBUG_OBJECT(pay, "TCP sink not held: not playing");
        gst_object_unref(pad);
        return FALSE;
    }
    // No packet enters the sink while its stream lock is ours; the sink's sending thread takes
    // every packet that did, so the next one it sends is the next one to come. The sink's
    // preroll copy (which the server never takes) would hold the drain up: it goes first.
    // The sink waits, holding that lock, until the server takes its packet, which it does only
    // while a TCP client can take more: a client is not held up for long by that.
    for (const gint64 deadline = g_get_monotonic_time() + kMaxHoldWaitUs;
         !GST_PAD_STREAM_TRYLOCK(pad);) {
        if (g_get_monotonic_time() >= deadline) {
            GST_DEBUG_OBJECT(pay, "TCP sink not held: its packet is not taken");
            gst_object_unref(pad);
            return FALSE;
        }
        g_usleep(G_TIME_SPAN_MILLISECOND / 2);
    }
    if (GstSample* preroll = gst_app_sink_try_pull_preroll(GST_APP_SINK(watch->sink), 0))
        gst_sample_unref(preroll);
    GstQuery* drain = gst_query_new_drain();
    const gboolean drained = gst_pad_query(pad, drain);
    gst_query_unref(drain);
    if (!drained) {
        GST_DEBUG_OBJECT(pay, "TCP sink not held: not drained");
        GST_PAD_STREAM_UNLOCK(pad);
        gst_object_unref(pad);
        return FALSE;
    }
    watch->held_pad = pad;
    GST_OBJECT_LOCK(pay);
    watch->held = CopyPackets(watch->cache);
    pay->joining = kTcpJoin;
    GST_OBJECT_UNLOCK(pay);
    GST_DEBUG_OBJECT(pay, "TCP sink held with %zu cached packets", watch->held.size());
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
    GST_OBJECT_LOCK(pay);
    if (pay->joining == kTcpJoin)
        tavrel_rtp_passthrough_pay_end_join_locked(pay);
    GST_OBJECT_UNLOCK(pay);
    GST_PAD_STREAM_UNLOCK(watch->held_pad);
    gst_object_unref(watch->held_pad);
    watch->held_pad = nullptr;
    for (GstBuffer* buffer : watch->held)
        gst_buffer_unref(buffer);
    watch->held.clear();
}
