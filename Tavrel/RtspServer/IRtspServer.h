#pragma once

#include <string>
#include <vector>

#include "Tavrel/Config.h"

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
};

}  // namespace Norvane::Tavrel
