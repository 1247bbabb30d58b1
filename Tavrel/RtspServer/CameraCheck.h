#pragma once

// The idle check of a camera: a small RTSP client that asks the camera for OPTIONS and DESCRIBE
// (with its credentials, Basic or Digest as the camera asks) and sets nothing up. It runs on a
// GLib main context without blocking, reads at most what Tavrel/RtspServer/CameraLimits.h allows,
// and gives up after its deadline.

#include <gio/gio.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Norvane::Tavrel {

/// What one check found.
struct CameraCheckResult {
    enum class Outcome {
        kAnswering,     ///< DESCRIBE answered 200
        kUnreachable,   ///< no TCP connection, or no (complete) answer in time
        kUnauthorized,  ///< the camera refused our credentials (or wants some and has none)
        kFailed,        ///< any other fault; `error` says which
    };
    Outcome outcome{Outcome::kFailed};
    std::string error;  ///< empty when answering; never holds credentials
    std::string codec;  ///< the encoding name of the SDP's first video stream, upper case
};

/// Where and how to check a camera.
struct CameraCheckTarget {
    std::string
        url;  ///< the camera's rtsp:// URL (credentials in it are used when `user` is absent)
    std::optional<std::string> user;
    std::optional<std::string> password;
};

/// How long a whole check may take, from the connect to the end of the DESCRIBE answer.
inline constexpr std::chrono::seconds kCameraCheckDeadline{5};

/// One check in progress. `Start` must be called on the thread that runs `context` (or before that
/// thread runs it); `done` is called there once, unless the check is destroyed first, which ends it
/// silently and closes its connection.
class CameraCheck {
public:
    using Done = std::function<void(CameraCheckResult)>;

    static std::unique_ptr<CameraCheck> Start(
        GMainContext* context, const CameraCheckTarget& target, Done done,
        std::chrono::milliseconds deadline = kCameraCheckDeadline);
    ~CameraCheck();
    CameraCheck(const CameraCheck&) = delete;
    CameraCheck& operator=(const CameraCheck&) = delete;

private:
    struct Impl;
    explicit CameraCheck(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

/// Parts of an RTSP answer, as the check reads them (exposed for tests).
namespace CameraAnswer {

/// The encoding name (upper case) of the first video stream of `sdp`; empty when it has none.
std::string VideoCodec(std::string_view sdp);

/// The "Authorization" header's value answering `challenge` (a WWW-Authenticate value) for
/// `method` on `uri`: Digest when the challenge is Digest, else Basic. Empty when the scheme is
/// neither.
std::string Authorization(std::string_view challenge, std::string_view method, std::string_view uri,
                          const std::string& user, const std::string& password);

}  // namespace CameraAnswer

}  // namespace Norvane::Tavrel
