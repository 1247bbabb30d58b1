#pragma once

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <string>

namespace Norvane::zorbixclient {

/// The failure part of an outcome: a numeric code of the device stack (0 = none), a system
/// error code and an optional text. An outcome has failed when either code is set.
class Error {
public:
    /// A success.
    Error() = default;
    /// An outcome with the given codes; `message` overrides the system error's text.
    Error(std::int64_t code, const boost::system::error_code& systemError,
          std::string message = {});

    /// The numeric code (0 when the device stack reported no error).
    std::int64_t Code() const noexcept { return code_; }
    /// The system error code (clear when none).
    const boost::system::error_code& SystemError() const noexcept { return systemError_; }
    /// True when the numeric code is not 0 or the system error code is set.
    bool Failed() const noexcept { return code_ != 0 || systemError_.failed(); }
    /// The text of a failed outcome ("Success" for a success).
    std::string Message() const;

private:
    std::int64_t code_{0};
    boost::system::error_code systemError_;
    std::string message_;
};

}  // namespace Norvane::zorbixclient
