// The command "PublishMqttValue", through the command table of the loaded plug-in.
#include <gtest/gtest.h>

#include <vector>

#include "PluginFixture.h"
#include "kes/KesManageChannel.h"

namespace Norvane::Test {
namespace {

const std::string kTopicError = "Missing or empty parameter 'topic'.";
const std::string kValueError = "Missing or non-string parameter 'value'.";

class PluginCommandTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        AddDevices(1);
        Load();
        plugin_->Start();
        commands_ = PluginLoader::GetCommands(plugin_);
        ASSERT_EQ(commands_.size(), 1u);
        pluginLog_->Clear();
    }

    void TearDown() override {
        commands_.clear();
        PluginFixture::TearDown();
    }

    /// Runs the command with parameters given as JSON text; the response is kept in response_.
    bool Run(const std::string& parameters) {
        const auto request = OvxJson::parse(parameters);
        return commands_.at(0).handler({request, client_, response_});
    }

    static std::string Error(int code, const std::string& text) {
        return R"({"error":{"code":)" + std::to_string(code) + R"(,"hint":"","text":")" + text +
               R"("}})";
    }

    std::vector<OvxApiCommand> commands_;
    std::string client_ = "test";
    OvxJson response_;
};

TEST_F(PluginCommandTest, TableHoldsPublishMqttValueForAnyUser) {
    const auto& command = commands_.at(0);
    EXPECT_EQ(command.name, "PublishMqttValue");
    ASSERT_EQ(command.access.index(), 1u);
    EXPECT_EQ(std::get<OvxApiCommand::UserLevel>(command.access).minimum, 0u);
    // Built anew at each call.
    EXPECT_EQ(PluginLoader::GetCommands(plugin_).size(), 1u);
}

TEST_F(PluginCommandTest, GoodParametersWriteTheValueAndLeaveTheResponseAlone) {
    EXPECT_TRUE(Run(R"({"topic":"a/b","value":"1"})"));
    EXPECT_TRUE(response_.is_null());
    ASSERT_TRUE(DataPoint("a/b"));
    EXPECT_EQ(DataPoint("a/b")->GetValue().GetText(), "1");

    response_ = OvxJson::parse(R"({"kept":true})");
    EXPECT_TRUE(Run(R"({"topic":"a/b","value":""})")) << "an empty text is a value";
    EXPECT_EQ(response_.dump(), R"({"kept":true})");
    EXPECT_EQ(DataPoint("a/b")->GetValue().GetText(), "");
}

TEST_F(PluginCommandTest, ParameterNamesInOtherLetterCaseAreAccepted) {
    for (const auto& [parameters, topic] : std::vector<std::pair<std::string, std::string>>{
             {R"({"TOPIC":"upper","VALUE":"1"})", "upper"},
             {R"({"Topic":"capital","Value":"2"})", "capital"},
             {R"({"tOpIc":"mixed","vaLUE":"3"})", "mixed"}}) {
        SCOPED_TRACE(parameters);
        EXPECT_TRUE(Run(parameters));
        ASSERT_TRUE(DataPoint(topic));
    }
    EXPECT_TRUE(response_.is_null());
}

TEST_F(PluginCommandTest, ParameterErrorsAnswerCodeTwoInTableOrder) {
    struct Case {
        const char* parameters;
        const std::string& text;
    };
    for (const auto& c : std::vector<Case>{
             {R"({})", kTopicError},
             {R"({"topic":""})", kTopicError},
             {R"({"topic":"","value":"1"})", kTopicError},
             {R"({"value":"1"})", kTopicError},
             {R"({"topic":"t"})", kValueError},
             {R"({"topic":"t","value":5})", kValueError},
             {R"({"topic":"t","value":null})", kValueError},
             {R"({"topic":"t","value":["1"]})", kValueError},
             {R"({"topic":"t","value":{"v":"1"}})", kValueError},
             {R"({"topic":"t","value":true})", kValueError},
         }) {
        SCOPED_TRACE(c.parameters);
        response_ = nullptr;
        pluginLog_->Clear();
        EXPECT_FALSE(Run(c.parameters));
        EXPECT_EQ(response_.dump(), Error(2, c.text));
        EXPECT_EQ(pluginLog_->Messages(), std::vector<std::string>{c.text});
        ASSERT_EQ(pluginLog_->Records().size(), 1u);
        EXPECT_EQ(pluginLog_->Records()[0].level, spdlog::level::err);
    }
    EXPECT_EQ(Channel()->GetDataPoints().GetSize(), 0u) << "nothing was written";
}

