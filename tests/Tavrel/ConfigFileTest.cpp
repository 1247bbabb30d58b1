#include "Tavrel/ConfigFile.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/json/serialize.hpp>

#include "LogCapture.h"
#include "TestEnv.h"

namespace Norvane::Tavrel {
namespace {

using Test::LogCapture;
using Test::TempDir;

// A minimal valid RTSP server section, with the users given.
std::string Rtsp(const std::string& users = "[]") {
    return R"("rtspServerSettings": {"port": 8554, "interface": "lo", "users": )" + users + "}";
}

std::string Camera(const std::string& path, const std::string& extra = "") {
    return R"({"name": "Cam", "location": "Hall", "path": ")" + path +
           R"(", "url": "rtsp://127.0.0.1:1/s")" + extra + "}";
}

class ConfigFileTest : public ::testing::Test {
protected:
    std::optional<Config> ReadText(const std::string& text) {
        Norvane::Test::WriteFile(file_, text);
        return Read(file_);
    }

    // Expects a rejection logged as exactly one record at `level` whose message begins with
    // `prefix` and, when given, ends with `suffix`.
    void ExpectRejected(const std::string& text, spdlog::level::level_enum level,
                        const std::string& prefix, const std::string& suffix = "") {
        capture_.sink().Clear();
        EXPECT_FALSE(ReadText(text).has_value()) << text;
        const auto records = capture_.sink().Records();
        ASSERT_EQ(records.size(), 1u) << text;
        EXPECT_EQ(records[0].level, level) << text;
        EXPECT_TRUE(records[0].message.starts_with(prefix))
            << text << "\n  logged: " << records[0].message << "\n  wanted: " << prefix;
        EXPECT_TRUE(records[0].message.ends_with(suffix))
            << text << "\n  logged: " << records[0].message << "\n  wanted end: " << suffix;
    }

    std::string ParseFailure(const std::string& what) {
        return "Failed to parse '" + file_.string() + "' (" + what;
    }

    TempDir dir_;
    std::filesystem::path file_ = dir_ / "tavrel.json";
    LogCapture capture_;
};

TEST_F(ConfigFileTest, UnopenableFileIsOnlyADebugLine) {
    Norvane::Test::WriteFile(dir_ / "file", "{}");
    // Missing, a directory, below a regular file.
    for (const auto& path : {dir_ / "missing.json", dir_.path(), dir_ / "file" / "c.json"}) {
        capture_.sink().Clear();
        EXPECT_FALSE(Read(path).has_value());
        const auto records = capture_.sink().Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, spdlog::level::debug);
        EXPECT_EQ(records[0].message, "No ConfigFile found at '" + path.string() + "'");
        EXPECT_EQ(records[0].function, "Read");
    }
}

TEST_F(ConfigFileTest, SpecialLargeFilesAndLongInterfaceNamesAreRefusedWithoutBlocking) {
    const auto fifo = dir_ / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& path : {fifo, std::filesystem::path("/dev/zero")}) {
        capture_.sink().Clear();
        EXPECT_FALSE(Read(path).has_value());
        EXPECT_EQ(capture_.Messages(), std::vector<std::string>{"Config file '" + path.string() +
                                                                "' is not a regular file"});
    }
    const std::string padded = "{" + Rtsp() + "}" + std::string(1024 * 1024, ' ');
    EXPECT_TRUE(ReadText(padded.substr(0, 1024 * 1024))) << "1 MiB is the limit";
    ExpectRejected(padded.substr(0, 1024 * 1024 + 1), spdlog::level::err,
                   "Config file '" + file_.string() + "' is larger than 1048576 bytes");

    const std::string longName = R"({"rtspServerSettings": {"port": 1, "interface": ")" +
                                 std::string(16, 'i') + R"(", "users": []}})";
    ExpectRejected(longName, spdlog::level::err,
                   "Interface name '" + std::string(16, 'i') + "' in '" + file_.string() +
                       "' is longer than 15 bytes");
    EXPECT_TRUE(ReadText(R"({"rtspServerSettings": {"port": 1, "interface": ")" +
                         std::string(15, 'i') + R"(", "users": []}})"));
}

