#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace Norvane::Test {

/// The build directory (from TAVREL_BUILD_DIR, set by CTest), for built tools and binaries.
std::filesystem::path BuildDir();
/// The source directory (from TAVREL_SOURCE_DIR).
std::filesystem::path SourceDir();
/// A TCP port for a server that a test starts, free on every address: taken from beside the
/// kernel's ephemeral range (no bind to port 0 or outgoing connection of any process gets it) and
/// claimed through a lock file that parallel test processes respect. It stays this process's
/// while the next 255 are handed out, and at most until the process ends.
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
