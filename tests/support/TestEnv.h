#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace Norvane::Test {

/// The build directory (from TAVREL_BUILD_DIR, set by CTest), for built tools and binaries.
std::filesystem::path BuildDir();
/// The source directory (from TAVREL_SOURCE_DIR).
std::filesystem::path SourceDir();
/// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, then released).
std::uint16_t FreePort();
/// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
/// Writes a whole file (replacing it atomically through a rename).
void WriteFile(const std::filesystem::path& path, const std::string& text);

/// A fresh directory below the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace Norvane::Test
