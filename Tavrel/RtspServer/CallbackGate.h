#pragma once

// The gate through which the library's callbacks reach the RtspServer while it lives, with the
// trampolines that the server connects to the library's signals and sources.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "Tavrel/RtspServer/RtspServer.h"

namespace Norvane::Tavrel {

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

}  // namespace Norvane::Tavrel