TEST_F(ConfigFileTest, InvalidJsonIsRejected) {
    struct Case {
        std::string text;
        std::string what;
    };
    for (const auto& c : std::vector<Case>{
             {"", "incomplete JSON"},
             {" \n\t ", "incomplete JSON"},
             {"{", "incomplete JSON"},
             {"{\"cameras\": [],}", "syntax error"},
             {"{\"a\": 1 /* comment */}", "syntax error"},
             {"{} // comment", "extra data"},
             {"{} {}", "extra data"},
             {"{\"name\": \"\xff\"}", "syntax error"},
             {std::string(33, '[') + std::string(33, ']'), "too deep"},
         })
        ExpectRejected(c.text, spdlog::level::err, ParseFailure(c.what), ")");
}

TEST_F(ConfigFileTest, SchemaViolationsRejectTheWholeFile) {
    struct Case {
        std::string text;
        std::string what;  // the JSON library's text
    };
    const std::string auth = R"(, "auth": {"name": "u", "password": "p"})";
    for (const auto& c : std::vector<Case>{
             // The document must be an object.
             {"[]", "not an object"},
             {"\"text\"", "not an object"},
             {"554", "not an object"},
             {"null", "not an object"},
             // RTSP server settings: all three keys required, users an array of objects.
             {R"({"rtspServerSettings": {"port": 554, "interface": "lo"}})", "out of range"},
             {R"({"rtspServerSettings": {"interface": "lo", "users": []}})", "out of range"},
             {R"({"rtspServerSettings": {"port": 554, "users": []}})", "out of range"},
             {R"({"rtspServerSettings": {"port": 554, "interface": 1, "users": []}})",
              "not a string"},
             {"{" + Rtsp("{}") + "}", "array required"},
             {"{" + Rtsp("\"bob\"") + "}", "array required"},
             {"{" + Rtsp("[1]") + "}", "not an object"},
             {"{" + Rtsp(R"([{"name": "bob"}])") + "}", "out of range"},
             {"{" + Rtsp(R"([{"password": "x"}])") + "}", "out of range"},
             {"{" + Rtsp(R"([{"name": 5, "password": "x"}])") + "}", "not a string"},
             // WebRTC settings.
             {R"({"webRtcServerSettings": {"port": 1}})", "out of range"},
             {R"({"webRtcServerSettings": {"interface": "lo", "port": "1"}})", "not a number"},
             // Cameras: every element an object with four strings; audio a boolean.
             {R"({"cameras": [1]})", "not an object"},
             {R"({"cameras": [{"name": "a", "location": "b", "path": "c"}]})", "out of range"},
             {R"({"cameras": [{"name": "a", "location": "b", "url": "c"}]})", "out of range"},
             {R"({"cameras": [{"name": "a", "path": "b", "url": "c"}]})", "out of range"},
             {R"({"cameras": [{"location": "a", "path": "b", "url": "c"}]})", "out of range"},
             {R"({"cameras": [{"name": 1, "location": "a", "path": "b", "url": "c"}]})",
              "not a string"},
             {R"({"cameras": [)" + Camera("ok") + "," + Camera("bad", R"(, "audio": "yes")") + "]}",
              "bool required"},
             {R"({"cameras": [)" + Camera("c", R"(, "audio": null)") + "]}", "bool required"},
             {R"({"cameras": [)" + Camera("c", R"(, "auth": {"name": "u"})") + "]}",
              "out of range"},
             {R"({"cameras": [)" + Camera("c", R"(, "auth": {"name": "u", "password": 1})") + "]}",
              "not a string"},
             {R"({"cameras": [)" + Camera("c", R"(, "transport": "TCP")") + "]}",
              R"(camera transport 'TCP' is not one of "auto", "udp", "tcp")"},
             {R"({"cameras": [)" + Camera("c", R"(, "transport": "")") + "]}",
              "camera transport '' is not"},
             {R"({"cameras": [)" + Camera("c", R"(, "transport": "udp-multicast")") + "]}",
              "camera transport 'udp-multicast' is not"},
             {R"({"cameras": [)" + Camera("c", R"(, "lingerSeconds": -1)") + "]}",
              "camera lingerSeconds -1 is not a whole number from 0 to 3600"},
             {R"({"cameras": [)" + Camera("c", R"(, "lingerSeconds": 3601)") + "]}",
              "camera lingerSeconds 3601 is not"},
             {R"({"cameras": [)" + Camera("c", R"(, "lingerSeconds": 2.5)") + "]}",
              "camera lingerSeconds 2.5E0 is not"},
             {R"({"cameras": [)" + Camera("c", R"(, "lingerSeconds": 18446744073709551615)") + "]}",
              "camera lingerSeconds 18446744073709551615 is not"},
             // Lookup order inside a camera: "audio" first, then "auth", then "transport", then
             // the strings.
             {R"({"cameras": [{"audio": 1, "auth": {}}]})", "bool required"},
             {R"({"cameras": [{"auth": {}, "transport": "x"}]})", "out of range"},
             {R"({"cameras": [{"transport": "x"}]})", "camera transport 'x' is not"},
             {R"({"cameras": [{"name": 1)" + auth + "}]}", "not a string"},
         })
        ExpectRejected(c.text, spdlog::level::err, ParseFailure(c.what), ")");
}

