#include "Tavrel/RtspServer/ClientThreads.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "RtspServerTestSupport.h"
#include "RtspSrcMediaFactoryTestSupport.h"

namespace Norvane::Tavrel::Test::Factory {
namespace {

using namespace std::chrono_literals;

// Clients hang up while the server closes them from another thread: each is closed on its own
// thread, so its end of input and the close never meet inside the library.
TEST(ClientThreads, ClientsClosedFromElsewhereWhileTheyHangUp) {
    InitGstreamer();
    GLogCounter glog;
    MiniRelay relay({"/cam"});
    for (int round = 0; round < 30; ++round) {
        std::vector<std::unique_ptr<RtspTestClient>> clients;
        for (int i = 0; i < 6; ++i) {
            clients.push_back(std::make_unique<RtspTestClient>(relay.Port(), "/cam"));
            ASSERT_EQ(clients.back()->Options().status, 200);
        }
        const auto held =
            AdoptClientList(gst_rtsp_server_client_filter(relay.server(), nullptr, nullptr));
        std::thread hangUp([&] { clients.clear(); });
        CloseClientsOnTheirThreads(held, 2s);
        hangUp.join();
    }
    RtspTestClient last(relay.Port(), "/cam");
    EXPECT_EQ(last.Options().status, 200);
    // The library's close from this thread gave a flood of "G_IS_POLLABLE_INPUT_STREAM" criticals
    // (a dead connection's watch polled on and on) or a crash within these rounds.
    EXPECT_EQ(glog.Criticals(), 0) << (glog.Messages().empty() ? "" : glog.Messages().front());
}

}  // namespace
}  // namespace Norvane::Tavrel::Test::Factory
