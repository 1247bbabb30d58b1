#pragma once

#include "ovx/HostApi.h"

namespace Norvane {

/// A plug-in as the host's plug-in manager sees it: created by the library's factory, then
/// started and stopped.
class OVX_HOST_API IPlugin {
public:
    virtual ~IPlugin();
    /// Starts the plug-in; failures are logged by the plug-in, not reported.
    virtual void Start() = 0;
    /// Stops the plug-in; it may be started again.
    virtual void Stop() = 0;
};

}  // namespace Norvane
