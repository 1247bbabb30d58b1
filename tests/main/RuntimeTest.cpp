#include "main/Runtime.h"

#include <climits>
#include <csignal>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "LogCapture.h"
#include "TestEnv.h"

namespace Norvane::Tavrel {
namespace {

using Test::LogCapture;
using Test::TempDir;

TEST(SyslogSeverityTest, MapsEverySeverity) {
    const std::vector<std::pair<unsigned, std::optional<spdlog::level::level_enum>>> table{
        {0, spdlog::level::critical},
        {1, spdlog::level::critical},
        {2, spdlog::level::err},
        {3, spdlog::level::err},
        {4, spdlog::level::warn},
        {5, spdlog::level::info},
        {6, spdlog::level::info},
        {7, spdlog::level::debug},
        {8, std::nullopt},
        {9, std::nullopt},
        {UINT_MAX, std::nullopt},
    };
    for (const auto& [severity, level] : table)
        EXPECT_EQ(SyslogSeverityToLogLevel(severity), level) << severity;
}

// The handlers with the real logger manager (log file in a temporary directory), a real
// signal set and a capturing logger installed over the manager's one.
class RuntimeTest : public ::testing::Test {
protected:
    void Prepare(std::optional<spdlog::level::level_enum> commandLineLevel = std::nullopt) {
        logger_.emplace(io_, "Tavrel",
                        LogFileSettings{(dir_ / "tavrel.log").string(), 262144, 1, true},
                        ConsoleLogSettings{commandLineLevel, false});
        logger_->Start();
        capture_.emplace();
        runtime_.emplace(Runtime{settings_, *logger_, signals_, controller_, client_});
    }

    void TearDown() override {
        runtime_.reset();
        capture_.reset();
        logger_.reset();
        spdlog::set_level(spdlog::level::info);
    }

    // Runs the io_context until the message was logged `count` times.
    bool RunUntil(const std::string& message, std::size_t count = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (capture_->Count(message) < count) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            io_.run_one_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    TempDir dir_;
    CommandLineSettings settings_;
    boost::asio::io_context io_;
    boost::asio::signal_set signals_{io_, SIGHUP, SIGINT, SIGTERM};
    std::optional<LoggerManager> logger_;
    std::optional<LogCapture> capture_;
    // A controller that makes no server and has no web-service side; a device-stack client
    // that is never connected.
    Tavrel controller_{Tavrel::Features{[](const Config&) { return nullptr; },
                                        [](JsonRpc::IDataHandler&) { return nullptr; }}};
    OvxApiClient client_{io_};
    std::optional<Runtime> runtime_;
};

TEST_F(RuntimeTest, ValidSeverityLogsBeforeAndAfterTheChange) {
    Prepare();
    HandleSyslogSeverity(*runtime_, 7);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::debug);
    EXPECT_EQ(capture_->Count("Change syslog severity to 7"), 2u);

    // At warn the second line no longer passes.
    capture_->sink().Clear();
    HandleSyslogSeverity(*runtime_, 4);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::warn);
    EXPECT_EQ(capture_->Messages(), std::vector<std::string>{"Change syslog severity to 4"});
}

TEST_F(RuntimeTest, InvalidSeverityWarnsAndKeepsTheLevel) {
    Prepare();
    HandleSyslogSeverity(*runtime_, 9);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::trace);
    const auto records = capture_->sink().Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, spdlog::level::warn);
    EXPECT_EQ(records[0].message,
              "Failed to get log level from syslog severity, invalid value '9'");
}

TEST_F(RuntimeTest, CommandLineLevelIgnoresSeverityReports) {
    Prepare(spdlog::level::warn);
    HandleSyslogSeverity(*runtime_, 7);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::trace);
    EXPECT_EQ(capture_->Messages(),
              (std::vector<std::string>{
                  "Change syslog severity to 7",
                  "Ignore change of loglevel to 1 because loglevel is configured via command line.",
                  "Change syslog severity to 7"}));
}

TEST_F(RuntimeTest, SighupRereadsTheFixedFileAndWaitsAgain) {
    settings_.configFile = dir_ / "tavrel.json";
    Prepare();
    WaitForSignal(*runtime_);
    const auto missing = fmt::format("No ConfigFile found at '{}'", settings_.configFile.string());
    const auto invalid = fmt::format("No valid config found at '{}', do not run server",
                                     settings_.configFile.string());

    std::raise(SIGHUP);
    ASSERT_TRUE(RunUntil("Received SIGHUP, reload config"));
    EXPECT_EQ(capture_->Count(missing), 1u);
    EXPECT_EQ(capture_->Count(invalid), 1u);

    // The file is read again on the next signal: now it is valid.
    Norvane::Test::WriteFile(settings_.configFile, "{}");
    std::raise(SIGHUP);
    ASSERT_TRUE(RunUntil("Received SIGHUP, reload config", 2));
    EXPECT_EQ(capture_->Count(invalid), 1u);

    std::raise(SIGTERM);
    ASSERT_TRUE(RunUntil("Received signal 15, halting..."));
    // With the flush timer stopped and no wait re-armed, the io_context runs out of work.
    io_.run_for(std::chrono::seconds(30));
    EXPECT_TRUE(io_.stopped());
}

TEST_F(RuntimeTest, SigintHalts) {
    Prepare();
    WaitForSignal(*runtime_);
    std::raise(SIGINT);
    io_.run_for(std::chrono::seconds(30));
    EXPECT_TRUE(io_.stopped());
    EXPECT_EQ(capture_->Messages(), std::vector<std::string>{"Received signal 2, halting..."});
}

TEST_F(RuntimeTest, CancelledWaitIsNotRenewed) {
    Prepare();
    WaitForSignal(*runtime_);
    signals_.cancel();
    logger_->Stop();
    io_.run_for(std::chrono::seconds(30));
    EXPECT_TRUE(io_.stopped());
    EXPECT_TRUE(capture_->Messages().empty());
}

}  // namespace
}  // namespace Norvane::Tavrel
