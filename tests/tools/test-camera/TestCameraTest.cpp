// tools/test-camera as a real process with real clients on loopback.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"
#include "TestEnv.h"

namespace Norvane::Test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Binary() {
    return (BuildDir() / "tools" / "test-camera" / "test-camera").string();
}

/// A running camera: the process and the URL of its ready line.
struct Camera {
    std::unique_ptr<Process> process;
    std::string url;
};

Camera Start(std::vector<std::string> args) {
    args.insert(args.begin(),
                {Binary(), "--port", "0", "--width", "160", "--height", "120", "--bitrate", "200"});
    Camera camera{std::make_unique<Process>(std::move(args)), {}};
    if (camera.process->WaitForOutput("test-camera ready ", 20s)) {
        const std::string out = camera.process->Stdout();
        const auto start = out.find("test-camera ready ") + 18;
        camera.url = out.substr(start, out.find('\n', start) - start);
    }
    return camera;
}

/// ffprobe's "codec_type|codec_name" per stream.
std::vector<std::string> Probe(const std::string& url) {
    const auto result =
        Norvane::Test::Run({"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
                            "stream=codec_type,codec_name", "-of", "compact=p=0:nk=1", url},
                           30s);
    std::vector<std::string> streams;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            streams.push_back(line);
    }
    return streams;
}

/// The status line of a DESCRIBE without credentials.
std::string DescribeStatus(const std::string& url) {
    const auto hostStart = url.find("//") + 2;
    const auto colon = url.find(':', hostStart);
    const auto port = static_cast<std::uint16_t>(std::stoi(url.substr(colon + 1)));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            reply.assign(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply.substr(0, reply.find("\r\n"));
}

TEST(TestCamera, ServesWhatItIsAskedFor) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> streams;
    } cases[] = {
        {{}, {"h264|video"}},
        {{"--audio", "--path", "cam/1"}, {"h264|video", "pcm_alaw|audio"}},
        {{"--no-video", "--audio"}, {"pcm_alaw|audio"}},
    };
    for (const auto& c : cases) {
        Camera camera = Start(c.args);
        ASSERT_FALSE(camera.url.empty()) << camera.process->Stderr();
        EXPECT_EQ(camera.url.rfind("rtsp://127.0.0.1:", 0), 0u) << camera.url;
        EXPECT_THAT(Probe(camera.url), ::testing::ContainerEq(c.streams)) << camera.url;
    }
}

TEST(TestCamera, BasicCredentials) {
    Camera camera = Start({"--user", "cam", "--password", "p4ss"});
    ASSERT_FALSE(camera.url.empty());
    EXPECT_EQ(DescribeStatus(camera.url), "RTSP/1.0 401 Unauthorized");
    const std::string withCredentials = "rtsp://cam:p4ss@" + camera.url.substr(7);
    EXPECT_THAT(Probe(withCredentials), ElementsAre("h264|video"));
    const std::string wrong = "rtsp://cam:nope@" + camera.url.substr(7);
    EXPECT_TRUE(Probe(wrong).empty());
}

TEST(TestCamera, StopsCleanlyOnSignals) {
    for (const int sig : {SIGINT, SIGTERM}) {
        Camera camera = Start({});
        ASSERT_FALSE(camera.url.empty());
        // With a client playing, too.
        Process client({"ffmpeg", "-v", "error", "-nostats", "-progress", "pipe:1",
                        "-rtsp_transport", "tcp", "-i", camera.url, "-c", "copy", "-f", "null",
                        "-"});
        EXPECT_TRUE(camera.process->WaitForOutput("test-camera ready", 1s));
        // ffmpeg reports progress once frames have come through.
        EXPECT_TRUE(client.WaitForOutput("progress=continue"));
        camera.process->Signal(sig);
        EXPECT_EQ(camera.process->Wait(10s), 0) << strsignal(sig);
        EXPECT_THAT(camera.process->Stdout(), HasSubstr("test-camera stopped"));
    }
}

TEST(TestCamera, RefusesBadOptions) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;
    } cases[] = {
        {{"--user", "a"}, 2, "--user and --password go together"},
        {{"--no-video"}, 2, "--no-video needs --audio"},
        {{"--port", "70000"}, 2, "invalid port"},
        {{"--bitrate", "0"}, 2, "invalid port, bit rate"},
        {{"--encoder", "nosuchenc"}, 1, "encoder 'nosuchenc' is not available"},
        {{"--bogus"}, 2, "Unknown option"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{Binary()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto result = Norvane::Test::Run(argv, 20s);
        EXPECT_EQ(result.exitCode, c.code) << c.message;
        EXPECT_THAT(result.err, HasSubstr(c.message));
    }
}

TEST(TestCamera, PortInUse) {
    Camera first = Start({});
    ASSERT_FALSE(first.url.empty());
    const std::string port = first.url.substr(17, first.url.find('/', 17) - 17);
    const auto result = Norvane::Test::Run({Binary(), "--port", port}, 20s);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("cannot listen on 127.0.0.1:" + port));
}

}  // namespace
}  // namespace Norvane::Test
