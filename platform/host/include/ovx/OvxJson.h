#pragma once

#include <map>
#include <string>
#include <string_view>

#include "ovx/HostApi.h"

// The JSON library is header-only: give its types default visibility even inside plug-ins built
// with hidden visibility, so that its exceptions thrown in a plug-in are caught by the host.
#pragma GCC visibility push(default)
#include <nlohmann/json.hpp>
#pragma GCC visibility pop

namespace Norvane {

/// Orders keys without regard to letter case: characters are upper-cased in the default ("C")
/// locale, then compared byte by byte. Transparent, so lookups by string_view need no copy.
struct OVX_HOST_API CaseInsensitiveLess {
    using is_transparent = void;
    /// True when a sorts before b, ignoring letter case.
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

/// The object map of the host's JSON type: ordered by key, keys compared without regard to case.
template <class Key, class Value, class IgnoredLess, class Allocator>
using CaseInsensitiveMap = std::map<Key, Value, CaseInsensitiveLess, Allocator>;

/// The host's JSON type: "Topic", "TOPIC" and "topic" name the same member, and objects are
/// serialised in (case-insensitive) key order.
using OvxJson = nlohmann::basic_json<CaseInsensitiveMap>;

}  // namespace Norvane
