#include "SimState.h"

#include <spdlog/spdlog.h>

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>

namespace Norvane::Tools {

std::optional<std::filesystem::path> SimState::ConfigPath() const {
    if (!applicationPath || !applicationPath->is_string() ||
        applicationPath->get_ref<const std::string&>().empty())
        return std::nullopt;
    return std::filesystem::path(applicationPath->get<std::string>());
}

std::optional<std::int32_t> SimState::SeverityNumber() const {
    if (!syslogSeverity)
        return std::nullopt;
    const nlohmann::json& severity = *syslogSeverity;
    if (severity.is_number_integer()) {
        const auto v = severity.get<std::int64_t>();
        if (severity.is_number_unsigned() &&
            severity.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            return std::nullopt;
        if (v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return static_cast<std::int32_t>(v);
    }
    if (!severity.is_string())
        return std::nullopt;
    const auto& text = severity.get_ref<const std::string&>();
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<SimState> LoadSimState(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        SPDLOG_ERROR("Cannot read state file '{}'", file.string());
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const auto json = nlohmann::json::parse(text.str(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        SPDLOG_ERROR("State file '{}' is not a JSON object", file.string());
        return std::nullopt;
    }
    SimState state;
    if (const auto it = json.find("applicationPath"); it != json.end())
        state.applicationPath = *it;
    if (const auto it = json.find("SyslogSeverity"); it != json.end())
        state.syslogSeverity = *it;
    return state;
}

}  // namespace Norvane::Tools
