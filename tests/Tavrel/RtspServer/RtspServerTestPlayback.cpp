// RtspServer relaying a real test camera to real clients (ffprobe, ffmpeg, GStreamer rtspsrc).

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "Tavrel/gst/GRef.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;
using gst::Adopt;
using gst::Sink;
using Norvane::Test::FreePort;
using Norvane::Test::LogCapture;
using Norvane::Test::Process;
using Norvane::Test::Run;
using ::testing::HasSubstr;

/// ffprobe's one line per stream: "codec,type".
Norvane::Test::RunResult Probe(const std::string& url, const std::string& transport) {
    return Run({"ffprobe", "-v", "error", "-analyzeduration", "500000", "-rtsp_transport",
                transport, "-show_entries", "stream=codec_name,codec_type", "-of", "csv=p=0", url},
               30s);
}

/// Collects the GLib warnings and criticals written while it exists, from any thread. What it
/// collects outlives it, as a thread may still be in the handler when it goes.
class GLibWarnings {
public:
    GLibWarnings() {
        std::lock_guard lock(mutex_);
        text_.clear();
        g_log_set_default_handler(&GLibWarnings::Handle, nullptr);
    }
    ~GLibWarnings() { g_log_set_default_handler(g_log_default_handler, nullptr); }
    GLibWarnings(const GLibWarnings&) = delete;
    GLibWarnings& operator=(const GLibWarnings&) = delete;
    std::string Text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    static void Handle(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
        g_log_default_handler(domain, level, message, nullptr);
        if ((level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0) {
            std::lock_guard lock(mutex_);
            text_ += fmt::format("{}: {}\n", domain != nullptr ? domain : "", message);
        }
    }

    static inline std::mutex mutex_;  // guards text_
    static inline std::string text_;
};

/// Plays 20 frames of `url` as alice through a live rtspsrc and depayloader, as a player does,
/// and stops in order: PAUSE, then TEARDOWN, each once the one before was answered (a player
/// that tears down at once cuts off its own PAUSE, and rtspsrc reports that as an error).
/// Returns the warnings and errors of the pipeline and the GLib criticals on the way, one per
/// line; empty when there are none.
std::string PlayThroughRtspsrc(const std::string& url, const std::string& protocols) {
    GLibWarnings warnings;
    GError* error = nullptr;
    const auto pipeline = Sink(gst_parse_launch(
        fmt::format("rtspsrc location={} user-id=alice user-pw=secret protocols={} ! "
                    "rtph264depay ! h264parse ! identity eos-after=20 ! fakesink",
                    url, protocols)
            .c_str(),
        &error));
    if (const auto parseError = Adopt(error); !pipeline || parseError) {
        return parseError ? parseError->message : "no pipeline";
    }
    const auto bus = Adopt(gst_element_get_bus(pipeline.get()));
    std::string problems;
    // Waits for a message of `type` (of progress: the completion of `progress`), noting every
    // warning and error on the way; false on an error or after 30 s without a message.
    const auto await = [&](GstMessageType type, const char* progress) {
        while (auto message = Adopt(gst_bus_timed_pop(bus.get(), 30 * GST_SECOND))) {
            GError* e = nullptr;
            gchar* debug = nullptr;
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_WARNING) {
                gst_message_parse_warning(message.get(), &e, &debug);
            } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
                gst_message_parse_error(message.get(), &e, &debug);
            }
            const auto ownedDebug = Adopt(debug);
            if (const auto owned = Adopt(e)) {
                problems += fmt::format("{}: {} ({})\n", GST_MESSAGE_SRC_NAME(message.get()),
                                        owned->message, debug != nullptr ? debug : "");
                if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
                    return false;
                }
            }
            GstProgressType progressType{};
            gchar* code = nullptr;
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_PROGRESS) {
                gst_message_parse_progress(message.get(), &progressType, &code, nullptr);
            }
            const auto ownedCode = Adopt(code);
            if (GST_MESSAGE_TYPE(message.get()) == type &&
                (progress == nullptr ||
                 (progressType == GST_PROGRESS_TYPE_COMPLETE && g_strcmp0(code, progress) == 0))) {
                return true;
            }
        }
        problems += fmt::format("no {} in time\n", gst_message_type_get_name(type));
        return false;
    };
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    if (await(GST_MESSAGE_EOS, nullptr)) {
        gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
        if (await(GST_MESSAGE_PROGRESS, "request")) {
            gst_element_set_state(pipeline.get(), GST_STATE_READY);
            await(GST_MESSAGE_PROGRESS, "close");
        }
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return problems + warnings.Text();
}

