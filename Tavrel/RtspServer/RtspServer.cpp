#include "Tavrel/RtspServer/RtspServer.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <utility>

namespace Norvane::Tavrel {

namespace {

constexpr std::string_view kRoleInternal = "internal";
constexpr std::string_view kRoleExternal = "external";
constexpr const char* kTokenRole = "media.factory.role";
constexpr const char* kPermAccess = "media.factory.access";
constexpr const char* kPermConstruct = "media.factory.construct";

/// Size of the kernel's interface-request record as SO_BINDTODEVICE reads it, and of its name.
constexpr std::size_t kIfreqSize = 32;
constexpr std::size_t kIfreqNameSize = 16;

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

using gst::Adopt;
using gst::GRef;

/// A token is a mini object, which GRef's GObject release must not be given.
struct TokenUnref {
    void operator()(GstRTSPToken* token) const noexcept { gst_rtsp_token_unref(token); }
};
using TokenRef = std::unique_ptr<GstRTSPToken, TokenUnref>;

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

const char* MethodName(const GstRTSPContext* ctx) {
    const char* name = gst_rtsp_method_as_text(ctx->method);
    return name != nullptr ? name : "";
}

/// Runs `filter` (a callable taking the client, true to close it) over the server's clients.
/// The library holds its server lock while it calls the filter: a filter may take clientLock_
/// and nothing else of ours.
template <typename Filter>
GstRTSPFilterResult RunFilter(GstRTSPServer*, GstRTSPClient* client, gpointer filter) {
    return (*static_cast<Filter*>(filter))(client) ? GST_RTSP_FILTER_REMOVE : GST_RTSP_FILTER_KEEP;
}

template <typename Filter>
void FilterClients(GstRTSPServer* server, Filter filter) {
    // Only REF results are returned; the filters never give one, but release what comes.
    GList* referenced = gst_rtsp_server_client_filter(server, &RunFilter<Filter>, &filter);
    g_list_free_full(referenced, g_object_unref);
}

using Clock = std::chrono::steady_clock;

/// Bytes the peer's side of a connection has sent so far (0 when the kernel does not say).
std::uint64_t BytesReceived(GstRTSPConnection* conn) {
    GSocket* socket = conn != nullptr ? gst_rtsp_connection_get_read_socket(conn) : nullptr;
    if (socket == nullptr) {
        return 0;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return 0;
    }
    return info.tcpi_bytes_received;
}

/// Ends a connection from any thread: the peer is cut off at once, and the library sees the end
/// of its input on the client's own thread and closes the client there as if the peer had left
/// (closing it from another thread races with the client's reads). The connection must be
/// alive: its client has not emitted "closed" yet.
void CutOff(GstRTSPConnection* conn) {
    GSocket* socket = conn != nullptr ? gst_rtsp_connection_get_read_socket(conn) : nullptr;
    if (socket != nullptr && !g_socket_is_closed(socket)) {
        shutdown(g_socket_get_fd(socket), SHUT_RDWR);
    }
}

/// The kernel's TCP state "close wait" (tcp_info::tcpi_state): the peer has closed its side.
constexpr std::uint8_t kTcpStateCloseWait = 8;

/// True when the peer has closed its side of the connection and the library has not yet.
bool PeerLeft(GstRTSPConnection* conn) {
    GSocket* socket = conn != nullptr ? gst_rtsp_connection_get_read_socket(conn) : nullptr;
    if (socket == nullptr || g_socket_is_closed(socket)) {
        return false;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_state == kTcpStateCloseWait;
}

std::string PeerAddress(GstRTSPConnection* conn) {
    const gchar* ip = conn != nullptr ? gst_rtsp_connection_get_ip(conn) : nullptr;
    return ip != nullptr ? ip : "";
}

gboolean CleanupSessions(gpointer pool) {
    const guint removed = gst_rtsp_session_pool_cleanup(GST_RTSP_SESSION_POOL(pool));
    if (removed > 0) {
        SPDLOG_DEBUG("Removed {} expired RTSP sessions", removed);
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

/// The way in for the library's callbacks. Every GObject that may call back (the server, the
/// factory, each client) holds a share of the gate; the RtspServer closes it on destruction
/// and waits for calls in flight, so a late callback never reaches a destroyed object.
class RtspServer::Gate : public std::enable_shared_from_this<Gate> {
public:
    explicit Gate(RtspServer* server) : server_(server) {}

    /// Calls fn(server) while the server lives; otherwise returns `fallback`.
    template <typename Fn, typename R>
    R Call(Fn&& fn, R fallback) {
        RtspServer* server = Enter();
        if (server == nullptr) {
            return fallback;
        }
        Leaver leaver{*this};
        return fn(*server);
    }

    /// Calls fn(server) while the server lives.
    template <typename Fn>
    void Call(Fn&& fn) {
        RtspServer* server = Enter();
        if (server == nullptr) {
            return;
        }
        Leaver leaver{*this};
        fn(*server);
    }

    /// No call enters after this; returns when the calls in flight have left.
    void Close() {
        std::unique_lock lock(mutex_);
        server_ = nullptr;
        idle_.wait(lock, [this] { return active_ == 0; });
    }

    /// Keeps the gate alive as long as `object` lives.
    static void Attach(gpointer object, const std::shared_ptr<Gate>& gate) {
        g_object_set_qdata_full(
            G_OBJECT(object), Quark(), new std::shared_ptr<Gate>(gate),
            [](gpointer share) { delete static_cast<std::shared_ptr<Gate>*>(share); });
    }

    /// The gate attached to `object`, if any.
    static Gate* Of(gpointer object) {
        auto* share =
            static_cast<std::shared_ptr<Gate>*>(g_object_get_qdata(G_OBJECT(object), Quark()));
        return share != nullptr ? share->get() : nullptr;
    }

    // Trampolines; `data` is the Gate.
    static void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer data) {
        static_cast<Gate*>(data)->Call([client](RtspServer& s) { s.AddClient(client); });
    }
    static GstRTSPStatusCode OnPreRequest(GstRTSPClient* client, GstRTSPContext* ctx,
                                          gpointer data) {
        return static_cast<Gate*>(data)->Call(
            [client, ctx](RtspServer& s) { return s.HandlePreRequest(client, ctx); },
            GST_RTSP_STS_SERVICE_UNAVAILABLE);
    }
    static void OnRequest(GstRTSPClient* client, GstRTSPContext* ctx, gpointer data) {
        static_cast<Gate*>(data)->Call(
            [client, ctx](RtspServer& s) { s.HandleRequest(client, ctx); });
    }
    static void OnClosed(GstRTSPClient* client, gpointer data) {
        static_cast<Gate*>(data)->Call([client](RtspServer& s) { s.RemoveClient(client); });
    }
    static void OnSessionRemoved(GstRTSPSessionPool*, GstRTSPSession* session, gpointer data) {
        static_cast<Gate*>(data)->Call([session](RtspServer& s) { s.OnSessionRemoved(session); });
    }
    static gboolean OnHousekeeping(gpointer data) {
        static_cast<std::shared_ptr<Gate>*>(data)->get()->Call(
            [](RtspServer& s) { s.Housekeeping(); });
        return G_SOURCE_CONTINUE;
    }
    static RtspSrcConfig OnConfig(const GstRTSPUrl* url, gpointer data) {
        return static_cast<Gate*>(data)->Call(
            [url](RtspServer& s) { return s.GetRtspSrcConfig(url); }, RtspSrcConfig{});
    }

    // A camera's media failed or ended; on a streaming thread of the media.
    static void OnCameraStopped(const gchar* path, const gchar* reason, gpointer data) {
        static_cast<Gate*>(data)->Call(
            [path, reason](RtspServer& s) { s.OnCameraStopped(path, reason); });
    }

    /// An idle task of the server's loop.
    struct LoopTask {
        std::shared_ptr<Gate> gate;
        std::function<void(RtspServer&)> fn;
    };

    static gboolean OnLoopTask(gpointer data) {
        auto* task = static_cast<LoopTask*>(data);
        task->gate->Call([task](RtspServer& s) {
            s.FinishTask();
            task->fn(s);
        });
        return G_SOURCE_REMOVE;
    }

private:
    struct Leaver {
        Gate& gate;
        ~Leaver() {
            std::lock_guard lock(gate.mutex_);
            if (--gate.active_ == 0) {
                gate.idle_.notify_all();
            }
        }
    };

    RtspServer* Enter() {
        std::lock_guard lock(mutex_);
        if (server_ != nullptr) {
            ++active_;
        }
        return server_;
    }

    static GQuark Quark() {
        static const GQuark kQuark = g_quark_from_static_string("tavrel-rtsp-server-gate");
        return kQuark;
    }

    // A leaf: held only to count calls in and out, never while a call runs.
    std::mutex mutex_;              /* protects server_ and active_ */
    std::condition_variable idle_;  // with mutex_: active_ dropped to 0
    RtspServer* server_;
    unsigned active_{0};
};

/// The library's authentication object with the front door before its own checks: a new
/// connection must pass the connection caps, and every request except OPTIONS must carry valid
/// credentials before the library looks at its path or the admission handlers run.
struct RtspServer::AuthHook {
    static GType Type() {
        static const GType kType = g_type_register_static_simple(
            GST_TYPE_RTSP_AUTH, g_intern_static_string("TavrelRtspAuth"), sizeof(GstRTSPAuthClass),
            [](gpointer klass, gpointer) {
                parent = GST_RTSP_AUTH_CLASS(g_type_class_peek_parent(klass));
                GST_RTSP_AUTH_CLASS(klass)->check = &AuthHook::Check;
            },
            sizeof(GstRTSPAuth), nullptr, GTypeFlags{});
        return kType;
    }

    static gboolean Check(GstRTSPAuth* auth, GstRTSPContext* ctx, const gchar* check) {
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

    static gboolean Authenticate(GstRTSPAuth* auth, GstRTSPContext* ctx) {
        return parent->authenticate(auth, ctx);
    }

    static inline GstRTSPAuthClass* parent = nullptr;
};

std::unique_ptr<IRtspServer> RtspServer::Create(const Config& config,
                                                const FrontDoorLimits& limits) {
    const auto& settings = config.rtspServerSettings;

    // 1. The library's server.
    auto server = Adopt(gst_rtsp_server_new());
    if (!server) {
        SPDLOG_ERROR("Failed to create gst_rtsp_server");
        return {};
    }

    // 2. Service and address.
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
    // answers would then stall the requests of every other client.
    gst_rtsp_thread_pool_set_max_threads(Adopt(gst_rtsp_server_get_thread_pool(server.get())).get(),
                                         kClientThreads);

    // 3./4. The listening socket, bound to its interface before it listens: no connection on
    // another interface can reach the backlog in between.
    GError* error = nullptr;
    auto socket = Adopt(
        g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error));
    if (!socket) {
        SPDLOG_ERROR("Failed to create socket: {}", error != nullptr ? error->message : "");
        g_clear_error(&error);
        return {};
    }
    const bool anyInterface = settings.interface == "any";
    // The name field of struct ifreq comes first; a longer name is cut to its 16 bytes.
    std::array<char, kIfreqSize> request{};
    if (!anyInterface) {
        std::memcpy(request.data(), settings.interface.data(),
                    std::min(settings.interface.size(), kIfreqNameSize));
        if (setsockopt(g_socket_get_fd(socket.get()), SOL_SOCKET, SO_BINDTODEVICE, request.data(),
                       static_cast<socklen_t>(request.size())) < 0) {
            SPDLOG_ERROR("setsockopt(SO_BINDTODEVICE) failed");
            return {};
        }
    }
    if (!ListenOn(socket.get(), settings.port, gst_rtsp_server_get_backlog(server.get()), &error)) {
        SPDLOG_ERROR("Failed to create socket: {}", error != nullptr ? error->message : "");
        g_clear_error(&error);
        return {};
    }
    SPDLOG_DEBUG("Socket created");
    if (anyInterface) {
        SPDLOG_DEBUG("Listen on all interfaces");
    } else {
        SPDLOG_DEBUG("Bound socket to interface '{}'",
                     std::string_view(request.data(), strnlen(request.data(), kIfreqNameSize)));
    }

    // 5. The one media factory, shared, both roles with both permissions.
    auto factory = Adopt(rtsp_src_media_factory_new());
    auto* base = GST_RTSP_MEDIA_FACTORY(factory.get());
    gst_rtsp_media_factory_set_shared(base, TRUE);
    for (const auto role : {kRoleInternal, kRoleExternal}) {
        gst_rtsp_media_factory_add_role(base, role.data(), kPermAccess, G_TYPE_BOOLEAN, TRUE,
                                        kPermConstruct, G_TYPE_BOOLEAN, TRUE, nullptr);
    }

    // 6. The socket's watch source on the default main context. It holds a reference on the
    // server, so that a dispatch already under way when an instance goes away stays safe.
    auto source = Adopt(g_socket_create_source(
        socket.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP | G_IO_NVAL),
        nullptr));
    g_source_set_callback(source.get(), G_SOURCE_FUNC(gst_rtsp_server_io_func),
                          g_object_ref(server.get()), g_object_unref);
    if (g_source_attach(source.get(), nullptr) == 0) {
        SPDLOG_ERROR("Failed to attach source to default context");
        return {};
    }
    SPDLOG_DEBUG("Source attached to default context");

    // 7. The object takes the four handles.
    std::unique_ptr<RtspServer> self{new RtspServer(std::move(server), std::move(factory),
                                                    std::move(socket), std::move(source), limits)};

    // 8. Users.
    self->SetUsers(settings.users);

    // 9. The factory's lookup goes through the gate, which the factory keeps alive.
    Gate::Attach(self->factory_.get(), self->gate_);
    rtsp_src_media_factory_set_config_func(self->factory_.get(), &Gate::OnConfig,
                                           self->gate_.get());
    // A camera that fails mid-stream must not leave its clients on a dead media, which would
    // also be handed to every new client of the path.
    rtsp_src_media_factory_set_stopped_func(self->factory_.get(), &Gate::OnCameraStopped,
                                            self->gate_.get());

    // 10. Cameras.
    for (const auto& camera : config.cameras) {
        if (!self->AddCamera(camera)) {
            SPDLOG_ERROR("Failed to add camera '{}'", camera.name);
        }
    }

    // 11.
    SPDLOG_INFO("Created RtspServer at rtsp://0.0.0.0:{} on interface '{}'", settings.port,
                settings.interface.empty() ? std::string_view("any")
                                           : std::string_view(settings.interface));
    return self;
}

RtspServer::RtspServer(GRef<GstRTSPServer> server, GRef<RtspSrcMediaFactory> factory,
                       GRef<GSocket> socket, GRef<GSource> source, const FrontDoorLimits& limits)
    : server_(std::move(server)),
      factory_(std::move(factory)),
      socket_(std::move(socket)),
      source_(std::move(source)),
      loop_(Adopt(g_main_loop_new(nullptr, FALSE))),
      frontDoor_(limits),
      gate_(std::make_shared<Gate>(this)) {}

RtspServer::~RtspServer() {
    // 1. Every connected client.
    CloseAllClients();

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
    const TokenRef internal{
        gst_rtsp_token_new(kTokenRole, G_TYPE_STRING, kRoleInternal.data(), nullptr)};
    const TokenRef external{
        gst_rtsp_token_new(kTokenRole, G_TYPE_STRING, kRoleExternal.data(), nullptr)};
    const auto auth = Adopt(static_cast<GstRTSPAuth*>(g_object_new(AuthHook::Type(), nullptr)));
    Gate::Attach(auth.get(), gate_);
    bool hasInternal = false;
    bool hasExternal = false;

    for (const auto& user : users) {
        const auto basic =
            Adopt(gst_rtsp_auth_make_basic(user.name.c_str(), user.password.c_str()));
        if (user.role == kRoleInternal) {
            gst_rtsp_auth_add_basic(auth.get(), basic.get(), internal.get());
            hasInternal = true;
        } else {
            gst_rtsp_auth_add_basic(auth.get(), basic.get(), external.get());
            hasExternal = true;
        }
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
    {
        std::lock_guard lock(cameraLock_);
        exists = std::any_of(cameras_.begin(), cameras_.end(),
                             [&](const auto& c) { return c.path == camera.path; });
        if (exists) {
            path = camera.path;
        } else {
            name = camera.name;
            path = camera.path;
            cameras_.push_back(std::move(camera));
        }
    }
    if (exists) {
        SPDLOG_WARN("Path '{}' already exists", path);
        return false;
    }

    const auto mounts = Adopt(gst_rtsp_server_get_mount_points(server_.get()));
    if (!mounts) {
        SPDLOG_ERROR("Failed to configure mount points for server");
        return false;
    }
    SPDLOG_INFO("Provide camera '{}' at path '{}'", name, path);
    // The mount points take the reference added here.
    gst_rtsp_mount_points_add_factory(mounts.get(), path.c_str(),
                                      GST_RTSP_MEDIA_FACTORY(g_object_ref(factory_.get())));
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

    const auto mounts = Adopt(gst_rtsp_server_get_mount_points(server_.get()));
    if (!mounts) {
        SPDLOG_ERROR("Failed to configure mount points for server");
        return;
    }
    gst_rtsp_mount_points_remove_factory(mounts.get(), path.c_str());
    CloseClientsOfPath(path, PathEnd::Unmounted);
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
    }
    return result;
}

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
    SPDLOG_DEBUG("Client {}: Connection from {}", fmt::ptr(client), entry.address);
    Gate::Attach(client, gate_);
    for (std::size_t i = 0; i < kClientSignals.size(); ++i) {
        const std::string_view signal = kClientSignals[i];
        GCallback callback = signal == "closed"              ? G_CALLBACK(&Gate::OnClosed)
                             : signal.substr(0, 4) == "pre-" ? G_CALLBACK(&Gate::OnPreRequest)
                                                             : G_CALLBACK(&Gate::OnRequest);
        entry.handlerIds[i] = g_signal_connect(client, kClientSignals[i], callback, gate_.get());
    }

    std::lock_guard lock(clientLock_);
    clients_.push_back(std::move(entry));
}

GstRTSPStatusCode RtspServer::HandlePreRequest(GstRTSPClient* client, GstRTSPContext* ctx) {
    SPDLOG_INFO("Client {}: Handle Pre-{} request", fmt::ptr(client), MethodName(ctx));
    if (ctx->method == GST_RTSP_PAUSE || ctx->method == GST_RTSP_TEARDOWN) {
        return GST_RTSP_STS_OK;
    }

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

    std::lock_guard lock(clientLock_);
    ClientEntry* it = FindClientLocked(client);
    if (it == nullptr) {
        SPDLOG_WARN("Client {}: Unknown", fmt::ptr(client));
        return;
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
    std::lock_guard lock(clientLock_);
    ClientEntry* entry = FindClientLocked(client);
    // Clients that never authenticated come and go at debug level.
    const auto level =
        entry == nullptr || entry->authenticated ? spdlog::level::info : spdlog::level::debug;
    SPDLOG_LOGGER_CALL(spdlog::default_logger_raw(), level, "Client {}: Closed", fmt::ptr(client));
    if (entry != nullptr) {
        for (const gulong id : entry->handlerIds) {
            g_signal_handler_disconnect(client, id);
        }
        clients_.erase(clients_.begin() + (entry - clients_.data()));
        clientsChanged_.notify_all();
    }
    SPDLOG_LOGGER_CALL(spdlog::default_logger_raw(), level,
                       "Client {}: Removed ({}/{} clients playing)", fmt::ptr(client),
                       CountPlayingLocked(), clients_.size());
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

void RtspServer::OnSessionRemoved(GstRTSPSession* session) {
    std::lock_guard lock(clientLock_);
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
        }
        return;
    }
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

void RtspServer::OnCameraStopped(const std::string& path, const std::string& reason) {
    SPDLOG_WARN("Camera at path '{}' stopped: {}", path, reason);
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
