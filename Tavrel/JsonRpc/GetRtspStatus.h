#pragma once

#include "Tavrel/JsonRpc/GetRtspCameras.h"
#include "Tavrel/Status.h"

namespace Norvane::Tavrel::JsonRpc {

/// The method "Tavrel.Rtsp.GetStatus".
struct GetRtspStatus {
    /// Parameters of a call; not looked at.
    struct Request {};
    /// The server, its cameras and its authenticated clients.
    using Response = RtspStatus;
};

}  // namespace Norvane::Tavrel::JsonRpc