std::string ClientText(GstRTSPClient* client) {
    return fmt::format("{}", fmt::ptr(client));
}

class RtspServerPlaybackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitGstreamer();
        plain_ = new TestCamera("/plain");
        secure_ = new TestCamera("/secure", {"--user", "cam", "--password", "campw"});
        audio_ = new TestCamera("/av", {"--audio"});
    }
    static void TearDownTestSuite() {
        delete audio_;
        delete secure_;
        delete plain_;
    }

    void SetUp() override {
        ASSERT_TRUE(plain_->Ready() && secure_->Ready() && audio_->Ready());
        port_ = FreePort();
        server_ = RtspServer::Create(MakeConfig(
            port_, "lo", {User("alice", "secret", "internal"), User("bob", "pw", "external")},
            {Camera("Plain", "/plain", plain_->Url()),
             Camera("Secure", "/secure", secure_->Url(), Config::User{"cam", "campw"}),
             Camera("Audio", "/av", audio_->Url())}));
        ASSERT_TRUE(server_);
        server_->Start();
    }

    RtspServer& rtsp() { return dynamic_cast<RtspServer&>(*server_); }

    static TestCamera* plain_;
    static TestCamera* secure_;
    static TestCamera* audio_;
    LogCapture log_;
    std::uint16_t port_{0};
    std::unique_ptr<IRtspServer> server_;
};

TestCamera* RtspServerPlaybackTest::plain_ = nullptr;
TestCamera* RtspServerPlaybackTest::secure_ = nullptr;
TestCamera* RtspServerPlaybackTest::audio_ = nullptr;

TEST_F(RtspServerPlaybackTest, FfprobeSeesOneVideoStreamOverTcpAndUdp) {
    // The camera with audio and the one behind credentials give the same single video stream.
    for (const std::string path : {"/plain", "/secure", "/av"}) {
        for (const std::string transport : {"tcp", "udp"}) {
            const auto result = Probe(RelayUrl(port_, path, "bob", "pw"), transport);
            EXPECT_EQ(result.exitCode, 0) << path << " " << transport << ": " << result.err;
            EXPECT_EQ(result.out, "h264,video\n") << path << " " << transport;
        }
    }
}

TEST_F(RtspServerPlaybackTest, WrongCredentialsAndUnknownPathAreRefused) {
    const auto wrong = Probe(RelayUrl(port_, "/plain", "alice", "nope"), "tcp");
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_THAT(wrong.err, HasSubstr("401 Unauthorized"));
    const auto anonymous = Probe(RelayUrl(port_, "/plain"), "tcp");
    EXPECT_THAT(anonymous.err, HasSubstr("401 Unauthorized"));
    const auto unknown = Probe(RelayUrl(port_, "/missing", "alice", "secret"), "tcp");
    EXPECT_THAT(unknown.err, HasSubstr("404 Not Found"));
    // Refused requests never reach the request handlers.
    EXPECT_EQ(log_.Count("1/1 clients playing"), 0U);
}

TEST_F(RtspServerPlaybackTest, RtspsrcPlaysWithoutCriticalOverTcpAndUdp) {
    for (const std::string protocols : {"tcp", "udp"}) {
        EXPECT_EQ(PlayThroughRtspsrc(RelayUrl(port_, "/av"), protocols), "") << protocols;
    }
}