TEST_F(PluginCommandTest, SecondErrorReplacesTheFirstAndKeepsOtherMembers) {
    response_ = OvxJson::parse(R"({"Result":"kept"})");
    EXPECT_FALSE(Run(R"({})"));
    EXPECT_FALSE(Run(R"({"topic":"t","value":5})"));
    EXPECT_EQ(response_.dump(),
              R"({"error":{"code":2,"hint":"","text":")" + kValueError + R"("},"Result":"kept"})");
}

TEST_F(PluginCommandTest, ErrorObjectSerialisesInKeyOrder) {
    EXPECT_FALSE(Run(R"({"topic":""})"));
    EXPECT_EQ(response_.at("error").dump(),
              R"({"code":2,"hint":"","text":"Missing or empty parameter 'topic'."})");
}

TEST_F(PluginCommandTest, FailedPublishAnswersCodeOneWithoutItsOwnLogLine) {
    const auto number =
        KesManageChannel::CreateDPAndSet_ptr(*dom_, Channel(), "n", kKesAnyId, 65,
                                             KesValueType::Int, KesDP::KesValueSubType::None, 7, 0);
    ASSERT_TRUE(number);
    EXPECT_FALSE(Run(R"({"topic":"n","value":"5"})"));
    EXPECT_EQ(response_.dump(), Error(1, "Failed to publish MQTT value"));
    EXPECT_EQ(pluginLog_->Messages(),
              std::vector<std::string>{"Failed to set value of data point for MQTT topic 'n'"})
        << "only Publish's own line";
}

TEST_F(PluginCommandTest, RefusedTopicAnswersCodeOneWithTheReason) {
    EXPECT_FALSE(Run(R"({"topic":"a/#","value":"v"})"));
    EXPECT_EQ(response_.dump(), Error(1, "Topic contains an MQTT wildcard ('+' or '#')"));
    EXPECT_EQ(pluginLog_->Messages().size(), 1u);
    EXPECT_FALSE(DataPoint("a/#"));
}

TEST_F(PluginCommandTest, LibraryTypeErrorsReachTheCaller) {
    struct Case {
        const char* parameters;
        const char* message;
    };
    for (const auto& c : std::vector<Case>{
             {R"([])", "cannot use value() with array"},
             {R"("text")", "cannot use value() with string"},
             {R"(null)", "cannot use value() with null"},
             {R"({"topic":5,"value":"1"})", "type must be string, but is number"},
             {R"({"TOPIC":["a"],"value":"1"})", "type must be string, but is array"},
         }) {
        SCOPED_TRACE(c.parameters);
        response_ = nullptr;
        try {
            Run(c.parameters);
            ADD_FAILURE() << "no exception";
        } catch (const OvxJson::type_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_TRUE(response_.is_null());
    }
    EXPECT_TRUE(pluginLog_->Messages().empty());
}

TEST_F(PluginCommandTest, TableKeepsPluginAndLibraryAlive) {
    plugin_.reset();
    mqtt_ = nullptr;
    EXPECT_EQ(Logged("Plugin unloaded."), 0u);
    EXPECT_TRUE(Run(R"({"topic":"late","value":"still here"})"));
    EXPECT_EQ(DataPoint("late")->GetValue().GetText(), "still here");
    commands_.clear();
    EXPECT_EQ(Logged("Plugin unloaded."), 1u);
}

TEST_F(PluginCommandTest, PluginsOwnTableWorksThroughTheInterface) {
    auto* handler = dynamic_cast<IOvxApiCommandHandler*>(plugin_.get());
    ASSERT_TRUE(handler);
    auto table = handler->GetCommands();
    ASSERT_EQ(table.size(), 1u);
    const auto request = OvxJson::parse(R"({"topic":"direct","value":"x"})");
    EXPECT_TRUE(table[0].handler({request, client_, response_}));
    EXPECT_EQ(DataPoint("direct")->GetValue().GetText(), "x");
}

}  // namespace
}  // namespace Norvane::Test
