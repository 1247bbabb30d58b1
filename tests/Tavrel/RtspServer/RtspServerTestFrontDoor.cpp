// RtspServer's front door: request size, connection caps per address and in total, deadlines for
// idle and stalled connections, and the slowing of password guessing. Real sockets from several
// loopback source addresses.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;
using Norvane::Test::FreePort;
using Norvane::Test::LogCapture;

class RtspServerFrontDoorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitGstreamer();
        camera_ = new TestCamera("/cam");
    }
    static void TearDownTestSuite() { delete camera_; }

    void Start(const FrontDoorLimits& limits = {}) {
        ASSERT_TRUE(camera_->Ready());
        port_ = FreePort();
        server_ = RtspServer::Create(MakeConfig(port_, "any", {User("bob", "b", "external")},
                                                {Camera("Cam", "/cam", camera_->Url())}),
                                     limits);
        ASSERT_TRUE(server_);
        server_->Start();
    }

    /// A client from `source`; with credentials unless `user` is empty.
    std::unique_ptr<RtspTestClient> From(const std::string& source, const std::string& user = "bob",
                                         const std::string& password = "b") {
        return std::make_unique<RtspTestClient>("127.0.0.1", port_, "/cam", user, password, source);
    }

    std::size_t Warnings(const std::string& text) {
        std::size_t count = 0;
        for (const auto& record : log_.sink().Records()) {
            count += record.level == spdlog::level::warn &&
                     record.message.find(text) != std::string::npos;
        }
        return count;
    }

    static TestCamera* camera_;
    LogCapture log_;
    std::uint16_t port_{0};
    std::unique_ptr<IRtspServer> server_;
};

TestCamera* RtspServerFrontDoorTest::camera_ = nullptr;

TEST_F(RtspServerFrontDoorTest, OversizedRequestsAreRefusedBeforeAndAfterAuthentication) {
    Start();
    for (const std::string user : {"", "bob"}) {
        auto client = From("127.0.0.1", user);
        const auto response =
            client->Send("DESCRIBE", RelayUrl(port_, "/cam"), "Content-Length: 2147483647\r\n");
        EXPECT_EQ(response.status, 413) << user;
        EXPECT_TRUE(client->WaitClosedByServer()) << user;
    }
    // Header lines without end are not kept either.
    auto client = From("127.0.0.1", "");
    std::string request = "DESCRIBE " + RelayUrl(port_, "/cam") + " RTSP/1.0\r\nCSeq: 1\r\n";
    while (request.size() < 4 * kMaxPendingRequest) {
        request += "X-Pad: " + std::string(100, 'a') + "\r\n";
    }
    client->SendRaw(request);
    EXPECT_TRUE(client->WaitClosedByServer());
}

TEST_F(RtspServerFrontDoorTest, ConnectionCapsHoldPerAddressAndInTotalWhileOthersPlay) {
    FrontDoorLimits limits;
    limits.authDeadline = 10min;  // the flood stays for the whole test
    Start(limits);
    // One address fills its share; its next connections are closed at once.
    std::vector<std::unique_ptr<RtspTestClient>> flood;
    for (std::size_t i = 0; i < kMaxConnectionsPerAddress; ++i) {
        flood.push_back(From("127.0.0.1", ""));
        ASSERT_EQ(flood.back()->Options().status, 200) << i;
    }
    constexpr std::size_t REFUSED = 10;
    for (std::size_t i = 0; i < REFUSED; ++i) {
        EXPECT_TRUE(From("127.0.0.1", "")->WaitClosedByServer()) << i;
    }

    // A valid client from another address plays meanwhile.
    auto player = From("127.0.0.2");
    ASSERT_TRUE(player->PlayStream());
    EXPECT_TRUE(player->WaitForRtp(5));

    // Further addresses fill the total; then a new connection is closed from any address.
    for (int address = 3; flood.size() + 1 < kMaxConnections; ++address) {
        for (std::size_t i = 0; i < kMaxConnectionsPerAddress && flood.size() + 1 < kMaxConnections;
             ++i) {
            flood.push_back(From("127.0.0." + std::to_string(address), ""));
            ASSERT_EQ(flood.back()->Options().status, 200);
        }
    }
    EXPECT_TRUE(From("127.0.0.100")->WaitClosedByServer());
    const auto before = player->RtpPackets();
    EXPECT_TRUE(player->WaitForRtp(before + 5));

    // Every refusal is counted, in a few warning lines.
    std::size_t lines = 0;
    EXPECT_TRUE(Eventually([&] {
        std::size_t counted = 0;
        lines = 0;
        for (const auto& record : log_.sink().Records()) {
            if (record.level == spdlog::level::warn &&
                record.message.find("RTSP connections refused") != std::string::npos) {
                counted += std::stoul(record.message);
                ++lines;
            }
        }
        return counted == REFUSED + 1;
    }));
    EXPECT_LT(lines, REFUSED / 2);
    // Only the player's connection was reported at info level.
    const auto records = log_.sink().Records();
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const auto& r) {
                                return r.level == spdlog::level::info &&
                                       r.message.ends_with(": Connected");
                            }),
              1);
}

