#include "Tavrel/OvxApiClient.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace Norvane::Tavrel {

namespace {

constexpr const char* kAppName = "Tavrel";
constexpr std::chrono::milliseconds kRequestTimeout{10000};

/// Scans an unsigned number the way the usual scanning defaults do: leading whitespace is
/// skipped, one '+' is accepted, a '-' is not, base 10, trailing text is ignored and a value
/// that does not fit is an error. The width is fixed at 32 bits, the target's std::size_t, so
/// that a 64-bit build does not accept values the target would reject.
std::optional<unsigned int> ScanUnsigned(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i;
    unsigned int value = 0;
    const auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
    if (ec != std::errc{})
        return std::nullopt;
    return value;
}

}  // namespace

OvxApiClient::OvxApiClient(boost::asio::io_context& io) : client_(io) {}

void OvxApiClient::Connect(std::function<void(bool)> done) {
    client_.SetConfigurationChangedHandler(
        [this](const zorbixclient::ConfigurationChanged& event) { OnConfigurationChanged(event); });
    client_.Connect(zorbixclient::MakeConnectionInfo(kAppName, "generic", ""),
                    [done = std::move(done)](const boost::system::error_code& ec) {
                        const zorbixclient::Result result(ec);
                        if (result.Failed()) {
                            SPDLOG_ERROR("Failed to connect to device: {}:{}", result.Code(),
                                         result.Message());
                            if (done)
                                done(false);
                            return;
                        }
                        SPDLOG_INFO("Connected to device");
                        if (done)
                            done(true);
                    });
}

void OvxApiClient::OnConfigurationChanged(const zorbixclient::ConfigurationChanged& event) {
    std::visit(
        [this](const auto& changed) {
            using T = std::decay_t<decltype(changed)>;
            if constexpr (std::is_same_v<T, zorbixclient::ProjectConfigurationChanged>) {
                if (projectHandler_)
                    projectHandler_();
            } else if constexpr (std::is_same_v<T, zorbixclient::LoggingConfigurationChanged>) {
                if (loggingHandler_)
                    loggingHandler_(changed.severity);
            }
        },
        event);
}

void OvxApiClient::SetLoggingChangedHandler(LoggingChangedHandler handler) {
    loggingHandler_ = std::move(handler);
}

void OvxApiClient::SetProjectChangedHandler(ProjectChangedHandler handler) {
    projectHandler_ = std::move(handler);
}

void OvxApiClient::GetLogLevel(std::function<void(std::optional<unsigned int>)> done) {
    if (!done)
        done = [](std::optional<unsigned int>) {};
    nlohmann::json request{{"command", "getdeviceconfig"}, {"ipc", true}};
    client_.SendRequest(
        std::move(request), kRequestTimeout,
        [done = std::move(done)](zorbixclient::TRresult<nlohmann::json>& result) {
            if (result.Failed()) {
                SPDLOG_WARN("Failed to request deviceconfig to determine current loglevel ({})",
                            result.Message());
                done(std::nullopt);
                return;
            }
            std::string severity;
            try {
                severity = result.Value()
                               .at("deviceConfig")
                               .at("ipc")
                               .at("SyslogSeverity")
                               .get<std::string>();
            } catch (const std::exception& e) {
                SPDLOG_WARN("Failed to get syslog severity from deviceconfig ({})", e.what());
                done(std::nullopt);
                return;
            }
            const auto value = ScanUnsigned(severity);
            if (!value) {
                SPDLOG_WARN("not a std::size_t in deviceconfig (was: {})", severity);
                done(std::nullopt);
                return;
            }
            done(*value);
        });
}

void OvxApiClient::GetConfigFile(std::function<void(std::optional<std::filesystem::path>)> done) {
    if (!done)
        done = [](std::optional<std::filesystem::path>) {};
    nlohmann::json request{{"command", "GetConfiguration"},
                           {"object", {{"urn", fmt::format("urn:ovx:app:{}", kAppName)}}}};
    client_.SendRequest(
        std::move(request), kRequestTimeout,
        [done = std::move(done)](zorbixclient::TRresult<nlohmann::json>& result) {
            if (result.Failed()) {
                SPDLOG_WARN(
                    "Failed to request configuration to determine application config file ({})",
                    result.Message());
                done(std::nullopt);
                return;
            }
            std::string path;
            try {
                path = result.Value().at("object").at("applicationPath").get<std::string>();
            } catch (const std::exception& e) {
                SPDLOG_WARN("{}", e.what());
                done(std::nullopt);
                return;
            }
            done(std::filesystem::path(std::move(path)));
        });
}

void OvxApiClient::Disconnect() {
    client_.Disconnect([](const boost::system::error_code& ec) {
        const zorbixclient::Result result(ec);
        if (result.Failed())
            SPDLOG_ERROR("Failed to disconnect from zorbix '{}:{}'", result.Code(),
                         result.Message());
    });
}

}  // namespace Norvane::Tavrel
