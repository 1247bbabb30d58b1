#include "Tavrel/RtspServer/ClientThreads.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace Norvane::Tavrel {

using gst::Adopt;
using gst::GRef;

namespace {

/* What is kept on a client from the moment it is given a thread until it closed: the main
 * context that serves it, and a descriptor of its connection of our own, so that another thread
 * can shut the connection down (the peer sees it closed at once) without touching the library's
 * socket, which the client's thread may be closing at the same moment. */
struct ClientThread {
    GRef<GMainContext> context;
    int socket{-1};
    ClientThread(GMainContext* c, int s) : context(g_main_context_ref(c)), socket(s) {}
    ~ClientThread() {
        if (socket >= 0)
            close(socket);
    }
    ClientThread(const ClientThread&) = delete;
    ClientThread& operator=(const ClientThread&) = delete;
};
using ClientThreadRef = std::shared_ptr<ClientThread>;

GQuark ClientThreadQuark() {
    static const GQuark kQuark = g_quark_from_static_string("tavrel-client-thread");
    return kQuark;
}

void FreeClientThreadRef(gpointer data) {
    delete static_cast<ClientThreadRef*>(data);
}

gpointer DupClientThreadRef(gpointer data, gpointer) {
    return data != nullptr ? new ClientThreadRef(*static_cast<ClientThreadRef*>(data)) : nullptr;
}

/* Our own descriptor of the client's connection; -1 when there is none. */
int DupClientSocket(GstRTSPClient* client) {
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    GSocket* socket =
        connection != nullptr ? gst_rtsp_connection_get_read_socket(connection) : nullptr;
    const int fd = socket != nullptr ? fcntl(g_socket_get_fd(socket), F_DUPFD_CLOEXEC, 0) : -1;
    if (socket != nullptr && fd < 0)
        SPDLOG_WARN("RTSP client {}: no descriptor to close its connection from elsewhere: {}",
                    fmt::ptr(client), std::strerror(errno));
    return fd;
}

/* The one thread all media of a pool share while it is started (StartSharedMediaThread). */
struct SharedMediaThread {
    std::mutex mutex;                 /* guards thread and started; a leaf */
    GstRTSPThread* thread = nullptr;  // the pool's own use of it (gst_rtsp_thread_stop gives it up)
    bool started = false;
};

struct ClientThreadPool {
    GstRTSPThreadPool parent;
    SharedMediaThread* media;
};

struct ClientThreadPoolClass {
    GstRTSPThreadPoolClass parent_class;
};

gpointer client_thread_pool_parent_class = nullptr;

void OnClientClosed(GstRTSPClient* client, gpointer) {
    g_object_set_qdata(G_OBJECT(client), ClientThreadQuark(), nullptr);
}

GstRTSPThread* ParentGetThread(GstRTSPThreadPool* pool, GstRTSPThreadType type,
                               GstRTSPContext* ctx) {
    return GST_RTSP_THREAD_POOL_CLASS(client_thread_pool_parent_class)->get_thread(pool, type, ctx);
}

/* Another use of the shared media thread, or nullptr when it is not started. Each use ends with
 * gst_rtsp_thread_stop (the media's unprepare); the thread's loop ends with its last use. */
GstRTSPThread* ReuseSharedMediaThread(GstRTSPThreadPool* pool, GstRTSPContext* ctx) {
    SharedMediaThread& shared = *reinterpret_cast<ClientThreadPool*>(pool)->media;
    const std::lock_guard lock(shared.mutex);
    if (!shared.started)
        return nullptr;
    if (shared.thread == nullptr)
        shared.thread = ParentGetThread(pool, GST_RTSP_THREAD_TYPE_MEDIA, ctx);
    // The pool's own use keeps the count above 0, so a reuse cannot fail while it is held.
    return shared.thread != nullptr && gst_rtsp_thread_reuse(shared.thread) ? shared.thread
                                                                            : nullptr;
}

GstRTSPThread* client_thread_pool_get_thread(GstRTSPThreadPool* pool, GstRTSPThreadType type,
                                             GstRTSPContext* ctx) {
    if (type == GST_RTSP_THREAD_TYPE_MEDIA) {
        if (GstRTSPThread* shared = ReuseSharedMediaThread(pool, ctx))
            return shared;
    }
    GstRTSPThread* thread = ParentGetThread(pool, type, ctx);
    // The server asks once per client, before it attaches the client to the thread's context.
    if (thread != nullptr && type == GST_RTSP_THREAD_TYPE_CLIENT && ctx != nullptr &&
        ctx->client != nullptr) {
        g_object_set_qdata_full(G_OBJECT(ctx->client), ClientThreadQuark(),
                                new ClientThreadRef(std::make_shared<ClientThread>(
                                    thread->context, DupClientSocket(ctx->client))),
                                FreeClientThreadRef);
        g_signal_connect(ctx->client, "closed", G_CALLBACK(OnClientClosed), nullptr);
    }
    return thread;
}

void client_thread_pool_finalize(GObject* object) {
    // No shared thread is left: each holds its pool (a reference of the library's thread).
    delete reinterpret_cast<ClientThreadPool*>(object)->media;
    G_OBJECT_CLASS(client_thread_pool_parent_class)->finalize(object);
}

void client_thread_pool_class_init(gpointer klass, gpointer) {
    client_thread_pool_parent_class = g_type_class_peek_parent(klass);
    G_OBJECT_CLASS(klass)->finalize = client_thread_pool_finalize;
    GST_RTSP_THREAD_POOL_CLASS(klass)->get_thread = client_thread_pool_get_thread;
}

void client_thread_pool_init(GTypeInstance* instance, gpointer) {
    reinterpret_cast<ClientThreadPool*>(instance)->media = new SharedMediaThread;
}

GType client_thread_pool_get_type() {
    static gsize type_id = 0;
    if (g_once_init_enter(&type_id)) {
        const GType type = g_type_register_static_simple(
            GST_TYPE_RTSP_THREAD_POOL, g_intern_static_string("TavrelClientThreadPool"),
            sizeof(ClientThreadPoolClass), client_thread_pool_class_init, sizeof(ClientThreadPool),
            client_thread_pool_init, static_cast<GTypeFlags>(0));
        g_once_init_leave(&type_id, type);
    }
    return type_id;
}

/* The closes of one call that have not run yet. */
struct PendingCloses {
    std::mutex mutex; /* guards left */
    std::condition_variable changed;
    std::size_t left = 0;
};

/* One close posted to a client's context. The client is held weakly: the source must not keep
 * alive the client that keeps its context alive. */
struct CloseTask {
    GWeakRef client;
    std::shared_ptr<PendingCloses> pending;
};

gboolean RunClose(gpointer data) {
    auto* task = static_cast<CloseTask*>(data);
    if (auto client = Adopt(static_cast<GstRTSPClient*>(g_weak_ref_get(&task->client))))
        gst_rtsp_client_close(client.get());
    return G_SOURCE_REMOVE;
}

/* After the close ran, or when its context went away before. */
void FreeCloseTask(gpointer data) {
    auto* task = static_cast<CloseTask*>(data);
    g_weak_ref_clear(&task->client);
    {
        const std::lock_guard lock(task->pending->mutex);
        --task->pending->left;
    }
    task->pending->changed.notify_all();
    delete task;
}

}  // namespace

