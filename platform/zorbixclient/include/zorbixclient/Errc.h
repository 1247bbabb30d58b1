#pragma once

#include <boost/system/error_code.hpp>
#include <type_traits>

namespace Norvane::zorbixclient {

/// Failures the client library itself reports (category "zorbixclient").
enum class Errc {
    refused = 1,        ///< the device stack refused the connection
    protocol_error,     ///< the peer sent something that is not a valid message
    message_too_large,  ///< the peer sent a line over the size limit
    timed_out,          ///< no answer within the time-out
    not_connected,      ///< no connection to the device stack
    connection_lost,    ///< the device stack closed or broke the connection
    disconnected,       ///< Disconnect was called while the operation was in flight
    invalid_request,    ///< the request could not be encoded
    already_connected,  ///< Connect while connected or connecting
    invalid_address,    ///< the socket path cannot be used
};

/// The error category of `Errc`.
const boost::system::error_category& ErrcCategory() noexcept;

/// Makes an error code of the "zorbixclient" category.
boost::system::error_code make_error_code(Errc e) noexcept;

}  // namespace Norvane::zorbixclient

namespace boost::system {
/// Lets `Errc` values convert to `boost::system::error_code`.
template <>
struct is_error_code_enum<Norvane::zorbixclient::Errc> : std::true_type {};
}  // namespace boost::system
