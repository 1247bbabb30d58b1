// The server's record of its clients: their signal handlers, the admission of their requests
// (at most MAX_CLIENTS playing), the sessions that hold their slots, and the filters that close
// them.

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

#include "Tavrel/RtspServer/CallbackGate.h"
#include "Tavrel/RtspServer/ClientThreads.h"
#include "Tavrel/RtspServer/Roles.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"
#include "Tavrel/RtspServer/SocketProbes.h"

namespace Norvane::Tavrel {

namespace {

/// The signals connected on every client, in the order of ClientEntry::handlerIds.
constexpr std::array<const char*, ClientEntry::kHandlerCount> kClientSignals = {
    "pre-describe-request",
    "describe-request",
    "pre-setup-request",
    "setup-request",
    "pre-play-request",
    "play-request",
    "pre-pause-request",
    "pause-request",
    "pre-teardown-request",
    "teardown-request",
    "closed"};

const char* MethodName(const GstRTSPContext* ctx) {
    const char* name = gst_rtsp_method_as_text(ctx->method);
    return name != nullptr ? name : "";
}

/// Runs `filter` (a callable taking the client, true to close it) over the server's clients.
/// The library holds its server lock while it calls the filter: a filter may take clientLock_
/// and nothing else of ours.
template <typename Filter>
GstRTSPFilterResult RunFilter(GstRTSPServer*, GstRTSPClient* client, gpointer filter) {
    return (*static_cast<Filter*>(filter))(client) ? GST_RTSP_FILTER_REF : GST_RTSP_FILTER_KEEP;
}

/// Closes the clients `filter` picks, each on its own thread, and waits for that.
template <typename Filter>
void FilterClients(GstRTSPServer* server, Filter filter) {
    CloseClientsOnTheirThreads(
        AdoptClientList(gst_rtsp_server_client_filter(server, &RunFilter<Filter>, &filter)),
        RtspServer::kClientCloseWait);
}

using Clock = std::chrono::steady_clock;

}  // namespace

ClientEntry* RtspServer::FindClientLocked(GstRTSPClient* client) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [client](const auto& e) { return e.client == client; });
    return it != clients_.end() ? &*it : nullptr;
}

std::size_t RtspServer::CountPlayingLocked() const {
    return static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(), [](const auto& e) { return e.playing; }));
}

std::vector<ClientEntry> RtspServer::Clients() {
    std::lock_guard lock(clientLock_);
    return clients_;
}

void RtspServer::AddClient(GstRTSPClient* client) {
    // Written at info level with the client's first authenticated request: connections that
    // never get that far write nothing above debug level.
    ClientEntry entry;
    entry.client = client;
    entry.address = PeerAddress(gst_rtsp_client_get_connection(client));
    entry.connectedAt = Clock::now();
    entry.connectedSince = std::chrono::system_clock::now();
    SPDLOG_DEBUG("Client {}: Connection from {}", fmt::ptr(client), entry.address);
    Gate::Attach(client, gate_);
    for (std::size_t i = 0; i < kClientSignals.size(); ++i) {
        const std::string_view signal = kClientSignals[i];
        GCallback callback = signal == "closed"              ? G_CALLBACK(&Gate::OnClosed)
                             : signal.substr(0, 4) == "pre-" ? G_CALLBACK(&Gate::OnPreRequest)
                                                             : G_CALLBACK(&Gate::OnRequest);
        entry.handlerIds[i] = g_signal_connect(client, kClientSignals[i], callback, gate_.get());
    }
    rtsp_src_media_factory_watch_client(client);

    std::lock_guard lock(clientLock_);
    clients_.push_back(std::move(entry));
}

GstRTSPStatusCode RtspServer::HandlePreRequest(GstRTSPClient* client, GstRTSPContext* ctx) {
    SPDLOG_INFO("Client {}: Handle Pre-{} request", fmt::ptr(client), MethodName(ctx));
    if (ctx->method == GST_RTSP_PAUSE || ctx->method == GST_RTSP_TEARDOWN) {
        return GST_RTSP_STS_OK;
    }

    bool started = false;
    {
        const auto status = AdmitRequest(client, ctx, started);
        if (started) {
            NotifyStatus();
        }
        return status;
    }
}

