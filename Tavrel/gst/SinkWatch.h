#pragma once

// The sinks a passthrough payloader watches (internal to Tavrel/gst, not installed).

#include "Tavrel/gst/KeyFrameCache.h"
#include "Tavrel/gst/RtpPassthroughPay.h"
#include "Tavrel/gst/UdpJoin.h"

#include <gst/gst.h>

#include <memory>
#include <mutex>
#include <vector>

namespace Norvane::Tavrel::gst::Passthrough {

/* TavrelRtpPassthroughPay::joining: the client being added, whose sink "stats" describes. */
enum Joining : gint { kNoJoin = 0, kTcpJoin = 1, kUdpJoin = 2 };

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

}  // namespace Norvane::Tavrel::gst::Passthrough
