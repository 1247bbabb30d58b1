#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>

#include "kes/KesChannel.h"
#include "kes/KesDP.h"
#include "ovx/IOvxApiCommandHandler.h"
#include "ovx/IPlugin.h"
#include "ovx/IPluginManager.h"
#include "ovx/IPluginMqtt.h"
#include "ovx/OvxApiCommand.h"

/// Exported from the plug-in library, which is otherwise built with hidden visibility.
#define PELMORA_EXPORT __attribute__((visibility("default")))

namespace Norvane::Pelmora {

/// The MQTT plug-in: keeps one channel "MQTT-Channel" in the host's object model with one text
/// data point per topic, and offers the command "PublishMqttValue". Calls from several threads
/// are serialised by the plug-in's lock.
class PELMORA_EXPORT Plugin : public IPlugin,
                              public IPluginMqtt,
                              public IOvxApiCommandHandler,
                              public std::enable_shared_from_this<Plugin> {
public:
    /// The most data points the MQTT channel takes; topics beyond it are refused.
    static constexpr std::size_t kMaxDataPoints = 1000;
    /// The longest topic accepted, in bytes.
    static constexpr std::size_t kMaxTopicBytes = 1024;

    /// The factory the host calls (exported as "create_plugin"); `name` is not used.
    static std::shared_ptr<IPlugin> Create(IPluginManager& manager, const std::string& name);

    /// A plug-in of the given manager, which must outlive it.
    explicit Plugin(IPluginManager& manager);
    ~Plugin() override;
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    /// Finds or creates the MQTT channel.
    void Start() override;
    /// Deletes the MQTT channel and its data points from the model.
    void Stop() override;
    /// Writes the value (made valid UTF-8) to the topic's data point, creating what is missing.
    /// A topic that is empty, longer than kMaxTopicBytes, holds a NUL or an MQTT wildcard, or
    /// would need a data point beyond kMaxDataPoints is refused (false, one error line).
    bool Publish(std::string_view topic, std::string value) override;
    /// The command table: "PublishMqttValue". Throws std::bad_weak_ptr unless the plug-in is
    /// owned by a std::shared_ptr.
    std::vector<OvxApiCommand> GetCommands() override;

    /// Finds the channel "MQTT-Channel" or creates it; false when it cannot be created.
    bool InitMqttChannel();
    /// The data point of a topic, created on first use; empty on failure.
    std::shared_ptr<KesDP> GetMqttDataPoint(std::string_view topic);
    /// The body of "PublishMqttValue": parameters "topic" and "value".
    bool HandleCommandPublishMqttValue(const OvxApiCommand::Parameters& parameters);

private:
    bool InitMqttChannelLocked();
    std::shared_ptr<KesDP> GetMqttDataPointLocked(std::string_view topic);
    bool PublishLocked(std::string_view topic, std::string value);
    /// Why the topic cannot be published to (after logging it), or nothing when it can.
    std::optional<std::string> RefusalLocked(std::string_view topic);

    IPluginManager& manager_;
    std::shared_ptr<spdlog::logger> logger_;
    std::uint32_t hostApiVersion_;
    /* protects channel_ and the find-or-create of the channel and its data points; taken by
     * every public operation (the *Locked helpers run with it held) */
    std::mutex mutex_;
    std::shared_ptr<KesChannel> channel_;
};

}  // namespace Norvane::Pelmora
