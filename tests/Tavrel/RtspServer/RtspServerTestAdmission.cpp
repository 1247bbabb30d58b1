// RtspServer client admission: the limit of playing clients, and the clients closed when their
// camera or their role goes away.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "LogCapture.h"
#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"
#include "TestEnv.h"

namespace Norvane::Tavrel::Test {
namespace {

using namespace std::chrono_literals;
using Norvane::Test::FreePort;
using Norvane::Test::LogCapture;

class RtspServerAdmissionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitGstreamer();
        camera_ = new TestCamera("/cam");
    }
    static void TearDownTestSuite() { delete camera_; }

    void SetUp() override {
        ASSERT_TRUE(camera_->Ready());
        port_ = FreePort();
        server_ = RtspServer::Create(MakeConfig(
            port_, "any", users_,
            {Camera("One", "/one", camera_->Url()), Camera("Two", "/two", camera_->Url())}));
        ASSERT_TRUE(server_);
        server_->Start();
    }

    RtspServer& rtsp() { return dynamic_cast<RtspServer&>(*server_); }

    /// A connected client (its entry exists once OPTIONS was answered) and its text in logs.
    std::pair<std::unique_ptr<RtspTestClient>, std::string> Connect(const std::string& path,
                                                                    const std::string& user,
                                                                    const std::string& password) {
        auto client = std::make_unique<RtspTestClient>(port_, path, user, password);
        EXPECT_EQ(client->Options().status, 200);
        const auto entries = rtsp().Clients();
        const std::string id =
            entries.empty() ? "" : fmt::format("{}", fmt::ptr(entries.back().client));
        return {std::move(client), id};
    }

    std::size_t CountContaining(const std::string& text) {
        const auto messages = log_.Messages();
        return static_cast<std::size_t>(
            std::count_if(messages.begin(), messages.end(),
                          [&](const auto& m) { return m.find(text) != std::string::npos; }));
    }

    static TestCamera* camera_;
    std::vector<Config::ServerUser> users_{
        User("alice", "a", "internal"), User("bob", "b", "external"),
        User("carol", "c", "internal"),
        User("dave", "d", "operator")};  // any other role text counts as external
    LogCapture log_;
    std::uint16_t port_{0};
    std::unique_ptr<IRtspServer> server_;
};

TestCamera* RtspServerAdmissionTest::camera_ = nullptr;

TEST_F(RtspServerAdmissionTest, AtMostFivePlayUntilAConnectionCloses) {
    std::vector<std::unique_ptr<RtspTestClient>> players;
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) {
        auto [client, id] = Connect("/one", "bob", "b");
        ASSERT_TRUE(client->PlayStream()) << i;
        players.push_back(std::move(client));
        ids.push_back(id);
    }
    // With four playing, a fifth client passes every step and becomes the fifth.
    auto [fifth, fifthId] = Connect("/two", "alice", "a");
    auto [late, lateId] = Connect("/one", "bob", "b");
    EXPECT_EQ(late->Describe().status, 200);
    EXPECT_EQ(fifth->Describe().status, 200);
    EXPECT_EQ(fifth->Setup().status, 200);
    EXPECT_EQ(fifth->Play().status, 200);
    // The request signal follows the reply.
    ASSERT_TRUE(log_.sink().WaitFor("5/6 clients playing"));
    EXPECT_TRUE(fifth->WaitForRtp(5));
    // Five play: a client that described before is refused its SETUP.
    EXPECT_EQ(late->Setup().status, 503);
    late.reset();
    ASSERT_TRUE(log_.sink().WaitFor("Client " + lateId + ": Removed (5/5 clients playing)"));

    // A sixth is refused on DESCRIBE, not on OPTIONS.
    auto [sixth, sixthId] = Connect("/one", "bob", "b");
    EXPECT_EQ(sixth->Describe().status, 503);
    EXPECT_EQ(log_.Count("Client " + sixthId +
                         ": Exceeded MAX_CLIENTS (5/6 playing): Respond with SERVICE_UNAVAILABLE"),
              1U);
    EXPECT_EQ(sixth->Options().status, 200);
    EXPECT_EQ(sixth->Send("GET_PARAMETER", RelayUrl(port_, "/one")).status, 200);

    // One of the five: a PAUSE keeps its slot, so it plays again while others are refused.
    EXPECT_EQ(players[0]->Pause().status, 200);
    EXPECT_EQ(sixth->Describe().status, 503);
    EXPECT_EQ(players[0]->Play().status, 200);
    // Its TEARDOWN gives the slot back although its connection stays.
    EXPECT_EQ(players[0]->Teardown().status, 200);
    ASSERT_TRUE(log_.sink().WaitFor("Client " + ids[0] + ": Session ended (4/6 clients playing)"));
    EXPECT_TRUE(sixth->PlayStream());
    EXPECT_TRUE(sixth->WaitForRtp(5));

    // A playing client's connection closes: its slot frees.
    players[1]->Close();
    ASSERT_TRUE(log_.sink().WaitFor("Client " + ids[1] + ": Removed (4/5 clients playing)"));
    auto [seventh, seventhId] = Connect("/two", "bob", "b");
    EXPECT_TRUE(seventh->PlayStream());
    auto [eighth, eighthId] = Connect("/two", "bob", "b");
    EXPECT_EQ(eighth->Describe().status, 503);
}

