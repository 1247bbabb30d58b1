// The bounds of a camera's control connection: the reader of its framing, and the connection
// GIO hands out for an rtsp:// URI.

#include "Tavrel/RtspServer/CameraConnection.h"

#include "Tavrel/RtspServer/CameraFaults.h"
#include "Tavrel/RtspServer/CameraLimits.h"
#include "Tavrel/gst/GRef.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "LogCapture.h"

namespace Norvane::Tavrel::gst {
template <>
inline constexpr bool kIsGObject<GSocketClient> = true;
template <>
inline constexpr bool kIsGObject<GSocketConnection> = true;
}  // namespace Norvane::Tavrel::gst

namespace Norvane::Tavrel::Test {
namespace {

using gst::Adopt;

/* Feeds `bytes` in pieces of `piece` bytes; the bytes passed in all. */
std::size_t Feed(CameraAnswerReader& reader, const std::string& bytes, std::size_t piece) {
    std::size_t passed = 0;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t size = std::min(piece, bytes.size() - at);
        const std::size_t n =
            reader.Pass(reinterpret_cast<const std::uint8_t*>(bytes.data() + at), size);
        passed += n;
        if (n < size)
            break;
    }
    return passed;
}

std::string Interleaved(std::uint8_t channel, std::size_t size) {
    std::string packet{'$', static_cast<char>(channel), static_cast<char>(size >> 8),
                       static_cast<char>(size & 0xff)};
    return packet + std::string(size, '\x80');
}

std::string Answer(const std::string& head, const std::string& body = "") {
    return head + (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
           "\r\n" + body;
}

TEST(CameraAnswerReaderTest, WhatRealCamerasSendPassesWhole) {
    const std::string sdp(3000, 'v');
    // Mixed line ends, a folded header, stray line ends between messages, interleaved RTP of
    // the largest size among answers and a request of the camera's own.
    const std::string stream =
        Answer("RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Type: application/sdp\r\n", sdp) +
        Interleaved(0, 65535) + "\r\n" + Interleaved(1, 0) +
        "RTSP/1.0 200 OK\nCSeq: 3\nSession: 1234;\n  timeout=60\n\n" +
        Answer("GET_PARAMETER rtsp://cam/ RTSP/1.0\r\nCSeq: 1\r\n", "a: b\r\n") +
        Interleaved(0, 1400);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        CameraAnswerReader reader("cam");
        EXPECT_EQ(Feed(reader, stream, piece), stream.size()) << piece;
        EXPECT_EQ(reader.Breach(), AnswerBreach::kNone);
    }
}

TEST(CameraAnswerReaderTest, StopsBeforeTheByteThatBreaksALimit) {
    std::string lines = "RTSP/1.0 200 OK\r\n";
    for (std::size_t n = 0; n <= kMaxCameraReplyHeaderLines; ++n)
        lines += "X-Filler: " + std::to_string(n) + "\r\n";
    const std::string head = "RTSP/1.0 200 OK\r\nX-Long: ";
    const std::string huge =
        "RTSP/1.0 200 OK\r\nContent-Type: application/sdp\r\n"
        "Content-Length: 1073741824\r\n\r\n";
    struct Case {
        std::string bytes;
        std::size_t passed;
        AnswerBreach breach;
    };
    const Case cases[] = {
        // The last line's end is known only with the byte after it: that byte is kept back.
        {lines + "\r\n", lines.size() + 1, AnswerBreach::kHeaderLines},
        {head + std::string(kMaxCameraReplyHeaderBytes, 'a'), kMaxCameraReplyHeaderBytes,
         AnswerBreach::kHeaderBytes},
        // The headers' end is kept back, so nothing of the announced size is ever allocated.
        {huge + "v=0", huge.size() - 1, AnswerBreach::kSdp},
        {Answer("RTSP/1.0 200 OK\r\n", std::string(kMaxCameraReplyBodyBytes + 1, 'b')),
         std::string("RTSP/1.0 200 OK\r\nContent-Length: 65537\r\n\r\n").size() - 1,
         AnswerBreach::kBody},
    };
    for (const Case& c : cases) {
        CameraAnswerReader reader("cam");
        EXPECT_EQ(Feed(reader, c.bytes, 5), c.passed);
        EXPECT_EQ(reader.Breach(), c.breach);
        const std::uint8_t more = 'x';
        EXPECT_EQ(reader.Pass(&more, 1), 0U) << "nothing passes after a breach";
    }
}

TEST(CameraAnswerReaderTest, RedirectsOnlyToTheOwnHostAndOnlySoOften) {
    const auto redirect = [](const std::string& to) {
        return Answer("RTSP/1.0 302 Moved\r\nCSeq: 2\r\nLocation: " + to + "\r\n");
    };
    CameraAnswerReader elsewhere("10.0.0.5");
    Feed(elsewhere, redirect("rtsp://user:pw@10.0.0.6/stream"), 64);
    EXPECT_EQ(elsewhere.Breach(), AnswerBreach::kRedirectElsewhere);
    EXPECT_EQ(elsewhere.Detail(), "to 10.0.0.6");

    // The connections of one attempt count together.
    const auto redirects = std::make_shared<std::atomic<int>>(0);
    for (int n = 0; n < kMaxCameraRedirects; ++n) {
        CameraAnswerReader reader("Cam.local", redirects);
        const std::string answer = redirect("rtsp://cam.LOCAL:8554/next");
        EXPECT_EQ(Feed(reader, answer, 64), answer.size());
    }
    CameraAnswerReader last("[::1]");
    last.ShareRedirects(redirects);
    Feed(last, redirect("rtsp://[::1]/next"), 64);
    EXPECT_EQ(last.Breach(), AnswerBreach::kTooManyRedirects);
}

TEST(CameraAnswerReaderTest, TlsIsLeftToTheTlsLayerOnlyWhenWeSpokeItFirst) {
    const std::string record = "\x16\x03\x03" + std::string(70000, 'a');
    CameraAnswerReader tls("cam");
    tls.TlsAbove();
    EXPECT_EQ(Feed(tls, record, 4096), record.size());
    // A camera cannot claim TLS for itself.
    CameraAnswerReader plain("cam");
    EXPECT_EQ(Feed(plain, record, 4096), kMaxCameraReplyHeaderBytes);
    EXPECT_EQ(plain.Breach(), AnswerBreach::kHeaderBytes);
}

/* A camera on loopback that answers the first request with `answer` and keeps its end open
 * until the test's client is done. */
class LoopbackCamera {
public:
    explicit LoopbackCamera(std::string answer) : answer_(std::move(answer)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            const int peer = accept(listener_, nullptr, nullptr);
            if (peer < 0)
                return;
            char request[256];
            if (recv(peer, request, sizeof request, 0) > 0)
                send(peer, answer_.data(), answer_.size(), MSG_NOSIGNAL);
            // Until the client closes its end (or the bound shut it down).
            while (recv(peer, request, sizeof request, 0) > 0) {
            }
            close(peer);
        });
    }
    ~LoopbackCamera() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    LoopbackCamera(const LoopbackCamera&) = delete;
    LoopbackCamera& operator=(const LoopbackCamera&) = delete;

    std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(port_) + "/stream"; }

