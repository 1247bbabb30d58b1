#include "Tavrel/OvxApiClient.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace Norvane::Tavrel {

namespace {

constexpr const char* kAppName = "Tavrel";
constexpr std::chrono::milliseconds kRequestTimeout{10000};
constexpr const char* kRetryOverride = "TAVREL_DEVICESTACK_RETRY_MS";

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

/// The first retry delay from the environment, if set to a positive number of milliseconds.
std::optional<std::chrono::milliseconds> RetryOverride() {
    const char* text = std::getenv(kRetryOverride);
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    const std::string_view view(text);
    unsigned int ms = 0;
    const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), ms);
    if (ec != std::errc{} || end != view.data() + view.size() || ms == 0) {
        SPDLOG_WARN("Ignoring {}='{}': not a positive number", kRetryOverride, view);
        return std::nullopt;
    }
    return std::chrono::milliseconds(ms);
}

}  // namespace

OvxApiClient::OvxApiClient(boost::asio::io_context& io)
    : client_(io),
      retryTimer_(io),
      firstRetryDelay_(kFirstRetryDelay),
      maxRetryDelay_(kMaxRetryDelay),
      retryDelay_(kFirstRetryDelay) {
    if (const auto delay = RetryOverride()) {
        SPDLOG_INFO("Device stack retry delay {} ms from {}", delay->count(), kRetryOverride);
        firstRetryDelay_ = retryDelay_ = *delay;
        maxRetryDelay_ = *delay * (kMaxRetryDelay / kFirstRetryDelay);
    }
}

void OvxApiClient::Connect(std::function<void(bool)> done) {
    client_.SetConfigurationChangedHandler(
        [this](const zorbixclient::ConfigurationChanged& event) { OnConfigurationChanged(event); });
    client_.SetConnectionLostHandler(
        [this](const boost::system::error_code& ec) { OnConnectionLost(ec); });
    connectedHandler_ = std::move(done);
    stopped_ = false;
    TryConnect();
}

void OvxApiClient::TryConnect() {
    client_.Connect(zorbixclient::MakeConnectionInfo(kAppName, "generic", ""),
                    [this](const boost::system::error_code& ec) { OnConnectResult(ec); });
}

void OvxApiClient::OnConnectResult(const boost::system::error_code& ec) {
    if (stopped_)
        return;
    const zorbixclient::Result result(ec);
    if (result.Failed()) {
        // One line when the device stack goes missing, none for each further attempt.
        if (!down_) {
            SPDLOG_ERROR("Failed to connect to device: {}:{}", result.Code(), result.Message());
            down_ = true;
            if (!everConnected_ && connectedHandler_)
                connectedHandler_(false);
        }
        RetryLater();
        return;
    }
    SPDLOG_INFO("Connected to device");
    down_ = false;
    everConnected_ = true;
    retryDelay_ = firstRetryDelay_;
    if (connectedHandler_)
        connectedHandler_(true);
}

void OvxApiClient::OnConnectionLost(const boost::system::error_code& ec) {
    if (stopped_)
        return;
    SPDLOG_WARN("Connection to device lost ({}), reconnecting", ec.message());
    down_ = true;
    retryDelay_ = firstRetryDelay_;
    RetryLater();
}

void OvxApiClient::RetryLater() {
    retryTimer_.expires_after(retryDelay_);
    retryDelay_ = std::min(retryDelay_ * 2, maxRetryDelay_);
    // The handler touches nothing when the wait was cancelled: the client may be gone.
    retryTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec && !stopped_)
            TryConnect();
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
    stopped_ = true;
    retryTimer_.cancel();
    client_.Disconnect([](const boost::system::error_code& ec) {
        const zorbixclient::Result result(ec);
        if (result.Failed())
            SPDLOG_ERROR("Failed to disconnect from zorbix '{}:{}'", result.Code(),
                         result.Message());
    });
}

}  // namespace Norvane::Tavrel
