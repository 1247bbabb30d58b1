#include "zorbixclient/Error.h"

#include <utility>

namespace Norvane::zorbixclient {

Error::Error(std::int64_t code, const boost::system::error_code& systemError, std::string message)
    : code_(code), systemError_(systemError), message_(std::move(message)) {}

std::string Error::Message() const {
    if (!message_.empty())
        return message_;
    if (systemError_.failed())
        return systemError_.message();
    if (code_ != 0)
        return "device stack error " + std::to_string(code_);
    return "Success";
}

}  // namespace Norvane::zorbixclient