private:
    std::string answer_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TEST(CameraConnectionTest, AnRtspConnectionByUriIsBounded) {
    ASSERT_TRUE(BoundCameraConnections());
    std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
    for (int n = 0; n < 1000; ++n)
        answer += "X-Filler-" + std::to_string(n) + ": " + std::string(40, 'a') + "\r\n";
    LoopbackCamera camera(answer);
    Norvane::Test::LogCapture log;

    const auto client = Adopt(g_socket_client_new());
    GError* error = nullptr;
    const auto connection = Adopt(
        g_socket_client_connect_to_uri(client.get(), camera.Url().c_str(), 554, nullptr, &error));
    ASSERT_TRUE(connection) << (error ? error->message : "");
    GOutputStream* output = g_io_stream_get_output_stream(G_IO_STREAM(connection.get()));
    const std::string request = "OPTIONS " + camera.Url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    ASSERT_TRUE(g_output_stream_write_all(output, request.data(), request.size(), nullptr, nullptr,
                                          nullptr));
    GInputStream* input = g_io_stream_get_input_stream(G_IO_STREAM(connection.get()));
    EXPECT_TRUE(G_IS_POLLABLE_INPUT_STREAM(input));
    std::size_t received = 0;
    char buffer[1024];
    gssize n = 0;
    while ((n = g_input_stream_read(input, buffer, sizeof buffer, nullptr, &error)) > 0)
        received += static_cast<std::size_t>(n);
    EXPECT_LT(n, 0) << "the read fails, not ends";
    g_clear_error(&error);
    EXPECT_LT(received, 128 * 60U);
    EXPECT_EQ(log.Count("Camera at path '(camera at 127.0.0.1)' sent an answer with too many "
                        "header lines: more than 128 lines (1x since the last line)"),
              1U);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
