#pragma once

#include <string>
#include <string_view>

#include "ovx/HostApi.h"

namespace Norvane {

/// A plug-in that takes MQTT publications: whatever carries MQTT traffic calls `Publish`.
class OVX_HOST_API IPluginMqtt {
public:
    virtual ~IPluginMqtt();
    /// Publishes a value on a topic; false when it could not be stored.
    virtual bool Publish(std::string_view topic, std::string value) = 0;
};

}  // namespace Norvane
