#pragma once

// Builders of configuration records for the tests of the controller and the RTSP server.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Tavrel/Config.h"

namespace Norvane::Tavrel::Test {

/// A server user.
inline Config::ServerUser User(std::string name, std::string password,
                               std::string role = "external") {
    Config::ServerUser user;
    user.name = std::move(name);
    user.password = std::move(password);
    user.role = std::move(role);
    return user;
}

/// A camera record.
inline Config::CameraSettings Camera(std::string name, std::string path, std::string url,
                                     std::optional<Config::User> auth = std::nullopt,
                                     std::string location = "test") {
    Config::CameraSettings camera;
    camera.name = std::move(name);
    camera.location = std::move(location);
    camera.path = std::move(path);
    camera.url = std::move(url);
    camera.auth = std::move(auth);
    return camera;
}

/// A configuration with the given port, interface, users and cameras.
inline Config MakeConfig(std::uint16_t port, std::string interface,
                         std::vector<Config::ServerUser> users,
                         std::vector<Config::CameraSettings> cameras) {
    Config config;
    config.rtspServerSettings.port = port;
    config.rtspServerSettings.interface = std::move(interface);
    config.rtspServerSettings.users = std::move(users);
    // No idle checks: a test camera (the RTSP server library) tears down the media a check's
    // DESCRIBE prepared when the check leaves, and answers 503 to the relay meanwhile.
    config.rtspServerSettings.cameraCheckSeconds = 0;
    config.cameras = std::move(cameras);
    return config;
}

}  // namespace Norvane::Tavrel::Test
