#include "zorbixclient/ConfigurationChanged.h"

#include <limits>

namespace Norvane::zorbixclient {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::optional<std::int32_t> Severity(const nlohmann::json& message) {
    const auto it = message.find("severity");
    if (it == message.end())
        return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            return std::nullopt;
        return static_cast<std::int32_t>(v);
    }
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        if (v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return static_cast<std::int32_t>(v);
    }
    return std::nullopt;
}

}  // namespace

std::optional<ConfigurationChanged> ParseConfigurationChanged(const nlohmann::json& message) {
    if (!message.is_object())
        return std::nullopt;
    const auto event = message.find("event");
    const auto kind = message.find("kind");
    if (event == message.end() || *event != kConfigurationChangedEvent || kind == message.end() ||
        !kind->is_string())
        return std::nullopt;
    const auto& name = kind->get_ref<const std::string&>();
    if (name == "device")
        return DeviceConfigurationChanged{};
    if (name == "project")
        return ProjectConfigurationChanged{};
    if (name == "ui")
        return UiConfigurationChanged{};
    if (name == "network")
        return NetworkConfigurationChanged{};
    if (name == "object")
        return ObjectConfigurationChanged{};
    if (name == "logging") {
        if (const auto severity = Severity(message))
            return LoggingConfigurationChanged{*severity};
        return std::nullopt;
    }
    return OtherConfigurationChanged{name};
}

nlohmann::json ToJson(const ConfigurationChanged& event) {
    nlohmann::json j{{"event", kConfigurationChangedEvent}};
    std::visit(Overloaded{
                   [&](const DeviceConfigurationChanged&) { j["kind"] = "device"; },
                   [&](const ProjectConfigurationChanged&) { j["kind"] = "project"; },
                   [&](const UiConfigurationChanged&) { j["kind"] = "ui"; },
                   [&](const NetworkConfigurationChanged&) { j["kind"] = "network"; },
                   [&](const ObjectConfigurationChanged&) { j["kind"] = "object"; },
                   [&](const LoggingConfigurationChanged& e) {
                       j["kind"] = "logging";
                       j["severity"] = e.severity;
                   },
                   [&](const OtherConfigurationChanged& e) { j["kind"] = e.kind; },
               },
               event);
    return j;
}

}  // namespace Norvane::zorbixclient
