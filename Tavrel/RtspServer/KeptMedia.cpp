// Media the server keeps running without clients: a camera's media lingers for a while after its
// last client left, so that a client coming back joins the running stream, and a camera kept warm
// is pulled for as long as it is mounted.
//
// The library unprepares a shared media (stops its pipeline, which closes the camera's
// connection) when the last of its prepare counts is given back; each client holds one while it
// uses the media. The server holds one more of its own on such a media, and gives it back when
// the media is no longer wanted.

#include <spdlog/spdlog.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "Tavrel/RtspServer/CallbackGate.h"
#include "Tavrel/RtspServer/RtspServer.h"

namespace Norvane::Tavrel {

namespace {

using gst::Adopt;
using gst::Share;

/// Whether the request path `path` is the camera path `camera` or lies below it.
bool IsBelow(std::string_view path, std::string_view camera) {
    return !camera.empty() && path.starts_with(camera) &&
           (path.size() == camera.size() || path[camera.size()] == '/');
}

/// A prepared live media holds its packets back until a client plays it. A camera kept warm
/// plays without one, so that its key-frame cache stays current and its health shows the
/// camera's packets: each stream gets the sending part a TCP client would get (the part over
/// which the packets flow while no client takes them), and the pipeline plays. Clients then
/// join a playing media, as they join a lingering one. False when it cannot.
bool PlayUnwatched(GstRTSPMedia* media) {
    for (guint i = 0; i < gst_rtsp_media_n_streams(media); ++i) {
        GstRTSPTransport* made = nullptr;
        if (gst_rtsp_transport_new(&made) != GST_RTSP_OK) {
            return false;
        }
        const std::unique_ptr<GstRTSPTransport, decltype(&gst_rtsp_transport_free)> transport(
            made, &gst_rtsp_transport_free);
        transport->trans = GST_RTSP_TRANS_RTP;
        transport->profile = GST_RTSP_PROFILE_AVP;
        transport->lower_transport = GST_RTSP_LOWER_TRANS_TCP;
        if (!gst_rtsp_stream_complete_stream(gst_rtsp_media_get_stream(media, i),
                                             transport.get())) {
            return false;
        }
    }
    const auto noTransports = Adopt(g_ptr_array_new());
    return gst_rtsp_media_set_state(media, GST_STATE_PLAYING, noTransports.get()) != FALSE;
}

}  // namespace

void RtspServer::HoldPlayedMedia(GstRTSPContext* ctx) {
    if (ctx->media == nullptr || ctx->uri == nullptr || ctx->uri->abspath == nullptr) {
        return;
    }
    const std::string_view requested = ctx->uri->abspath;
    std::string path;
    unsigned linger = 0;
    {
        std::lock_guard lock(cameraLock_);
        for (const auto& camera : cameras_) {
            if (IsBelow(requested, camera.path) && camera.path.size() > path.size()) {
                path = camera.path;
                linger = camera.lingerSeconds;
            }
        }
    }
    if (path.empty() || linger == 0) {
        return;
    }
    {
        std::lock_guard lock(holdLock_);
        if (std::any_of(holds_.begin(), holds_.end(),
                        [ctx](const Hold& hold) { return hold.media.get() == ctx->media; })) {
            return;
        }
    }
    // The library serialises the requests on one media (its media lock is held here), so no
    // other PLAY adds a hold of the same media meanwhile. A media that failed is not held.
    if (!gst_rtsp_media_prepare(ctx->media, nullptr)) {
        return;
    }
    std::lock_guard lock(holdLock_);
    holds_.push_back(Hold{path, Share(ctx->media), std::chrono::seconds(linger), false});
}

void RtspServer::ScheduleLinger(const std::string& path) {
    {
        std::lock_guard lock(clientLock_);
        if (std::any_of(clients_.begin(), clients_.end(), [&](const ClientEntry& e) {
                return e.playing && (IsBelow(e.path, path) || IsBelow(path, e.path));
            })) {
            return;  // the end of that client's session schedules it again
        }
    }
    std::lock_guard lock(holdLock_);
    const auto hold = std::find_if(holds_.begin(), holds_.end(),
                                   [&](const Hold& h) { return !h.warm && IsBelow(path, h.path); });
    if (hold == holds_.end()) {
        return;
    }
    const std::string camera = hold->path;
    if (const auto it = lingerTimers_.find(camera); it != lingerTimers_.end()) {
        g_source_destroy(it->second.get());
        lingerTimers_.erase(it);
    }
    struct Task {
        std::shared_ptr<Gate> gate;
        std::string path;
    };
    auto timer = Adopt(g_timeout_source_new_seconds(static_cast<guint>(hold->linger.count())));
    g_source_set_callback(
        timer.get(),
        [](gpointer data) -> gboolean {
            auto* task = static_cast<Task*>(data);
            task->gate->Call([task](RtspServer& s) { s.LingerExpired(task->path); });
            return G_SOURCE_REMOVE;
        },
        new Task{gate_, camera}, [](gpointer data) { delete static_cast<Task*>(data); });
    g_source_attach(timer.get(), nullptr);
    lingerTimers_.emplace(camera, std::move(timer));
    SPDLOG_INFO("Camera at path '{}' keeps running for {} s without clients", camera,
                hold->linger.count());
}

void RtspServer::LingerExpired(const std::string& path) {
    {
        std::lock_guard lock(holdLock_);
        const auto it = lingerTimers_.find(path);
        // A timer replaced while it was being dispatched leaves the decision to its successor.
        if (it == lingerTimers_.end() || it->second.get() != g_main_current_source()) {
            return;
        }
        lingerTimers_.erase(it);  // still referenced by the context while it dispatches
    }
    {
        std::lock_guard lock(clientLock_);
        if (std::any_of(clients_.begin(), clients_.end(),
                        [&](const ClientEntry& e) { return e.playing && IsBelow(e.path, path); })) {
            return;
        }
    }
    std::vector<Hold> released;
    {
        std::lock_guard lock(holdLock_);
        const auto kept = std::stable_partition(
            holds_.begin(), holds_.end(), [&](const Hold& h) { return h.warm || h.path != path; });
        std::move(kept, holds_.end(), std::back_inserter(released));
        holds_.erase(kept, holds_.end());
    }
    GiveBack(std::move(released), "no client came back");
}

void RtspServer::ReleaseHolds(const std::string& path, bool warm) {
    std::vector<Hold> released;
    {
        std::lock_guard lock(holdLock_);
        const auto kept = std::stable_partition(holds_.begin(), holds_.end(), [&](const Hold& h) {
            return (!path.empty() && h.path != path) || (h.warm && !warm);
        });
        std::move(kept, holds_.end(), std::back_inserter(released));
        holds_.erase(kept, holds_.end());
        for (auto it = lingerTimers_.begin(); it != lingerTimers_.end();) {
            if (path.empty() || it->first == path) {
                g_source_destroy(it->second.get());
                it = lingerTimers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    GiveBack(std::move(released), path.empty() ? "the server stops" : "the camera was removed");
}

void RtspServer::GiveBack(std::vector<Hold> holds, const char* why) {
    for (auto& hold : holds) {
        SPDLOG_INFO("Camera at path '{}' is no longer kept running: {}", hold.path, why);
        // The pipeline stops here unless a client still uses the media.
        gst_rtsp_media_unprepare(hold.media.get());
    }
}

void RtspServer::DropFailedHolds(const std::string& path) {
    std::vector<Hold> failed;
    {
        std::lock_guard lock(holdLock_);
        const auto kept = std::stable_partition(
            holds_.begin(), holds_.end(), [&](const Hold& h) { return !IsBelow(path, h.path); });
        std::move(kept, holds_.end(), std::back_inserter(failed));
        holds_.erase(kept, holds_.end());
        for (const auto& hold : failed) {
            if (const auto it = lingerTimers_.find(hold.path); it != lingerTimers_.end()) {
                g_source_destroy(it->second.get());
                lingerTimers_.erase(it);
            }
        }
    }
    if (failed.empty()) {
        // A camera kept warm may fail between its pull and its hold: the pull learns it there.
        std::lock_guard lock(warmLock_);
        for (auto& [warmPath, camera] : warm_) {
            if (IsBelow(path, warmPath) && camera.due == WarmCamera::Clock::time_point::max() &&
                camera.upSince == WarmCamera::Clock::time_point{}) {
                camera.failedWhilePulled = true;
            }
        }
        return;
    }
    std::string warmPath;
    for (const auto& hold : failed) {
        if (hold.warm) {
            warmPath = hold.path;
        }
    }
    // A media is not stopped from its own streaming thread: the loop gives the holds back (or
    // the server's destruction, should the task never run). The task owns the only reference.
    std::shared_ptr<std::vector<Hold>> pending(
        new std::vector<Hold>(std::move(failed)), [](std::vector<Hold>* holds) {
            GiveBack(std::move(*holds), "the camera stopped");
            delete holds;
        });
    PostToLoop([pending = std::move(pending)](RtspServer&) {});
    if (!warmPath.empty()) {
        std::lock_guard lock(warmLock_);
        if (const auto it = warm_.find(warmPath); it != warm_.end()) {
            RetryLaterLocked(it->first, it->second);
            warmChanged_.notify_all();
        }
    }
}

void RtspServer::StartWarm(const std::string& path) {
    std::lock_guard lock(warmLock_);
    warm_[path] = WarmCamera{++nextWarmId_, WarmCamera::Clock::now()};
    if (!warmThread_.joinable()) {
        warmThread_ = std::thread([this] { WarmLoop(); });
    }
    warmChanged_.notify_all();
}

void RtspServer::StopWarm(const std::string& path) {
    std::lock_guard lock(warmLock_);
    if (warm_.erase(path) > 0) {
        warmChanged_.notify_all();
    }
    if (warmPreparing_ && warmPreparingPath_ == path) {
        rtsp_src_media_factory_abandon_media(warmPreparing_.get());
    }
}

void RtspServer::StopWarmThread() {
    {
        std::lock_guard lock(warmLock_);
        warmStopping_ = true;
        warmChanged_.notify_all();
        if (warmPreparing_) {
            rtsp_src_media_factory_abandon_media(warmPreparing_.get());
        }
    }
    if (warmThread_.joinable()) {
        warmThread_.join();
    }
}

void RtspServer::WarmLoop() {
    using Clock = WarmCamera::Clock;
    std::unique_lock lock(warmLock_);
    while (!warmStopping_) {
        auto next = warm_.end();
        for (auto it = warm_.begin(); it != warm_.end(); ++it) {
            if (next == warm_.end() || it->second.due < next->second.due) {
                next = it;
            }
        }
        if (next == warm_.end() || next->second.due == Clock::time_point::max()) {
            warmChanged_.wait(lock);
            continue;
        }
        if (next->second.due > Clock::now()) {
            warmChanged_.wait_until(lock, next->second.due);
            continue;
        }
        next->second.due = Clock::time_point::max();
        next->second.failedWhilePulled = false;
        const std::string path = next->first;
        const std::uint64_t id = next->second.id;
        lock.unlock();
        const bool up = WarmUp(path, id);
        lock.lock();
        if (const auto it = warm_.find(path); !up && it != warm_.end() && it->second.id == id) {
            RetryLaterLocked(path, it->second);
        }
    }
}

bool RtspServer::WarmUp(const std::string& path, std::uint64_t id) {
    GstRTSPUrl* url = nullptr;
    const std::string location = "rtsp://127.0.0.1" + path;
    if (gst_rtsp_url_parse(location.c_str(), &url) != GST_RTSP_OK || url == nullptr) {
        SPDLOG_ERROR("Camera at path '{}' cannot be kept warm: not a valid path", path);
        return false;
    }
    auto media =
        Adopt(gst_rtsp_media_factory_construct(GST_RTSP_MEDIA_FACTORY(factory_.get()), url));
    gst_rtsp_url_free(url);
    if (!media) {
        SPDLOG_WARN("Camera at path '{}' could not be pulled to keep it warm", path);
        return false;
    }
    // Noted while it prepares, so that a stop or the camera's removal gives it up at once.
    {
        std::lock_guard lock(warmLock_);
        const auto it = warm_.find(path);
        if (warmStopping_ || it == warm_.end() || it->second.id != id) {
            return true;  // not wanted any more; nothing failed
        }
        warmPreparing_ = Share(media.get());
        warmPreparingPath_ = path;
    }
    // Its own thread runs the media's bus, as for a media made for a client. The prepare waits
    // until the camera's stream came up or failed.
    GstRTSPThread* thread =
        gst_rtsp_thread_pool_get_thread(Adopt(gst_rtsp_server_get_thread_pool(server_.get())).get(),
                                        GST_RTSP_THREAD_TYPE_MEDIA, nullptr);
    bool prepared = gst_rtsp_media_prepare(media.get(), thread);
    if (prepared && !PlayUnwatched(media.get())) {
        gst_rtsp_media_unprepare(media.get());
        prepared = false;
    }
    bool kept = false;
    bool failed = false;
    {
        std::lock_guard lock(warmLock_);
        warmPreparing_.reset();
        const auto it = warm_.find(path);
        if (!prepared) {
            if (warmStopping_ || it == warm_.end() || it->second.id != id) {
                return true;  // given up for the stop, removal or remount
            }
            SPDLOG_WARN("Camera at path '{}' could not be pulled to keep it warm", path);
            return false;
        }
        if (it != warm_.end() && it->second.id == id && it->second.failedWhilePulled) {
            failed = true;
        } else if (!warmStopping_ && it != warm_.end() && it->second.id == id) {
            it->second.upSince = WarmCamera::Clock::now();
            std::lock_guard holdGuard(holdLock_);
            holds_.push_back(Hold{path, Share(media.get()), {}, true});
            kept = true;
        }
    }
    if (!kept) {
        // Failed already, removed or remounted meanwhile, or the server stops.
        gst_rtsp_media_unprepare(media.get());
        return !failed;
    }
    SPDLOG_INFO("Camera at path '{}' is kept warm", path);
    return true;
}

void RtspServer::RetryLaterLocked(const std::string& path, WarmCamera& camera) {
    const auto now = WarmCamera::Clock::now();
    if (camera.upSince != WarmCamera::Clock::time_point{} &&
        now - camera.upSince >= kWarmRetryLongest) {
        camera.retryDelay = kWarmRetryFirst;
    }
    camera.upSince = {};
    camera.due = now + camera.retryDelay;
    SPDLOG_WARN("Camera at path '{}' kept warm is pulled again in {} s", path,
                camera.retryDelay.count());
    camera.retryDelay = std::min(camera.retryDelay * 2, kWarmRetryLongest);
}

}  // namespace Norvane::Tavrel
