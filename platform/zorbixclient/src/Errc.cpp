#include "zorbixclient/Errc.h"

#include <string>

#include "zorbixclient/LineFramer.h"

namespace Norvane::zorbixclient {

namespace {

class ErrcCategoryImpl : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "zorbixclient"; }

    std::string message(int ev) const override {
        switch (static_cast<Errc>(ev)) {
            case Errc::refused:
                return "connection refused by the device stack";
            case Errc::protocol_error:
                return "malformed message from the device stack";
            case Errc::message_too_large:
                return "message from the device stack exceeds " +
                       std::to_string(LineFramer::kDefaultMaxLine) + " bytes";
            case Errc::timed_out:
                return "request timed out";
            case Errc::not_connected:
                return "not connected to the device stack";
            case Errc::connection_lost:
                return "connection to the device stack lost";
            case Errc::disconnected:
                return "disconnected from the device stack";
            case Errc::invalid_request:
                return "request cannot be encoded";
            case Errc::already_connected:
                return "already connected or connecting";
            case Errc::invalid_address:
                return "invalid device-stack socket path";
        }
        return "unknown zorbixclient error " + std::to_string(ev);
    }
};

}  // namespace

const boost::system::error_category& ErrcCategory() noexcept {
    static const ErrcCategoryImpl kCategory;
    return kCategory;
}

boost::system::error_code make_error_code(Errc e) noexcept {
    return {static_cast<int>(e), ErrcCategory()};
}

}  // namespace Norvane::zorbixclient
