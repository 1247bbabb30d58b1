#include "TestEnv.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

namespace Norvane::Test {

namespace {

std::filesystem::path FromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value)
        throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

}  // namespace

std::filesystem::path BuildDir() {
    return FromEnv("TAVREL_BUILD_DIR");
}
std::filesystem::path SourceDir() {
    return FromEnv("TAVREL_SOURCE_DIR");
}

namespace {

/// Ports FreePort() hands out: next to the kernel's range of ephemeral ports, never inside it,
/// so that no bind to port 0 and no outgoing connection of any process gets one of them.
struct PortPool {
    unsigned first{0};
    unsigned count{0};
};

PortPool TestPorts() {
    constexpr unsigned kPoolSize = 4096;
    unsigned low = 32768;
    unsigned high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    if (low >= 1024 + kPoolSize)
        return {low - kPoolSize, kPoolSize};
    if (high + kPoolSize <= 65535)
        return {high + 1, kPoolSize};
    throw std::runtime_error("no room for test ports beside the ephemeral port range");
}

/// True when a TCP socket can be bound to the port on every local address right now: no
/// socket of any state holds it on any address (a server binds the wildcard address).
bool Unused(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return bound;
}

/// The ports this process claimed: each through an exclusive lock on a file named after it,
/// which every test process respects and the kernel drops when the process ends, however it
/// ends. The oldest claims are given back once kHeldClaims are held.
class PortClaims {
public:
    std::uint16_t Claim() {
        std::lock_guard lock(mutex_);
        std::filesystem::create_directories(dir_);
        for (unsigned tried = 0; tried < pool_.count; ++tried) {
            const unsigned port = pool_.first + next_;
            next_ = (next_ + 1) % pool_.count;
            const int fd =
                ::open((dir_ / std::to_string(port)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0)
                continue;
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !Unused(port)) {
                ::close(fd);
                continue;
            }
            if (held_.size() >= kHeldClaims) {
                ::close(held_.front());
                held_.pop_front();
            }
            held_.push_back(fd);
            return static_cast<std::uint16_t>(port);
        }
        throw std::runtime_error("no free test port in " + dir_.string());
    }

private:
    static constexpr std::size_t kHeldClaims = 256;
    const PortPool pool_ = TestPorts();
    const std::filesystem::path dir_ = std::filesystem::temp_directory_path() / "tavrel-test-ports";
    std::mutex mutex_;  // guards next_ and held_
    unsigned next_ = std::random_device{}() % pool_.count;
    std::deque<int> held_;  // the lock files' descriptors, oldest first
};

}  // namespace

std::uint16_t FreePort() {
    static PortClaims claims;
    return claims.Claim();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    const auto tmp = path.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::filesystem::rename(tmp, path);
}

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        path_ = std::filesystem::temp_directory_path() /
                ("tavrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        if (std::filesystem::create_directory(path_))
            break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace Norvane::Test
