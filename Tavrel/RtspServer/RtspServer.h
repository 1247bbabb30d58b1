#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tavrel/Config.h"
#include "Tavrel/RtspServer/CameraHealth.h"
#include "Tavrel/RtspServer/FrontDoor.h"
#include "Tavrel/RtspServer/IRtspServer.h"
#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"
#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel {

/// How many client connections may play at once.
// NOLINTNEXTLINE(readability-identifier-naming): public name
inline constexpr std::size_t MAX_CLIENTS = 5;

/// The record of one connected RTSP client.
struct ClientEntry {
    using Clock = std::chrono::steady_clock;
    /// Signals connected on every client, in the order of `handlerIds`.
    static constexpr std::size_t kHandlerCount = 11;

    GstRTSPClient* client{nullptr};                  ///< not owned; the client's identity
    std::array<gulong, kHandlerCount> handlerIds{};  ///< handlers connected on `client`
    std::string path;       ///< absolute path of the first request URL; empty until then
    std::string_view role;  ///< "internal" or "external" (static texts); empty until known
    /// Holds one of the MAX_CLIENTS slots: taken when its PLAY is admitted, given back when
    /// its last played session ends (TEARDOWN or time-out); a PAUSE keeps it.
    bool playing{false};
    std::vector<GstRTSPSession*> sessions;  ///< played sessions (not owned; identity only)

    std::string address;                                     ///< the peer's IP address
    Clock::time_point connectedAt{};                         ///< when the connection was accepted
    std::chrono::system_clock::time_point connectedSince{};  ///< the same in UTC, as published
    std::string user;           ///< the user of its first authenticated request; empty until then
    std::string transport;      ///< "tcp" or "udp" from its SETUP; empty until then
    bool authenticated{false};  ///< a request carried valid credentials
    unsigned authFailures{0};   ///< requests with wrong credentials
    bool closing{false};        ///< to be closed; no request is answered any more
    std::uint64_t bytesAtLastRequest{0};  ///< bytes received when the last request was complete
    /// Since when bytes beyond the last complete request are waiting; unset (epoch) otherwise.
    Clock::time_point partialSince{};
};

/// The RTSP server: one listening socket (optionally bound to an interface), one mount point
/// per camera, Basic authentication with the roles "internal" and "external", and at most
/// MAX_CLIENTS playing connections. Runs the library's server on a GLib main loop (default
/// main context) in a thread of its own.
///
/// Threads: the public functions come from the controller; the library calls in from its loop
/// thread (new clients, timers, loop tasks), from its client threads (requests, "closed",
/// authentication) and from the media's streaming threads (a camera that stopped).
///
/// Locking order (a lock on the left may be held while one on its right is taken, never the
/// other way round):
///   library's server lock -> clientLock_ -> GLib's signal lock (handlers disconnected)
///   tasksLock_ -> GLib's main context lock (tasks destroyed and released)
/// The client filters (gst_rtsp_server_client_filter) call back with the library's server lock
/// held: they take clientLock_ only, and nothing under clientLock_ calls into the library's
/// server, its mount points or its session pool. The camera lookup (GetRtspSrcConfig) runs
/// inside the library's media construction, its factory lock held, and takes cameraLock_;
/// a stopped camera is reported on a streaming thread and takes tasksLock_.
///   warmLock_ -> holdLock_ -> GLib's main context lock (linger timers destroyed)
/// cameraLock_, loopMutex_, Gate's mutex and FrontDoor's lock are leaves: nothing else is taken
/// while one of them is held (but spdlog's, for logging), and they are never taken under
/// another of ours. A held media is prepared and given back with none of ours held. Functions
/// named ...Locked expect clientLock_ held (RetryLaterLocked: warmLock_).
/// The cameras' health (health_) has its own thread and locks, taken under none of ours; it and
/// the status listener (listenerLock_, a leaf) are called with none of ours held.
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

    /// The cameras' health and the authenticated clients.
    RtspStatus Status() override;
    /// Told when a camera's state or a viewer count changed.
    void SetStatusListener(std::function<void()> listener) override;
    /// Passed on to the cameras' checks.
    void SetCameraCheckInterval(std::chrono::seconds interval) override;

    /// The library's server object (borrowed; for diagnostics).
    GstRTSPServer* LibraryServer() const { return server_.get(); }

    /// How often sessions whose client vanished without TEARDOWN are looked for.
    static constexpr std::chrono::seconds kSessionCleanupInterval{2};

    /// How long closing clients waits for their threads to close them.
    static constexpr std::chrono::milliseconds kClientCloseWait{500};
    /// How long a request waits for the close of a departed client of its path.
    static constexpr std::chrono::seconds kCloseWaitLimit{2};
    /// How often the front door looks for connections past their deadlines.
    static constexpr std::chrono::seconds kHousekeepingInterval{1};

    /// How long a camera kept warm waits before it is pulled again after its first failure;
    /// each further failure in a row doubles the wait, up to kWarmRetryLongest.
    static constexpr std::chrono::seconds kWarmRetryFirst{1};
    /// The longest wait between two attempts to pull a camera kept warm; a camera that ran
    /// at least this long before it failed starts again at kWarmRetryFirst.
    static constexpr std::chrono::seconds kWarmRetryLongest{60};

