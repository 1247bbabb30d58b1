// RtspServer: creation, interface binding, cameras and users without media, destruction.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gst/rtsp/gstrtspurl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "LogCapture.h"
#include "RtspServerTestSupport.h"
#include "RtspSrcMediaFactoryTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;
using Norvane::Test::FreePort;
using Norvane::Test::LogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSubsetOf;

/// A TCP listener on 0.0.0.0:port (the port is then "in use"); -1 on failure.
int Listen(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

RtspServer& Concrete(const std::unique_ptr<IRtspServer>& server) {
    return dynamic_cast<RtspServer&>(*server);
}

class RtspServerCreateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitGstreamer(); }

    std::vector<Config::ServerUser> users_{User("alice", "secret", "internal"),
                                           User("bob", "pw", "external")};
    LogCapture log_;
};

TEST_F(RtspServerCreateTest, CreateOnAllInterfacesLogsEveryStepAndServes) {
    Factory::GLogCounter glib;
    const auto port = FreePort();
    auto server = RtspServer::Create(
        MakeConfig(port, "any", users_, {Camera("Cam", "/cam", "rtsp://127.0.0.1:1/x")}));
    ASSERT_TRUE(server);

    const std::string created =
        "Created RtspServer at rtsp://0.0.0.0:" + std::to_string(port) + " on interface 'any'";
    EXPECT_THAT(log_.Messages(), ElementsAre("Socket created", "Listen on all interfaces",
                                             "Source attached to default context",
                                             "Provide camera 'Cam' at path '/cam'", created));
    for (const auto& record : log_.sink().Records()) {
        if (record.message == created || record.message == "Socket created") {
            EXPECT_EQ(record.function, "Create");
        }
    }

    // Listening before Start: the connection waits in the backlog until the loop runs.
    RtspTestClient client(port, "/cam");
    ASSERT_TRUE(client.Connected());
    server->Start();
    EXPECT_EQ(client.Options().status, 200);
    EXPECT_EQ(glib.Criticals(), 0) << ::testing::PrintToString(glib.Messages());
    EXPECT_TRUE(log_.sink().WaitFor("RtspServer start mainloop"));

    server.reset();
    EXPECT_TRUE(client.WaitClosedByServer());
    EXPECT_EQ(log_.Count("RtspServer mainloop returned"), 1U);
    for (const auto& record : log_.sink().Records()) {
        if (record.message.rfind("RtspServer ", 0) == 0) {
            EXPECT_EQ(record.function, "operator()");
        }
    }
}

struct InterfaceCase {
    std::string name;  ///< of the test case
    std::string interface;
    bool created;
    std::string message;  ///< the record that tells what happened
};

void PrintTo(const InterfaceCase& c, std::ostream* os) {
    *os << "interface '" << c.interface << "'";
}

class RtspServerInterfaceTest : public RtspServerCreateTest,
                                public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(RtspServerInterfaceTest, BindsOrFailsAndLeavesNothingBehind) {
    const auto& param = GetParam();
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(port, param.interface, users_, {}));
    EXPECT_EQ(static_cast<bool>(server), param.created);
    EXPECT_EQ(log_.Count(param.message), 1U) << ::testing::PrintToString(log_.Messages());
    if (!server) {
        EXPECT_EQ(log_.Messages().back(), "setsockopt(SO_BINDTODEVICE) failed");
        // Nothing left behind: the port is free again.
        EXPECT_FALSE(ListensHere(port));
        const int fd = Listen(port);
        EXPECT_GE(fd, 0);
        ::close(fd);
        return;
    }
    server->Start();
    RtspTestClient client(port, "/cam");
    EXPECT_EQ(client.Options().status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, RtspServerInterfaceTest,
    ::testing::Values(InterfaceCase{"Loopback", "lo", true, "Bound socket to interface 'lo'"},
                      // An empty name binds nothing in the kernel and is reported as "any".
                      InterfaceCase{"Empty", "", true, "Bound socket to interface ''"},
                      InterfaceCase{"Missing", "nosuchif0", false,
                                    "setsockopt(SO_BINDTODEVICE) failed"},
                      // Cut to 16 bytes in the request record: still no such device.
                      InterfaceCase{"TooLong", "averyveryverylonginterfacename", false,
                                    "setsockopt(SO_BINDTODEVICE) failed"}),
    [](const auto& info) { return info.param.name; });

TEST_F(RtspServerCreateTest, EmptyInterfaceIsReportedAsAny) {
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(port, "", users_, {}));
    ASSERT_TRUE(server);
    EXPECT_EQ(log_.Count("Created RtspServer at rtsp://0.0.0.0:" + std::to_string(port) +
                         " on interface 'any'"),
              1U);
}

