#include "main/CommandLine.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Norvane::Tavrel {
namespace {

CommandLineResult Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tavrel");
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return ParseCommandLine(static_cast<int>(args.size()), argv.data());
}

CommandLineSettings Settings(std::vector<std::string> args) {
    const auto result = Parse(std::move(args));
    if (const auto* error = std::get_if<CommandLineError>(&result))
        ADD_FAILURE() << "unexpected error: " << error->message;
    if (std::holds_alternative<CommandLineHelp>(result))
        ADD_FAILURE() << "unexpected help";
    const auto* settings = std::get_if<CommandLineSettings>(&result);
    return settings ? *settings : CommandLineSettings{};
}

TEST(CommandLineTest, AlternativesKeepTheirOrder) {
    EXPECT_EQ(Parse({"--logfile"}).index(), 0u);
    EXPECT_EQ(Parse({"--help"}).index(), 1u);
    EXPECT_EQ(Parse({}).index(), 2u);
}

TEST(CommandLineTest, NoArgumentsGiveTheDefaults) {
    const auto settings = Settings({});
    EXPECT_EQ(settings.logFile, "/var/log/tavrel.log");
    EXPECT_EQ(settings.verbosity, 0u);
    EXPECT_FALSE(settings.logToConsole);
    EXPECT_TRUE(settings.configFile.empty());
    EXPECT_FALSE(settings.logToStderr);
}

TEST(CommandLineTest, ValuesAreTaken) {
    const auto settings =
        Settings({"--logfile", "/tmp/x.log", "--configFile=/etc/tavrel.json", "--logToStderr"});
    EXPECT_EQ(settings.logFile, "/tmp/x.log");
    EXPECT_EQ(settings.configFile, "/etc/tavrel.json");
    EXPECT_FALSE(settings.logToConsole);
    EXPECT_TRUE(settings.logToStderr);
}

TEST(CommandLineTest, HelpWinsOverEveryOtherValidOption) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"},
             {"-h"},
             {"--logfile", "/tmp/x.log", "-h"},
             {"-vvv", "--help", "--configFile", "/etc/c.json", "--unknown"},
         }) {
        const auto result = Parse(args);
        const auto* help = std::get_if<CommandLineHelp>(&result);
        ASSERT_NE(help, nullptr) << ::testing::PrintToString(args);
        EXPECT_TRUE(help->text.starts_with("Options:\n")) << help->text;
        EXPECT_TRUE(help->text.ends_with("\n\n")) << help->text;
        for (const auto* fragment :
             {"-h [ --help ]", "help screen", "--logfile arg (=/var/log/tavrel.log)",
              "path for the logfile", "-v [ --verbose ]", "verbosity for cout-log",
              "--configFile arg", "override applicationPath config file", "--logToStderr"})
            EXPECT_NE(help->text.find(fragment), std::string::npos) << fragment;
    }
}

TEST(CommandLineTest, MalformedOptionsGiveTheLibraryMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {{"--logfile"}, "the required argument for option '--logfile' is missing"},
             {{"-v", "--configFile"}, "the required argument for option '--configFile' is missing"},
             {{"--logfile", "a", "--logfile", "b"},
              "option '--logfile' cannot be specified more than once"},
             {{"--configFile=a", "--configFile=a"},
              "option '--configFile' cannot be specified more than once"},
             // A malformed option wins over help given with it.
             {{"--help", "--logfile"}, "the required argument for option '--logfile' is missing"},
             {{"--verbose=2"}, "option '--verbose' does not take any arguments"},
             {{"--configFile="},
              "the argument for option '--configFile' should follow immediately after the equal "
              "sign"},
         }) {
        const auto result = Parse(c.args);
        const auto* error = std::get_if<CommandLineError>(&result);
        ASSERT_NE(error, nullptr) << ::testing::PrintToString(c.args);
        EXPECT_EQ(error->message, c.message);
    }
}

TEST(CommandLineTest, VerbosityCountsSeparateAndJoinedFlags) {
    struct Case {
        std::vector<std::string> args;
        unsigned count;
    };
    for (const auto& c : std::vector<Case>{
             {{"-v"}, 1},
             {{"--verbose"}, 1},
             {{"-vv"}, 2},
             {{"-v", "-v"}, 2},
             {{"-v", "--verbose", "-v"}, 3},
             {{"-vvv"}, 3},
             {{"-vv", "--logfile", "/tmp/l", "-vv"}, 4},
             {{"-vvvvvvv"}, 7},
         }) {
        const auto settings = Settings(c.args);
        EXPECT_EQ(settings.verbosity, c.count) << ::testing::PrintToString(c.args);
        EXPECT_TRUE(settings.logToConsole);
    }
}

TEST(CommandLineTest, VerbosityMapsToLevels) {
    EXPECT_EQ(VerbosityToLogLevel(1), spdlog::level::err);
    EXPECT_EQ(VerbosityToLogLevel(2), spdlog::level::warn);
    EXPECT_EQ(VerbosityToLogLevel(3), spdlog::level::info);
    EXPECT_EQ(VerbosityToLogLevel(4), spdlog::level::debug);
    EXPECT_EQ(VerbosityToLogLevel(5), spdlog::level::trace);
    EXPECT_EQ(VerbosityToLogLevel(6), spdlog::level::trace);
    EXPECT_EQ(VerbosityToLogLevel(4000000000u), spdlog::level::trace);
}

TEST(CommandLineTest, UnknownOptionsAreIgnored) {
    const auto settings = Settings({"--gst-debug-level=3", "--gst-plugin-spew", "-x", "--unknown",
                                    "value", "positional", "--logfile", "/tmp/y.log", "-v"});
    EXPECT_EQ(settings.logFile, "/tmp/y.log");
    EXPECT_EQ(settings.verbosity, 1u);
}

TEST(CommandLineTest, EmptyConfigFileMeansNone) {
    EXPECT_TRUE(Settings({"--configFile", ""}).configFile.empty());
}

}  // namespace
}  // namespace Norvane::Tavrel