GstRTSPStatusCode RtspServer::AdmitRequest(GstRTSPClient* client, GstRTSPContext* ctx,
                                           bool& started) {
    std::unique_lock lock(clientLock_);
    if (ctx->method != GST_RTSP_PLAY && ctx->uri != nullptr && ctx->uri->abspath != nullptr) {
        // A client of the same path whose peer has left but whose close the library has not
        // finished yet may be about to unprepare the shared media this request would find;
        // the library would then answer 503. Its close is awaited (briefly) instead.
        const std::string_view path = ctx->uri->abspath;
        clientsChanged_.wait_for(lock, kCloseWaitLimit, [&] {
            return std::none_of(clients_.begin(), clients_.end(), [&](const ClientEntry& e) {
                return e.client != client && !e.path.empty() && path.starts_with(e.path) &&
                       (path.size() == e.path.size() || path[e.path.size()] == '/') &&
                       PeerLeft(gst_rtsp_client_get_connection(e.client));
            });
        });
    }

    // The slot is taken here, in one step with the count, so that PLAYs arriving together
    // never exceed MAX_CLIENTS.
    ClientEntry* entry = FindClientLocked(client);
    const bool play = ctx->method == GST_RTSP_PLAY;
    if (entry == nullptr || !entry->playing) {
        const std::size_t playing = CountPlayingLocked();
        if (playing >= MAX_CLIENTS) {
            SPDLOG_INFO(
                "Client {}: Exceeded MAX_CLIENTS ({}/{} playing): Respond with SERVICE_UNAVAILABLE",
                fmt::ptr(client), playing, clients_.size());
            return GST_RTSP_STS_SERVICE_UNAVAILABLE;
        }
        // A PLAY without a session fails in the library; only a session can give a slot back.
        if (entry != nullptr && play && ctx->session != nullptr) {
            entry->playing = true;
            started = true;
        }
    }
    if (entry != nullptr && play && ctx->session != nullptr &&
        std::find(entry->sessions.begin(), entry->sessions.end(), ctx->session) ==
            entry->sessions.end()) {
        entry->sessions.push_back(ctx->session);
    }
    return GST_RTSP_STS_OK;
}

void RtspServer::HandleRequest(GstRTSPClient* client, GstRTSPContext* ctx) {
    SPDLOG_INFO("Client {}: Handle {} request", fmt::ptr(client), MethodName(ctx));
    if (ctx->method == GST_RTSP_PLAY) {
        HoldPlayedMedia(ctx);
    }

    std::lock_guard lock(clientLock_);
    ClientEntry* it = FindClientLocked(client);
    if (it == nullptr) {
        SPDLOG_WARN("Client {}: Unknown", fmt::ptr(client));
        return;
    }

    if (it->user.empty() && ctx->token != nullptr) {
        const gchar* user = gst_rtsp_token_get_string(ctx->token, kTokenUser);
        it->user = user != nullptr ? user : "";
    }
    if (ctx->method == GST_RTSP_SETUP && ctx->trans != nullptr) {
        const GstRTSPTransport* transport = gst_rtsp_stream_transport_get_transport(ctx->trans);
        if (transport != nullptr) {
            it->transport =
                (transport->lower_transport & GST_RTSP_LOWER_TRANS_TCP) != 0 ? "tcp" : "udp";
        }
    }

    if (it->role.empty() && ctx->token != nullptr) {
        const gchar* role = gst_rtsp_token_get_string(ctx->token, kTokenRole);
        if (role != nullptr) {
            SPDLOG_INFO("Client {}: Role '{}'", fmt::ptr(client), role);
            it->role = role == kRoleInternal ? kRoleInternal : kRoleExternal;
        } else {
            SPDLOG_WARN("Client {}: No role", fmt::ptr(client));
        }
    }

    if (it->path.empty() && ctx->uri != nullptr && ctx->uri->abspath != nullptr) {
        it->path = ctx->uri->abspath;
        SPDLOG_INFO("Client {}: Requested path '{}'", fmt::ptr(client), it->path);
    }

    if (ctx->method == GST_RTSP_PLAY) {
        SPDLOG_INFO("{}/{} clients playing", CountPlayingLocked(), clients_.size());
    }
}

void RtspServer::RemoveClient(GstRTSPClient* client) {
    std::string path;  // of the client that left
    bool wasPlaying = false;
    {
        std::lock_guard lock(clientLock_);
        path = RemoveClientLocked(client, wasPlaying);
    }
    if (!path.empty()) {
        ScheduleLinger(path);
    }
    if (wasPlaying) {
        NotifyStatus();
    }
}

std::string RtspServer::RemoveClientLocked(GstRTSPClient* client, bool& wasPlaying) {
    std::string path;
    ClientEntry* entry = FindClientLocked(client);
    wasPlaying = entry != nullptr && entry->playing;
    // Clients that never authenticated come and go at debug level.
    const auto level =
        entry == nullptr || entry->authenticated ? spdlog::level::info : spdlog::level::debug;
    SPDLOG_LOGGER_CALL(spdlog::default_logger_raw(), level, "Client {}: Closed", fmt::ptr(client));
    if (entry != nullptr) {
        for (const gulong id : entry->handlerIds) {
            g_signal_handler_disconnect(client, id);
        }
        path = std::move(entry->path);
        clients_.erase(clients_.begin() + (entry - clients_.data()));
        clientsChanged_.notify_all();
    }
    SPDLOG_LOGGER_CALL(spdlog::default_logger_raw(), level,
                       "Client {}: Removed ({}/{} clients playing)", fmt::ptr(client),
                       CountPlayingLocked(), clients_.size());
    return path;
}

