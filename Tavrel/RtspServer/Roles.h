#pragma once

// The two client roles and the token field that carries a client's role.

#include <string_view>

namespace Norvane::Tavrel {

inline constexpr std::string_view kRoleInternal = "internal";
inline constexpr std::string_view kRoleExternal = "external";
/// The field of a user's token that names its role.
inline constexpr const char* kTokenRole = "media.factory.role";
/// The field of a user's token that names the user.
inline constexpr const char* kTokenUser = "tavrel.user";

}  // namespace Norvane::Tavrel
