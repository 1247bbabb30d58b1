#pragma once

#include <vector>

#include "ovx/HostApi.h"
#include "ovx/OvxApiCommand.h"

namespace Norvane {

/// A plug-in that offers commands to the host's API.
class OVX_HOST_API IOvxApiCommandHandler {
public:
    virtual ~IOvxApiCommandHandler();
    /// The plug-in's command table.
    virtual std::vector<OvxApiCommand> GetCommands() = 0;
};

}  // namespace Norvane