TEST_F(RtspServerCreateTest, PortInUseFailsAndLeavesNothingBehind) {
    const auto port = FreePort();
    const int blocker = Listen(port);
    ASSERT_GE(blocker, 0);
    auto server = RtspServer::Create(MakeConfig(port, "any", users_, {}));
    EXPECT_FALSE(server);
    const auto records = log_.sink().Records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].level, spdlog::level::err);
    EXPECT_THAT(records[0].message, ::testing::StartsWith("Failed to create socket: "));
    EXPECT_THAT(records[0].message, HasSubstr("Address already in use"));
    ::close(blocker);
    EXPECT_FALSE(ListensHere(port));

    // The failed attempt holds neither the port nor a source: a new server serves on it.
    server = RtspServer::Create(MakeConfig(port, "any", users_, {}));
    ASSERT_TRUE(server);
    server->Start();
    RtspTestClient client(port, "/cam");
    EXPECT_EQ(client.Options().status, 200);
}

TEST_F(RtspServerCreateTest, DuplicatePathIsRefusedAndEmptyNameIsMounted) {
    auto server = RtspServer::Create(MakeConfig(FreePort(), "any", users_,
                                                {Camera("first", "/cam", "rtsp://127.0.0.1:1/a"),
                                                 Camera("second", "/cam", "rtsp://127.0.0.1:1/b"),
                                                 Camera("", "/other", "rtsp://127.0.0.1:1/c")}));
    ASSERT_TRUE(server);
    EXPECT_THAT((std::vector<std::string>{
                    "Provide camera 'first' at path '/cam'", "Path '/cam' already exists",
                    "Failed to add camera 'second'", "Provide camera '' at path '/other'"}),
                IsSubsetOf(log_.Messages()));

    // The first camera of the path stays in place.
    GstRTSPUrl* url = nullptr;
    ASSERT_EQ(gst_rtsp_url_parse("rtsp://127.0.0.1/cam", &url), GST_RTSP_OK);
    EXPECT_EQ(Concrete(server).GetRtspSrcConfig(url).url, "rtsp://127.0.0.1:1/a");
    gst_rtsp_url_free(url);
}

