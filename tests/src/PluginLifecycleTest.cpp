// The plug-in's lifecycle, channel and data points, through the host's loader on the built
// library.
#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "PluginFixture.h"
#include "kes/KesManageChannel.h"

namespace Norvane::Test {
namespace {

using PluginLifecycleTest = PluginFixture;

/// The plug-in's limit on data points in its channel.
constexpr std::size_t kMaxDataPoints = 1000;

TEST_F(PluginLifecycleTest, LoadingAndUnloadingAreLoggedToPelmoraLog) {
    Load("ignored name");
    EXPECT_EQ(manager_->ApiVersionCalls(), 1u);
    EXPECT_EQ(pluginLog_->Messages(), std::vector<std::string>{"Plugin loaded."});
    EXPECT_EQ(dom_->GetRoot()->GetChannels()->GetSize(), 0u) << "nothing happens before Start";
    plugin_.reset();
    EXPECT_EQ(pluginLog_->Messages(),
              (std::vector<std::string>{"Plugin loaded.", "Plugin unloaded."}));

    const auto file = ReadFile(logDir_ / "pelmora.log");
    EXPECT_NE(file.find("| info     | pelmora - Plugin loaded. [Plugin] (Plugin.cpp:"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("pelmora - Plugin unloaded. [~Plugin]"), std::string::npos) << file;
}

TEST_F(PluginLifecycleTest, StartCreatesTheChannelUnderTheDevice) {
    AddDevices(1);
    Load();
    plugin_->Start();

    const auto channel = Channel();
    ASSERT_TRUE(channel);
    const auto device = dom_->GetRoot()->GetDevices()->GetObjectAt_ptr(0, 17);
    EXPECT_EQ(channel->GetParent(), device);
    EXPECT_EQ(std::dynamic_pointer_cast<KesDevice>(device)->GetChannels().GetIds(),
              std::vector<std::uint32_t>{channel->GetId()});
    EXPECT_EQ(channel->GetAttribute(), 0xF000u);
    EXPECT_EQ(dom_->GetRoot()->GetChannels()->GetSize(), 1u);
    EXPECT_EQ(pluginLog_->Messages(),
              (std::vector<std::string>{
                  "Plugin loaded.", "Plugin starting...",
                  "Created MQTT channel with ID " + std::to_string(channel->GetId())}));
}

// Position 0 when the device enumeration holds exactly one object, else position 1.
TEST_F(PluginLifecycleTest, ChannelGoesToTheDeviceAtTheChosenPosition) {
    for (const auto& [devices, expected] : std::vector<std::pair<int, std::string>>{
             {1, "Device 1"}, {2, "Device 2"}, {3, "Device 2"}}) {
        SCOPED_TRACE(devices);
        dom_ = KesDOM::Create();
        manager_->SetDOM(dom_);
        AddDevices(devices);
        Load();
        plugin_->Start();
        ASSERT_TRUE(Channel());
        const auto parent = Channel()->GetParent();
        ASSERT_TRUE(parent);
        EXPECT_EQ(parent->GetName(), expected);
        plugin_.reset();
    }
}

// Without a device at the chosen position the channel stays a top-level channel: listed in the
// channel collection only, usable, and deleted by Stop.
TEST_F(PluginLifecycleTest, ChannelWithoutDeviceStaysParentlessAndWorks) {
    struct Case {
        const char* what;
        std::function<void(KesDOM&)> prepare;
    };
    const std::vector<Case> cases{
        {"no devices", [](KesDOM&) {}},
        {"two objects, the second not a device",
         [](KesDOM& dom) {
             dom.AddDevice("Device 1");
             dom.GetRoot()->GetDevices()->Add(dom.CreateObject<KesEnum>(kKesAnyId, "Group"));
         }},
        {"the only object not a device",
         [](KesDOM& dom) {
             dom.GetRoot()->GetDevices()->Add(dom.CreateObject<KesEnum>(kKesAnyId, "Group"));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dom_ = KesDOM::Create();
        manager_->SetDOM(dom_);
        c.prepare(*dom_);
        Load();
        pluginLog_->Clear();
        plugin_->Start();

        const auto channel = Channel();
        ASSERT_TRUE(channel);
        EXPECT_EQ(channel->GetParent(), nullptr);
        const auto devices = dom_->GetRoot()->GetDevices();
        for (std::size_t i = 0; i < devices->GetSize(); ++i) {
            if (auto device =
                    std::dynamic_pointer_cast<KesDevice>(devices->GetObjectAt_ptr(i, 17))) {
                EXPECT_FALSE(device->GetChannels().Contains(channel->GetId()));
            }
        }
        EXPECT_EQ(Logged("No device for MQTT channel with ID " + std::to_string(channel->GetId()) +
                         "; it has no parent"),
                  1u);
        EXPECT_EQ(Logged("Created MQTT channel with ID " + std::to_string(channel->GetId())), 1u);

        EXPECT_TRUE(mqtt_->Publish("t", "v"));
        ASSERT_TRUE(DataPoint("t"));
        EXPECT_EQ(DataPoint("t")->GetValue().GetText(), "v");
        const auto dpId = DataPoint("t")->GetId();
        plugin_->Stop();
        EXPECT_FALSE(dom_->GetObjectMap().Contains(channel->GetId()));
        EXPECT_FALSE(dom_->GetObjectMap().Contains(dpId));
        EXPECT_EQ(dom_->GetRoot()->GetChannels()->GetSize(), 0u);
        plugin_.reset();
    }
}

TEST_F(PluginLifecycleTest, StartReusesAnExistingChannelWithItsDataPoints) {
    AddDevices(1);
    Load();
    plugin_->Start();
    ASSERT_TRUE(mqtt_->Publish("kept", "old"));
    const auto channelId = Channel()->GetId();
    plugin_.reset();  // unloaded without Stop: the channel survives in the model

    pluginLog_->Clear();
    Load();
    plugin_->Start();
    EXPECT_EQ(dom_->GetRoot()->GetChannels()->GetSize(), 1u);
    EXPECT_EQ(Logged("MQTT channel found with ID " + std::to_string(channelId)), 1u);
    ASSERT_TRUE(mqtt_->Publish("kept", "new"));
    EXPECT_EQ(DataPoint("kept")->GetValue().GetText(), "new");
    EXPECT_EQ(pluginLog_->Messages(),
              (std::vector<std::string>{"Plugin loaded.", "Plugin starting...",
                                        "MQTT channel found with ID " + std::to_string(channelId)}))
        << "no creation lines";
}

TEST_F(PluginLifecycleTest, PublishBeforeStartCreatesTheChannelOnTheSpot) {
    AddDevices(1);
    Load();
    ASSERT_TRUE(mqtt_->Publish("a/b", "1"));
    const auto channel = Channel();
    ASSERT_TRUE(channel);
    const auto dp = DataPoint("a/b");
    ASSERT_TRUE(dp);
    EXPECT_EQ(dp->GetValue(), KESVALUE(KesValueType::Text, std::string("1")));
    EXPECT_EQ(
        pluginLog_->Messages(),
        (std::vector<std::string>{
            "Plugin loaded.", "Created MQTT channel with ID " + std::to_string(channel->GetId()),
            "Created MQTT data point for topic 'a/b' with ID " + std::to_string(dp->GetId())}));

    plugin_->Start();  // finds the channel made by the publish
    EXPECT_EQ(Logged("MQTT channel found with ID " + std::to_string(channel->GetId())), 1u);
    EXPECT_EQ(dom_->GetRoot()->GetChannels()->GetSize(), 1u);
}

TEST_F(PluginLifecycleTest, SecondPublishReusesTheDataPoint) {
    AddDevices(1);
    Load();
    plugin_->Start();
    std::vector<std::string> events;
    dom_->Subscribe([&](const KesEvent& e) {
        if (e.kind == KesEvent::Kind::Value)
            events.push_back(e.name + "=" + e.value.GetText());
    });

    ASSERT_TRUE(mqtt_->Publish("a/b", "1"));
    const auto dp = DataPoint("a/b");
    ASSERT_TRUE(dp);
    ASSERT_TRUE(mqtt_->Publish("a/b", "1"));
    ASSERT_TRUE(mqtt_->Publish("a/b", "2"));
    EXPECT_EQ(DataPoint("a/b"), dp);
    EXPECT_EQ(Channel()->GetDataPoints().GetSize(), 1u);
    EXPECT_EQ(
        Logged("Created MQTT data point for topic 'a/b' with ID " + std::to_string(dp->GetId())),
        1u);
    EXPECT_EQ(dp->GetValue().GetText(), "2");
    EXPECT_FALSE(dp->GetValueEventAlways());
    EXPECT_EQ(events, (std::vector<std::string>{"a/b=1", "a/b=2"})) << "events on change only";
    EXPECT_EQ(dp->GetValueType(), KesValueType::Text);
}

TEST_F(PluginLifecycleTest, TopicsAreDataPointNamesUnchanged) {
    AddDevices(1);
    Load();
    for (const std::string topic : {"a/b", "a/B", "/", " spaced "})
        ASSERT_TRUE(mqtt_->Publish(topic, topic)) << topic;
    const auto& dps = Channel()->GetDataPoints();
    ASSERT_EQ(dps.GetSize(), 4u);
    for (const std::string topic : {"a/b", "a/B", "/", " spaced "}) {
        ASSERT_TRUE(DataPoint(topic)) << topic;
        EXPECT_EQ(DataPoint(topic)->GetValue().GetText(), topic);
    }
}

TEST_F(PluginLifecycleTest, EveryValueIsMadeValidUtf8) {
    AddDevices(1);
    Load();
    ASSERT_TRUE(mqtt_->Publish("t", "caf\xE9 \xE2\x82\xAC \x80"));
    EXPECT_EQ(DataPoint("t")->GetValue().GetText(), "caf\xEF\xBF\xBD \xE2\x82\xAC \xEF\xBF\xBD");
    ASSERT_TRUE(mqtt_->Publish("t", "ok \xC3\xA4"));
    EXPECT_EQ(DataPoint("t")->GetValue().GetText(), "ok \xC3\xA4");
}

TEST_F(PluginLifecycleTest, StopDeletesChannelAndDataPointsAndSecondStopOnlyLogs) {
    AddDevices(1);
    Load();
    plugin_->Start();
    ASSERT_TRUE(mqtt_->Publish("a", "1"));
    ASSERT_TRUE(mqtt_->Publish("b", "2"));
    const auto channelId = Channel()->GetId();
    const std::vector<std::uint32_t> dpIds{DataPoint("a")->GetId(), DataPoint("b")->GetId()};
    const auto device =
        std::dynamic_pointer_cast<KesDevice>(dom_->GetRoot()->GetDevices()->GetObjectAt_ptr(0, 17));
    const auto objectsBefore = dom_->GetObjectMap().GetSize();

    pluginLog_->Clear();
    plugin_->Stop();
    EXPECT_FALSE(dom_->GetObjectMap().Contains(channelId));
    for (const auto id : dpIds) {
        EXPECT_FALSE(dom_->GetObjectMap().Contains(id));
        EXPECT_FALSE(dom_->GetRoot()->GetDataPoints()->Contains(id));
    }
    EXPECT_EQ(dom_->GetObjectMap().GetSize(), objectsBefore - 3);
    EXPECT_EQ(device->GetChannels().GetSize(), 0u);
    EXPECT_FALSE(Channel());

    plugin_->Stop();
    EXPECT_EQ(pluginLog_->Messages(),
              (std::vector<std::string>{"Plugin stopped.", "Plugin stopped."}));
    EXPECT_EQ(dom_->GetObjectMap().GetSize(), objectsBefore - 3);
}

TEST_F(PluginLifecycleTest, StopWithoutChannelOnlyLogs) {
    Load();
    const auto objects = dom_->GetObjectMap().GetSize();
    plugin_->Stop();
    EXPECT_EQ(pluginLog_->Messages(),
              (std::vector<std::string>{"Plugin loaded.", "Plugin stopped."}));
    EXPECT_EQ(dom_->GetObjectMap().GetSize(), objects);
}

TEST_F(PluginLifecycleTest, PublishAfterStopCreatesChannelAndDataPointAnew) {
    AddDevices(1);
    Load();
    plugin_->Start();
    ASSERT_TRUE(mqtt_->Publish("a/b", "1"));
    const auto oldChannel = Channel()->GetId();
    const auto oldDp = DataPoint("a/b")->GetId();
    plugin_->Stop();

    ASSERT_TRUE(mqtt_->Publish("a/b", "2"));
    ASSERT_TRUE(Channel());
    EXPECT_NE(Channel()->GetId(), oldChannel);
    EXPECT_NE(DataPoint("a/b")->GetId(), oldDp);
    EXPECT_EQ(DataPoint("a/b")->GetValue().GetText(), "2");
    EXPECT_EQ(Channel()->GetParent()->GetName(), "Device 1");
    EXPECT_EQ(Logged("Created MQTT channel with ID " + std::to_string(Channel()->GetId())), 1u);
}

TEST_F(PluginLifecycleTest, ChannelDeletedByTheHostIsCreatedAgain) {
    AddDevices(1);
    Load();
    plugin_->Start();
    ASSERT_TRUE(mqtt_->Publish("a", "1"));
    auto& map = dom_->GetObjectMap();
    const auto root = dom_->GetRoot();
    KesManageChannel::Remove(*dom_, map, root->GetChannels(), root->GetDataPoints(),
                             root->GetDevices())
        .DeleteChannel(Channel());
    ASSERT_FALSE(Channel());

    ASSERT_TRUE(mqtt_->Publish("a", "2"));
    ASSERT_TRUE(Channel());
    EXPECT_EQ(DataPoint("a")->GetValue().GetText(), "2");
}

TEST_F(PluginLifecycleTest, FailuresAreLoggedAndReportedAsFalse) {
    AddDevices(1);
    Load();
    manager_->SetDOM(nullptr);  // the host has no model
    pluginLog_->Clear();
    plugin_->Start();
    EXPECT_EQ(Logged("Failed to create MQTT channel"), 2u) << "InitMqttChannel and Start";
    EXPECT_FALSE(mqtt_->Publish("t", "v"));
    EXPECT_EQ(Logged("Failed to create MQTT channel"), 4u);
    EXPECT_EQ(Logged("Failed to get data point for MQTT topic 't'"), 1u);
    plugin_->Stop();
    EXPECT_EQ(Logged("Plugin stopped."), 1u);

    for (const auto& record : pluginLog_->Records()) {
        if (record.message.rfind("Failed", 0) == 0) {
            EXPECT_EQ(record.level, spdlog::level::err) << record.message;
        }
    }
}

// An object of another kind under the topic's name is not the data point; the model keeps names
// unique within a channel, so no second object of that name is made.
TEST_F(PluginLifecycleTest, NameTakenByAnotherKindOfObjectIsNotADataPoint) {
    AddDevices(1);
    Load();
    plugin_->Start();
    const auto other = dom_->CreateObject<KesEnum>(kKesAnyId, "t");
    ASSERT_TRUE(Channel()->GetDataPoints().Add(other));
    pluginLog_->Clear();
    EXPECT_FALSE(mqtt_->Publish("t", "v"));
    EXPECT_EQ(pluginLog_->Messages(),
              (std::vector<std::string>{"Failed to create MQTT data point for topic 't'",
                                        "Failed to get data point for MQTT topic 't'"}));
    EXPECT_EQ(Channel()->GetDataPoints().GetSize(), 1u);
}

// A data point of the topic's name that holds another type refuses the text: no success is
// claimed for a value that was not stored.
TEST_F(PluginLifecycleTest, DataPointOfAnotherValueTypeRefusesTheText) {
    AddDevices(1);
    Load();
    plugin_->Start();
    const auto number =
        KesManageChannel::CreateDPAndSet_ptr(*dom_, Channel(), "n", kKesAnyId, 65,
                                             KesValueType::Int, KesDP::KesValueSubType::None, 7, 0);
    ASSERT_TRUE(number);
    pluginLog_->Clear();
    EXPECT_FALSE(mqtt_->Publish("n", "5"));
    EXPECT_TRUE(number->GetValue().IsEmpty());
    EXPECT_EQ(pluginLog_->Messages(),
              std::vector<std::string>{"Failed to set value of data point for MQTT topic 'n'"});
}

TEST_F(PluginLifecycleTest, UnfitTopicsAndTopicsBeyondTheLimitAreRefusedWithOneLine) {
    AddDevices(1);
    Load();
    plugin_->Start();
    const std::vector<std::pair<std::string, std::string>> refused{
        {"", R"(Refused MQTT topic "": Topic is empty)"},
        {"a/#", R"(Refused MQTT topic "a/#": Topic contains an MQTT wildcard ('+' or '#'))"},
        {"a/+/b", R"(Refused MQTT topic "a/+/b": Topic contains an MQTT wildcard ('+' or '#'))"},
        {std::string("a\0b", 3), R"(Refused MQTT topic "a\x00b": Topic contains a NUL byte)"},
        {std::string(1025, 'x'), "Refused MQTT topic \"" + std::string(64, 'x') +
                                     "\"... (1025 bytes): Topic is longer than 1024 bytes"},
    };
    for (const auto& [topic, line] : refused) {
        pluginLog_->Clear();
        EXPECT_FALSE(mqtt_->Publish(topic, "v"));
        EXPECT_EQ(pluginLog_->Messages(), std::vector<std::string>{line});
    }
    EXPECT_EQ(Channel()->GetDataPoints().GetSize(), 0u);

    ASSERT_TRUE(mqtt_->Publish(std::string(1024, 'x'), "v"));
    for (std::size_t i = 1; i < kMaxDataPoints; ++i)
        ASSERT_TRUE(mqtt_->Publish("t" + std::to_string(i), "v"));
    pluginLog_->Clear();
    EXPECT_FALSE(mqtt_->Publish("one/more", "v"));
    EXPECT_EQ(pluginLog_->Messages(),
              std::vector<std::string>{
                  R"(Refused MQTT topic "one/more": MQTT channel already holds 1000 data points)"});
    EXPECT_TRUE(mqtt_->Publish("t1", "again")) << "existing data points keep working";
    EXPECT_EQ(DataPoint("t1")->GetValue().GetText(), "again");
    EXPECT_EQ(Channel()->GetDataPoints().GetSize(), kMaxDataPoints);
}

TEST_F(PluginLifecycleTest, PublishAndCommandFromTwoThreadsMakeOneDataPointPerTopic) {
    AddDevices(1);
    Load();
    const auto commands = PluginLoader::GetCommands(plugin_);
    ASSERT_EQ(commands.size(), 1u);
    constexpr int kTopics = 200;
    std::thread publisher([&] {
        for (int i = 0; i < kTopics; ++i)
            mqtt_->Publish("t" + std::to_string(i), "p");
    });
    for (int i = 0; i < kTopics; ++i) {
        const OvxJson request{{"topic", "t" + std::to_string(i)}, {"value", "c"}};
        OvxJson response;
        const std::string client = "test";
        commands[0].handler({request, client, response});
    }
    publisher.join();
    EXPECT_EQ(Channel()->GetDataPoints().GetSize(), static_cast<std::size_t>(kTopics));
}

}  // namespace
}  // namespace Norvane::Test
