#include "ovx/PluginManager.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestEnv.h"
#include "kes/KesDOM.h"

namespace Norvane {
namespace {

TEST(PluginManagerTest, LoggerWritesItsFileAndTheExtraSinks) {
    Norvane::Test::TempDir dir;
    const auto extra = std::make_shared<Norvane::Test::CapturingSink>();
    const auto dom = KesDOM::Create();
    PluginManager manager(dom, dir / "logs", {extra});
    EXPECT_EQ(manager.GetDOM(), dom);
    EXPECT_EQ(manager.GetApiVersion(), PluginManager::kApiVersion);
    EXPECT_EQ(manager.ApiVersionCalls(), 1u);

    const auto logger = manager.GetLogger("pelmora.log");
    ASSERT_TRUE(logger);
    EXPECT_EQ(logger->name(), "pelmora");
    EXPECT_EQ(manager.GetLogger("pelmora.log"), logger) << "one logger per file";
    SPDLOG_LOGGER_INFO(logger, "hello {}", 1);
    SPDLOG_LOGGER_DEBUG(logger, "below the level");

    EXPECT_EQ(extra->Messages(), std::vector<std::string>{"hello 1"});
    const auto file = Norvane::Test::ReadFile(dir / "logs" / "pelmora.log");
    EXPECT_NE(file.find(" | info     | pelmora - hello 1 [TestBody] (PluginManagerTest.cpp:"),
              std::string::npos)
        << file;
    EXPECT_EQ(file.find("below the level"), std::string::npos);
}

TEST(PluginManagerTest, RefusesNamesWithADirectoryPart) {
    Norvane::Test::TempDir dir;
    PluginManager manager(KesDOM::Create(), dir.path());
    for (const std::string name : {"", ".", "..", "../escape.log", "sub/x.log", "/tmp/abs.log"}) {
        SCOPED_TRACE(name);
        Norvane::Test::LogCapture log;
        EXPECT_FALSE(manager.GetLogger(name));
        EXPECT_EQ(log.Messages(), std::vector<std::string>{"Refusing plug-in log file name '" +
                                                           name + "': not a plain file name"});
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path() / "escape.log"));
}

TEST(PluginManagerTest, UnopenableFileGivesNoLogger) {
    Norvane::Test::TempDir dir;
    Norvane::Test::WriteFile(dir / "file", "a file, not a directory");
    PluginManager manager(KesDOM::Create(), dir / "file");
    Norvane::Test::LogCapture log;
    EXPECT_FALSE(manager.GetLogger("pelmora.log"));
    ASSERT_EQ(log.Messages().size(), 1u);
    EXPECT_EQ(log.Messages()[0].rfind("Cannot open plug-in log file '", 0), 0u)
        << log.Messages()[0];
}

}  // namespace
}  // namespace Norvane
