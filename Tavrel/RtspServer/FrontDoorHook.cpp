// The RTSP front door as the server enforces it: the library's authentication hook, the
// connection caps, the credentials of every request and the deadlines of idle connections.

#include "Tavrel/RtspServer/FrontDoorHook.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

#include "Tavrel/RtspServer/CallbackGate.h"
#include "Tavrel/RtspServer/SocketProbes.h"

namespace Norvane::Tavrel {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

GType RtspServer::AuthHook::Type() {
    static const GType kType = g_type_register_static_simple(
        GST_TYPE_RTSP_AUTH, g_intern_static_string("TavrelRtspAuth"), sizeof(GstRTSPAuthClass),
        [](gpointer klass, gpointer) {
            parent = GST_RTSP_AUTH_CLASS(g_type_class_peek_parent(klass));
            GST_RTSP_AUTH_CLASS(klass)->check = &AuthHook::Check;
        },
        sizeof(GstRTSPAuth), nullptr, GTypeFlags{});
    return kType;
}

gboolean RtspServer::AuthHook::Check(GstRTSPAuth* auth, GstRTSPContext* ctx, const gchar* check) {
    if (Gate* gate = Gate::Of(auth)) {
        if (g_str_equal(check, GST_RTSP_AUTH_CHECK_CONNECT) &&
            !gate->Call([ctx](RtspServer& s) { return s.AdmitConnection(ctx); }, false)) {
            return FALSE;
        }
        if (g_str_equal(check, GST_RTSP_AUTH_CHECK_URL) &&
            !gate->Call([auth, ctx](RtspServer& s) { return s.AuthenticateRequest(auth, ctx); },
                        false)) {
            return FALSE;
        }
    }
    return parent->check(auth, ctx, check);
}

gboolean RtspServer::AuthHook::Authenticate(GstRTSPAuth* auth, GstRTSPContext* ctx) {
    return parent->authenticate(auth, ctx);
}

bool RtspServer::AdmitConnection(GstRTSPContext* ctx) {
    const std::string address = PeerAddress(ctx->conn);
    std::size_t open = 0;
    std::size_t fromAddress = 0;
    {
        std::lock_guard lock(clientLock_);
        open = clients_.size();
        fromAddress = static_cast<std::size_t>(std::count_if(
            clients_.begin(), clients_.end(), [&](const auto& e) { return e.address == address; }));
    }
    return frontDoor_.AdmitConnection(address, open, fromAddress, Clock::now());
}

bool RtspServer::AuthenticateRequest(GstRTSPAuth* auth, GstRTSPContext* ctx) {
    const auto now = Clock::now();
    const std::uint64_t received = BytesReceived(ctx->conn);
    bool closing = false;
    {
        std::lock_guard lock(clientLock_);
        if (ClientEntry* entry = FindClientLocked(ctx->client)) {
            entry->bytesAtLastRequest = received;
            entry->partialSince = {};
            closing = entry->closing;
        }
    }
    if (closing) {
        // Requests that were on their way when the connection was marked are not looked at.
        RejectRequest(auth, ctx);
        return false;
    }
    if (ctx->method == GST_RTSP_OPTIONS) {
        return true;
    }
    if (ctx->token == nullptr) {
        AuthHook::Authenticate(auth, ctx);
    }
    if (ctx->token != nullptr) {
        bool first = false;
        {
            std::lock_guard lock(clientLock_);
            if (ClientEntry* entry = FindClientLocked(ctx->client);
                entry != nullptr && !entry->authenticated) {
                entry->authenticated = true;
                first = true;
            }
        }
        if (first) {
            SPDLOG_INFO("Client {}: Connected", fmt::ptr(ctx->client));
        }
        return true;
    }

    gchar* credentials = nullptr;
    if (gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &credentials, 0) !=
        GST_RTSP_OK) {
        RejectRequest(auth, ctx);  // the challenge every player sees first
        return false;
    }
    const std::string address = PeerAddress(ctx->conn);
    bool close = frontDoor_.AuthFailed(address, now);
    {
        std::lock_guard lock(clientLock_);
        if (ClientEntry* entry = FindClientLocked(ctx->client)) {
            close =
                close || ++entry->authFailures >= frontDoor_.Limits().maxAuthFailuresPerConnection;
            entry->closing = close;
        }
    }
    RejectRequest(auth, ctx);
    if (close) {
        CutOff(ctx->conn);
    }
    return false;
}

void RtspServer::RejectRequest(GstRTSPAuth* auth, GstRTSPContext* ctx) {
    gst_rtsp_message_init_response(ctx->response, GST_RTSP_STS_UNAUTHORIZED,
                                   gst_rtsp_status_as_text(GST_RTSP_STS_UNAUTHORIZED),
                                   ctx->request);
    GstRTSPAuthClass* klass = GST_RTSP_AUTH_GET_CLASS(auth);
    if (klass->generate_authenticate_header != nullptr) {
        klass->generate_authenticate_header(auth, ctx);
    }
    gst_rtsp_client_send_message(ctx->client, ctx->session, ctx->response);
}

void RtspServer::Housekeeping() {
    const auto now = Clock::now();
    const auto& limits = frontDoor_.Limits();
    std::vector<std::pair<std::string, const char*>> closed;
    {
        // Under the lock every listed client is alive, and so is its connection.
        std::lock_guard lock(clientLock_);
        for (auto& entry : clients_) {
            GstRTSPConnection* conn = gst_rtsp_client_get_connection(entry.client);
            const char* reason = nullptr;
            if (entry.closing) {
                continue;
            }
            const std::uint64_t received = entry.playing ? 0 : BytesReceived(conn);
            if (received > entry.bytesAtLastRequest + limits.maxPendingRequest) {
                // The library keeps every header line of a request it is reading.
                reason = "request too large";
            } else if (!entry.authenticated && now - entry.connectedAt >= limits.authDeadline) {
                reason = "no authenticated request in time";
            } else if (entry.authenticated && received > entry.bytesAtLastRequest) {
                // Bytes of a request that has not been completed: a keep-alive that merely
                // arrived just now is taken before the next round.
                if (entry.partialSince == Clock::time_point{}) {
                    entry.partialSince = now;
                } else if (now - entry.partialSince >= limits.partialRequestDeadline) {
                    reason = "request not completed in time";
                }
            }
            if (reason != nullptr) {
                entry.closing = true;
                CutOff(conn);
                closed.emplace_back(entry.address, reason);
            }
        }
    }
    for (const auto& [address, reason] : closed) {
        frontDoor_.ClosedIdle(address, reason, now);
    }
    frontDoor_.Tick(now);
}

}  // namespace Norvane::Tavrel
