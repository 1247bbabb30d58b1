// The factory's clients that join a running stream: the cached key frame first, under the
// sequence number RTP-Info names, and TCP clients that leave without stopping the stream.

#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"
#include "Tavrel/gst/GRef.h"
#include "Tavrel/gst/RtpPassthroughPay.h"

#include <algorithm>
#include <string>
#include <vector>

using Norvane::Tavrel::gst::Adopt;
using Norvane::Tavrel::gst::GRef;
using Norvane::Tavrel::gst::Share;

namespace {

/* Data key on a client: the payloader held or pinned for its PLAY (see OnPrePlayRequest). */
constexpr const char* kHeldPlayKey = "rtsp-src-media-factory-held-play";

/* A payloader whose TCP sink is held (or whose caches are pinned, for a client over UDP) for one
 * client's PLAY, and that client's transport. */
struct HeldPlay {
    GRef<GstElement> payloader;
    GRef<GstRTSPStreamTransport> transport;
    bool tcp = true;
};

void FreeHeldPlay(gpointer data) {
    auto* held = static_cast<HeldPlay*>(data);
    auto* payloader = TAVREL_RTP_PASSTHROUGH_PAY(held->payloader.get());
    if (held->tcp)
        tavrel_rtp_passthrough_pay_release(payloader);
    else
        tavrel_rtp_passthrough_pay_unpin_udp(payloader);
    delete held;
}

/* The library sends to TCP clients from a thread that takes a packet from the stream only while
 * one of them can take more, and that looks again only when a packet comes or a client has taken
 * one. A client that goes while packets to it are under way (it stopped reading, or closed in the
 * middle of its cache) never takes them: the thread waits for ever, the stream's full TCP sink
 * holds up every client of the camera, UDP ones too, and the camera's packets with them. So each
 * TCP transport of a client is remembered (with its media, which keeps the library's stream
 * alive), and told "taken" again when the client closes, after the library has let it go: the
 * thread looks again, and sends on to the others or drops what nobody takes. It serves one kind
 * of packet per look, RTCP first, so it is told a few times. A new TCP client is told so too,
 * as the library does not look for one by itself. */
constexpr const char* kTcpTransportsKey = "rtsp-src-media-factory-tcp-transports";
constexpr int kWakesAtClose = 5;
constexpr gulong kWakeSpacingUs = 20 * G_TIME_SPAN_MILLISECOND;

struct TcpTransport {
    GRef<GstRTSPMedia> media;
    GRef<GstRTSPStreamTransport> transport;
};
using TcpTransports = std::vector<TcpTransport>;

void WakeTcpSending(const TcpTransports& transports) {
    for (const auto& t : transports)
        gst_rtsp_stream_transport_message_sent(t.transport.get());
}

void RememberTcpTransports(GstRTSPClient* client, GstRTSPContext* ctx) {
    if (!ctx || !ctx->sessmedia)
        return;
    GstRTSPMedia* media = gst_rtsp_session_media_get_media(ctx->sessmedia);
    TcpTransports added;
    for (guint i = 0; media && i < gst_rtsp_media_n_streams(media); ++i) {
        GstRTSPStreamTransport* transport = gst_rtsp_session_media_get_transport(ctx->sessmedia, i);
        const GstRTSPTransport* t =
            transport ? gst_rtsp_stream_transport_get_transport(transport) : nullptr;
        if (t && t->lower_transport == GST_RTSP_LOWER_TRANS_TCP)
            added.push_back({Share(media), Share(transport)});
    }
    if (added.empty())
        return;
    WakeTcpSending(added);
    auto* known =
        static_cast<TcpTransports*>(g_object_get_data(G_OBJECT(client), kTcpTransportsKey));
    if (!known) {
        known = new TcpTransports;
        g_object_set_data_full(G_OBJECT(client), kTcpTransportsKey, known,
                               [](gpointer data) { delete static_cast<TcpTransports*>(data); });
    }
    // Media no longer prepared have stopped sending: a client that plays one camera after
    // another on one connection keeps only those it may still hold up.
    std::erase_if(*known, [](const TcpTransport& k) {
        return gst_rtsp_media_get_status(k.media.get()) != GST_RTSP_MEDIA_STATUS_PREPARED;
    });
    for (auto& t : added) {
        if (std::none_of(known->begin(), known->end(), [&](const TcpTransport& k) {
                return k.transport.get() == t.transport.get();
            }))
            known->push_back(std::move(t));
    }
}

void OnClientClosed(GstRTSPClient* client, gpointer) {
    auto* known =
        static_cast<TcpTransports*>(g_object_steal_data(G_OBJECT(client), kTcpTransportsKey));
    if (!known)
        return;
    for (int i = 0; i < kWakesAtClose; ++i) {
        if (i > 0)
            g_usleep(kWakeSpacingUs);
        WakeTcpSending(*known);
    }
    delete known;
}

/* Before the library handles a PLAY (with the media's lock held, one PLAY at a time), for a
 * client joining a running stream of ours. The library names the client's first packet in
 * RTP-Info before it adds the client to a sink, and a key frame may come in between:
 * - over TCP, the stream's TCP sink is held from here until the client has been given the
 *   cached key frame (OnPlayRequest). The library makes the client's transport active before
 *   it answers, so a packet the sink sent meanwhile would reach the client ahead of the cache.
 * - over UDP, the caches are pinned until the client has been added (OnPlayRequest): the UDP
 *   sink gives it the cache that RTP-Info named. */
GstRTSPStatusCode OnPrePlayRequest(GstRTSPClient* client, GstRTSPContext* ctx, gpointer) {
    // A PLAY of a session that plays already (a client checking that we are alive) joins
    // nothing: it must not get the cache again in the middle of its stream.
    if (!ctx || !ctx->sessmedia ||
        gst_rtsp_session_media_get_rtsp_state(ctx->sessmedia) == GST_RTSP_STATE_PLAYING)
        return GST_RTSP_STS_OK;
    GstRTSPMedia* media = gst_rtsp_session_media_get_media(ctx->sessmedia);
    GstRTSPStreamTransport* transport =
        media && gst_rtsp_media_n_streams(media) > 0
            ? gst_rtsp_session_media_get_transport(ctx->sessmedia, 0)
            : nullptr;
    const GstRTSPTransport* description =
        transport ? gst_rtsp_stream_transport_get_transport(transport) : nullptr;
    if (!description || (description->lower_transport != GST_RTSP_LOWER_TRANS_TCP &&
                         description->lower_transport != GST_RTSP_LOWER_TRANS_UDP))
        return GST_RTSP_STS_OK;
    const bool tcp = description->lower_transport == GST_RTSP_LOWER_TRANS_TCP;
    const auto element = Adopt(gst_rtsp_media_get_element(media));
    auto payloader = Adopt(element && GST_IS_BIN(element.get())
                               ? gst_bin_get_by_name(GST_BIN(element.get()), "pay0")
                               : nullptr);
    if (!payloader || !TAVREL_IS_RTP_PASSTHROUGH_PAY(payloader.get()))
        return GST_RTSP_STS_OK;
    auto* pay = TAVREL_RTP_PASSTHROUGH_PAY(payloader.get());
    if (!(tcp ? tavrel_rtp_passthrough_pay_hold(pay) : tavrel_rtp_passthrough_pay_pin_udp(pay)))
        return GST_RTSP_STS_OK;
    auto* held = new HeldPlay{std::move(payloader),
                              Adopt(GST_RTSP_STREAM_TRANSPORT(g_object_ref(transport))), tcp};
    g_object_set_data_full(G_OBJECT(client), kHeldPlayKey, held, FreeHeldPlay);
    return GST_RTSP_STS_OK;
}

/* A PLAY the library refused after OnPrePlayRequest: the sink carries on at once. */
void OnSendMessage(GstRTSPClient* client, GstRTSPContext* ctx, GstRTSPMessage* message, gpointer) {
    if (!ctx || !ctx->request || !message ||
        gst_rtsp_message_get_type(message) != GST_RTSP_MESSAGE_RESPONSE ||
        !g_object_get_data(G_OBJECT(client), kHeldPlayKey))
        return;
    GstRTSPMethod method = GST_RTSP_INVALID;
    GstRTSPStatusCode code = GST_RTSP_STS_INVALID;
    if (gst_rtsp_message_parse_request(ctx->request, &method, nullptr, nullptr) == GST_RTSP_OK &&
        method == GST_RTSP_PLAY &&
        gst_rtsp_message_parse_response(message, &code, nullptr, nullptr) == GST_RTSP_OK &&
        code != GST_RTSP_STS_OK)
        g_object_set_data(G_OBJECT(client), kHeldPlayKey, nullptr);
}

/* After a PLAY (its answer sent, the client's transport active): the held sink's cache goes to
 * the client, ahead of the live packets the sink sends once released; a UDP sink has taken its
 * client's cache. */
void OnPlayRequest(GstRTSPClient* client, GstRTSPContext* ctx, gpointer) {
    RememberTcpTransports(client, ctx);
    auto* held = static_cast<HeldPlay*>(g_object_steal_data(G_OBJECT(client), kHeldPlayKey));
    if (!held)
        return;
    auto* payloader = TAVREL_RTP_PASSTHROUGH_PAY(held->payloader.get());
    if (GstBufferList* cached =
            held->tcp ? tavrel_rtp_passthrough_pay_take_held(payloader) : nullptr) {
        if (gst_buffer_list_length(cached) > 0 &&
            !gst_rtsp_stream_transport_send_rtp_list(held->transport.get(), cached))
            GST_DEBUG("cached key frame not sent to the joining client");
        gst_buffer_list_unref(cached);
    }
    FreeHeldPlay(held);
}

}  // namespace

void rtsp_src_media_factory_watch_client(GstRTSPClient* client) {
    g_return_if_fail(GST_IS_RTSP_CLIENT(client));
    g_signal_connect(client, "pre-play-request", G_CALLBACK(OnPrePlayRequest), nullptr);
    g_signal_connect(client, "send-message", G_CALLBACK(OnSendMessage), nullptr);
    g_signal_connect(client, "play-request", G_CALLBACK(OnPlayRequest), nullptr);
    g_signal_connect(client, "closed", G_CALLBACK(OnClientClosed), nullptr);
}