TEST_F(RtspServerPlaybackTest, ClientIsTrackedFromConnectionToClose) {
    RtspTestClient client(port_, "/plain", "alice", "secret");
    ASSERT_TRUE(client.PlayStream());
    EXPECT_TRUE(client.WaitForRtp(10));

    const auto entries = rtsp().Clients();
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].path, "/plain");
    EXPECT_EQ(entries[0].role, "internal");
    EXPECT_TRUE(entries[0].playing);
    const std::string id = ClientText(entries[0].client);
    EXPECT_THAT(id, ::testing::MatchesRegex("0x[0-9a-f]+"));

    client.Close();
    ASSERT_TRUE(log_.sink().WaitFor("Client " + id + ": Removed (0/0 clients playing)"));
    const std::vector<std::string> expected = {"Client " + id + ": Connection from 127.0.0.1",
                                               "Client " + id + ": Connected",
                                               "Client " + id + ": Handle Pre-DESCRIBE request",
                                               "Request info for mountpoint on path '/plain'",
                                               "Client " + id + ": Handle DESCRIBE request",
                                               "Client " + id + ": Role 'internal'",
                                               "Client " + id + ": Requested path '/plain'",
                                               "Client " + id + ": Handle Pre-SETUP request",
                                               "Client " + id + ": Handle SETUP request",
                                               "Client " + id + ": Handle Pre-PLAY request",
                                               "Client " + id + ": Handle PLAY request",
                                               "1/1 clients playing",
                                               "Client " + id + ": Closed",
                                               "Client " + id + ": Removed (0/0 clients playing)"};
    auto messages = log_.Messages();
    // The library may check the credentials twice and so emit a pre-request signal twice.
    messages.erase(std::unique(messages.begin(), messages.end()), messages.end());
    messages.erase(std::remove_if(messages.begin(), messages.end(),
                                  [](const auto& m) {
                                      return m.find("Client") == std::string::npos &&
                                             m.find("playing") == std::string::npos &&
                                             m.find("Request info") == std::string::npos;
                                  }),
                   messages.end());
    EXPECT_EQ(messages, expected);
    EXPECT_TRUE(rtsp().Clients().empty());
}

TEST_F(RtspServerPlaybackTest, KilledUdpClientFreesItsSlot) {
    Process ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "udp", "-i",
                    RelayUrl(port_, "/plain", "bob", "pw"), "-c", "copy", "-f", "null", "-"});
    ASSERT_TRUE(log_.sink().WaitFor("1/1 clients playing", 20s));
    ffmpeg.Signal(SIGKILL);
    ASSERT_TRUE(Eventually([&] { return rtsp().Clients().empty(); }));
    // The camera connection of the relay goes with its last session.
    RtspTestClient next(port_, "/plain", "bob", "pw");
    EXPECT_TRUE(next.PlayStream());
    EXPECT_TRUE(next.WaitForRtp(5));
}

TEST_F(RtspServerPlaybackTest, SessionLeftBehindWithoutTeardownExpires) {
    GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(rtsp().LibraryServer());
    RtspTestClient client(port_, "/plain", "bob", "pw");
    ASSERT_TRUE(client.PlayStream());
    ASSERT_EQ(gst_rtsp_session_pool_get_n_sessions(pool), 1U);
    // The connection goes without TEARDOWN; the session stays until it times out.
    client.Close();
    ASSERT_TRUE(Eventually([&] { return rtsp().Clients().empty(); }));
    EXPECT_EQ(gst_rtsp_session_pool_get_n_sessions(pool), 1U);

    GList* sessions = gst_rtsp_session_pool_filter(pool, nullptr, nullptr);
    for (GList* walk = sessions; walk != nullptr; walk = walk->next) {
        gst_rtsp_session_set_timeout(GST_RTSP_SESSION(walk->data), 1);
        g_object_set(walk->data, "extra-timeout", 0U, nullptr);
    }
    g_list_free_full(sessions, g_object_unref);
    EXPECT_TRUE(Eventually([&] { return gst_rtsp_session_pool_get_n_sessions(pool) == 0; }));
    g_object_unref(pool);
}

