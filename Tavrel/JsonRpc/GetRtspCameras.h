#pragma once

#include <system_error>
#include <vector>

#include <boost/outcome/std_result.hpp>

#include "Tavrel/Config.h"

namespace Norvane::Tavrel::JsonRpc {

/// Result of a JSON-RPC method: the response or a std::error_code (thrown as
/// std::system_error by value()).
template <class T>
using Result = boost::outcome_v2::std_result<T>;

/// The method "Tavrel.Rtsp.GetCameras".
struct GetRtspCameras {
    /// Parameters of a call; not looked at.
    struct Request {};
    /// The proxied cameras in the data handler's order.
    using Response = std::vector<CameraEntry>;
};

}  // namespace Norvane::Tavrel::JsonRpc