GRef<GstRTSPThreadPool> NewClientThreadPool(int maxThreads) {
    auto pool = Adopt(
        static_cast<GstRTSPThreadPool*>(g_object_new(client_thread_pool_get_type(), nullptr)));
    gst_rtsp_thread_pool_set_max_threads(pool.get(), maxThreads);
    return pool;
}

void StartSharedMediaThread(GstRTSPThreadPool* pool) {
    g_return_if_fail(G_TYPE_CHECK_INSTANCE_TYPE(pool, client_thread_pool_get_type()));
    {
        SharedMediaThread& shared = *reinterpret_cast<ClientThreadPool*>(pool)->media;
        const std::lock_guard lock(shared.mutex);
        shared.started = true;
    }
    // Started now rather than with the first camera; the public call sets the library's
    // thread pool up on first use.
    if (GstRTSPThread* thread =
            gst_rtsp_thread_pool_get_thread(pool, GST_RTSP_THREAD_TYPE_MEDIA, nullptr))
        gst_rtsp_thread_stop(thread);
}

void StopSharedMediaThread(GstRTSPThreadPool* pool) {
    g_return_if_fail(G_TYPE_CHECK_INSTANCE_TYPE(pool, client_thread_pool_get_type()));
    GstRTSPThread* thread = nullptr;
    {
        SharedMediaThread& shared = *reinterpret_cast<ClientThreadPool*>(pool)->media;
        const std::lock_guard lock(shared.mutex);
        shared.started = false;
        thread = std::exchange(shared.thread, nullptr);
    }
    if (thread != nullptr)
        gst_rtsp_thread_stop(thread);
}

std::vector<GRef<GstRTSPClient>> AdoptClientList(GList* clients) {
    std::vector<GRef<GstRTSPClient>> held;
    for (GList* l = clients; l != nullptr; l = l->next)
        held.push_back(Adopt(static_cast<GstRTSPClient*>(l->data)));
    g_list_free(clients);
    return held;
}

void CloseClientsOnTheirThreads(const std::vector<GRef<GstRTSPClient>>& clients,
                                std::chrono::milliseconds patience) {
    auto pending = std::make_shared<PendingCloses>();
    for (const auto& client : clients) {
        const std::unique_ptr<ClientThreadRef> thread(
            static_cast<ClientThreadRef*>(g_object_dup_qdata(
                G_OBJECT(client.get()), ClientThreadQuark(), DupClientThreadRef, nullptr)));
        if (!thread || g_main_context_is_owner((*thread)->context.get())) {
            gst_rtsp_client_close(client.get());
            continue;
        }
        // The peer sees its connection end now, even when the client's thread is busy.
        if ((*thread)->socket >= 0)
            shutdown((*thread)->socket, SHUT_RDWR);
        auto* task = new CloseTask{{}, pending};
        g_weak_ref_init(&task->client, client.get());
        {
            const std::lock_guard lock(pending->mutex);
            ++pending->left;
        }
        const auto source = Adopt(g_idle_source_new());
        g_source_set_priority(source.get(), G_PRIORITY_HIGH);
        g_source_set_callback(source.get(), RunClose, task, FreeCloseTask);
        g_source_attach(source.get(), (*thread)->context.get());
    }
    std::unique_lock lock(pending->mutex);
    if (!pending->changed.wait_for(lock, patience, [&] { return pending->left == 0; })) {
        SPDLOG_INFO("{} RTSP client(s) busy with a request: each is closed when its request ends",
                    pending->left);
    }
}

}  // namespace Norvane::Tavrel
