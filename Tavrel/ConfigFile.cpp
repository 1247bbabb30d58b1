#include "Tavrel/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value_to.hpp>

namespace Norvane::Tavrel {

namespace json = boost::json;

namespace {

std::string ToString(const json::string& s) {
    return std::string(s.data(), s.size());
}

// A required string member: the library throws for a missing key or another kind.
std::string RequiredString(const json::object& obj, json::string_view key) {
    return ToString(obj.at(key).as_string());
}

/// The largest configuration file read, in bytes.
constexpr std::size_t kMaxFileSize = 1024 * 1024;
/// The longest interface name the kernel takes (IFNAMSIZ without the terminating NUL).
constexpr std::size_t kMaxInterfaceName = 15;

/// Closes a descriptor when it goes out of scope. Move-only: one owner closes it once.
struct FileDescriptor {
    int fd{-1};

    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd >= 0)
                ::close(fd);
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

/// The file's text; `missing` says it cannot be opened at all (absent, a directory, no
/// permission). A file that is not regular (a FIFO, a device) or is larger than kMaxFileSize
/// yields nothing after one error line, without blocking.
std::optional<std::string> ReadText(const std::filesystem::path& path, bool& missing) {
    missing = false;
    // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        missing = true;
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        SPDLOG_ERROR("Config file '{}' is not a regular file", path.string());
        return std::nullopt;
    }
    std::string text;
    text.resize(std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kMaxFileSize) + 1);
    std::size_t used = 0;
    // Read to the end; the file may have grown since fstat, so the limit is checked on the
    // bytes actually read.
    while (true) {
        if (used == text.size()) {
            if (text.size() > kMaxFileSize)
                break;
            text.resize(std::min(text.size() * 2, kMaxFileSize + 1));
        }
        const auto n = ::read(file.fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SPDLOG_ERROR("Failed to read config file '{}': {}", path.string(),
                         std::strerror(errno));
            return std::nullopt;
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    if (used > kMaxFileSize) {
        SPDLOG_ERROR("Config file '{}' is larger than {} bytes", path.string(), kMaxFileSize);
        return std::nullopt;
    }
    text.resize(used);
    return text;
}

// A "port": an integer, or a floating-point number with an exact unsigned 16-bit value
// (554.0). Anything else throws the library's system_error (not a number, not exact).
std::uint16_t PortFromJson(const json::value& jv) {
    return jv.to_number<std::uint16_t>();
}

/// The longest interval between two checks of an idle camera, in seconds.
constexpr std::int64_t kMaxCameraCheckSeconds = 3600;
/// The interval when none is given.
constexpr std::uint32_t kDefaultCameraCheckSeconds = 60;

// "cameraCheckSeconds": absent or of another kind it is the default; a number must be a whole
// number of seconds from 0 to kMaxCameraCheckSeconds, anything else rejects the file.
std::uint32_t CameraCheckSecondsFromJson(const json::value* jv) {
    if (jv == nullptr || !jv->is_number())
        return kDefaultCameraCheckSeconds;
    json::error_code ec;
    const auto seconds = jv->to_number<std::int64_t>(ec);
    if (ec || seconds < 0 || seconds > kMaxCameraCheckSeconds)
        throw std::invalid_argument(fmt::format(
            "cameraCheckSeconds is not a whole number from 0 to {}", kMaxCameraCheckSeconds));
    return static_cast<std::uint32_t>(seconds);
}

// A camera's "transport": "auto", "udp" or "tcp"; absent or of another kind it is "auto". Any
// other string rejects the file.
Config::Transport TransportFromJson(const json::value* jv) {
    if (jv == nullptr || !jv->is_string())
        return Config::Transport::Auto;
    const auto& name = jv->get_string();
    if (name == "auto")
        return Config::Transport::Auto;
    if (name == "udp")
        return Config::Transport::Udp;
    if (name == "tcp")
        return Config::Transport::Tcp;
    throw std::invalid_argument(fmt::format(
        "camera transport '{}' is not one of \"auto\", \"udp\", \"tcp\"", ToString(name)));
}

// A camera's "lingerSeconds": a whole number of seconds from 0 to kMaxLingerSeconds (10.0 counts
// as 10); absent or of another kind it is the default. Any other number rejects the file.
unsigned LingerFromJson(const json::value* jv) {
    if (jv == nullptr || !jv->is_number())
        return Config::kDefaultLingerSeconds;
    std::optional<double> seconds;
    if (jv->is_int64())
        seconds = static_cast<double>(jv->get_int64());
    else if (jv->is_uint64())
        seconds = static_cast<double>(jv->get_uint64());
    else if (const double d = jv->get_double(); std::isfinite(d))
        seconds = d;
    if (!seconds || *seconds != std::floor(*seconds) || *seconds < 0 ||
        *seconds > Config::kMaxLingerSeconds) {
        throw std::invalid_argument(
            fmt::format("camera lingerSeconds {} is not a whole number from 0 to {}",
                        json::serialize(*jv), Config::kMaxLingerSeconds));
    }
    return static_cast<unsigned>(*seconds);
}

// A camera's boolean option: `fallback` when absent or of another kind.
bool FlagFromJson(const json::value* jv, bool fallback) {
    return jv != nullptr && jv->is_bool() ? jv->get_bool() : fallback;
}

}  // namespace

Config::User tag_invoke(json::value_to_tag<Config::User>, const json::value& jv) {
    const auto& obj = jv.as_object();
    Config::User user;
    user.name = RequiredString(obj, "name");
    user.password = RequiredString(obj, "password");
    return user;
}

Config::ServerUser tag_invoke(json::value_to_tag<Config::ServerUser>, const json::value& jv) {
    Config::ServerUser user;
    static_cast<Config::User&>(user) = json::value_to<Config::User>(jv);
    if (const auto* role = jv.as_object().if_contains("role"); role && role->is_string())
        user.role = ToString(role->get_string());
    return user;
}

Config::RtspServerSettings tag_invoke(json::value_to_tag<Config::RtspServerSettings>,
                                      const json::value& jv) {
    const auto& obj = jv.as_object();
    Config::RtspServerSettings settings;
    settings.port = PortFromJson(obj.at("port"));
    settings.interface = RequiredString(obj, "interface");
    const auto& users = obj.at("users").as_array();
    settings.users.reserve(users.size());
    for (const auto& user : users)
        settings.users.push_back(json::value_to<Config::ServerUser>(user));
    settings.cameraCheckSeconds = CameraCheckSecondsFromJson(obj.if_contains("cameraCheckSeconds"));
    return settings;
}

Config::WebRtcServerSettings tag_invoke(json::value_to_tag<Config::WebRtcServerSettings>,
                                        const json::value& jv) {
    const auto& obj = jv.as_object();
    Config::WebRtcServerSettings settings;
    settings.port = PortFromJson(obj.at("port"));
    settings.interface = RequiredString(obj, "interface");
    return settings;
}

Config::CameraSettings tag_invoke(json::value_to_tag<Config::CameraSettings>,
                                  const json::value& jv) {
    const auto& obj = jv.as_object();
    Config::CameraSettings camera;
    if (const auto* audio = obj.if_contains("audio"))
        camera.audio = audio->as_bool();
    if (const auto* auth = obj.if_contains("auth"); auth && auth->is_object())
        camera.auth = json::value_to<Config::User>(*auth);
    camera.transport = TransportFromJson(obj.if_contains("transport"));
    camera.lingerSeconds = LingerFromJson(obj.if_contains("lingerSeconds"));
    camera.keepWarm = FlagFromJson(obj.if_contains("keepWarm"), false);
    camera.instantStart = FlagFromJson(obj.if_contains("instantStart"), true);
    camera.name = RequiredString(obj, "name");
    camera.location = RequiredString(obj, "location");
    camera.path = fmt::format("/{}", RequiredString(obj, "path"));
    camera.url = RequiredString(obj, "url");
    return camera;
}

Config tag_invoke(json::value_to_tag<Config>, const json::value& jv) {
    const auto& obj = jv.as_object();
    Config config;
    if (const auto* rtsp = obj.if_contains("rtspServerSettings"); rtsp && rtsp->is_object())
        config.rtspServerSettings = json::value_to<Config::RtspServerSettings>(*rtsp);
    if (const auto* webRtc = obj.if_contains("webRtcServerSettings"); webRtc && webRtc->is_object())
        config.webRtcServerSettings = json::value_to<Config::WebRtcServerSettings>(*webRtc);
    if (const auto* cameras = obj.if_contains("cameras"); cameras && cameras->is_array()) {
        const auto& array = cameras->get_array();
        config.cameras.reserve(array.size());
        for (const auto& camera : array)
            config.cameras.push_back(json::value_to<Config::CameraSettings>(camera));
    }
    return config;
}

std::optional<Config> Read(const std::filesystem::path& path) {
    try {
        bool missing = false;
        const auto text = ReadText(path, missing);
        if (!text) {
            if (missing)
                SPDLOG_DEBUG("No ConfigFile found at '{}'", path.string());
            return std::nullopt;
        }

        json::error_code ec;
        const json::value document = json::parse(*text, ec);
        if (ec) {
            SPDLOG_ERROR("Failed to parse '{}' ({})", path.string(), ec.what());
            return std::nullopt;
        }

        auto config = json::value_to<Config>(document);

        if (const auto& name = config.rtspServerSettings.interface;
            name.size() > kMaxInterfaceName) {
            SPDLOG_ERROR("Interface name '{}' in '{}' is longer than {} bytes", name, path.string(),
                         kMaxInterfaceName);
            return std::nullopt;
        }

        auto& cameras = config.cameras;
        std::ranges::sort(cameras, {}, &Config::CameraSettings::path);
        const auto camera = std::ranges::adjacent_find(cameras, {}, &Config::CameraSettings::path);
        if (camera != cameras.end()) {
            SPDLOG_ERROR("Duplicate entry for path '{}' found in camera-array", camera->path);
            return std::nullopt;
        }

        auto& users = config.rtspServerSettings.users;
        std::ranges::sort(users, {}, &Config::ServerUser::name);
        const auto user = std::ranges::adjacent_find(users, {}, &Config::ServerUser::name);
        if (user != users.end()) {
            SPDLOG_ERROR("Duplicate user '{}' found in user-array", user->name);
            return std::nullopt;
        }
        return config;
    } catch (const std::exception& e) {
        // Conversion errors of the JSON library; also memory exhaustion on a huge file.
        SPDLOG_ERROR("Failed to parse '{}' ({})", path.string(), e.what());
        return std::nullopt;
    }
}

}  // namespace Norvane::Tavrel
