#include "zorbixclient/ConnectionInfo.h"

#include <cstdlib>
#include <utility>

namespace Norvane::zorbixclient {

std::shared_ptr<ConnectionInfo> MakeConnectionInfo(std::string name, std::string type,
                                                   std::string info) {
    const char* env = std::getenv("ZORBIX_SOCKET");
    return std::make_shared<ConnectionInfo>(ConnectionInfo{
        std::move(name), std::move(type), std::move(info), env && *env ? env : kDefaultSocketPath});
}

}  // namespace Norvane::zorbixclient
