#pragma once

#include <memory>
#include <string>

namespace Norvane::zorbixclient {

/// Where and as whom a client connects to the device stack.
struct ConnectionInfo {
    std::string name;        ///< the application's name, announced to the device stack
    std::string type;        ///< the kind of client ("generic")
    std::string info;        ///< free text passed on to the device stack
    std::string socketPath;  ///< the device stack's Unix socket
};

/// The default socket of the device stack, used when ZORBIX_SOCKET is not set.
inline constexpr const char* kDefaultSocketPath = "/run/zorbix/zorbix.sock";

/// Describes a connection; the socket path comes from ZORBIX_SOCKET (or the default).
std::shared_ptr<ConnectionInfo> MakeConnectionInfo(std::string name, std::string type,
                                                   std::string info);

}  // namespace Norvane::zorbixclient