TEST_F(RtspServerAdmissionTest, RequestsWithoutValidCredentialsGet401BeforeAdmission) {
    std::vector<std::unique_ptr<RtspTestClient>> players;
    for (int i = 0; i < 5; ++i) {
        players.push_back(std::make_unique<RtspTestClient>(port_, "/one", "bob", "b"));
        ASSERT_TRUE(players.back()->PlayStream()) << i;
    }
    ASSERT_TRUE(log_.sink().WaitFor("5/5 clients playing"));
    const auto before = log_.Messages().size();
    // Every method but OPTIONS needs credentials, for any path, also while the server is full.
    RtspTestClient anonymous(port_, "/nowhere");
    EXPECT_EQ(anonymous.Options().status, 200);
    EXPECT_EQ(anonymous.Describe().status, 401);
    for (const std::string method : {"GET_PARAMETER", "SET_PARAMETER", "PLAY", "TEARDOWN"}) {
        EXPECT_EQ(anonymous.Send(method, RelayUrl(port_, "/one")).status, 401) << method;
    }
    RtspTestClient wrong(port_, "/one", "bob", "wrong");
    EXPECT_EQ(wrong.Describe().status, 401);
    // None of them reached admission, nor was reported as connected.
    const auto messages = log_.Messages();
    for (auto it = messages.begin() + static_cast<std::ptrdiff_t>(before); it != messages.end();
         ++it) {
        EXPECT_EQ(it->find("Handle"), std::string::npos) << *it;
        EXPECT_EQ(it->find("Exceeded"), std::string::npos) << *it;
        EXPECT_FALSE(it->ends_with(": Connected")) << *it;
    }
    RtspTestClient valid(port_, "/one", "alice", "a");
    EXPECT_EQ(valid.Describe().status, 503);
}

TEST_F(RtspServerAdmissionTest, ConcurrentPlaysNeverExceedTheLimit) {
    constexpr int CLIENTS = 10;
    std::vector<std::unique_ptr<RtspTestClient>> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        clients.push_back(std::make_unique<RtspTestClient>("127.0.0.1", port_, "/one", "bob", "b",
                                                           "127.0.0." + std::to_string(1 + i % 2)));
        ASSERT_EQ(clients.back()->Describe().status, 200) << i;
        ASSERT_EQ(clients.back()->Setup().status, 200) << i;
    }
    std::vector<std::thread> threads;
    std::vector<int> status(CLIENTS);
    for (int i = 0; i < CLIENTS; ++i) {
        threads.emplace_back([&, i] { status[i] = clients[i]->Play().status; });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(status.begin(), status.end(), 200), static_cast<long>(MAX_CLIENTS));
    EXPECT_EQ(std::count(status.begin(), status.end(), 503),
              CLIENTS - static_cast<long>(MAX_CLIENTS));
}

