#pragma once

// What a camera did wrong, told in tavrel's own log: at most one line per camera and cause per
// kCameraFaultInterval, with the number of times since the last line.

#include <chrono>
#include <cstdint>
#include <string_view>

namespace Norvane::Tavrel {

/// The shortest time between two lines of one camera and cause.
inline constexpr std::chrono::seconds kCameraFaultInterval{10};

/// What a camera can do wrong.
enum class CameraFault : std::uint8_t {
    kAnswerTooLarge,      ///< status line and headers of an answer beyond their limit
    kBodyTooLarge,        ///< a body (not an SDP) announced beyond its limit
    kSdpTooLarge,         ///< an SDP announced beyond its limit
    kTooManyHeaderLines,  ///< more header lines in one answer than allowed
    kRedirectElsewhere,   ///< a redirect to another host
    kTooManyRedirects,    ///< more redirects than followed
    kJunkRtp,             ///< packets dropped as junk
    kNoUsableStream,      ///< no packet of its stream in time
};
inline constexpr std::size_t kCameraFaultCount = 8;

/// Counts one fault (`count` events) of the camera at `path` and writes a warning line unless
/// one of that camera and cause was written within kCameraFaultInterval; `detail` (no
/// credentials) ends the line. Thread-safe.
void NoteCameraFault(std::string_view path, CameraFault fault, std::string_view detail,
                     std::uint64_t count = 1);

/// As NoteCameraFault, at the time `now` (for tests).
void NoteCameraFaultAt(std::string_view path, CameraFault fault, std::string_view detail,
                       std::uint64_t count, std::chrono::steady_clock::time_point now);

}  // namespace Norvane::Tavrel