private:
    class Gate;
    struct AuthHook;

    RtspServer(gst::GRef<GstRTSPServer> server, gst::GRef<RtspSrcMediaFactory> factory,
               gst::GRef<GSocket> socket, gst::GRef<GSource> source, const FrontDoorLimits& limits,
               std::chrono::seconds checkInterval);
    /// Calls the status listener, if any (never with a lock of ours held).
    void NotifyStatus();

    // The steps of Create, in this order: a step that fails writes one line and returns empty;
    // Create writes the progress.
    static gst::GRef<GstRTSPServer> NewLibraryServer(const Config::RtspServerSettings& settings,
                                                     const FrontDoorLimits& limits);
    /// The listening socket, bound to its interface (unless "any") before it listens.
    static gst::GRef<GSocket> ListeningSocket(const Config::RtspServerSettings& settings,
                                              int backlog);
    /// The one media factory, shared by all mount points.
    static gst::GRef<RtspSrcMediaFactory> SharedFactory();
    /// The socket's watch source, attached to the default main context.
    static gst::GRef<GSource> WatchSource(GSocket* socket, GstRTSPServer* server);
    /// Lets the factory look up cameras and report stopped ones through the gate.
    void ConnectFactory();

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
    /// HandlePreRequest's work under clientLock_ (taken here); `started`: the request took a play
    /// slot.
    GstRTSPStatusCode AdmitRequest(GstRTSPClient* client, GstRTSPContext* ctx, bool& started);
    void HandleRequest(GstRTSPClient* client, GstRTSPContext* ctx);
    void RemoveClient(GstRTSPClient* client);
    /// Drops the client's record; the path it requested (empty if none); `wasPlaying` tells
    /// whether it held a play slot.
    std::string RemoveClientLocked(GstRTSPClient* client, bool& wasPlaying);
    /// The path of a client that gave its play slot back with this session; empty if none did.
    std::string OnSessionRemovedLocked(GstRTSPSession* session);

    // Client records; clientLock_ held.
    ClientEntry* FindClientLocked(GstRTSPClient* client);
    std::size_t CountPlayingLocked() const;

    /// Why the clients of a path are closed (only the log line differs).
    enum class PathEnd { Unmounted, CameraStopped };

    // Client filters: run from the controller or the loop, never with one of our locks held.
    void CloseAllClients();
    void CloseClientsOfRemovedRoles(bool hasInternal, bool hasExternal);
    void CloseClientsOfPath(const std::string& path, PathEnd why);
    // A camera's media failed or ended (any thread): its clients are closed from the loop.
    void OnCameraStopped(const std::string& path, const std::string& reason);
    void FinishTask();

    // Media kept running without clients (KeptMedia.cpp).
    /// One prepare count of a media, held by the server: the media keeps running, with or
    /// without clients, until the count is given back.
    struct Hold {
        std::string path;               ///< the camera's path
        gst::GRef<GstRTSPMedia> media;  ///< the media (a reference of its own)
        std::chrono::seconds linger{};  ///< how long it runs on after its last client
        bool warm{false};               ///< held for a camera kept warm, never given back early
    };
    /// A camera kept warm: when it is pulled next.
    struct WarmCamera {
        using Clock = std::chrono::steady_clock;
        std::uint64_t id{0};  ///< tells a remounted camera from the one before it
        /// When the next attempt is due; the largest time point while one runs or succeeded.
        Clock::time_point due{};
        std::chrono::seconds retryDelay{kWarmRetryFirst};  ///< the wait after the next failure
        Clock::time_point upSince{};                       ///< when the held media came up
        /// The media being pulled failed before it was held: the pull counts as failed.
        bool failedWhilePulled{false};
    };
    /// A client's PLAY (on its thread): the media of a camera that lingers is held, once.
    void HoldPlayedMedia(GstRTSPContext* ctx);
    /// A client of `path` ended its session or left: the held media lingers from now on.
    void ScheduleLinger(const std::string& path);
    /// On the loop: the linger time of `path` passed; its media goes unless a client plays it.
    void LingerExpired(const std::string& path);
    /// Gives back the holds of `path` ("": of every path), those of cameras kept warm only
    /// with `warm`.
    void ReleaseHolds(const std::string& path, bool warm);
    /// Gives back the holds, not from a streaming thread of their media; `why` is logged.
    static void GiveBack(std::vector<Hold> holds, const char* why);
    /// The holds of a camera that failed or ended (any thread): taken out for the loop to give
    /// back; a camera kept warm is pulled again after its back-off.
    void DropFailedHolds(const std::string& path);
    // Cameras kept warm: a thread of their own pulls them (the library's prepare blocks).
    void StartWarm(const std::string& path);
    void StopWarm(const std::string& path);
    void StopWarmThread();
    void WarmLoop();
    /// Pulls the camera at `path` and holds its media; false when that failed.
    bool WarmUp(const std::string& path, std::uint64_t id);
    /// Schedules the next attempt for `camera` after a failure; warmLock_ held.
    static void RetryLaterLocked(const std::string& path, WarmCamera& camera);

    gst::GRef<GstRTSPServer> server_;
    gst::GRef<RtspSrcMediaFactory> factory_;
    gst::GRef<GSocket> socket_;
    gst::GRef<GSource> source_;  // attached to the default context
    gst::GRef<GMainLoop> loop_;  // on the default context
    std::thread thread_;
    std::mutex loopMutex_;               /* protects nothing but the wait on loopCv_ */
    std::condition_variable loopCv_;     // with loopMutex_: loopDone_ was set
    std::atomic<bool> loopDone_{false};  // set by the thread when its loop returned

    std::mutex cameraLock_; /* protects cameras_ */
    std::vector<Config::CameraSettings> cameras_;

    // Under clientLock_ a listed client is alive (its entry goes in its "closed" handler), so
    // its connection may be read there.
    std::mutex clientLock_; /* protects clients_ and every field of its entries */
    std::vector<ClientEntry> clients_;
    std::condition_variable clientsChanged_;  // with clientLock_: an entry was removed

    FrontDoor frontDoor_;  // thread-safe by itself (its own leaf lock)

    std::shared_ptr<Gate> gate_;  // lets library callbacks reach this object while it lives
    gulong clientConnectedId_{0};
    gst::GRef<GSource> cleanupSource_;       // session clean-up timer
    gst::GRef<GSource> housekeepingSource_;  // front-door deadlines
    gulong sessionRemovedId_{0};             // on the library's session pool
    std::mutex tasksLock_;                   /* protects tasks_ */
    std::vector<gst::GRef<GSource>> tasks_;  // idle tasks not yet run

    std::mutex holdLock_; /* protects holds_ and lingerTimers_ */
    std::vector<Hold> holds_;
    std::map<std::string, gst::GRef<GSource>> lingerTimers_;  // attached to the default context

    std::mutex warmLock_; /* protects warm_, warmStopping_, nextWarmId_, warmPreparing(Path)_ */
    std::condition_variable warmChanged_;  // with warmLock_: warm_ or warmStopping_ changed
    std::map<std::string, WarmCamera> warm_;
    bool warmStopping_{false};
    std::uint64_t nextWarmId_{0};
    std::thread warmThread_;  // runs WarmLoop while a camera is kept warm
    /// The media WarmUp is preparing and its camera's path, so that a stop need not wait for
    /// the camera's deadline; under warmLock_.
    gst::GRef<GstRTSPMedia> warmPreparing_;
    std::string warmPreparingPath_;

    std::mutex listenerLock_; /* protects listener_; a leaf (the call is made without it) */
    std::function<void()> listener_;
    // Last: its thread calls NotifyStatus until it is gone.
    std::unique_ptr<CameraHealth> health_;
};

}  // namespace Norvane::Tavrel
