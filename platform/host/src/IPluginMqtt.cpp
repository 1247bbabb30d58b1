#include "ovx/IPluginMqtt.h"

namespace Norvane {

// The key function: the class's vtable and type information live in the host library.
IPluginMqtt::~IPluginMqtt() = default;

}  // namespace Norvane
