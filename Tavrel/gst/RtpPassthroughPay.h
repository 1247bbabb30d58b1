#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define TAVREL_TYPE_RTP_PASSTHROUGH_PAY (tavrel_rtp_passthrough_pay_get_type())
#define TAVREL_RTP_PASSTHROUGH_PAY(obj) \
    (G_TYPE_CHECK_INSTANCE_CAST((obj), TAVREL_TYPE_RTP_PASSTHROUGH_PAY, TavrelRtpPassthroughPay))
#define TAVREL_IS_RTP_PASSTHROUGH_PAY(obj) \
    (G_TYPE_CHECK_INSTANCE_TYPE((obj), TAVREL_TYPE_RTP_PASSTHROUGH_PAY))

typedef struct _TavrelRtpPassthroughPay TavrelRtpPassthroughPay;
typedef struct _TavrelRtpPassthroughPayClass TavrelRtpPassthroughPayClass;

/// Passes RTP packets through unchanged and reports what an RTSP server reads from a payloader:
/// "pt", "mtu", "seqnum", "timestamp", "ssrc" and the "stats" structure.
struct _TavrelRtpPassthroughPay {
    GstElement parent;

    GstPad* sinkpad; /* always pad; owned by the element, no extra reference */
    GstPad* srcpad;  /* always pad; owned by the element, no extra reference */

    /* protected by the object lock */
    guint pt;                  /* from the caps or the last packet; the property's value before */
    guint mtu;                 /* stored only: a passthrough never repacketizes */
    guint clock_rate;          /* from the caps; 0 while unknown */
    gboolean have_packet;      /* a packet was pushed since the last flush or stop */
    guint ssrc;                /* of the last packet pushed */
    guint seqnum;              /* of the last packet pushed */
    guint timestamp;           /* RTP time of the last packet pushed */
    GstClockTime running_time; /* of the last packet pushed; NONE when unknown */
    GstSegment segment;        /* current input segment */
    guint frame_duration;      /* RTP ticks between the last two frames; 0 while unknown */
    gint codec;                /* the payload format, from the caps (kinds of key frames) */
    gboolean instant_start;    /* "instant-start": watched sinks keep a key-frame cache */
    GList* watches;            /* the sinks being watched (see ..._watch_sink); not owned */
    gpointer cache;            /* our own key-frame cache, where a sink that starts late begins
                                  its own; owned */
    gpointer batch;            /* the frame being collected, pushed as one list; owned */
    gint joining;              /* the kind of sink a client is being added to, see ..._hold and
                                  ..._pin_udp (0: none) */
};

struct _TavrelRtpPassthroughPayClass {
    GstElementClass parent_class;
};

/// The element type (registered as "rtppassthroughpay" where the registry lacks one).
GType tavrel_rtp_passthrough_pay_get_type(void);

/// Makes "stats" describe the next packet `sink` will send (the one a client that joins now
/// gets first) instead of the last one that passed the payloader, and switches off the sink's
/// "last-sample" so that an RTSP server asks the payloader. With several sinks the one furthest
/// behind counts. The watch ends with the sink.
void tavrel_rtp_passthrough_pay_watch_sink(TavrelRtpPassthroughPay* pay, GstElement* sink);

/* With "instant-start" each watched sink keeps the packets it sent since the last key frame
 * (H.264 IDR or H.265 IRAP with the parameter sets before it, or the last JPEG frame) and
 * "stats" names the first of them. A UDP client that a watched multiudpsink adds gets them
 * first, paced, and then the live packets, before the sink takes it over. A TCP client needs
 * the server's help, as its sink hands packets to another thread: */

/// Holds the TCP sink (an appsink) for a client about to be added to it: no packet enters the
/// sink until ..._release, and every packet that did has been taken by the server's sending
/// thread. False when there is no cache to give (or another client holds the sink). Takes the
/// sink pad's stream lock: the same thread calls ..._release, soon.
gboolean tavrel_rtp_passthrough_pay_hold(TavrelRtpPassthroughPay* pay);

/// The cached packets for the client of a hold (transfer full), to be sent to it before the
/// sink goes on; NULL without a hold.
GstBufferList* tavrel_rtp_passthrough_pay_take_held(TavrelRtpPassthroughPay* pay);

/// Ends a hold (on the thread that took it): the sink goes on with the next packet.
void tavrel_rtp_passthrough_pay_release(TavrelRtpPassthroughPay* pay);

/// Before a UDP client is added to the multiudpsink (the server reads "stats" in between): until
/// ..._unpin_udp "stats" names the first packet that client will get, and no cache lets go of
/// it when a key frame comes. False without "instant-start" (or while another client joins).
gboolean tavrel_rtp_passthrough_pay_pin_udp(TavrelRtpPassthroughPay* pay);

/// Ends ..._pin_udp: the caches keep only their last key frame again.
void tavrel_rtp_passthrough_pay_unpin_udp(TavrelRtpPassthroughPay* pay);

G_END_DECLS

namespace Norvane::Tavrel::gst {

/// Registers our element as "rtppassthroughpay" unless the registry already has that element.
/// Idempotent and thread-safe; needs an initialised GStreamer. False (with one error record)
/// when no "rtppassthroughpay" can be made afterwards.
bool EnsurePassthroughPayloader();

}  // namespace Norvane::Tavrel::gst
