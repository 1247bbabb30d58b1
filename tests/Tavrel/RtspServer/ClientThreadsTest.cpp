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

// The media of every camera share one thread, which ends with the last of them once sharing
// was stopped; media after that get a thread of their own.
TEST(ClientThreads, MediaShareOneThreadThatEndsWithItsLastUse) {
    InitGstreamer();
    const auto pool = NewClientThreadPool(4);
    StartSharedMediaThread(pool.get());
    GstRTSPThread* first =
        gst_rtsp_thread_pool_get_thread(pool.get(), GST_RTSP_THREAD_TYPE_MEDIA, nullptr);
    GstRTSPThread* second =
        gst_rtsp_thread_pool_get_thread(pool.get(), GST_RTSP_THREAD_TYPE_MEDIA, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    const auto loop = gst::Adopt(g_main_loop_ref(first->loop));
    StopSharedMediaThread(pool.get());
    gst_rtsp_thread_stop(first);
    EXPECT_TRUE(g_main_loop_is_running(loop.get()));  // still used
    gst_rtsp_thread_stop(second);
    EXPECT_TRUE(Eventually([&] { return !g_main_loop_is_running(loop.get()); }));

    GstRTSPThread* own =
        gst_rtsp_thread_pool_get_thread(pool.get(), GST_RTSP_THREAD_TYPE_MEDIA, nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own->loop, loop.get());
    gst_rtsp_thread_stop(own);
}

// A camera failing mid-stream and its media torn down on the shared media thread hold up none
// of the cameras playing beside it.
TEST(ClientThreads, CamerasPlayOnWhileAnotherOnTheSharedMediaThreadFails) {
    InitGstreamer();
    TestCamera good("/live");
    auto failing = std::make_unique<TestCamera>("/live");
    ASSERT_TRUE(good.Ready());
    ASSERT_TRUE(failing->Ready());
    MiniRelay relay({"/a", "/b", "/c"});
    relay.SetCamera("/a", {good.Url(), std::nullopt, std::nullopt});
    relay.SetCamera("/b", {good.Url(), std::nullopt, std::nullopt});
    relay.SetCamera("/c", {failing->Url(), std::nullopt, std::nullopt});
    RtspTestClient a(relay.Port(), "");
    RtspTestClient b(relay.Port(), "");
    RtspTestClient c(relay.Port(), "");
    ASSERT_EQ(a.PlayInterleaved(relay.Url("/a")).status, 200);
    ASSERT_EQ(b.PlayInterleaved(relay.Url("/b")).status, 200);
    ASSERT_EQ(c.PlayInterleaved(relay.Url("/c")).status, 200);
    ASSERT_TRUE(c.NextRtp());

    failing->Kill();
    c.Close();  // its media is torn down
    RtspTestClient again(relay.Port(), "");
    EXPECT_NE(again.Request("DESCRIBE", relay.Url("/c"), {}, 10s).status, 200);
    for (auto* client : {&a, &b}) {
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(client->NextRtp(2s)) << "packet " << i;
    }
}

}  // namespace
}  // namespace Norvane::Tavrel::Test::Factory
