#pragma once

#include "Tavrel/JsonRpc/GetRtspCameras.h"

namespace Norvane::Tavrel::JsonRpc {

/// The controller's handle on the web-service integration.
class IJsonRpcHandler {
public:
    virtual ~IJsonRpcHandler() = default;
    /// Answers "Tavrel.Rtsp.GetCameras".
    virtual Result<JsonRpc::GetRtspCameras::Response> GetRtspCameras(
        JsonRpc::GetRtspCameras::Request) noexcept = 0;
    /// Pushes a changed camera list to the topic "Tavrel.Rtsp.Cameras".
    virtual void PublishCameras(const JsonRpc::GetRtspCameras::Response& cameras) = 0;
    /// Sets the capability "RtspCameraServer".
    virtual void SetRtspServerAvailable(bool available) = 0;
};

}  // namespace Norvane::Tavrel::JsonRpc
