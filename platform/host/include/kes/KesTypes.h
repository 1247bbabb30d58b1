#pragma once

#include <cstdint>

namespace Norvane {

/// The ID to pass when any free ID will do.
inline constexpr std::uint32_t kKesAnyId = 0xFFFFFFFF;

/// The kind of a model object; lookups take it as a type selector (0 selects every kind).
enum class KesObjectType : std::uint32_t {
    Any = 0,
    Root = 1,
    Enum = 2,
    Device = 17,
    Channel = 33,
    DataPoint = 65,
};

/// The type of a data point's value.
enum class KesValueType : std::uint8_t {
    Empty = 0,
    Bool = 1,
    Int = 3,
    Double = 5,
    Text = 10,
};

/// IDs of the model's well-known objects.
// NOLINTBEGIN(readability-identifier-naming): the platform's names
namespace KesWellKnownId {
inline constexpr std::uint32_t Root = 1;
inline constexpr std::uint32_t Channels = 34;     ///< the channel collection
inline constexpr std::uint32_t DataPoints = 301;  ///< the enumeration of all data points
inline constexpr std::uint32_t Devices = 401;     ///< the device enumeration
inline constexpr std::uint32_t FirstFree = 1000;  ///< IDs from here on are handed out
}  // namespace KesWellKnownId
// NOLINTEND(readability-identifier-naming)

}  // namespace Norvane
