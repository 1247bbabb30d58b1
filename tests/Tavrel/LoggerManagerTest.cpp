#include "Tavrel/LoggerManager.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>
#include <boost/asio/io_context.hpp>

#include "TestEnv.h"

namespace Norvane::Tavrel {
namespace {

using Test::ReadFile;
using Test::TempDir;

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// Each case builds a real LoggerManager over a log file in a temporary directory. The manager
// replaces spdlog's default logger, so the previous one and the global level are restored.
class LoggerManagerTest : public ::testing::Test {
protected:
    void TearDown() override {
        manager_.reset();
        spdlog::set_default_logger(previous_);
        spdlog::set_level(spdlog::level::info);
    }

    LoggerManager& Make(std::optional<spdlog::level::level_enum> level, bool console,
                        std::string path = {}) {
        if (path.empty())
            path = log_.string();
        manager_.emplace(io_, "Tavrel", LogFileSettings{path, 262144, 1, true},
                         ConsoleLogSettings{level, console});
        return *manager_;
    }

    std::string FileText() { return ReadFile(log_); }

    TempDir dir_;
    std::filesystem::path log_ = dir_ / "tavrel.log";
    boost::asio::io_context io_;
    std::shared_ptr<spdlog::logger> previous_ = spdlog::default_logger();
    std::optional<LoggerManager> manager_;
};

TEST_F(LoggerManagerTest, FileRecordsCarryPatternAndSourceLocation) {
    Make(std::nullopt, false);
    ASSERT_NE(spdlog::default_logger(), previous_);
    EXPECT_EQ(spdlog::default_logger()->name(), "Tavrel");
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::info);

    SPDLOG_INFO("hello {}", 42);
    SPDLOG_DEBUG("not at info");
    spdlog::default_logger()->flush();
    const auto text = FileText();
    EXPECT_NE(text.find("| info     | Tavrel - hello 42 [TestBody] (LoggerManagerTest.cpp:"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("not at info"), std::string::npos);
}

TEST_F(LoggerManagerTest, PlatformLevelReachesTheFile) {
    Make(std::nullopt, false);
    manager_->UpdateLogLevel(spdlog::level::debug);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::debug);
    SPDLOG_DEBUG("debug line");
    // Below error nothing is flushed by itself.
    SPDLOG_ERROR("error line");
    const auto text = FileText();
    EXPECT_NE(text.find("debug line"), std::string::npos);
    EXPECT_NE(text.find("| error    | Tavrel - error line"), std::string::npos);
}

TEST_F(LoggerManagerTest, CommandLineLevelWinsOverThePlatform) {
    Make(spdlog::level::warn, false);
    for (auto level : {spdlog::level::trace, spdlog::level::debug, spdlog::level::err})
        manager_->UpdateLogLevel(level);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::warn);
    SPDLOG_INFO("info line");
    SPDLOG_WARN("warn line");
    // Flushed at once at the command-line level, without a flush call.
    const auto text = FileText();
    EXPECT_NE(text.find("| warning  | Tavrel - warn line"), std::string::npos) << text;
    EXPECT_EQ(text.find("info line"), std::string::npos);
    EXPECT_EQ(text.find("Ignore change of loglevel"), std::string::npos);
}

TEST_F(LoggerManagerTest, IgnoredPlatformLevelIsLoggedAtDebug) {
    Make(spdlog::level::trace, false);
    manager_->UpdateLogLevel(spdlog::level::info);
    manager_->UpdateLogLevel(spdlog::level::off);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::trace);
    const auto text = FileText();
    EXPECT_EQ(Occurrences(text,
                          "| debug    | Tavrel - Ignore change of loglevel to 2 because "
                          "loglevel is configured via command line. [UpdateLogLevel]"),
              1u)
        << text;
    EXPECT_EQ(Occurrences(text, "Ignore change of loglevel to 6 because"), 1u);
}

TEST_F(LoggerManagerTest, ConsoleAndFileBothGetEveryMessage) {
    ::testing::internal::CaptureStderr();
    Make(spdlog::level::info, true);
    SPDLOG_INFO("to both sinks");
    SPDLOG_DEBUG("below the level");
    const auto err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Occurrences(err, "to both sinks"), 1u) << err;
    EXPECT_EQ(Occurrences(FileText(), "to both sinks"), 1u);
    EXPECT_EQ(err.find("below the level"), std::string::npos);
}

TEST_F(LoggerManagerTest, UnopenableFileFallsBackToTheConsole) {
    // A path below a regular file can be neither created nor opened.
    std::ofstream(dir_ / "file") << "x";
    const auto path = (dir_ / "file" / "tavrel.log").string();
    ::testing::internal::CaptureStderr();
    Make(std::nullopt, false, path);
    SPDLOG_INFO("still logging");
    spdlog::default_logger()->flush();
    const auto err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("| error    | Tavrel - failed to open logfile: "), std::string::npos) << err;
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_NE(err.find("| warning  | Tavrel - falling back to console logging"), std::string::npos)
        << err;
    EXPECT_NE(err.find("still logging"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(LoggerManagerTest, RotatesIntoOneBackup) {
    manager_.emplace(io_, "Tavrel", LogFileSettings{log_.string(), 4096, 1, true},
                     ConsoleLogSettings{spdlog::level::info, false});
    for (int i = 0; i < 200; ++i)
        SPDLOG_INFO("line {} of a log that outgrows its limit", i);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "tavrel.1.log"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "tavrel.2.log"));
    EXPECT_LE(std::filesystem::file_size(log_), 4096u);
    EXPECT_NE(FileText().find("line 199 of"), std::string::npos);
}

TEST_F(LoggerManagerTest, FlushTimerEndsWithStop) {
    Make(std::nullopt, false);
    SPDLOG_INFO("written by start");
    manager_->Start();
    // Start flushes right away.
    EXPECT_NE(FileText().find("written by start"), std::string::npos);
    // The armed timer keeps the io_context busy until Stop.
    EXPECT_EQ(io_.poll(), 0u);
    EXPECT_FALSE(io_.stopped());
    manager_->Stop();
    io_.run_for(std::chrono::seconds(30));
    EXPECT_TRUE(io_.stopped());
}

TEST_F(LoggerManagerTest, StartAgainAfterStopAndDestructionWithPendingWait) {
    Make(std::nullopt, false);
    manager_->Start();
    manager_->Stop();
    manager_->Start();
    EXPECT_EQ(io_.poll(), 1u);  // the aborted wait of the first cycle, not renewed
    EXPECT_FALSE(io_.stopped());
    // Destroyed with a wait pending: the queued completion must not touch the manager.
    manager_.reset();
    io_.run_for(std::chrono::seconds(30));
    EXPECT_TRUE(io_.stopped());
    // The logger stays installed after the manager is gone.
    EXPECT_EQ(spdlog::default_logger()->name(), "Tavrel");
}

}  // namespace
}  // namespace Norvane::Tavrel