TEST_F(ConfigFileTest, PortMustConvertExactly) {
    struct Case {
        std::string port;
        std::optional<std::uint16_t> value;  // nothing: rejected
        std::string what;
    };
    for (const auto& c : std::vector<Case>{
             {"0", 0, ""},
             {"554", 554, ""},
             {"65535", 65535, ""},
             {"554.0", 554, ""},
             {"5.54e2", 554, ""},
             {"65536", std::nullopt, "not exact"},
             {"-1", std::nullopt, "not exact"},
             {"12.5", std::nullopt, "not exact"},
             {"1e10", std::nullopt, "not exact"},
             {"18446744073709551615", std::nullopt, "not exact"},
             {"\"554\"", std::nullopt, "not a number"},
             {"true", std::nullopt, "not a number"},
             {"null", std::nullopt, "not a number"},
             {"[554]", std::nullopt, "not a number"},
         }) {
        for (const auto* section : {"rtspServerSettings", "webRtcServerSettings"}) {
            const auto text = fmt::format(
                R"({{"{}": {{"port": {}, "interface": "eth0", "users": []}}}})", section, c.port);
            if (c.value) {
                const auto config = ReadText(text);
                ASSERT_TRUE(config) << text;
                const auto port = section[0] == 'r' ? config->rtspServerSettings.port
                                                    : config->webRtcServerSettings.port;
                EXPECT_EQ(port, *c.value) << text;
            } else {
                ExpectRejected(text, spdlog::level::err, ParseFailure(c.what), ")");
            }
        }
    }
}

TEST_F(ConfigFileTest, EmptyObjectIsValidWithDefaults) {
    const auto config = ReadText("{}");
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, Config{});
    EXPECT_EQ(config->rtspServerSettings.port, 0);
    EXPECT_TRUE(config->rtspServerSettings.interface.empty());
    EXPECT_TRUE(capture_.Messages().empty());
}

TEST_F(ConfigFileTest, SectionsOfAnotherKindCountAsAbsent) {
    for (const auto* text : {
             R"({"rtspServerSettings": "x", "webRtcServerSettings": [], "cameras": {}})",
             R"({"rtspServerSettings": null, "webRtcServerSettings": 1, "cameras": "cam"})",
             R"({"unknown": {"port": "x"}, "cameras": true})",
         }) {
        const auto config = ReadText(text);
        ASSERT_TRUE(config) << text;
        EXPECT_EQ(*config, Config{}) << text;
    }
    EXPECT_TRUE(capture_.Messages().empty());
}

