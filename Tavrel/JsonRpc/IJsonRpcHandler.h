#pragma once

#include "Tavrel/JsonRpc/GetRtspCameras.h"
#include "Tavrel/JsonRpc/GetRtspStatus.h"

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
    /// Answers "Tavrel.Rtsp.GetStatus".
    virtual Result<JsonRpc::GetRtspStatus::Response> GetRtspStatus(
        JsonRpc::GetRtspStatus::Request) noexcept {
        return JsonRpc::GetRtspStatus::Response{};
    }
    /// The status changed: the topic "Tavrel.Rtsp.Status" gets it (at most once a second).
    /// Any thread; never blocks.
    virtual void StatusChanged() {}
};

}  // namespace Norvane::Tavrel::JsonRpc
