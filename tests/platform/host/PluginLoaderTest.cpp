#include "ovx/PluginLoader.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestEnv.h"
#include "kes/KesDOM.h"
#include "ovx/PluginManager.h"

namespace Norvane {
namespace {

using Norvane::Test::BuildDir;

class PluginLoaderTest : public ::testing::Test {
protected:
    Norvane::Test::TempDir logDir_;
    Norvane::Test::LogCapture log_;
    PluginManager manager_{KesDOM::Create(), logDir_.path()};

    void ExpectOneError(const std::string& begin) {
        const auto records = log_.sink().Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, spdlog::level::err);
        EXPECT_EQ(records[0].message.rfind(begin, 0), 0u) << records[0].message;
    }
};

TEST_F(PluginLoaderTest, MissingLibraryGivesNothing) {
    EXPECT_FALSE(PluginLoader::Load("/nonexistent/libnothing.so", manager_, "x"));
    ExpectOneError("Cannot load plug-in '/nonexistent/libnothing.so': ");
}

TEST_F(PluginLoaderTest, LibraryWithoutFactoryGivesNothing) {
    const auto library = BuildDir() / "platform" / "host" / "libovx_host.so";
    EXPECT_FALSE(PluginLoader::Load(library, manager_, "x"));
    ExpectOneError("Cannot load plug-in '" + library.string() + "': ");
}

TEST_F(PluginLoaderTest, ThrowingFactoryGivesNothingAndItsMessage) {
    const auto library =
        BuildDir() / "tests" / "platform" / "host" / "libfaulty_plugin_throwing.so";
    EXPECT_FALSE(PluginLoader::Load(library, manager_, "x"));
    ExpectOneError("Plug-in factory of '" + library.string() + "' failed: cannot create x");
}

TEST_F(PluginLoaderTest, FactoryReturningNothingGivesNothing) {
    const auto library = BuildDir() / "tests" / "platform" / "host" / "libfaulty_plugin_null.so";
    EXPECT_FALSE(PluginLoader::Load(library, manager_, "x"));
    ExpectOneError("Plug-in factory of '" + library.string() + "' returned no plug-in");
}

TEST_F(PluginLoaderTest, NoPluginHasNoCommands) {
    EXPECT_TRUE(PluginLoader::GetCommands(nullptr).empty());
}

}  // namespace
}  // namespace Norvane