TEST_F(RtspServerFrontDoorTest, IdleAndStalledConnectionsAreClosedAtTheirDeadline) {
    FrontDoorLimits limits;
    limits.authDeadline = 1s;
    limits.partialRequestDeadline = 1s;
    Start(limits);

    auto anonymous = From("127.0.0.1", "");
    ASSERT_EQ(anonymous->Options().status, 200);  // OPTIONS needs no credentials, nor counts
    auto stalled = From("127.0.0.1");
    ASSERT_EQ(stalled->Describe().status, 200);
    auto idle = From("127.0.0.1");
    ASSERT_EQ(idle->Describe().status, 200);

    // A request begun and fed a byte at a time is never completed.
    const std::string request = "GET_PARAMETER " + RelayUrl(port_, "/cam") + " RTSP/1.0\r\nCSeq: 9";
    ASSERT_TRUE(stalled->SendRaw(request.substr(0, 10)));
    bool closed = false;
    for (std::size_t i = 10; i < request.size() && !closed; ++i) {
        stalled->SendRaw(request.substr(i, 1));
        closed = stalled->WaitClosedByServer(300ms);
    }
    EXPECT_TRUE(closed || stalled->WaitClosedByServer());
    EXPECT_TRUE(anonymous->WaitClosedByServer());
    // An authenticated connection that is merely quiet stays.
    EXPECT_EQ(idle->Options().status, 200);
    EXPECT_TRUE(Eventually([&] {
        return Warnings("RTSP connections closed without a complete authenticated request") > 0;
    }));
}

TEST_F(RtspServerFrontDoorTest, PasswordGuessingIsSlowedForItsAddressOnly) {
    FrontDoorLimits limits;
    limits.firstAuthBackoff = 2s;
    Start(limits);

    // A few failures are answered; then the connection is closed.
    auto guesser = From("127.0.0.3", "bob", "wrong");
    for (unsigned i = 0; i < kMaxAuthFailuresPerConnection; ++i) {
        EXPECT_EQ(guesser->Describe().status, 401) << i;
    }
    EXPECT_TRUE(guesser->WaitClosedByServer());

    // Beyond the free failures the address waits: its next failure closes the connection and
    // new connections are refused until the wait is over.
    guesser = From("127.0.0.3", "bob", "wrong");
    EXPECT_EQ(guesser->Describe().status, 401);
    EXPECT_TRUE(guesser->WaitClosedByServer());
    auto waiting = From("127.0.0.3");
    EXPECT_TRUE(waiting->WaitClosedByServer());

    // Valid users elsewhere are not slowed.
    auto other = From("127.0.0.4");
    EXPECT_EQ(other->Describe().status, 200);

    // After the wait the address is let in again, and valid credentials pass.
    std::unique_ptr<RtspTestClient> again;
    EXPECT_TRUE(Eventually(
        [&] {
            again = From("127.0.0.3");
            return again->Describe().status == 200;
        },
        20s));
    EXPECT_GE(Warnings("failed RTSP authentications"), 1U);
    EXPECT_LT(Warnings("failed RTSP authentications"), kMaxAuthFailuresPerConnection + 1);
}

TEST_F(RtspServerFrontDoorTest, EverySpellingOfAPathSharesItsOneCameraConnection) {
    Start();
    auto player = From("127.0.0.1");
    ASSERT_TRUE(player->PlayStream());
    for (const std::string path : {"/cam?x=1", "/cam?x=2", "//cam", "/cam/", "/cam//"}) {
        RtspTestClient client(port_, path, "bob", "b");
        EXPECT_EQ(client.Describe().status, 200) << path;
    }
    RtspTestClient other(port_, "/cam", "bob", "b");
    const auto url = "rtsp://localhost:" + std::to_string(port_) + "/cam?y";
    EXPECT_EQ(other.Send("DESCRIBE", url).status, 200);
    EXPECT_EQ(log_.Count("Request info for mountpoint on path '/cam'"), 1U);
    // A path that only begins like the camera's is not it.
    RtspTestClient longer(port_, "/camera", "bob", "b");
    EXPECT_EQ(longer.Describe().status, 404);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