TEST_F(RtspServerPlaybackTest, DestructionClosesEveryClientAndJoins) {
    // The idle client is there first, so the second PLAY always counts three clients.
    RtspTestClient idle(port_, "/secure", "bob", "pw");
    ASSERT_EQ(idle.Options().status, 200);
    Process ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                    RelayUrl(port_, "/av", "alice", "secret"), "-c", "copy", "-f", "null", "-"});
    RtspTestClient player(port_, "/plain", "bob", "pw");
    ASSERT_TRUE(player.PlayStream());
    ASSERT_TRUE(log_.sink().WaitFor("2/3 clients playing", 20s));

    server_.reset();
    EXPECT_EQ(log_.Count("RtspServer mainloop returned"), 1U);
    EXPECT_TRUE(player.WaitClosedByServer());
    EXPECT_TRUE(idle.WaitClosedByServer());
    EXPECT_TRUE(ffmpeg.Wait(10s).has_value());
}

class RtspServerCameraFaultTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitGstreamer(); }
    LogCapture log_;
};

TEST_F(RtspServerCameraFaultTest, CameraDroppingMidStreamEndsItsClientsAndPlaysAgainLater) {
    // A port of our own: the camera comes back on it after nothing listened there for a while.
    auto camera = std::make_unique<TestCamera>("/cam", std::vector<std::string>{}, FreePort());
    ASSERT_TRUE(camera->Ready());
    const auto cameraPort = camera->Port();
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(port, "any", {User("bob", "pw", "external")},
                                                {Camera("Cam", "/cam", camera->Url())}));
    ASSERT_TRUE(server);
    server->Start();

    Process ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                    RelayUrl(port, "/cam", "bob", "pw"), "-c", "copy", "-f", "null", "-"});
    RtspTestClient udp(port, "/cam", "bob", "pw");
    ASSERT_TRUE(udp.PlayStream());
    ASSERT_TRUE(udp.WaitForRtp(10));

    ASSERT_TRUE(log_.sink().WaitFor("2/2 clients playing", 20s));
    camera->Kill();
    // Both clients end: the relay closes every client of the failed camera, which also
    // releases the failed media so that the next client gets a new one.
    EXPECT_TRUE(ffmpeg.Wait(20s).has_value());
    EXPECT_TRUE(udp.WaitClosedByServer());
    const auto messages = log_.Messages();
    EXPECT_EQ(std::count_if(
                  messages.begin(), messages.end(),
                  [](const auto& m) { return m.rfind("Camera at path '/cam' stopped: ", 0) == 0; }),
              1);
    // The raw client does not leave by itself: the relay closed it.
    EXPECT_GE(std::count_if(messages.begin(), messages.end(),
                            [](const auto& m) {
                                return m.find("because the camera at path /cam stopped") !=
                                       std::string::npos;
                            }),
              1);

    camera = std::make_unique<TestCamera>("/cam", std::vector<std::string>{}, cameraPort);
    ASSERT_TRUE(camera->Ready());
    RtspTestClient again(port, "/cam", "bob", "pw");
    EXPECT_TRUE(again.PlayStream());
    EXPECT_TRUE(again.WaitForRtp(10));
}

TEST_F(RtspServerCameraFaultTest, CameraEndingItsStreamEndsItsClientsAndTheNextGetsAFreshOne) {
    // Each connection to the camera gets its own stream of two seconds, which then ends cleanly.
    TestCamera camera("/cam", {"--frames", "50"});
    ASSERT_TRUE(camera.Ready());
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(port, "any", {User("bob", "pw", "external")},
                                                {Camera("Cam", "/cam", camera.Url())}));
    ASSERT_TRUE(server);
    server->Start();

    for (int round = 0; round < 2; ++round) {
        RtspTestClient client(port, "/cam", "bob", "pw");
        ASSERT_TRUE(client.PlayStream()) << round;
        EXPECT_TRUE(client.WaitForRtp(5)) << round;
        EXPECT_TRUE(client.WaitClosedByServer(30s)) << round;
    }
    EXPECT_EQ(log_.Count("Camera at path '/cam' stopped: end of stream"), 2U);
}

