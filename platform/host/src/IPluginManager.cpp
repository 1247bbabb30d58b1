#include "ovx/IPluginManager.h"

namespace Norvane {

// The key function: the class's vtable and type information live in the host library.
IPluginManager::~IPluginManager() = default;

}  // namespace Norvane
