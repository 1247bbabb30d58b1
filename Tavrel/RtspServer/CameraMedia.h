#pragma once

// What the media pulling a camera tells the camera's health record: that a media was built and
// is gone, the packets that reach the payloader, the codec and the jitter buffer's losses.

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace Norvane::Tavrel {

/// Shared by a camera's health record and the media built for it. The media side costs an
/// atomic add or two per packet; `wake` (cheap, any thread) is called when a media begins,
/// ends, or brings its first packet.
class CameraMedia {
public:
    explicit CameraMedia(std::function<void()> wake) : wake_(std::move(wake)) {}
    ~CameraMedia() { g_weak_ref_clear(&jitterBuffer_); }
    CameraMedia(const CameraMedia&) = delete;
    CameraMedia& operator=(const CameraMedia&) = delete;

    // The media's side.
    void Begin();
    void End();
    void Packet(std::size_t bytes) {
        bytes_.fetch_add(bytes, std::memory_order_relaxed);
        lastPacketUs_.store(g_get_real_time(), std::memory_order_relaxed);
        if (!flowing_.load(std::memory_order_relaxed) && !flowing_.exchange(true))
            Wake();
    }
    void SetCodec(std::string_view codec);
    void SetJitterBuffer(GstElement* jitterBuffer);

    // The health record's side.
    bool Active() const { return active_.load() > 0; }
    std::uint64_t Generation() const { return generation_.load(); }
    bool Flowing() const { return flowing_.load(); }
    std::uint64_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }
    /// When the newest media began, and Bytes() at that moment.
    std::pair<std::chrono::steady_clock::time_point, std::uint64_t> Began() const {
        const std::lock_guard lock(mutex_);
        return began_;
    }
    /// Microseconds of real time (g_get_real_time) of the last packet; 0 before the first.
    std::int64_t LastPacketUs() const { return lastPacketUs_.load(std::memory_order_relaxed); }
    /// Packets the current media's jitter buffer counted as lost.
    std::uint64_t PacketsLost();
    std::string Codec();
    /// No wake after this (the health record is going away).
    void Detach();

private:
    void Wake();

    std::atomic<int> active_{0};  ///< media built and not yet gone
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> flowing_{false};  ///< the newest media brought a packet
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::int64_t> lastPacketUs_{0};

    mutable std::mutex mutex_;  ///< guards began_, codec_, jitterBuffer_ and wake_; only GLib is
                                ///< called under it
    std::pair<std::chrono::steady_clock::time_point, std::uint64_t> began_{};
    std::string codec_;
    GWeakRef jitterBuffer_{};
    std::function<void()> wake_;
};

/// Reports the media made of `bin` (holding `source`, the rtspsrc, and `payloader`) to `media`:
/// begun now, ended when `bin` is finalised, its packets and codec as they reach the payloader,
/// its losses from rtspsrc's jitter buffer.
void WatchCameraMedia(GstElement* bin, GstElement* source, GstElement* payloader,
                      const std::shared_ptr<CameraMedia>& media);

}  // namespace Norvane::Tavrel
