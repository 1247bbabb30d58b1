// The built tavrel program as a real process: help, usage errors, signals and its log file.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"
#include "TestEnv.h"

namespace Norvane::Test {
namespace {

std::string Tavrel() {
    return (BuildDir() / "main" / "tavrel").string();
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// The service manager's end of NOTIFY_SOCKET: a Unix datagram socket bound to a path. tavrel's
// readiness report also tells that its signal handlers are installed (/proc's SigCgt cannot:
// under an emulator it shows the emulator's own handlers from the start).
class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path& path)
        : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << path << ": " << std::strerror(errno);
    }
    ~NotifySocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    /// The environment entry that points a process at this socket.
    std::string Env() const { return "NOTIFY_SOCKET=" + path_.string(); }

    /// The next datagram, or nothing when none came in time.
    std::optional<std::string> Next() {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 60000) != 1)
            return std::nullopt;
        char buffer[512];
        const auto size = ::recv(fd_, buffer, sizeof buffer, 0);
        if (size < 0)
            return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(size));
    }

    /// True once `message` came in; the messages before it are dropped.
    bool WaitFor(const std::string& message) {
        for (auto next = Next(); next; next = Next()) {
            if (*next == message)
                return true;
        }
        return false;
    }

private:
    std::filesystem::path path_;
    int fd_;
};

// Checks that the lines appear in the text in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t pos = 0;
    for (const auto& line : lines) {
        const auto found = text.find(line, pos);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << text;
        pos = found + line.size();
    }
}

