#include "Plugin.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <boost/dll/alias.hpp>

#include "kes/KESVALUE.h"
#include "kes/KesDOM.h"
#include "kes/KesDevice.h"
#include "kes/KesEnum.h"
#include "kes/KesManageChannel.h"

namespace Norvane::Pelmora {

namespace {

constexpr const char* kLogFileName = "pelmora.log";
constexpr const char* kChannelName = "MQTT-Channel";
constexpr const char* kCommandName = "PublishMqttValue";
constexpr std::uint32_t kChannelType = 33;
constexpr std::uint32_t kDeviceType = 17;
constexpr std::uint32_t kAnyId = 0xFFFFFFFF;
constexpr std::uint32_t kChannelAttribute = 0xF000;
constexpr std::uint32_t kDataPointType = 65;
constexpr auto kTextValueType = static_cast<KesValueType>(10);
constexpr auto kNoSubType = static_cast<KesDP::KesValueSubType>(0);
constexpr std::uint8_t kDataPointAccess = 7;
constexpr std::uint8_t kDataPointFlags = 0;
constexpr std::uint32_t kChannelsEnumId = 34;
constexpr std::uint32_t kDataPointsEnumId = 301;
constexpr std::uint32_t kDevicesEnumId = 401;

constexpr int kParameterError = 2;
constexpr int kWriteError = 1;

// Writes the error member of a command's response, replacing an earlier one.
void SetError(OvxJson& response, int code, const std::string& text) {
    OvxJson error = OvxJson::object();
    error["code"] = code;
    error["text"] = text;
    error["hint"] = "";
    if (response.is_null())
        response = OvxJson::object();
    response["error"] = std::move(error);
}

// A topic as it may stand in a log line: cut to 64 bytes, control bytes escaped.
std::string Printable(std::string_view topic) {
    constexpr std::size_t kShown = 64;
    if (topic.size() <= kShown)
        return fmt::format("{:?}", topic);
    return fmt::format("{:?}... ({} bytes)", topic.substr(0, kShown), topic.size());
}

// A logger that drops everything, for a host that gives none.
std::shared_ptr<spdlog::logger> OrSilent(std::shared_ptr<spdlog::logger> logger) {
    if (logger)
        return logger;
    return std::make_shared<spdlog::logger>("pelmora");
}

}  // namespace

std::shared_ptr<IPlugin> Plugin::Create(IPluginManager& manager, const std::string& /*name*/) {
    return std::make_shared<Plugin>(manager);
}

Plugin::Plugin(IPluginManager& manager)
    : manager_(manager),
      logger_(OrSilent(manager.GetLogger(kLogFileName))),
      hostApiVersion_(manager.GetApiVersion()) {
    SPDLOG_LOGGER_INFO(logger_, "Plugin loaded.");
}

Plugin::~Plugin() {
    SPDLOG_LOGGER_INFO(logger_, "Plugin unloaded.");
    channel_.reset();
    logger_.reset();
}

void Plugin::Start() {
    std::lock_guard lock(mutex_);
    SPDLOG_LOGGER_INFO(logger_, "Plugin starting...");
    if (!InitMqttChannelLocked())
        SPDLOG_LOGGER_ERROR(logger_, "Failed to create MQTT channel");
}

bool Plugin::InitMqttChannel() {
    std::lock_guard lock(mutex_);
    return InitMqttChannelLocked();
}

bool Plugin::InitMqttChannelLocked() {
    const auto dom = manager_.GetDOM();
    const auto root = dom ? dom->GetRoot() : nullptr;
    const auto channels = root ? root->GetChannels() : nullptr;
    if (!channels) {
        SPDLOG_LOGGER_ERROR(logger_, "Failed to create MQTT channel");
        return false;
    }

    // A channel that survived an earlier run is reused with its data points.
    if (auto found = std::dynamic_pointer_cast<KesChannel>(
            channels->GetObjectByName_ptr(kChannelName, kChannelType))) {
        channel_ = std::move(found);
        SPDLOG_LOGGER_INFO(logger_, "MQTT channel found with ID {}", channel_->GetId());
        return true;
    }

    auto channel = channels->AddChannel_ptr(kAnyId);
    if (!channel) {
        SPDLOG_LOGGER_ERROR(logger_, "Failed to create MQTT channel");
        return false;
    }

    const auto& devices = root->GetDevices();
    std::shared_ptr<KesDevice> device;
    if (devices) {
        const std::size_t position = devices->GetSize() == 1 ? 0 : 1;
        device =
            std::dynamic_pointer_cast<KesDevice>(devices->GetObjectAt_ptr(position, kDeviceType));
    }
    if (device) {
        channel->SetParent(device);
        device->GetChannels().Add(channel);
    } else {
        // Without a device the channel stays a top-level channel of the channel collection: it
        // works as usual and is deleted by Stop like any other.
        SPDLOG_LOGGER_WARN(logger_, "No device for MQTT channel with ID {}; it has no parent",
                           channel->GetId());
    }
    channel->SetAttribute(kChannelAttribute);
    channel->SetName(kChannelName);

    channel_ = std::move(channel);
    SPDLOG_LOGGER_INFO(logger_, "Created MQTT channel with ID {}", channel_->GetId());
    return true;
}

std::shared_ptr<KesDP> Plugin::GetMqttDataPoint(std::string_view topic) {
    std::lock_guard lock(mutex_);
    return GetMqttDataPointLocked(topic);
}

std::shared_ptr<KesDP> Plugin::GetMqttDataPointLocked(std::string_view topic) {
    // A channel that the host deleted meanwhile is found or created anew.
    if (!channel_ || !channel_->IsInModel()) {
        channel_.reset();
        if (!InitMqttChannelLocked()) {
            SPDLOG_LOGGER_ERROR(logger_, "Failed to create MQTT channel");
            return nullptr;
        }
    }

    if (auto found = std::dynamic_pointer_cast<KesDP>(channel_->GetDataPoints().Get_ptr(topic)))
        return found;

    const auto dom = manager_.GetDOM();
    std::shared_ptr<KesDP> dp;
    if (dom) {
        dp = KesManageChannel::CreateDPAndSet_ptr(*dom, channel_, std::string(topic), kAnyId,
                                                  kDataPointType, kTextValueType, kNoSubType,
                                                  kDataPointAccess, kDataPointFlags);
    }
    if (!dp) {
        SPDLOG_LOGGER_ERROR(logger_, "Failed to create MQTT data point for topic '{}'", topic);
        return nullptr;
    }
    dp->SetValueEventAlways(false);
    SPDLOG_LOGGER_INFO(logger_, "Created MQTT data point for topic '{}' with ID {}", topic,
                       dp->GetId());
    return dp;
}

std::optional<std::string> Plugin::RefusalLocked(std::string_view topic) {
    std::string why;
    if (topic.empty()) {
        why = "Topic is empty";
    } else if (topic.size() > kMaxTopicBytes) {
        why = fmt::format("Topic is longer than {} bytes", kMaxTopicBytes);
    } else if (topic.find('\0') != std::string_view::npos) {
        why = "Topic contains a NUL byte";
    } else if (topic.find_first_of("+#") != std::string_view::npos) {
        why = "Topic contains an MQTT wildcard ('+' or '#')";
    } else if (channel_ && channel_->IsInModel() &&
               channel_->GetDataPoints().GetSize() >= kMaxDataPoints &&
               !std::dynamic_pointer_cast<KesDP>(channel_->GetDataPoints().Get_ptr(topic))) {
        // Existing data points keep working; only a new one counts against the limit.
        why = fmt::format("MQTT channel already holds {} data points", kMaxDataPoints);
    } else {
        return std::nullopt;
    }
    SPDLOG_LOGGER_ERROR(logger_, "Refused MQTT topic {}: {}", Printable(topic), why);
    return why;
}

bool Plugin::Publish(std::string_view topic, std::string value) {
    std::lock_guard lock(mutex_);
    if (RefusalLocked(topic))
        return false;
    return PublishLocked(topic, std::move(value));
}

bool Plugin::PublishLocked(std::string_view topic, std::string value) {
    const auto dp = GetMqttDataPointLocked(topic);
    if (!dp) {
        SPDLOG_LOGGER_ERROR(logger_, "Failed to get data point for MQTT topic '{}'", topic);
        return false;
    }
    const KESVALUE text(kTextValueType, KESVALUE::EnsureUTF8(value));
    if (!dp->SetValue(text, 0, 0, std::string())) {
        SPDLOG_LOGGER_ERROR(logger_, "Failed to set value of data point for MQTT topic '{}'",
                            topic);
        return false;
    }
    return true;
}

void Plugin::Stop() {
    std::lock_guard lock(mutex_);
    if (channel_) {
        if (const auto dom = manager_.GetDOM()) {
            auto& map = dom->GetObjectMap();
            KesManageChannel::Remove remove(
                *dom, map, std::dynamic_pointer_cast<KesEnum>(map.GetObject_ptr(kChannelsEnumId)),
                std::dynamic_pointer_cast<KesEnum>(map.GetObject_ptr(kDataPointsEnumId)),
                std::dynamic_pointer_cast<KesEnum>(map.GetObject_ptr(kDevicesEnumId)));
            remove.DeleteChannel(channel_);
        }
        channel_.reset();
    }
    SPDLOG_LOGGER_INFO(logger_, "Plugin stopped.");
}

std::vector<OvxApiCommand> Plugin::GetCommands() {
    auto self = shared_from_this();
    std::vector<OvxApiCommand> commands;
    commands.push_back(
        OvxApiCommand{OvxApiCommand::UserLevel{0}, kCommandName,
                      [self = std::move(self)](const OvxApiCommand::Parameters& parameters) {
                          return self->HandleCommandPublishMqttValue(parameters);
                      }});
    return commands;
}

bool Plugin::HandleCommandPublishMqttValue(const OvxApiCommand::Parameters& parameters) {
    const auto& request = parameters.request;
    // Not an object, or a topic that is not text: the JSON library's type error goes to the
    // caller.
    const auto topic = request.value("topic", std::string());
    if (topic.empty()) {
        const std::string text = "Missing or empty parameter 'topic'.";
        SPDLOG_LOGGER_ERROR(logger_, text);
        SetError(parameters.response, kParameterError, text);
        return false;
    }
    const auto value = request.find("value");
    if (value == request.end() || !value->is_string()) {
        const std::string text = "Missing or non-string parameter 'value'.";
        SPDLOG_LOGGER_ERROR(logger_, text);
        SetError(parameters.response, kParameterError, text);
        return false;
    }
    std::lock_guard lock(mutex_);
    if (const auto refusal = RefusalLocked(topic)) {
        SetError(parameters.response, kWriteError, *refusal);
        return false;
    }
    if (PublishLocked(topic, value->get<std::string>()))
        return true;
    SetError(parameters.response, kWriteError, "Failed to publish MQTT value");
    return false;
}

}  // namespace Norvane::Pelmora

BOOST_DLL_ALIAS(Norvane::Pelmora::Plugin::Create, create_plugin)
