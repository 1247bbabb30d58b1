#pragma once

// The service's health as the platform reads it ("Tavrel.Rtsp.GetStatus" and the topic
// "Tavrel.Rtsp.Status"): the server, each camera and each authenticated client. Header-only so
// that the RTSP server, the controller and the JSON-RPC handler share one definition.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <boost/json/value.hpp>
#include <boost/json/value_from.hpp>

namespace Norvane::Tavrel {

/// The server's part.
struct ServerStatus {
    bool running{false};
    std::uint16_t port{0};
    std::string interface;
    std::uint64_t clientsPlaying{0};
    std::uint64_t maxClients{0};
    std::uint64_t uptimeSeconds{0};
    std::string version;

    bool operator==(const ServerStatus&) const = default;
};

/// One camera, as its health record and its media see it.
struct CameraStatus {
    std::string path;  ///< as configured, without the leading "/"
    std::string name;
    std::string state;  ///< idle, connecting, streaming, unreachable, unauthorized, failed
    std::string since;  ///< UTC, ISO 8601: when the state began
    std::string lastError;
    std::uint64_t viewers{0};
    std::string codec;  ///< the encoding name of the SDP (e.g. "H264"); empty until known
    std::uint64_t bitrateKbps{0};
    std::uint64_t packetsLost{0};
    std::string lastPacketAt;  ///< UTC, ISO 8601; empty before the first packet

    bool operator==(const CameraStatus&) const = default;
};

/// One connected client that authenticated.
struct ClientStatus {
    std::string address;
    std::string user;
    std::string role;
    std::string path;       ///< without the leading "/"; empty before its first request
    std::string transport;  ///< "tcp" or "udp"; empty before its SETUP
    bool playing{false};
    std::string since;  ///< UTC, ISO 8601: when it connected

    bool operator==(const ClientStatus&) const = default;
};

/// The whole status object.
struct RtspStatus {
    ServerStatus server;
    std::vector<CameraStatus> cameras;
    std::vector<ClientStatus> clients;

    bool operator==(const RtspStatus&) const = default;
};

/// `time` as UTC ISO 8601 to the second ("2026-01-31T12:00:00Z"); empty for the epoch.
inline std::string IsoTime(std::chrono::system_clock::time_point time) {
    if (time.time_since_epoch().count() == 0)
        return {};
    return fmt::format("{:%FT%TZ}", std::chrono::floor<std::chrono::seconds>(time));
}

inline void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const ServerStatus& s) {
    auto& obj = jv.emplace_object();
    obj.reserve(7);
    obj.emplace("running", s.running);
    obj.emplace("port", s.port);
    obj.emplace("interface", s.interface);
    obj.emplace("clientsPlaying", s.clientsPlaying);
    obj.emplace("maxClients", s.maxClients);
    obj.emplace("uptimeSeconds", s.uptimeSeconds);
    obj.emplace("version", s.version);
}

inline void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const CameraStatus& c) {
    auto& obj = jv.emplace_object();
    obj.reserve(10);
    obj.emplace("path", c.path);
    obj.emplace("name", c.name);
    obj.emplace("state", c.state);
    obj.emplace("since", c.since);
    obj.emplace("lastError", c.lastError);
    obj.emplace("viewers", c.viewers);
    obj.emplace("codec", c.codec);
    obj.emplace("bitrateKbps", c.bitrateKbps);
    obj.emplace("packetsLost", c.packetsLost);
    obj.emplace("lastPacketAt", c.lastPacketAt);
}

inline void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const ClientStatus& c) {
    auto& obj = jv.emplace_object();
    obj.reserve(7);
    obj.emplace("address", c.address);
    obj.emplace("user", c.user);
    obj.emplace("role", c.role);
    obj.emplace("path", c.path);
    obj.emplace("transport", c.transport);
    obj.emplace("playing", c.playing);
    obj.emplace("since", c.since);
}

inline void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const RtspStatus& s) {
    auto& obj = jv.emplace_object();
    obj.reserve(3);
    obj.emplace("server", boost::json::value_from(s.server, obj.storage()));
    obj.emplace("cameras", boost::json::value_from(s.cameras, obj.storage()));
    obj.emplace("clients", boost::json::value_from(s.clients, obj.storage()));
}

}  // namespace Norvane::Tavrel
