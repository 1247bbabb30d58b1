#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "ovx/HostApi.h"

namespace Norvane {

class KesDOM;

/// The host's services for its plug-ins. The manager outlives every plug-in it creates.
class OVX_HOST_API IPluginManager {
public:
    virtual ~IPluginManager();
    /// A logger writing to the named file in the host's log directory; empty when the name is
    /// not a plain file name or the file cannot be opened.
    virtual std::shared_ptr<spdlog::logger> GetLogger(const std::string& fileName) = 0;
    /// The version of the host's plug-in interface (major in the high 16 bits).
    virtual std::uint32_t GetApiVersion() = 0;
    /// The host's object model; empty while the host has none.
    virtual std::shared_ptr<KesDOM> GetDOM() = 0;
};

}  // namespace Norvane
