#include "Tavrel/ConfigFile.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <boost/json/parse.hpp>
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

// Reads the whole file; nothing when it cannot be opened or read (a directory, no permission).
std::optional<std::string> ReadText(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return std::nullopt;
    return text;
}

// A "port": an integer, or a floating-point number with an exact unsigned 16-bit value
// (554.0). Anything else throws the library's system_error (not a number, not exact).
std::uint16_t PortFromJson(const json::value& jv) {
    return jv.to_number<std::uint16_t>();
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
        const auto text = ReadText(path);
        if (!text) {
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
