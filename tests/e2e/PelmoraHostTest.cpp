// pelmora-host as a whole process: the built plug-in loaded by path, JSON lines in, JSON lines
// out, the plug-in stopped at the end of input.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "Process.h"
#include "TestEnv.h"

namespace Norvane::Test {
namespace {

std::string Host() {
    return (BuildDir() / "tools" / "pelmora-host" / "pelmora-host").string();
}
std::string Library() {
    return (BuildDir() / "src" / "libovx_pelmora.so").string();
}

std::vector<nlohmann::json> Lines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// Runs pelmora-host with standard input from a file.
RunResult RunHost(const TempDir& dir, const std::string& input, const std::string& options = "") {
    WriteFile(dir / "input.jsonl", input);
    return Norvane::Test::Run(
        {"/bin/sh", "-c",
         "exec \"$0\" --log-dir \"$1\" " + options + " \"$2\" < \"$1/input.jsonl\"", Host(),
         dir.path().string(), Library()});
}

TEST(PelmoraHostTest, PublishesRunsCommandsDumpsAndStopsAtEndOfInput) {
    TempDir dir;
    const auto result = RunHost(
        dir, R"({"op":"publish","topic":"a/b","value":"1"})"
             "\n"
             R"({"op":"publish","topic":"a/b","value":"1"})"
             "\n"
             "\n# comments and blank lines are skipped\n"
             R"({"op":"command","name":"PublishMqttValue","parameters":{"TOPIC":"c","Value":"2"}})"
             "\n"
             R"({"op":"command","name":"PublishMqttValue","parameters":{"topic":"c","value":3}})"
             "\n"
             R"({"op":"command","name":"PublishMqttValue","parameters":[]})"
             "\n"
             R"({"op":"command","name":"Nope"})"
             "\n"
             R"({"op":"publish","topic":"h","valueHex":"41ff42"})"
             "\n"
             "not json\n"
             R"({"op":"dump"})"
             "\n");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 9u) << result.out;
    EXPECT_EQ(lines[0].dump(), R"({"op":"publish","result":true,"topic":"a/b"})");
    EXPECT_EQ(lines[1], lines[0]);
    EXPECT_EQ(lines[2]["result"], true);
    EXPECT_TRUE(lines[2]["response"].is_null());
    EXPECT_EQ(lines[3]["result"], false);
    EXPECT_EQ(
        lines[3]["response"].dump(),
        R"({"error":{"code":2,"hint":"","text":"Missing or non-string parameter 'value'."}})");
    EXPECT_NE(lines[4]["exception"].get<std::string>().find("cannot use value() with array"),
              std::string::npos);
    EXPECT_EQ(lines[5]["error"], "unknown command");
    EXPECT_EQ(lines[6]["result"], true);
    EXPECT_EQ(lines[7].dump(), R"({"error":"not a JSON object","line":10})");

    const auto& model = lines[8]["model"];
    ASSERT_EQ(model["channels"].size(), 1u);
    const auto& channel = model["channels"][0];
    EXPECT_EQ(channel["name"], "MQTT-Channel");
    EXPECT_EQ(channel["parent"], model["devices"][0]["id"]);
    EXPECT_EQ(model["devices"][0]["channels"][0], channel["id"]);
    ASSERT_EQ(channel["dataPoints"].size(), 3u);
    EXPECT_EQ(channel["dataPoints"][0]["name"], "a/b");
    EXPECT_EQ(channel["dataPoints"][0]["value"], "1");
    EXPECT_EQ(channel["dataPoints"][1]["name"], "c");
    EXPECT_EQ(channel["dataPoints"][1]["value"], "2");
    EXPECT_EQ(channel["dataPoints"][2]["value"],
              "A\xEF\xBF\xBD"
              "B");

