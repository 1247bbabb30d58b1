#pragma once

// Each mounted camera's health: what its media shows while it is pulled, and what an idle check
// finds while it is not. Runs its checks and its one-second tick (only while a media runs) on a
// GLib main context in a thread of its own.

#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tavrel/Config.h"
#include "Tavrel/RtspServer/CameraCheck.h"
#include "Tavrel/RtspServer/CameraMedia.h"
#include "Tavrel/Status.h"
#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel {

/// A camera's state as published.
enum class CameraState { kIdle, kConnecting, kStreaming, kUnreachable, kUnauthorized, kFailed };

/// Its published name ("idle", "connecting", ...).
const char* CameraStateName(CameraState state);

/// How the checks run.
struct CameraCheckPolicy {
    /// Between two checks of a camera that is not pulled; zero: never.
    std::chrono::seconds interval{60};
    /// The first check of a camera comes within this of its mount (spread by its path).
    std::chrono::milliseconds firstWithin{std::chrono::seconds(10)};
    /// Checks running at once.
    std::size_t parallel{4};
    /// A camera whose media brought no packet for this long is no longer streaming.
    std::chrono::seconds packetSilence{5};
};

/// The health records of the mounted cameras. Public functions may be called from any thread;
/// `changed` is called (from the health thread or a media's streaming thread, with no lock of
/// ours held) whenever a camera's state changes.
class CameraHealth {
public:
    CameraHealth(CameraCheckPolicy policy, std::function<void()> changed);
    /// Stops the checks and the thread; the media of the cameras report nothing more.
    ~CameraHealth();
    CameraHealth(const CameraHealth&) = delete;
    CameraHealth& operator=(const CameraHealth&) = delete;

    /// A camera was mounted; its first check is scheduled.
    void Add(const Config::CameraSettings& camera);
    /// A camera was unmounted; a check under way is dropped.
    void Remove(const std::string& path);
    /// A new interval between checks (zero: none).
    void SetCheckInterval(std::chrono::seconds interval);
    /// What the media of the camera at `path` reports to; empty for an unknown path.
    std::shared_ptr<CameraMedia> Media(const std::string& path);
    /// The media of the camera at `path` failed or ended with `reason` (any thread).
    void MediaFailed(const std::string& path, const std::string& reason);
    /// Every camera in path order (viewers left at zero).
    std::vector<CameraStatus> Cameras();

private:
    struct Record;

    void Run();
    /// Posts Update to the health thread (any thread; once until it ran).
    void Wake();
    /// On the health thread: states from the media, the tick, the checks due.
    void Update();
    void ReconcileLocked(Record& record, std::chrono::steady_clock::time_point now);
    void ScheduleLocked(std::chrono::steady_clock::time_point now);
    void CheckDone(const std::string& path, std::uint64_t id, CameraCheckResult result);
    /// Sets a state; true when the record changed (logs a change between working and not).
    bool SetStateLocked(Record& record, CameraState state, std::string error);
    void ArmTimer(gst::GRef<GSource>& timer, std::chrono::milliseconds delay);

    const std::function<void()> changed_;
    gst::GRef<GMainContext> context_;
    gst::GRef<GMainLoop> loop_;
    std::thread thread_;

    /// Guards policy_, records_, wakePending_, changedPending_. Only a CameraMedia's own lock is
    /// taken under it, never the reverse.
    std::mutex mutex_;
    CameraCheckPolicy policy_;
    std::map<std::string, std::unique_ptr<Record>> records_;
    bool wakePending_{false};
    std::atomic<bool> mediaChanged_{true};  ///< a media told something since the last update
    bool changedPending_{false};

    // Touched on the health thread only.
    struct RunningCheck {
        std::uint64_t id{0};
        std::unique_ptr<CameraCheck> check;
    };
    std::map<std::string, RunningCheck> checks_;  ///< by path
    gst::GRef<GSource> checkTimer_;
    gst::GRef<GSource> tick_;
    std::uint64_t nextCheckId_{1};
    bool stopping_{false};   ///< the loop ended: nothing new is started
    bool anyActive_{false};  ///< a camera's media ran at the last reconciliation
};

}  // namespace Norvane::Tavrel
