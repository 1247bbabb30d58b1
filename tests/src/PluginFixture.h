#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "LogCapture.h"
#include "TestEnv.h"
#include "kes/KesDOM.h"
#include "kes/KesDP.h"
#include "ovx/IOvxApiCommandHandler.h"
#include "ovx/IPluginMqtt.h"
#include "ovx/PluginLoader.h"
#include "ovx/PluginManager.h"

namespace Norvane::Test {

/// The built plug-in, loaded through the host's loader over a fresh model. The plug-in's log
/// goes to pelmora.log in a temporary directory and to a capturing sink.
class PluginFixture : public ::testing::Test {
protected:
    static std::filesystem::path Library() { return BuildDir() / "src" / "libovx_pelmora.so"; }

    void SetUp() override {
        manager_ = std::make_unique<PluginManager>(dom_, logDir_.path(),
                                                   std::vector<spdlog::sink_ptr>{pluginLog_});
    }

    void TearDown() override { plugin_.reset(); }

    /// Adds devices named "Device 1" ... "Device n" to the model.
    void AddDevices(int n) {
        for (int i = 1; i <= n; ++i)
            dom_->AddDevice("Device " + std::to_string(i));
    }

    /// Loads the plug-in (once per test unless reset).
    void Load(const std::string& name = "pelmora") {
        plugin_ = PluginLoader::Load(Library(), *manager_, name);
        ASSERT_TRUE(plugin_) << "loading " << Library();
        mqtt_ = dynamic_cast<IPluginMqtt*>(plugin_.get());
        ASSERT_TRUE(mqtt_);
    }

    /// The channel collection's channel of that name, if any.
    std::shared_ptr<KesChannel> Channel(const std::string& name = "MQTT-Channel") {
        return std::dynamic_pointer_cast<KesChannel>(
            dom_->GetRoot()->GetChannels()->GetObjectByName_ptr(name, 33));
    }

    /// The data point of a topic in the MQTT channel, if any.
    std::shared_ptr<KesDP> DataPoint(const std::string& topic) {
        const auto channel = Channel();
        return channel ? std::dynamic_pointer_cast<KesDP>(channel->GetDataPoints().Get_ptr(topic))
                       : nullptr;
    }

    /// How many log records carry this message.
    std::size_t Logged(const std::string& message) { return pluginLog_->Count(message); }

    TempDir logDir_;
    std::shared_ptr<CapturingSink> pluginLog_ = std::make_shared<CapturingSink>();
    LogCapture hostLog_;
    std::shared_ptr<KesDOM> dom_ = KesDOM::Create();
    std::unique_ptr<PluginManager> manager_;
    std::shared_ptr<IPlugin> plugin_;
    IPluginMqtt* mqtt_ = nullptr;
};

}  // namespace Norvane::Test
