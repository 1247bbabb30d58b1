#pragma once

#include "Tavrel/JsonRpc/GetRtspCameras.h"
#include "Tavrel/JsonRpc/GetRtspStatus.h"

namespace Norvane::Tavrel::JsonRpc {

/// Supplies the camera list to the JSON-RPC handler (implemented by the controller).
class IDataHandler {
public:
    /// The current camera list; must not throw, callable from any thread.
    virtual GetRtspCameras::Response GetCameras() = 0;
    /// The current status object; must not throw, callable from any thread.
    virtual GetRtspStatus::Response GetStatus() { return {}; }

protected:
    ~IDataHandler() = default;
};

}  // namespace Norvane::Tavrel::JsonRpc
