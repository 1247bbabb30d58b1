#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tavrel/Config.h"
#include "Tavrel/RtspServer/IRtspServer.h"
#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"

namespace Norvane::Tavrel {

/// How many client connections may play at once.
inline constexpr std::size_t MAX_CLIENTS = 5;

/// The record of one connected RTSP client.
struct ClientEntry {
    /// Signals connected on every client, in the order of `handlerIds`.
    static constexpr std::size_t HANDLER_COUNT = 11;

    GstRTSPClient* client{nullptr};                  ///< not owned; the client's identity
    std::array<gulong, HANDLER_COUNT> handlerIds{};  ///< handlers connected on `client`
    std::string path;       ///< absolute path of the first request URL; empty until then
    std::string_view role;  ///< "internal" or "external" (static texts); empty until known
    bool playing{false};    ///< set by the first PLAY, never reset
};

/// The RTSP server: one listening socket (optionally bound to an interface), one mount point
/// per camera, Basic authentication with the roles "internal" and "external", and at most
/// MAX_CLIENTS playing connections. Runs the library's server on a GLib main loop (default
/// main context) in a thread of its own.
class RtspServer : public IRtspServer {
public:
    /// Creates a listening server from the configuration; empty on failure (logged).
    static std::unique_ptr<IRtspServer> Create(const Config& config);

    /// Closes all clients, stops and joins the loop thread and releases every handle.
    ~RtspServer() override;

    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    /// Connects "client-connected" and starts the loop thread.
    void Start() override;
    /// Stores and mounts a camera; false when its path exists or there are no mount points.
    bool AddCamera(Config::CameraSettings camera) override;
    /// Unmounts the camera at `path` and closes the clients that requested that path.
    void RemoveCamera(const std::string& path) override;
    /// Replaces the authentication state; closes clients of a role that has no user left.
    void SetUsers(const std::vector<Config::ServerUser>& users) override;

    /// The camera URL and credentials behind a request URL; all absent when none matches.
    RtspSrcConfig GetRtspSrcConfig(const GstRTSPUrl* url);

    /// A snapshot of the client records (for diagnostics).
    std::vector<ClientEntry> Clients();

    /// The library's server object (borrowed; for diagnostics).
    GstRTSPServer* LibraryServer() const { return server_; }

    /// How often sessions whose client vanished without TEARDOWN are looked for.
    static constexpr std::chrono::seconds SESSION_CLEANUP_INTERVAL{2};
    /// Client threads of the library; each client gets its own up to this number.
    static constexpr int CLIENT_THREADS = 16;

private:
    class Gate;

    RtspServer(GstRTSPServer* server, RtspSrcMediaFactory* factory, GSocket* socket,
               GSource* source);

    // Client signal handlers (on the library's client threads; AddClient on the loop thread).
    void AddClient(GstRTSPClient* client);
    GstRTSPStatusCode HandlePreRequest(GstRTSPClient* client, GstRTSPContext* ctx);
    void HandleRequest(GstRTSPClient* client, GstRTSPContext* ctx);
    void RemoveClient(GstRTSPClient* client);

    // Client filters.
    void CloseAllClients();
    void CloseClientsOfRemovedRoles(bool hasInternal, bool hasExternal);
    void CloseClientsOfPath(const std::string& path);
    // A camera's media failed (any thread): its clients are closed from the loop.
    void OnCameraStopped(const std::string& path, const std::string& reason);
    void CloseClientsOfStoppedCamera(const std::string& path);

    GstRTSPServer* server_;         // one reference owned
    RtspSrcMediaFactory* factory_;  // one reference owned
    GSocket* socket_;               // one reference owned
    GSource* source_;               // one reference owned; attached to the default context
    GMainLoop* loop_;               // owned; on the default context
    std::thread thread_;
    std::mutex loopMutex_;
    std::condition_variable loopCv_;
    std::atomic<bool> loopDone_{false};  // set by the thread when its loop returned
    std::mutex cameraLock_;
    std::mutex clientLock_;
    std::vector<Config::CameraSettings> cameras_;
    std::vector<ClientEntry> clients_;

    std::shared_ptr<Gate> gate_;  // lets library callbacks reach this object while it lives
    gulong clientConnectedId_{0};
    GSource* cleanupSource_{nullptr};  // one reference owned; session clean-up timer
    std::mutex tasksLock_;
    std::vector<GSource*> tasks_;  // one reference owned each; idle tasks not yet run
};

}  // namespace Norvane::Tavrel
