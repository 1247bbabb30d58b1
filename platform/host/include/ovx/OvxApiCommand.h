#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "ovx/HostApi.h"
#include "ovx/OvxJson.h"

namespace Norvane {

/// One command that a plug-in offers to the clients of the host's API.
struct OVX_HOST_API OvxApiCommand {
    /// Who may run the command: anyone (alternative 0, reserved value), users with at least the
    /// given access level (alternative 1), members of a group (alternative 2), or holders of a
    /// named right at a level (alternative 3).
    struct Public {
        std::uint32_t reserved{0};
    };
    /// Users whose access level is at least `minimum`.
    struct UserLevel {
        std::uint32_t minimum{0};
    };
    /// Members of the user group with this ID.
    struct Group {
        std::uint32_t id{0};
    };
    /// Holders of the named right at `level` or above.
    struct NamedRight {
        std::string right;
        std::uint32_t level{0};
    };
    /// The access requirement of a command.
    using Access = std::variant<Public, UserLevel, Group, NamedRight>;

    /// What a command's handler gets: the request's parameters, the calling client's name and
    /// the response object that the handler may add to.
    struct Parameters {
        const OvxJson& request;     ///< the request's parameters (normally a JSON object)
        const std::string& client;  ///< who called (a user or connection name; may be empty)
        OvxJson& response;          ///< the response object (null until something is added)
    };

    /// A command handler: true on success.
    using Handler = std::function<bool(const Parameters&)>;

    Access access;     ///< who may run the command
    std::string name;  ///< the command's name as clients call it
    Handler handler;   ///< the command's body
};

}  // namespace Norvane
