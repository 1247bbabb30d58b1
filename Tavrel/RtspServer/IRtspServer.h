#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Tavrel/Config.h"
#include "Tavrel/Status.h"

namespace Norvane::Tavrel {

/// The controller's handle on the RTSP server.
class IRtspServer {
public:
    virtual ~IRtspServer() = default;
    /// Starts serving (runs the server's main loop in a thread of its own). Called once.
    virtual void Start() = 0;
    /// Stores and mounts a camera; false when its path exists already or it cannot be mounted.
    virtual bool AddCamera(Config::CameraSettings camera) = 0;
    /// Unmounts the camera at `path` and closes the clients of that path.
    virtual void RemoveCamera(const std::string& path) = 0;
    /// Replaces the whole authentication state; closes clients of a role that went away.
    virtual void SetUsers(const std::vector<Config::ServerUser>& users) = 0;
    /// The cameras and authenticated clients, with the count of playing clients in `server`
    /// (the rest of `server` is the controller's).
    virtual RtspStatus Status() { return {}; }
    /// `listener` is called (any thread, no lock of the server's held) when a camera's state
    /// or a viewer count changed. Set once, before Start.
    virtual void SetStatusListener(std::function<void()> listener) { (void)listener; }
    /// Seconds between two checks of a camera that is not pulled; 0: never.
    virtual void SetCameraCheckInterval(std::chrono::seconds interval) { (void)interval; }
};

}  // namespace Norvane::Tavrel