struct LookupCase {
    std::string requestUrl;
    std::optional<std::string> url;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

TEST_F(RtspServerCreateTest, GetRtspSrcConfigMatchesThePathByteForByte) {
    auto server = RtspServer::Create(
        MakeConfig(FreePort(), "any", users_,
                   {Camera("A", "/cam", "rtsp://127.0.0.1:1/a", Config::User{"u", "p"}),
                    Camera("B", "/open", "rtsp://127.0.0.1:1/b")}));
    ASSERT_TRUE(server);
    const std::vector<LookupCase> cases = {
        {"rtsp://127.0.0.1:8554/cam", "rtsp://127.0.0.1:1/a", "u", "p"},
        {"rtsp://127.0.0.1:8554/open", "rtsp://127.0.0.1:1/b", std::nullopt, std::nullopt},
        {"rtsp://127.0.0.1:8554/cam/", std::nullopt, std::nullopt, std::nullopt},
        {"rtsp://127.0.0.1:8554/CAM", std::nullopt, std::nullopt, std::nullopt},
        {"rtsp://127.0.0.1:8554/ca", std::nullopt, std::nullopt, std::nullopt},
        {"rtsp://127.0.0.1:8554/cam/stream=0", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        GstRTSPUrl* url = nullptr;
        ASSERT_EQ(gst_rtsp_url_parse(c.requestUrl.c_str(), &url), GST_RTSP_OK);
        const RtspSrcConfig result = Concrete(server).GetRtspSrcConfig(url);
        EXPECT_EQ(result.url, c.url) << c.requestUrl;
        EXPECT_EQ(result.user, c.user) << c.requestUrl;
        EXPECT_EQ(result.password, c.password) << c.requestUrl;
        EXPECT_EQ(
            log_.Count(std::string("Request info for mountpoint on path '") + url->abspath + "'"),
            1U);
        gst_rtsp_url_free(url);
    }
}

TEST_F(RtspServerCreateTest, AddAndRemoveCameraKeepTheListConsistent) {
    auto server = RtspServer::Create(
        MakeConfig(FreePort(), "any", users_, {Camera("A", "/a", "rtsp://127.0.0.1:1/a")}));
    ASSERT_TRUE(server);
    auto& rtsp = Concrete(server);
    auto lookup = [&](const char* path) {
        GstRTSPUrl* url = nullptr;
        gst_rtsp_url_parse((std::string("rtsp://127.0.0.1") + path).c_str(), &url);
        auto result = rtsp.GetRtspSrcConfig(url).url;
        gst_rtsp_url_free(url);
        return result;
    };

    EXPECT_FALSE(server->AddCamera(Camera("A2", "/a", "rtsp://127.0.0.1:1/other")));
    EXPECT_EQ(log_.Count("Path '/a' already exists"), 1U);
    EXPECT_TRUE(server->AddCamera(Camera("B", "/b", "rtsp://127.0.0.1:1/b")));
    EXPECT_EQ(lookup("/b"), "rtsp://127.0.0.1:1/b");

    server->RemoveCamera("/nope");
    EXPECT_THAT((std::vector<std::string>{"Remove camera at path '/nope'",
                                          "Path '/nope' doesn't exist in camera settings"}),
                IsSubsetOf(log_.Messages()));
    server->RemoveCamera("/a");
    EXPECT_EQ(log_.Count("Remove camera at path '/a'"), 1U);
    EXPECT_EQ(lookup("/a"), std::nullopt);
    EXPECT_EQ(lookup("/b"), "rtsp://127.0.0.1:1/b");

    // A changed camera is removed and added again.
    EXPECT_TRUE(server->AddCamera(Camera("A", "/a", "rtsp://127.0.0.1:1/new")));
    EXPECT_EQ(lookup("/a"), "rtsp://127.0.0.1:1/new");
}

TEST_F(RtspServerCreateTest, UnknownPathIsAnsweredNotFoundAndMissingCredentialsUnauthorized) {
    const auto port = FreePort();
    // The camera is never reached: the library refuses these requests before any media.
    auto server = RtspServer::Create(
        MakeConfig(port, "any", users_, {Camera("Cam", "/cam", "rtsp://127.0.0.1:1/x")}));
    ASSERT_TRUE(server);
    server->Start();

    RtspTestClient anonymous(port, "/cam");
    const auto challenge = anonymous.Describe();
    EXPECT_EQ(challenge.status, 401);
    EXPECT_THAT(challenge.Header("WWW-Authenticate"), HasSubstr("Basic"));

    RtspTestClient wrong(port, "/cam", "alice", "wrong");
    EXPECT_EQ(wrong.Describe().status, 401);

    RtspTestClient right(port, "/nothing", "alice", "secret");
    EXPECT_EQ(right.Describe().status, 404);
    // OPTIONS is not subject to the client limit nor to the request handlers.
    EXPECT_EQ(right.Options().status, 200);
    const auto messages = log_.Messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const auto& m) { return m.find("OPTIONS") != std::string::npos; }),
              0);
}

TEST_F(RtspServerCreateTest, StartTwiceIsIgnoredAndImmediateDestructionJoins) {
    auto server = RtspServer::Create(MakeConfig(FreePort(), "any", users_, {}));
    ASSERT_TRUE(server);
    server->Start();
    server->Start();
    EXPECT_EQ(log_.Count("RtspServer already started"), 1U);
    server.reset();  // may come before the thread entered its loop
    EXPECT_TRUE(log_.sink().WaitFor("RtspServer mainloop returned", 1s));
}

TEST_F(RtspServerCreateTest, DestroyedServerIsNeverDispatchedWhileANewerOneRuns) {
    const auto firstPort = FreePort();
    auto first = RtspServer::Create(MakeConfig(firstPort, "any", users_, {}));
    ASSERT_TRUE(first);
    first->Start();
    RtspTestClient early(firstPort, "/cam");
    ASSERT_EQ(early.Options().status, 200);
    ASSERT_TRUE(ListensHere(firstPort));

    const auto secondPort = FreePort();
    auto second = RtspServer::Create(MakeConfig(secondPort, "any", users_, {}));
    ASSERT_TRUE(second);
    second->Start();

    first.reset();
    EXPECT_TRUE(early.WaitClosedByServer());
    EXPECT_FALSE(ListensHere(firstPort));
    // The newer server's loop takes over the default main context.
    for (int i = 0; i < 3; ++i) {
        RtspTestClient client(secondPort, "/cam");
        EXPECT_EQ(client.Options().status, 200);
    }

    // The old port serves again with a third server, next to the second.
    auto third = RtspServer::Create(MakeConfig(firstPort, "any", users_, {}));
    ASSERT_TRUE(third);
    third->Start();
    RtspTestClient again(firstPort, "/cam");
    EXPECT_EQ(again.Options().status, 200);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
