#pragma once

// What a camera's RTSP answers may hold. Every reader of a camera's control connection (the
// relay's own pull and the idle checks) stops at these and closes the connection before the
// bytes past a limit are stored; nothing of a size the camera announces is allocated beyond them.
// Real cameras stay far below: their answers' headers are under 1 KiB and their SDP under 4 KiB.

#include <cstddef>

namespace Norvane::Tavrel {

/// The status line and headers of one answer, line ends included.
inline constexpr std::size_t kMaxCameraReplyHeaderBytes = 16 * 1024;
/// Header lines of one answer.
inline constexpr std::size_t kMaxCameraReplyHeaderLines = 128;
/// The body of one answer (an SDP or anything else the camera announces with Content-Length).
inline constexpr std::size_t kMaxCameraReplyBodyBytes = 64 * 1024;
/// Redirects followed per connection attempt, and only to the camera's own host.
inline constexpr int kMaxCameraRedirects = 3;

}  // namespace Norvane::Tavrel
