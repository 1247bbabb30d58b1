#include "Tavrel/RtspServer/CameraFaults.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <string>

namespace Norvane::Tavrel {
namespace {

/* Cameras remembered at most (a path comes from the configuration, so there are few); the one
 * written longest ago goes first. */
constexpr std::size_t kMaxTrackedCameras = 256;

constexpr std::array<std::string_view, kCameraFaultCount> kFaultTexts = {
    "sent an answer whose status line and headers are too large",
    "announced a body that is too large",
    "announced an SDP that is too large",
    "sent an answer with too many header lines",
    "redirected to another host",
    "redirected too often",
    "sent junk packets, dropped",
    "brought no usable stream in time",
};

struct Pending {
    std::uint64_t count = 0;
    std::chrono::steady_clock::time_point written{};
    bool ever = false;
};

struct Faults {
    std::mutex mutex; /* guards cameras; a leaf (but spdlog's own lock under it) */
    std::map<std::string, std::array<Pending, kCameraFaultCount>, std::less<>> cameras;
};

Faults& Registry() {
    static Faults faults;
    return faults;
}

std::chrono::steady_clock::time_point LastWritten(const std::array<Pending, kCameraFaultCount>& p) {
    std::chrono::steady_clock::time_point last{};
    for (const Pending& pending : p)
        last = std::max(last, pending.written);
    return last;
}

}  // namespace

void NoteCameraFault(std::string_view path, CameraFault fault, std::string_view detail,
                     std::uint64_t count) {
    NoteCameraFaultAt(path, fault, detail, count, std::chrono::steady_clock::now());
}

void NoteCameraFaultAt(std::string_view path, CameraFault fault, std::string_view detail,
                       std::uint64_t count, std::chrono::steady_clock::time_point now) {
    const auto index = static_cast<std::size_t>(fault);
    if (index >= kCameraFaultCount)
        return;
    Faults& faults = Registry();
    const std::lock_guard lock(faults.mutex);
    auto it = faults.cameras.find(path);
    if (it == faults.cameras.end()) {
        if (faults.cameras.size() >= kMaxTrackedCameras) {
            faults.cameras.erase(std::min_element(
                faults.cameras.begin(), faults.cameras.end(), [](const auto& a, const auto& b) {
                    return LastWritten(a.second) < LastWritten(b.second);
                }));
        }
        it = faults.cameras.emplace(std::string(path), std::array<Pending, kCameraFaultCount>{})
                 .first;
    }
    Pending& pending = it->second[index];
    pending.count += count;
    if (pending.ever && now - pending.written < kCameraFaultInterval)
        return;
    SPDLOG_WARN("Camera at path '{}' {}: {} ({}x since the last line)", path, kFaultTexts[index],
                detail, pending.count);
    pending.count = 0;
    pending.written = now;
    pending.ever = true;
}

}  // namespace Norvane::Tavrel
