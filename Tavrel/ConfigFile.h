#pragma once

#include <filesystem>
#include <optional>

#include "Tavrel/Config.h"

namespace Norvane::Tavrel {

/// Reads, converts and validates the configuration file at `path`: cameras come back sorted by
/// path, users by name. Nothing when the file is missing, not JSON, does not match the schema or
/// holds duplicate camera paths or user names; the reason is logged in exactly one line.
/// Never throws.
std::optional<Config> Read(const std::filesystem::path& path);

}  // namespace Norvane::Tavrel