TEST_F(ConfigFileTest, FullFileIsConvertedAndSorted) {
    const auto config = ReadText(R"({
        "rtspServerSettings": {"port": 8554, "interface": "eth0", "extra": 1, "users": [
            {"name": "bob", "password": "b", "role": "internal"},
            {"name": "alice", "password": "a"},
            {"name": "carol", "password": "c", "role": 7}]},
        "webRtcServerSettings": {"port": 8443.0, "interface": "eth1"},
        "cameras": [
            {"name": "Gate", "location": "Outside", "path": "gate", "url": "rtsp://127.0.0.1:1/g",
             "audio": true, "auth": {"name": "admin", "password": "secret", "x": 0}},
            {"name": "Hall", "location": "", "path": "/hall", "url": "rtsp://127.0.0.1:1/h",
             "auth": "admin:secret"},
            {"name": "Gate", "location": "Outside", "path": "", "url": "rtsp://127.0.0.1:1/g",
             "audio": false, "comment": "same name and url are fine"}]
    })");
    ASSERT_TRUE(config);
    Config expected;
    expected.rtspServerSettings = {
        8554,
        "eth0",
        {{{"alice", "a"}, "external"}, {{"bob", "b"}, "internal"}, {{"carol", "c"}, "external"}}};
    expected.webRtcServerSettings = {8443, "eth1"};
    expected.cameras = {
        {"Gate", "Outside", "/", "rtsp://127.0.0.1:1/g", std::nullopt, false},
        {"Hall", "", "//hall", "rtsp://127.0.0.1:1/h", std::nullopt, false},
        {"Gate", "Outside", "/gate", "rtsp://127.0.0.1:1/g", Config::User{"admin", "secret"}, true},
    };
    EXPECT_EQ(*config, expected);
    EXPECT_TRUE(capture_.Messages().empty());
}

TEST_F(ConfigFileTest, CameraTransportIsAutoUnlessUdpOrTcp) {
    struct Case {
        std::string extra;
        Config::Transport transport;
    };
    for (const auto& c : std::vector<Case>{
             {"", Config::Transport::Auto},
             {R"(, "transport": "auto")", Config::Transport::Auto},
             {R"(, "transport": "udp")", Config::Transport::Udp},
             {R"(, "transport": "tcp")", Config::Transport::Tcp},
             {R"(, "transport": 1)", Config::Transport::Auto},
             {R"(, "transport": true)", Config::Transport::Auto},
             {R"(, "transport": null)", Config::Transport::Auto},
             {R"(, "transport": {"mode": "tcp"})", Config::Transport::Auto},
             {R"(, "transport": ["tcp"])", Config::Transport::Auto},
         }) {
        const auto config = ReadText(R"({"cameras": [)" + Camera("c", c.extra) + "]}");
        ASSERT_TRUE(config) << c.extra;
        ASSERT_EQ(config->cameras.size(), 1u);
        EXPECT_EQ(config->cameras[0].transport, c.transport) << c.extra;
    }
    EXPECT_TRUE(capture_.Messages().empty());
}

TEST_F(ConfigFileTest, CameraWarmthKeysTakeTheirDefaultsUnlessGivenRightly) {
    struct Case {
        std::string extra;
        unsigned lingerSeconds;
        bool keepWarm;
        bool instantStart;
    };
    for (const auto& c : std::vector<Case>{
             {"", 10, false, true},
             {R"(, "lingerSeconds": 0, "keepWarm": true, "instantStart": false)", 0, true, false},
             {R"(, "lingerSeconds": 3600)", 3600, false, true},
             {R"(, "lingerSeconds": 30.0)", 30, false, true},
             {R"(, "lingerSeconds": "5", "keepWarm": 1, "instantStart": "no")", 10, false, true},
             {R"(, "lingerSeconds": null, "keepWarm": null, "instantStart": null)", 10, false,
              true},
             {R"(, "lingerSeconds": [5], "keepWarm": {}, "instantStart": [])", 10, false, true},
         }) {
        const auto config = ReadText(R"({"cameras": [)" + Camera("c", c.extra) + "]}");
        ASSERT_TRUE(config) << c.extra;
        ASSERT_EQ(config->cameras.size(), 1u);
        EXPECT_EQ(config->cameras[0].lingerSeconds, c.lingerSeconds) << c.extra;
        EXPECT_EQ(config->cameras[0].keepWarm, c.keepWarm) << c.extra;
        EXPECT_EQ(config->cameras[0].instantStart, c.instantStart) << c.extra;
    }
    EXPECT_TRUE(capture_.Messages().empty());
}