    const auto log = ReadFile(dir / "pelmora.log");
    for (const char* message :
         {"Plugin loaded.", "Plugin starting...", "Created MQTT data point for topic 'a/b' with ID",
          "Plugin stopped.", "Plugin unloaded."})
        EXPECT_NE(log.find(message), std::string::npos) << message << " in\n" << log;
    EXPECT_LT(log.find("Plugin stopped."), log.find("Plugin unloaded."));
    EXPECT_EQ(log.find("Created MQTT data point for topic 'a/b'"),
              log.rfind("Created MQTT data point for topic 'a/b'"))
        << "one creation line";
}

TEST(PelmoraHostTest, EventsShowValueChangesAndTheStopAtEnd) {
    TempDir dir;
    const auto result = RunHost(dir,
                                R"({"op":"publish","topic":"t","value":"1"})"
                                "\n"
                                R"({"op":"publish","topic":"t","value":"1"})"
                                "\n"
                                R"({"op":"publish","topic":"t","value":"2"})"
                                "\n",
                                "--events --quiet --devices 0");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> events;
    for (const auto& line : Lines(result.out)) {
        if (line.contains("event"))
            events.push_back(
                line["event"].get<std::string>() + " " + line["name"].get<std::string>() +
                (line.contains("value") ? "=" + line["value"].get<std::string>() : ""));
    }
    EXPECT_EQ(events, (std::vector<std::string>{"added Channel 1000", "added t", "value t=1",
                                                "value t=2", "removed t", "removed MQTT-Channel"}));
    EXPECT_EQ(result.err.find("Plugin loaded."), std::string::npos) << "--quiet: " << result.err;
    EXPECT_NE(ReadFile(dir / "pelmora.log").find("No device for MQTT channel with ID 1000"),
              std::string::npos);
}

TEST(PelmoraHostTest, SignalStopsThePluginInOrder) {
    // A host that failed to start must fail the test, not kill it through SIGPIPE.
    struct IgnoreSigpipe {
        struct sigaction previous {};
        IgnoreSigpipe() {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(SIGPIPE, &ignore, &previous);
        }
        ~IgnoreSigpipe() { ::sigaction(SIGPIPE, &previous, nullptr); }
    } ignoreSigpipe;
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        const auto fifo = (dir / "input").string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        Process host({"/bin/sh", "-c", "exec \"$0\" --log-dir \"$1\" \"$2\" < \"$1/input\"", Host(),
                      dir.path().string(), Library()});
        // Opening blocks until the host opens its end; the input stays open afterwards.
        const int input = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(input, 0);
        const std::string line = R"({"op":"publish","topic":"t","value":"1"})"
                                 "\n";
        ASSERT_EQ(::write(input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ASSERT_TRUE(host.WaitForOutput(R"("result":true)"));

        host.Signal(sig);
        const auto code = host.Wait();
        ::close(input);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0);
        EXPECT_NE(host.Stderr().find("Stopping on signal " + std::to_string(sig)),
                  std::string::npos)
            << host.Stderr();
        const auto log = ReadFile(dir / "pelmora.log");
        EXPECT_NE(log.find("Plugin stopped."), std::string::npos) << log;
        EXPECT_NE(log.find("Plugin unloaded."), std::string::npos) << log;
    }
}

TEST(PelmoraHostTest, FailsClearlyWithoutALoadablePlugin) {
    TempDir dir;
    const auto missing =
        Norvane::Test::Run({Host(), "--log-dir", dir.path().string(), "/nonexistent/lib.so"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("Cannot load plug-in '/nonexistent/lib.so'"), std::string::npos)
        << missing.err;

    const auto usage = Norvane::Test::Run({Host(), "--devices", "many"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.err.find("Usage: pelmora-host"), std::string::npos) << usage.err;

    const auto noLibrary = Norvane::Test::Run({Host()});
    EXPECT_EQ(noLibrary.exitCode, 2);
    EXPECT_NE(noLibrary.err.find("the plug-in library is missing"), std::string::npos);
}

}  // namespace
}  // namespace Norvane::Test
