#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "kes/KesTypes.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// A typed value of the object model.
class OVX_HOST_API KESVALUE {
public:
    /// What a value holds: nothing, a boolean, an integer, a floating-point number or text.
    using Payload = std::variant<std::monostate, bool, std::int64_t, double, std::string>;

    /// An empty value.
    KESVALUE() = default;
    /// A value of the given type. A payload that does not fit the type gives an empty value.
    KESVALUE(KesValueType type, Payload payload);

    /// The value's type.
    KesValueType GetType() const { return type_; }
    /// The value's payload.
    const Payload& GetPayload() const { return payload_; }
    /// The text of a text value; empty for other types.
    std::string GetText() const;
    /// True for an empty value.
    bool IsEmpty() const { return type_ == KesValueType::Empty; }

    /// Equal type and payload.
    bool operator==(const KESVALUE& other) const = default;

    /// The text made valid UTF-8: every ill-formed sequence (stray continuation byte, truncated
    /// or overlong sequence, surrogate, code point above U+10FFFF) becomes U+FFFD; everything
    /// valid is kept as it is.
    static std::string EnsureUTF8(std::string_view text);

private:
    KesValueType type_{KesValueType::Empty};
    Payload payload_;
};

}  // namespace Norvane