TEST(TavrelProcessTest, HelpPrintsOptionsAndCreatesNoLogFile) {
    TempDir dir;
    const auto log = dir / "tavrel.log";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {Tavrel(), "--help"},
             {Tavrel(), "-vv", "--logfile", log.string(), "-h", "--configFile", "/x.json",
              "--unknown"},
         }) {
        const auto result = Norvane::Test::Run(args);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.out.starts_with(
            "Tavrel with features: rtsp server, jsonrpc handler\nOptions:\n"))
            << result.out;
        EXPECT_NE(result.out.find("  -h [ --help ]"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("--configFile arg"), std::string::npos) << result.out;
        // The description's own line end, the help text's newline and the format's one.
        EXPECT_TRUE(result.out.ends_with("no logfile\n\n\n")) << result.out;
        EXPECT_EQ(result.err, "");
    }
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST(TavrelProcessTest, UsageErrorExitsOneWithoutLogFile) {
    TempDir dir;
    const auto log = dir / "tavrel.log";
    const auto result = Norvane::Test::Run({Tavrel(), "--configFile", "/tmp/x.json", "--logfile"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out,
              "Failed to handle commandline arguments. Use --help for correct usage.\n"
              "the required argument for option '--logfile' is missing\n");
    EXPECT_EQ(result.err, "");

    for (const auto& args : std::vector<std::vector<std::string>>{
             {Tavrel(), "--logfile", log.string(), "--verbose=3"},
             {Tavrel(), "--logfile", log.string(), "--help", "--logfile", log.string()},
         }) {
        const auto malformed = Norvane::Test::Run(args);
        EXPECT_EQ(malformed.exitCode, 1);
        EXPECT_TRUE(malformed.out.starts_with(
            "Failed to handle commandline arguments. Use --help for correct usage.\n"))
            << malformed.out;
    }
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST(TavrelProcessTest, SigtermStopsCleanly) {
    TempDir dir;
    const auto log = dir / "tavrel.log";
    // Unknown options and GStreamer's own pass the parser.
    NotifySocket notify(dir / "notify");
    Process tavrel({Tavrel(), "--logfile", log.string(), "--gst-debug-level=0", "--unknown"},
                   {notify.Env()});
    ASSERT_TRUE(notify.WaitFor("READY=1")) << tavrel.Stderr();
    tavrel.Signal(SIGTERM);
    EXPECT_EQ(tavrel.Wait(), 0);
    ExpectInOrder(ReadFile(log),
                  {"| info     | Tavrel - Start Tavrel with features: rtsp server, jsonrpc handler "
                   "[main]",
                   "| info     | Tavrel - Received signal 15, halting... [HandleSignal]",
                   "| info     | Tavrel - Stopped Tavrel [main]"});
    EXPECT_EQ(ReadFile(log).find("Use fix config file path"), std::string::npos);
    // Without -v nothing goes to the console.
    EXPECT_EQ(tavrel.Stderr(), "");
    EXPECT_EQ(tavrel.Stdout(), "");
}

TEST(TavrelProcessTest, SighupRereadsFixedFileUntilSigint) {
    TempDir dir;
    const auto log = dir / "tavrel.log";
    const auto config = dir / "tavrel.json";
    WriteFile(config, "{\"cameras\": 3}");
    NotifySocket notify(dir / "notify");
    Process tavrel({Tavrel(), "--logfile", log.string(), "-vvvv", "--configFile", config.string()},
                   {notify.Env()});
    ASSERT_TRUE(notify.WaitFor("READY=1")) << tavrel.Stderr();

    tavrel.Signal(SIGHUP);
    // The file is read after the line about the signal: its outcome is waited for before the
    // file changes.
    ASSERT_TRUE(tavrel.WaitForOutput("no cameras configured"));
    // The second read finds a broken file.
    WriteFile(config, "{");
    tavrel.Signal(SIGHUP);
    ASSERT_TRUE(tavrel.WaitForOutput("Failed to parse '" + config.string() + "'"));
    tavrel.Signal(SIGINT);
    EXPECT_EQ(tavrel.Wait(), 0);

    const auto text = ReadFile(log);
    ExpectInOrder(
        text, {"Use fix config file path '" + config.string() + "', ignore config change events",
               "Received SIGHUP, reload config", "Received SIGHUP, reload config",
               "| error    | Tavrel - Failed to parse '" + config.string() + "'",
               "No valid config found at '" + config.string() + "', do not run server",
               "Received signal 2, halting...", "Stopped Tavrel"});
    EXPECT_EQ(Occurrences(text, "Received SIGHUP, reload config"), 2u);
    EXPECT_EQ(Occurrences(text, "do not run server"), 1u);
    // -vvvv logs to the console as well, at debug.
    EXPECT_EQ(Occurrences(tavrel.Stderr(), "Received SIGHUP, reload config"), 2u);
    EXPECT_NE(tavrel.Stderr().find("Stopped Tavrel"), std::string::npos);
}

TEST(TavrelProcessTest, UnopenableLogFileFallsBackToConsole) {
    TempDir dir;
    WriteFile(dir / "file", "");
    const auto log = dir / "file" / "tavrel.log";
    NotifySocket notify(dir / "notify");
    Process tavrel({Tavrel(), "--logfile", log.string()}, {notify.Env()});
    ASSERT_TRUE(notify.WaitFor("READY=1")) << tavrel.Stderr();
    tavrel.Signal(SIGTERM);
    EXPECT_EQ(tavrel.Wait(), 0);
    ExpectInOrder(tavrel.Stderr(), {"| error    | Tavrel - failed to open logfile: ",
                                    "| warning  | Tavrel - falling back to console logging",
                                    "Start Tavrel with features", "Stopped Tavrel"});
}

// As a service: readiness once the device stack answered, watchdog keep-alives from the main
// loop, stopping on SIGTERM; with "logToStderr" no log file, and standard error carries the log
// at the level the platform reports (7: debug).
TEST(TavrelProcessTest, ServiceManagerIsNotifiedAndTheLogGoesToStderr) {
    TempDir dir;
    NotifySocket notify(dir / "notify");
    const auto missing = dir / "missing.json";
    WriteFile(dir / "state.json",
              R"({"applicationPath": ")" + missing.string() + R"(", "SyslogSeverity": "7"})");
    Process sim({(BuildDir() / "tools/devicestack-sim/devicestack-sim").string(), "--state",
                 (dir / "state.json").string(), "--socket", (dir / "zorbix.sock").string()});
    ASSERT_TRUE(sim.WaitForOutput("devicestack-sim ready on")) << sim.Stderr();

    const auto log = dir / "tavrel.log";
    Process tavrel(
        {Tavrel(), "--logToStderr", "--logfile", log.string()},
        {notify.Env(), "WATCHDOG_USEC=400000", "ZORBIX_SOCKET=" + (dir / "zorbix.sock").string()});
    std::vector<std::string> received;
    while (std::count(received.begin(), received.end(), "READY=1") == 0 ||
           received.back() != "WATCHDOG=1") {
        auto message = notify.Next();
        ASSERT_TRUE(message) << ::testing::PrintToString(received) << tavrel.Stderr();
        received.push_back(*message);
    }
    tavrel.Signal(SIGTERM);
    for (auto message = notify.Next(); message != "STOPPING=1"; message = notify.Next())
        ASSERT_EQ(message, "WATCHDOG=1") << tavrel.Stderr();
    EXPECT_EQ(tavrel.Wait(), 0);

    EXPECT_EQ(std::count(received.begin(), received.end(), "READY=1"), 1);
    ExpectInOrder(tavrel.Stderr(),
                  {"| info     | Tavrel - Change syslog severity to 7",
                   "| debug    | Tavrel - No ConfigFile found at '" + missing.string() + "'",
                   "Stopped Tavrel"});
    EXPECT_FALSE(std::filesystem::exists(log));
}

}  // namespace
}  // namespace Norvane::Test
