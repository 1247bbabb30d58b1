#include "zorbixclient/Result.h"

namespace Norvane::zorbixclient {

Result::Result(const boost::system::error_code& ec) : Error(ec.failed() ? ec.value() : 0, ec) {}

Result::Result(std::int64_t code, std::string message)
    : Error(code, boost::system::error_code{}, std::move(message)) {}

Result::Result(const boost::system::error_code& ec, std::string message)
    : Error(ec.failed() ? ec.value() : 0, ec, std::move(message)) {}

}  // namespace Norvane::zorbixclient