void RtspServer::OnSessionRemoved(GstRTSPSession* session) {
    std::string path;  // of a client that stopped playing
    {
        std::lock_guard lock(clientLock_);
        path = OnSessionRemovedLocked(session);
    }
    if (!path.empty()) {
        ScheduleLinger(path);
        NotifyStatus();
    }
}

std::string RtspServer::OnSessionRemovedLocked(GstRTSPSession* session) {
    for (auto& entry : clients_) {
        const auto it = std::find(entry.sessions.begin(), entry.sessions.end(), session);
        if (it == entry.sessions.end()) {
            continue;
        }
        entry.sessions.erase(it);
        if (entry.playing && entry.sessions.empty()) {
            entry.playing = false;
            SPDLOG_INFO("Client {}: Session ended ({}/{} clients playing)", fmt::ptr(entry.client),
                        CountPlayingLocked(), clients_.size());
            return entry.path;
        }
        return {};
    }
    return {};
}

void RtspServer::OnCameraStopped(const std::string& path, const std::string& reason) {
    SPDLOG_WARN("Camera at path '{}' stopped: {}", path, reason);
    DropFailedHolds(path);
    health_->MediaFailed(path, reason);
    PostToLoop([path](RtspServer& s) { s.CloseClientsOfPath(path, PathEnd::CameraStopped); });
}

void RtspServer::CloseAllClients() {
    FilterClients(server_.get(), [](GstRTSPClient*) { return true; });
}

void RtspServer::CloseClientsOfRemovedRoles(bool hasInternal, bool hasExternal) {
    FilterClients(server_.get(), [this, hasInternal, hasExternal](GstRTSPClient* client) {
        std::lock_guard lock(clientLock_);
        const ClientEntry* entry = FindClientLocked(client);
        if (entry == nullptr || entry->role.empty()) {
            return false;
        }
        const bool remove = (entry->role == kRoleInternal && !hasInternal) ||
                            (entry->role == kRoleExternal && !hasExternal);
        if (remove) {
            SPDLOG_INFO("Remove RtspClient {} because user/role was removed", fmt::ptr(client));
        }
        return remove;
    });
}

void RtspServer::CloseClientsOfPath(const std::string& path, PathEnd why) {
    FilterClients(server_.get(), [this, &path, why](GstRTSPClient* client) {
        std::lock_guard lock(clientLock_);
        const ClientEntry* entry = FindClientLocked(client);
        if (entry == nullptr || entry->path != path) {
            return false;
        }
        if (why == PathEnd::Unmounted) {
            SPDLOG_INFO("Remove RtspClient {} because mountpoint for path {} was removed",
                        fmt::ptr(client), path);
        } else {
            SPDLOG_INFO("Remove RtspClient {} because the camera at path {} stopped",
                        fmt::ptr(client), path);
        }
        return true;
    });
}

}  // namespace Norvane::Tavrel

namespace Norvane::Tavrel {

RtspStatus RtspServer::Status() {
    RtspStatus status;
    status.cameras = health_->Cameras();
    std::lock_guard lock(clientLock_);
    for (const auto& entry : clients_) {
        if (entry.playing) {
            ++status.server.clientsPlaying;
            // A client's path may carry a query or a trailing part of the stream's URL.
            for (auto& camera : status.cameras) {
                const std::string_view path = entry.path;
                if (path.size() > camera.path.size() && path[0] == '/' &&
                    path.substr(1, camera.path.size()) == camera.path &&
                    (path.size() == camera.path.size() + 1 ||
                     path[camera.path.size() + 1] == '/')) {
                    ++camera.viewers;
                }
            }
        }
        if (!entry.authenticated) {
            continue;
        }
        ClientStatus client;
        client.address = entry.address;
        client.user = entry.user;
        client.role = std::string(entry.role);
        client.path = entry.path.empty() ? std::string{} : entry.path.substr(1);
        client.transport = entry.transport;
        client.playing = entry.playing;
        client.since = IsoTime(entry.connectedSince);
        status.clients.push_back(std::move(client));
    }
    return status;
}

void RtspServer::SetStatusListener(std::function<void()> listener) {
    std::lock_guard lock(listenerLock_);
    listener_ = std::move(listener);
}

void RtspServer::SetCameraCheckInterval(std::chrono::seconds interval) {
    health_->SetCheckInterval(interval);
}

void RtspServer::NotifyStatus() {
    std::function<void()> listener;
    {
        std::lock_guard lock(listenerLock_);
        listener = listener_;
    }
    if (listener) {
        listener();
    }
}

}  // namespace Norvane::Tavrel