TEST_F(ConfigFileTest, CameraCheckSecondsDefaultsTo60AndMustBeFrom0To3600) {
    const auto settings = [](const std::string& extra) {
        return R"({"rtspServerSettings": {"port": 554, "interface": "lo", "users": [])" + extra +
               "}}";
    };
    for (const auto& [extra, seconds] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"", 60},
             {R"(, "cameraCheckSeconds": 0)", 0},
             {R"(, "cameraCheckSeconds": 3600)", 3600},
             {R"(, "cameraCheckSeconds": 30.0)", 30},
             {R"(, "cameraCheckSeconds": "10")", 60},
             {R"(, "cameraCheckSeconds": null)", 60},
         }) {
        const auto config = ReadText(settings(extra));
        ASSERT_TRUE(config) << extra;
        EXPECT_EQ(config->rtspServerSettings.cameraCheckSeconds, seconds) << extra;
    }
    for (const auto& value : {"-1", "3601", "1.5", "1e10"}) {
        ExpectRejected(settings(std::string(R"(, "cameraCheckSeconds": )") + value),
                       spdlog::level::err,
                       ParseFailure("cameraCheckSeconds is not a whole number from 0 to 3600"));
    }
}

TEST_F(ConfigFileTest, StringsAreKeptByteForByte) {
    const auto config = ReadText(
        R"({"cameras": [{"name": "Kamera \u00fc\u0000x", "location": "", "path": "p q",
            "url": "rtsp://127.0.0.1:1/s"}]})");
    ASSERT_TRUE(config);
    ASSERT_EQ(config->cameras.size(), 1u);
    EXPECT_EQ(config->cameras[0].name, std::string("Kamera \xc3\xbc\0x", 11));
    EXPECT_EQ(config->cameras[0].path, "/p q");
}

TEST_F(ConfigFileTest, DuplicatesRejectTheFile) {
    const std::string dupCameras =
        R"({"cameras": [)" + Camera("b") + "," + Camera("cam") + "," + Camera("cam") + "]}";
    ExpectRejected(dupCameras, spdlog::level::err,
                   "Duplicate entry for path '/cam' found in camera-array", "");
    EXPECT_EQ(capture_.Messages()[0], "Duplicate entry for path '/cam' found in camera-array");

    const std::string dupUsers =
        "{" + Rtsp(R"([{"name": "bob", "password": "1"}, {"name": "alice", "password": "x"},
                 {"name": "bob", "password": "2", "role": "internal"}])") +
        "}";
    ExpectRejected(dupUsers, spdlog::level::err, "Duplicate user 'bob' found in user-array", "");
    EXPECT_EQ(capture_.Messages()[0], "Duplicate user 'bob' found in user-array");

    // Cameras are checked before users.
    ExpectRejected("{" + Rtsp(R"([{"name": "u", "password": ""}, {"name": "u", "password": ""}])") +
                       R"(, "cameras": [)" + Camera("x") + "," + Camera("x") + "]}",
                   spdlog::level::err, "Duplicate entry for path '/x' found in camera-array", "");

    // Normalisation keeps cam and /cam apart; "/" sorts before letters.
    const auto config = ReadText(R"({"cameras": [)" + Camera("cam") + "," + Camera("/cam") + "]}");
    ASSERT_TRUE(config);
    ASSERT_EQ(config->cameras.size(), 2u);
    EXPECT_EQ(config->cameras[0].path, "//cam");
    EXPECT_EQ(config->cameras[1].path, "/cam");
}

TEST_F(ConfigFileTest, OrderInTheFileDoesNotMatter) {
    const auto a = ReadText("{" + Rtsp(R"([{"name": "bob", "password": "b"},
                                     {"name": "alice", "password": "a"}])") +
                            R"(, "cameras": [)" + Camera("z") + "," + Camera("a") + "]}");
    const auto b = ReadText("{" + Rtsp(R"([{"name": "alice", "password": "a"},
                                     {"name": "bob", "password": "b"}])") +
                            R"(, "cameras": [)" + Camera("a") + "," + Camera("z") + "]}");
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(a->rtspServerSettings.users[0].name, "alice");
}

TEST(CameraEntryTest, JsonKeysInFixedOrder) {
    const std::vector<CameraEntry> entries{{"z", "a", "rtsp://h/1"}, {"", "", ""}};
    EXPECT_EQ(boost::json::serialize(boost::json::value_from(entries)),
              R"([{"name":"z","location":"a","url":"rtsp://h/1"},)"
              R"({"name":"","location":"","url":""}])");
}

}  // namespace
}  // namespace Norvane::Tavrel