TEST_F(RtspServerAdmissionTest, SequentialPlayAndCloseCyclesAreNeverRefused) {
    // Half the cycles end with TEARDOWN, half by closing the connection; the next client
    // finds neither the server full nor the camera's media on its way out.
    for (std::size_t cycle = 0; cycle < 4 * MAX_CLIENTS; ++cycle) {
        RtspTestClient client(port_, "/one", "bob", "b");
        ASSERT_TRUE(client.PlayStream()) << cycle;
        if (cycle % 2 == 0) {
            EXPECT_EQ(client.Teardown().status, 200) << cycle;
        }
    }
}

TEST_F(RtspServerAdmissionTest, SetUsersClosesTheClientsOfARoleWithoutUsers) {
    auto [internal, internalId] = Connect("/one", "alice", "a");
    ASSERT_TRUE(internal->PlayStream());
    auto [external, externalId] = Connect("/one", "bob", "b");
    ASSERT_TRUE(external->PlayStream());
    auto [other, otherId] = Connect("/two", "dave", "d");
    ASSERT_TRUE(other->PlayStream());
    auto [silent, silentId] = Connect("/two", "", "");  // no request beyond OPTIONS

    EXPECT_EQ(log_.Count("Client " + internalId + ": Role 'internal'"), 1U);
    EXPECT_EQ(log_.Count("Client " + otherId + ": Role 'external'"), 1U);

    // Another internal user remains: nobody is closed, even alice's client.
    server_->SetUsers({User("alice", "new", "internal"), User("bob", "b", "external"),
                       User("dave", "d", "operator")});
    server_->SetUsers({User("carol", "c", "internal"), User("bob", "b", "external")});
    EXPECT_EQ(CountContaining("Remove RtspClient"), 0U);

    // The last internal user goes: exactly the internal client is closed.
    server_->SetUsers({User("bob", "b", "external")});
    EXPECT_TRUE(internal->WaitClosedByServer());
    EXPECT_EQ(log_.Count("Remove RtspClient " + internalId + " because user/role was removed"), 1U);
    EXPECT_EQ(CountContaining("Remove RtspClient"), 1U);
    EXPECT_EQ(external->Options().status, 200);

    // No user at all: every client with a role goes, one without a role stays.
    server_->SetUsers({});
    EXPECT_TRUE(external->WaitClosedByServer());
    EXPECT_TRUE(other->WaitClosedByServer());
    EXPECT_EQ(CountContaining("Remove RtspClient"), 3U);
    EXPECT_EQ(silent->Options().status, 200);

    // The new authentication governs new requests.
    RtspTestClient late(port_, "/one", "bob", "b");
    EXPECT_EQ(late.Describe().status, 401);
}

TEST_F(RtspServerAdmissionTest, RemoveCameraClosesExactlyTheClientsOfItsPath) {
    auto [one, oneId] = Connect("/one", "bob", "b");
    ASSERT_TRUE(one->PlayStream());
    auto [two, twoId] = Connect("/two", "bob", "b");
    ASSERT_TRUE(two->PlayStream());
    // A SETUP without DESCRIBE names the stream below the mount path; no camera is
    // configured at that longer path, so no media is made and the request fails.
    auto [below, belowId] = Connect("/one", "bob", "b");
    EXPECT_GE(below->Setup().status, 400);
    EXPECT_EQ(log_.Count("Request info for mountpoint on path '/one/stream=0'"), 1U);

    server_->RemoveCamera("/one");
    EXPECT_TRUE(one->WaitClosedByServer());
    EXPECT_EQ(
        log_.Count("Remove RtspClient " + oneId + " because mountpoint for path /one was removed"),
        1U);
    EXPECT_EQ(CountContaining("Remove RtspClient"), 1U);
    for (const auto& record : log_.sink().Records()) {
        if (record.message.rfind("Remove RtspClient", 0) == 0) {
            EXPECT_EQ(record.function, "operator()");
            EXPECT_EQ(record.level, spdlog::level::info);
        }
    }

    const auto before = two->RtpPackets();
    EXPECT_TRUE(two->WaitForRtp(before + 5));
    EXPECT_EQ(two->Options().status, 200);
    EXPECT_EQ(below->Options().status, 200);

    RtspTestClient late(port_, "/one", "bob", "b");
    EXPECT_EQ(late.Describe().status, 404);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
