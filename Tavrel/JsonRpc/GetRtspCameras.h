#pragma once

#include <system_error>
#include <vector>

#include <boost/outcome/policy/result_error_code_throw_as_system_error.hpp>
#include <boost/outcome/result.hpp>

#include "Tavrel/Config.h"

namespace Norvane::Tavrel::JsonRpc {

/// Result of a JSON-RPC method: the response or a std::error_code (thrown as
/// std::system_error by value()).
template <class T>
using Result = boost::outcome_v2::result<
    T, std::error_code,
    boost::outcome_v2::policy::error_code_throw_as_system_error<T, std::error_code, void>>;

/// The method "Tavrel.Rtsp.GetCameras".
struct GetRtspCameras {
    /// Parameters of a call; not looked at.
    struct Request {};
    /// The proxied cameras in the data handler's order.
    using Response = std::vector<CameraEntry>;
};

}  // namespace Norvane::Tavrel::JsonRpc
