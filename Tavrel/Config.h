#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>
#include <boost/json/value_from.hpp>

namespace Norvane::Tavrel {

/// The validated configuration of the service: cameras sorted by path, users by name.
struct Config {
    /// A credential pair.
    struct User {
        std::string name;
        std::string password;

        bool operator==(const User&) const = default;
    };

    /// A user of the RTSP server with its role ("internal" or "external").
    struct ServerUser : User {
        std::string role{"external"};

        bool operator==(const ServerUser&) const = default;
    };

    /// Settings of the RTSP server; port 0 or an empty interface means "not configured".
    struct RtspServerSettings {
        std::uint16_t port{0};
        std::string interface;
        std::vector<ServerUser> users;
        /// Seconds between two checks of a camera that is not pulled; 0: never.
        std::uint32_t cameraCheckSeconds{60};

        bool operator==(const RtspServerSettings&) const = default;
    };

    /// Settings of the WebRTC server (read, never acted on).
    struct WebRtcServerSettings {
        std::uint16_t port{0};
        std::string interface;

        bool operator==(const WebRtcServerSettings&) const = default;
    };

    /// How the relay pulls a camera's stream: rtspsrc's own choice (UDP first, TCP when UDP
    /// fails), RTP over UDP only, or RTP interleaved on the camera's RTSP connection (TCP).
    enum class Transport { Auto, Udp, Tcp };

    /// How long a camera's media keeps running after its last client left, unless configured.
    static constexpr unsigned kDefaultLingerSeconds = 10;
    /// The longest a camera's media may be kept running without a client.
    static constexpr unsigned kMaxLingerSeconds = 3600;

    /// One camera to re-serve; `path` always begins with "/".
    struct CameraSettings {
        std::string name;
        std::string location;
        std::string path;
        std::string url;
        std::optional<User> auth;
        bool audio{false};
        Transport transport{Transport::Auto};
        /// Seconds the camera's media keeps running after its last client's session ended, so
        /// that a client coming back meanwhile joins it; 0 stops it at once.
        unsigned lingerSeconds{kDefaultLingerSeconds};
        /// The camera is pulled as long as it is mounted, with or without clients.
        bool keepWarm{false};
        /// A joining client is sent the stream's last key frame first.
        bool instantStart{true};

        bool operator==(const CameraSettings&) const = default;
    };

    RtspServerSettings rtspServerSettings;
    WebRtcServerSettings webRtcServerSettings;
    std::vector<CameraSettings> cameras;

    bool operator==(const Config&) const = default;
};

/// A proxied camera as published to the web service.
struct CameraEntry {
    std::string name;
    std::string location;
    std::string url;

    bool operator==(const CameraEntry&) const = default;
};

// JSON conversions (Boost.JSON customisation points, found by argument-dependent lookup).
// The value_to overloads throw boost::system::system_error (or std::exception) on bad input;
// Read() in ConfigFile.h catches them.

/// Reads a configuration document.
Config tag_invoke(boost::json::value_to_tag<Config>, const boost::json::value& jv);
/// Reads "rtspServerSettings".
Config::RtspServerSettings tag_invoke(boost::json::value_to_tag<Config::RtspServerSettings>,
                                      const boost::json::value& jv);
/// Reads "webRtcServerSettings".
Config::WebRtcServerSettings tag_invoke(boost::json::value_to_tag<Config::WebRtcServerSettings>,
                                        const boost::json::value& jv);
/// Reads one element of "users".
Config::ServerUser tag_invoke(boost::json::value_to_tag<Config::ServerUser>,
                              const boost::json::value& jv);
/// Reads a credential pair ("auth" of a camera).
Config::User tag_invoke(boost::json::value_to_tag<Config::User>, const boost::json::value& jv);
/// Reads one element of "cameras".
Config::CameraSettings tag_invoke(boost::json::value_to_tag<Config::CameraSettings>,
                                  const boost::json::value& jv);

/// {"name":…,"location":…,"url":…}, keys in this order. Header-only so that every user of the
/// camera list (controller, JSON-RPC handler) shares one definition without a library.
inline void tag_invoke(boost::json::value_from_tag, boost::json::value& jv,
                       const CameraEntry& entry) {
    auto& obj = jv.emplace_object();
    obj.reserve(3);
    obj.emplace("name", entry.name);
    obj.emplace("location", entry.location);
    obj.emplace("url", entry.url);
}

}  // namespace Norvane::Tavrel