TEST_F(RtspServerCameraFaultTest, UnreachableCameraIsAnsweredWithAnError) {
    const auto closedPort = FreePort();  // nothing listens there
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(
        port, "any", {User("bob", "pw", "external")},
        {Camera("Gone", "/gone", "rtsp://127.0.0.1:" + std::to_string(closedPort) + "/x")}));
    ASSERT_TRUE(server);
    server->Start();
    RtspTestClient client(port, "/gone", "bob", "pw");
    const auto response = client.Describe();
    EXPECT_GE(response.status, 400);
    // The connection stays usable and the slot was never taken.
    EXPECT_EQ(client.Options().status, 200);
    EXPECT_TRUE(dynamic_cast<RtspServer&>(*server).Clients().at(0).playing == false);
}

TEST_F(RtspServerCameraFaultTest, SilentCameraStallsNoOtherClient) {
    SilentCamera silent;
    TestCamera camera("/cam");
    ASSERT_TRUE(camera.Ready());
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(
        port, "any", {User("bob", "pw", "external")},
        {Camera("Silent", "/silent", silent.Url()), Camera("Cam", "/cam", camera.Url())}));
    ASSERT_TRUE(server);
    server->Start();

    // More requests wait for the silent camera than the library's default pool has threads,
    // from several addresses (each address has a connection cap of its own).
    constexpr std::size_t kStalled = 20;
    std::vector<std::future<int>> stalled;
    for (std::size_t i = 0; i < kStalled; ++i) {
        const std::string from = "127.0.0." + std::to_string(1 + i % 3);
        stalled.push_back(std::async(std::launch::async, [port, from] {
            RtspTestClient client("127.0.0.1", port, "/silent", "bob", "pw", from);
            return client.Describe().status;
        }));
    }
    // Each is taken in (authenticated) by a client thread of its own.
    auto& rtsp = dynamic_cast<RtspServer&>(*server);
    ASSERT_TRUE(Eventually([&] { return rtsp.Clients().size() == kStalled; }, 5s));

    // While the silent camera holds its clients, others are served.
    RtspTestClient other(port, "/cam", "bob", "pw");
    EXPECT_TRUE(other.PlayStream());
    EXPECT_TRUE(other.WaitForRtp(5));
    for (auto& request : stalled) {
        EXPECT_EQ(request.wait_for(0s), std::future_status::timeout);
    }

    // The stalled clients get an error once the upstream time-out passes.
    for (auto& request : stalled) {
        EXPECT_GE(request.get(), 400);
    }
}

TEST_F(RtspServerCameraFaultTest, DestructionDoesNotWaitForAStalledCamera) {
    SilentCamera silent;
    const auto port = FreePort();
    auto server = RtspServer::Create(MakeConfig(port, "any", {User("bob", "pw", "external")},
                                                {Camera("Silent", "/silent", silent.Url())}));
    ASSERT_TRUE(server);
    server->Start();
    auto stalled = std::async(std::launch::async, [port] {
        RtspTestClient client(port, "/silent", "bob", "pw");
        return client.Describe().status;
    });
    ASSERT_TRUE(log_.sink().WaitFor("Request info for mountpoint on path '/silent'"));

    // The client's thread waits for the camera inside the library; the server goes anyway, and
    // what the library does for that client afterwards never reaches the destroyed object.
    server.reset();
    EXPECT_EQ(log_.Count("RtspServer mainloop returned"), 1U);
    // The connection was closed without a reply: had the destruction waited for the camera, the
    // client would have had the camera's failure (an error status) first.
    EXPECT_EQ(stalled.get(), 0);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
