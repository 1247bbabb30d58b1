#include "ovx/IPlugin.h"

namespace Norvane {

// The key function: the class's vtable and type information live in the host library.
IPlugin::~IPlugin() = default;

}  // namespace Norvane
