#pragma once

#include <cstdint>
#include <string>

#include "kes/KESVALUE.h"
#include "kes/KesTypes.h"

namespace Norvane {

/// A change of the model, as its listeners see it.
struct KesEvent {
    /// What happened.
    enum class Kind { Added, Removed, Value };
    Kind kind;
    std::uint32_t id;    ///< the object's ID
    KesObjectType type;  ///< the object's kind
    std::string name;    ///< the object's name
    KESVALUE value;      ///< the new value (value events only)
};

}  // namespace Norvane
