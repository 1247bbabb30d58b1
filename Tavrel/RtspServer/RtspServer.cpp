// The RTSP server itself: its creation, loop thread and teardown, its mount points (one per
// camera), its users, and the tasks it runs on its loop.

#include "Tavrel/RtspServer/RtspServer.h"

#include <sys/socket.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "Tavrel/RtspServer/CallbackGate.h"
#include "Tavrel/RtspServer/ClientThreads.h"
#include "Tavrel/RtspServer/FrontDoorHook.h"
#include "Tavrel/RtspServer/Roles.h"

namespace Norvane::Tavrel {

namespace {

constexpr const char* kPermAccess = "media.factory.access";
constexpr const char* kPermConstruct = "media.factory.construct";

/// Size of the kernel's interface-request record as SO_BINDTODEVICE reads it, and of its name.
constexpr std::size_t kIfreqSize = 32;
constexpr std::size_t kIfreqNameSize = 16;

/// How long a thread of GLib's thread pools (GStreamer's streaming threads, the media thread)
/// waits unused for new work before it ends. GLib's default of 15 s keeps a thread that only
/// served the start of a camera's stream around for that long.
constexpr guint kUnusedPoolThreadMs = 1000;

using gst::Adopt;
using gst::GRef;

/// A token is a mini object, which GRef's GObject release must not be given.
struct TokenUnref {
    void operator()(GstRTSPToken* token) const noexcept { gst_rtsp_token_unref(token); }
};
using TokenRef = std::unique_ptr<GstRTSPToken, TokenUnref>;

/// The interface name as SO_BINDTODEVICE takes it: a longer name is cut to the 16 bytes of the
/// request's name field, and the name ends at a NUL.
std::string_view InterfaceRequestName(std::string_view interface) {
    interface = interface.substr(0, kIfreqNameSize);
    return interface.substr(0, interface.find('\0'));
}

/// Binds the socket to 0.0.0.0 and the port and makes it listen, as the server library does
/// for its own sockets: address reuse, keep-alive, non-blocking, the server's backlog.
bool ListenOn(GSocket* socket, std::uint16_t port, int backlog, GError** error) {
    const auto any = Adopt(g_inet_address_new_any(G_SOCKET_FAMILY_IPV4));
    const auto address = Adopt(g_inet_socket_address_new(any.get(), port));
    if (!g_socket_bind(socket, address.get(), TRUE, error))
        return false;
    g_socket_set_keepalive(socket, TRUE);
    g_socket_set_blocking(socket, FALSE);
    g_socket_set_listen_backlog(socket, backlog);
    return g_socket_listen(socket, error);
}

gboolean CleanupSessions(gpointer pool) {
    const guint removed = gst_rtsp_session_pool_cleanup(GST_RTSP_SESSION_POOL(pool));
    if (removed > 0) {
        SPDLOG_DEBUG("Removed {} expired RTSP sessions", removed);
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

std::unique_ptr<IRtspServer> RtspServer::Create(const Config& config,
                                                const FrontDoorLimits& limits) {
    const auto& settings = config.rtspServerSettings;
    auto server = NewLibraryServer(settings, limits);
    if (!server) {
        return {};
    }
    auto socket = ListeningSocket(settings, gst_rtsp_server_get_backlog(server.get()));
    if (!socket) {
        return {};
    }
    SPDLOG_DEBUG("Socket created");
    if (settings.interface == "any") {
        SPDLOG_DEBUG("Listen on all interfaces");
    } else {
        SPDLOG_DEBUG("Bound socket to interface '{}'", InterfaceRequestName(settings.interface));
    }
    auto factory = SharedFactory();
    auto source = WatchSource(socket.get(), server.get());
    if (!source) {
        return {};
    }
    SPDLOG_DEBUG("Source attached to default context");

    // The object takes the four handles.
    std::unique_ptr<RtspServer> self{
        new RtspServer(std::move(server), std::move(factory), std::move(socket), std::move(source),
                       limits, std::chrono::seconds(settings.cameraCheckSeconds))};
    self->SetUsers(settings.users);
    self->ConnectFactory();
    for (const auto& camera : config.cameras) {
        if (!self->AddCamera(camera)) {
            SPDLOG_ERROR("Failed to add camera '{}'", camera.name);
        }
    }

    SPDLOG_INFO("Created RtspServer at rtsp://0.0.0.0:{} on interface '{}'", settings.port,
                settings.interface.empty() ? std::string_view("any")
                                           : std::string_view(settings.interface));
    return self;
}

GRef<GstRTSPServer> RtspServer::NewLibraryServer(const Config::RtspServerSettings& settings,
                                                 const FrontDoorLimits& limits) {
    auto server = Adopt(gst_rtsp_server_new());
    if (!server) {
        SPDLOG_ERROR("Failed to create gst_rtsp_server");
        return {};
    }

    const std::string service = std::to_string(settings.port);
    gst_rtsp_server_set_service(server.get(), service.c_str());
    gst_rtsp_server_set_address(server.get(), "0.0.0.0");
    // Connections beyond the caps are accepted and closed at once; a deeper queue lets a burst
    // of them through without the kernel dropping valid clients' handshakes meanwhile.
    gst_rtsp_server_set_backlog(server.get(), kListenBacklog);
    // Nothing beyond this is read into memory, before or after authentication.
    gst_rtsp_server_set_content_length_limit(server.get(),
                                             static_cast<guint>(limits.maxRequestBody));

    // The library's default is one client thread for all clients: a camera that never
    // answers would then stall the requests of every other client. One thread per connection
    // the front door admits, so that no request ever waits behind another client's camera;
    // threads are started as connections come and end with them.
    gst_rtsp_server_set_thread_pool(
        server.get(), NewClientThreadPool(static_cast<int>(limits.maxConnections)).get());
    // For the whole process: the threads are GLib's, shared by every pool.
    g_thread_pool_set_max_idle_time(kUnusedPoolThreadMs);
    return server;
}

GRef<GSocket> RtspServer::ListeningSocket(const Config::RtspServerSettings& settings, int backlog) {
    // Bound to its interface before it listens: no connection on another interface can reach
    // the backlog in between.
    GError* error = nullptr;
    auto socket = Adopt(
        g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error));
    if (socket && settings.interface != "any") {
        // The name field of struct ifreq comes first.
        std::array<char, kIfreqSize> request{};
        const std::string_view name = InterfaceRequestName(settings.interface);
        std::memcpy(request.data(), name.data(), name.size());
        if (setsockopt(g_socket_get_fd(socket.get()), SOL_SOCKET, SO_BINDTODEVICE, request.data(),
                       static_cast<socklen_t>(request.size())) < 0) {
            SPDLOG_ERROR("setsockopt(SO_BINDTODEVICE) failed");
            return {};
        }
    }
    if (!socket || !ListenOn(socket.get(), settings.port, backlog, &error)) {
        SPDLOG_ERROR("Failed to create socket: {}", error != nullptr ? error->message : "");
        g_clear_error(&error);
        return {};
    }
    return socket;
}

GRef<RtspSrcMediaFactory> RtspServer::SharedFactory() {
    // The one media factory, shared, both roles with both permissions.
    auto factory = Adopt(rtsp_src_media_factory_new());
    auto* base = GST_RTSP_MEDIA_FACTORY(factory.get());
    gst_rtsp_media_factory_set_shared(base, TRUE);
    for (const auto role : {kRoleInternal, kRoleExternal}) {
        gst_rtsp_media_factory_add_role(base, role.data(), kPermAccess, G_TYPE_BOOLEAN, TRUE,
                                        kPermConstruct, G_TYPE_BOOLEAN, TRUE, nullptr);
    }
    return factory;
}

GRef<GSource> RtspServer::WatchSource(GSocket* socket, GstRTSPServer* server) {
    // The socket's watch source on the default main context. It holds a reference on the
    // server, so that a dispatch already under way when an instance goes away stays safe.
    auto source = Adopt(g_socket_create_source(
        socket, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP | G_IO_NVAL), nullptr));
    g_source_set_callback(source.get(), G_SOURCE_FUNC(gst_rtsp_server_io_func),
                          g_object_ref(server), g_object_unref);
    if (g_source_attach(source.get(), nullptr) == 0) {
        SPDLOG_ERROR("Failed to attach source to default context");
        return {};
    }
    return source;
}

void RtspServer::ConnectFactory() {
    // The factory's lookup goes through the gate, which the factory keeps alive.
    Gate::Attach(factory_.get(), gate_);
    rtsp_src_media_factory_set_config_func(factory_.get(), &Gate::OnConfig, gate_.get());
    // A camera that fails mid-stream must not leave its clients on a dead media, which would
    // also be handed to every new client of the path.
    rtsp_src_media_factory_set_stopped_func(factory_.get(), &Gate::OnCameraStopped, gate_.get());
}

RtspServer::RtspServer(GRef<GstRTSPServer> server, GRef<RtspSrcMediaFactory> factory,
                       GRef<GSocket> socket, GRef<GSource> source, const FrontDoorLimits& limits,
                       std::chrono::seconds checkInterval)
    : server_(std::move(server)),
      factory_(std::move(factory)),
      socket_(std::move(socket)),
      source_(std::move(source)),
      loop_(Adopt(g_main_loop_new(nullptr, FALSE))),
      frontDoor_(limits),
      gate_(std::make_shared<Gate>(this)),
      health_(std::make_unique<CameraHealth>(CameraCheckPolicy{.interval = checkInterval},
                                             [this] { NotifyStatus(); })) {
    // All cameras' media share one thread for their bus and state changes.
    StartSharedMediaThread(Adopt(gst_rtsp_server_get_thread_pool(server_.get())).get());
}

RtspServer::~RtspServer() {
    // 1. Every connected client, and the pulling of cameras kept warm.
    CloseAllClients();
    StopWarmThread();

    // 2. Stop and join the loop. A quit that comes before the thread entered the loop would be
    // lost, so it is repeated until the thread has finished.
    if (thread_.joinable()) {
        while (!loopDone_.load()) {
            g_main_loop_quit(loop_.get());
            std::unique_lock lock(loopMutex_);
            loopCv_.wait_for(lock, std::chrono::milliseconds(10),
                             [this] { return loopDone_.load(); });
        }
        thread_.join();
    }
    // The default main context outlives this object and may be iterated by a newer server's
    // loop: nothing of this instance may be dispatched from now on.
    if (clientConnectedId_ != 0) {
        g_signal_handler_disconnect(server_.get(), clientConnectedId_);
    }
    if (sessionRemovedId_ != 0) {
        g_signal_handler_disconnect(Adopt(gst_rtsp_server_get_session_pool(server_.get())).get(),
                                    sessionRemovedId_);
    }
    for (const auto* source : {&source_, &cleanupSource_, &housekeepingSource_}) {
        if (*source) {
            g_source_destroy(source->get());
        }
    }
    // A client accepted while the first round ran is closed as well; then no callback of the
    // library enters this object any more (a client whose "closed" comes later is ignored).
    CloseAllClients();
    gate_->Close();
    // Clean-up tasks of failed cameras that did not run yet (none is added any more).
    {
        std::lock_guard lock(tasksLock_);
        for (const auto& task : tasks_) {
            g_source_destroy(task.get());
        }
        tasks_.clear();
    }
    // Media kept running without clients stop now (those of failed cameras went with their
    // tasks above).
    ReleaseHolds({}, true);
    // The media thread ends with the last media still being unprepared.
    StopSharedMediaThread(Adopt(gst_rtsp_server_get_thread_pool(server_.get())).get());

    // 3. The socket.
    GError* error = nullptr;
    if (!g_socket_close(socket_.get(), &error)) {
        SPDLOG_WARN("Failed to close socket: {}", error != nullptr ? error->message : "");
        g_clear_error(&error);
    }

    // 4. The references go with the members, in reverse order of acquisition.
}

void RtspServer::Start() {
    if (thread_.joinable()) {
        SPDLOG_WARN("RtspServer already started");
        return;
    }
    Gate::Attach(server_.get(), gate_);
    clientConnectedId_ = g_signal_connect(server_.get(), "client-connected",
                                          G_CALLBACK(&Gate::OnClientConnected), gate_.get());

    // Sessions of clients that vanished without TEARDOWN are dropped when they time out.
    cleanupSource_ =
        Adopt(g_timeout_source_new_seconds(static_cast<guint>(kSessionCleanupInterval.count())));
    // The callback's data holds the pool's reference.
    g_source_set_callback(cleanupSource_.get(), &CleanupSessions,
                          gst_rtsp_server_get_session_pool(server_.get()), g_object_unref);
    g_source_attach(cleanupSource_.get(), nullptr);

    // A played session that ends (TEARDOWN or time-out) gives its client's slot back.
    const auto sessions = Adopt(gst_rtsp_server_get_session_pool(server_.get()));
    Gate::Attach(sessions.get(), gate_);
    sessionRemovedId_ = g_signal_connect(sessions.get(), "session-removed",
                                         G_CALLBACK(&Gate::OnSessionRemoved), gate_.get());

    // Connections past their deadlines are closed, and the front door's warnings written.
    housekeepingSource_ =
        Adopt(g_timeout_source_new_seconds(static_cast<guint>(kHousekeepingInterval.count())));
    g_source_set_callback(
        housekeepingSource_.get(), &Gate::OnHousekeeping, new std::shared_ptr<Gate>(gate_),
        [](gpointer share) { delete static_cast<std::shared_ptr<Gate>*>(share); });
    g_source_attach(housekeepingSource_.get(), nullptr);

    thread_ = std::thread([this] {
        SPDLOG_INFO("RtspServer start mainloop");
        g_main_loop_run(loop_.get());
        SPDLOG_INFO("RtspServer mainloop returned");
        std::lock_guard lock(loopMutex_);
        loopDone_ = true;
        loopCv_.notify_all();
    });
}

void RtspServer::SetUsers(const std::vector<Config::ServerUser>& users) {
    const auto auth = Adopt(static_cast<GstRTSPAuth*>(g_object_new(AuthHook::Type(), nullptr)));
    Gate::Attach(auth.get(), gate_);
    bool hasInternal = false;
    bool hasExternal = false;

    for (const auto& user : users) {
        const auto basic =
            Adopt(gst_rtsp_auth_make_basic(user.name.c_str(), user.password.c_str()));
        const bool internal = user.role == kRoleInternal;
        const TokenRef token{gst_rtsp_token_new(
            kTokenRole, G_TYPE_STRING, internal ? kRoleInternal.data() : kRoleExternal.data(),
            kTokenUser, G_TYPE_STRING, user.name.c_str(), nullptr)};
        gst_rtsp_auth_add_basic(auth.get(), basic.get(), token.get());
        hasInternal = hasInternal || internal;
        hasExternal = hasExternal || !internal;
    }

    // No default token: a client without credentials is challenged (401).
    gst_rtsp_server_set_auth(server_.get(), auth.get());

    if (!hasInternal || !hasExternal) {
        CloseClientsOfRemovedRoles(hasInternal, hasExternal);
    }
}

bool RtspServer::AddCamera(Config::CameraSettings camera) {
    bool exists = false;
    std::string name;
    std::string path;
    const bool warm = camera.keepWarm;
    {
        std::lock_guard lock(cameraLock_);
        exists = std::any_of(cameras_.begin(), cameras_.end(),
                             [&](const auto& c) { return c.path == camera.path; });
        if (exists) {
            path = camera.path;
        } else {
            name = camera.name;
            path = camera.path;
            cameras_.push_back(camera);
        }
    }
    if (exists) {
        SPDLOG_WARN("Path '{}' already exists", path);
        return false;
    }
    health_->Add(camera);

    const auto mounts = Adopt(gst_rtsp_server_get_mount_points(server_.get()));
    if (!mounts) {
        SPDLOG_ERROR("Failed to configure mount points for server");
        return false;
    }
    SPDLOG_INFO("Provide camera '{}' at path '{}'", name, path);
    // The mount points take the reference added here.
    gst_rtsp_mount_points_add_factory(mounts.get(), path.c_str(),
                                      GST_RTSP_MEDIA_FACTORY(g_object_ref(factory_.get())));
    if (warm) {
        StartWarm(path);
    }
    return true;
}

void RtspServer::RemoveCamera(const std::string& path) {
    SPDLOG_INFO("Remove camera at path '{}'", path);
    {
        std::lock_guard lock(cameraLock_);
        const auto it = std::find_if(cameras_.begin(), cameras_.end(),
                                     [&](const auto& c) { return c.path == path; });
        if (it == cameras_.end()) {
            SPDLOG_WARN("Path '{}' doesn't exist in camera settings", path);
            return;
        }
        cameras_.erase(it);
    }
    health_->Remove(path);

    const auto mounts = Adopt(gst_rtsp_server_get_mount_points(server_.get()));
    if (!mounts) {
        SPDLOG_ERROR("Failed to configure mount points for server");
        return;
    }
    gst_rtsp_mount_points_remove_factory(mounts.get(), path.c_str());
    // A camera mounted again at the path (changed) is pulled anew, never through a media of
    // the one before that is still on its way down.
    rtsp_src_media_factory_retire_path(factory_.get(), path.c_str());
    CloseClientsOfPath(path, PathEnd::Unmounted);
    // Its media goes at once, also when it was lingering or kept warm.
    StopWarm(path);
    ReleaseHolds(path, true);
}

RtspSrcConfig RtspServer::GetRtspSrcConfig(const GstRTSPUrl* url) {
    const std::string_view abspath =
        (url != nullptr && url->abspath != nullptr) ? std::string_view(url->abspath) : "";
    SPDLOG_INFO("Request info for mountpoint on path '{}'", abspath);

    RtspSrcConfig result;
    if (url == nullptr || url->abspath == nullptr) {
        return result;
    }
    std::lock_guard lock(cameraLock_);
    const auto it = std::find_if(cameras_.begin(), cameras_.end(),
                                 [&](const auto& c) { return c.path == abspath; });
    if (it != cameras_.end()) {
        result.url = it->url;
        if (it->auth) {
            result.user = it->auth->name;
            result.password = it->auth->password;
        }
        if (it->transport != Config::Transport::Auto) {
            result.protocols = it->transport == Config::Transport::Tcp ? GST_RTSP_LOWER_TRANS_TCP
                                                                       : GST_RTSP_LOWER_TRANS_UDP;
        }
        result.instantStart = it->instantStart;
    }
    if (result.url) {
        result.media = health_->Media(std::string(abspath));
    }
    return result;
}

void RtspServer::PostToLoop(std::function<void(RtspServer&)> fn) {
    GSource* task = g_idle_source_new();
    g_source_set_callback(task, &Gate::OnLoopTask, new Gate::LoopTask{gate_, std::move(fn)},
                          [](gpointer t) { delete static_cast<Gate::LoopTask*>(t); });
    {
        std::lock_guard lock(tasksLock_);
        tasks_.push_back(Adopt(task));  // the list owns the reference of g_idle_source_new
    }
    g_source_attach(task, nullptr);
}

void RtspServer::FinishTask() {
    std::lock_guard lock(tasksLock_);
    GSource* current = g_main_current_source();
    const auto it = std::find_if(tasks_.begin(), tasks_.end(),
                                 [current](const auto& task) { return task.get() == current; });
    if (it != tasks_.end()) {
        tasks_.erase(it);  // still referenced by the context while it dispatches
    }
}

}  // namespace Norvane::Tavrel
