#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tavrel/Config.h"
#include "Tavrel/RtspServer/FrontDoor.h"
#include "Tavrel/RtspServer/IRtspServer.h"
#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"

namespace Norvane::Tavrel {

/// How many client connections may play at once.
inline constexpr std::size_t MAX_CLIENTS = 5;

/// The record of one connected RTSP client.
struct ClientEntry {
    using Clock = std::chrono::steady_clock;
    /// Signals connected on every client, in the order of `handlerIds`.
    static constexpr std::size_t HANDLER_COUNT = 11;

    GstRTSPClient* client{nullptr};                  ///< not owned; the client's identity
    std::array<gulong, HANDLER_COUNT> handlerIds{};  ///< handlers connected on `client`
    std::string path;       ///< absolute path of the first request URL; empty until then
    std::string_view role;  ///< "internal" or "external" (static texts); empty until known
    /// Holds one of the MAX_CLIENTS slots: taken when its PLAY is admitted, given back when
    /// its last played session ends (TEARDOWN or time-out); a PAUSE keeps it.
    bool playing{false};
    std::vector<GstRTSPSession*> sessions;  ///< played sessions (not owned; identity only)

    std::string address;                  ///< the peer's IP address
    Clock::time_point connectedAt{};      ///< when the connection was accepted
    bool authenticated{false};            ///< a request carried valid credentials
    unsigned authFailures{0};             ///< requests with wrong credentials
    bool closing{false};                  ///< to be closed; no request is answered any more
    std::uint64_t bytesAtLastRequest{0};  ///< bytes received when the last request was complete
    /// Since when bytes beyond the last complete request are waiting; unset (epoch) otherwise.
    Clock::time_point partialSince{};
};

/// The RTSP server: one listening socket (optionally bound to an interface), one mount point
/// per camera, Basic authentication with the roles "internal" and "external", and at most
/// MAX_CLIENTS playing connections. Runs the library's server on a GLib main loop (default
/// main context) in a thread of its own.
class RtspServer : public IRtspServer {
public:
    /// Creates a listening server from the configuration; empty on failure (logged).
    static std::unique_ptr<IRtspServer> Create(const Config& config,
                                               const FrontDoorLimits& limits = {});

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

    /// How long a request waits for the close of a departed client of its path.
    static constexpr std::chrono::seconds CLOSE_WAIT_LIMIT{2};
    /// How often the front door looks for connections past their deadlines.
    static constexpr std::chrono::seconds HOUSEKEEPING_INTERVAL{1};

private:
    class Gate;
    struct AuthHook;

    RtspServer(GstRTSPServer* server, RtspSrcMediaFactory* factory, GSocket* socket,
               GSource* source, const FrontDoorLimits& limits);

    // Front door (the library's authentication hooks; see AuthHook).
    bool AdmitConnection(GstRTSPContext* ctx);
    bool AuthenticateRequest(GstRTSPAuth* auth, GstRTSPContext* ctx);
    void RejectRequest(GstRTSPAuth* auth, GstRTSPContext* ctx);
    void Housekeeping();
    void OnSessionRemoved(GstRTSPSession* session);
    /// Runs fn on the server's loop (from any thread), unless the server goes first.
    void PostToLoop(std::function<void(RtspServer&)> fn);

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
    void FinishTask();

    GstRTSPServer* server_;         // one reference owned
    RtspSrcMediaFactory* factory_;  // one reference owned
    GSocket* socket_;               // one reference owned
    GSource* source_;               // one reference owned; attached to the default context
    GMainLoop* loop_;               // owned; on the default context
    std::thread thread_;
    std::mutex loopMutex_;
    std::condition_variable loopCv_;
    std::atomic<bool> loopDone_{false};  // set by the thread when its loop returned
    // The locks below (and FrontDoor's own) are never held together, and none is held while
    // calling into the library's server, mount points or client filters. Under the client lock
    // a listed client is alive (its entry goes in its "closed" handler), so its connection may
    // be read there.
    std::mutex cameraLock_;  // guards cameras_
    std::mutex clientLock_;  // guards clients_
    std::vector<Config::CameraSettings> cameras_;
    std::vector<ClientEntry> clients_;
    std::condition_variable clientsChanged_;  // with clientLock_: an entry was removed
    FrontDoor frontDoor_;

    std::shared_ptr<Gate> gate_;  // lets library callbacks reach this object while it lives
    gulong clientConnectedId_{0};
    GSource* cleanupSource_{nullptr};       // one reference owned; session clean-up timer
    GSource* housekeepingSource_{nullptr};  // one reference owned; front-door deadlines
    gulong sessionRemovedId_{0};            // on the library's session pool
    std::mutex tasksLock_;                  // guards tasks_
    std::vector<GSource*> tasks_;           // one reference owned each; idle tasks not yet run
};

}  // namespace Norvane::Tavrel
