#include "ovx/IOvxApiCommandHandler.h"

namespace Norvane {

// The key function: the class's vtable and type information live in the host library.
IOvxApiCommandHandler::~IOvxApiCommandHandler() = default;

}  // namespace Norvane
