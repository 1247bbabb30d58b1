#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ConfigBuilders.h"
#include "Process.h"
#include "RtspResponse.h"
#include "Tavrel/Config.h"

namespace Norvane::Tavrel::Test {

/// Initialises GStreamer (InitGst) and our payloader where the registry lacks one.
void InitGstreamer();

/// tools/test-camera on 127.0.0.1: a live H.264 pattern, small and cheap to encode.
class TestCamera {
public:
    /// Starts the camera at `path`; `port` 0 lets it pick a free one.
    explicit TestCamera(std::string path, std::vector<std::string> extraArgs = {},
                        std::uint16_t port = 0);
    /// True once the camera printed its ready line.
    bool Ready() const { return port_ != 0; }
    std::uint16_t Port() const { return port_; }
    /// rtsp://127.0.0.1:PORT/PATH
    std::string Url() const;
    /// What the camera printed so far (its ready line, one "test-camera setup" line per stream,
    /// one "test-camera closed" line per connection gone).
    std::string Output() const;
    /// Kills the camera (SIGKILL) and waits for it.
    void Kill();

private:
    std::string path_;
    std::uint16_t port_{0};
    std::unique_ptr<Norvane::Test::Process> process_;
};

/// A camera that never answers: a TCP listener on 127.0.0.1 whose connections the kernel
/// accepts and nobody reads.
class SilentCamera {
public:
    SilentCamera();
    ~SilentCamera();
    SilentCamera(const SilentCamera&) = delete;
    SilentCamera& operator=(const SilentCamera&) = delete;
    std::uint16_t Port() const { return port_; }
    /// rtsp://127.0.0.1:PORT/silent
    std::string Url() const;

private:
    int fd_{-1};
    std::uint16_t port_{0};
};

/// A minimal RTSP client speaking over a real TCP connection, with RTP over UDP to two bound
/// loopback sockets (Send, PlayStream, WaitForRtp) or interleaved on the connection
/// (Request, PlayInterleaved, NextRtp). Each request waits for its response (15 s at most
/// unless given); interleaved data that comes before it is skipped.
class RtspTestClient {
public:
    using Response = Norvane::Test::RtspResponse;

    RtspTestClient(std::uint16_t port, std::string path, std::string user = {},
                   std::string password = {});
    /// The same towards another IPv4 address (inside a network namespace of the test), from
    /// the given local address (the connection and the RTP ports; default 127.0.0.1).
    RtspTestClient(const std::string& host, std::uint16_t port, std::string path,
                   std::string user = {}, std::string password = {},
                   const std::string& source = {});
    ~RtspTestClient();
    RtspTestClient(const RtspTestClient&) = delete;
    RtspTestClient& operator=(const RtspTestClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    /// A request with the client's credentials and session.
    Response Send(const std::string& method, const std::string& url,
                  const std::string& extraHeaders = {});
    /// A request with exactly the given headers (besides CSeq).
    Response Request(const std::string& method, const std::string& url,
                     const std::string& headers = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    /// Writes raw bytes on the connection; false when they could not be sent.
    bool SendRaw(const std::string& bytes);
    Response Options();
    Response Describe();
    /// SETUP of the first stream named by DESCRIBE (or PATH/stream=0 without DESCRIBE).
    Response Setup();
    Response Play();
    Response Pause();
    Response Teardown();
    /// DESCRIBE, SETUP and PLAY; true when all three were answered 200.
    bool PlayStream();
    /// DESCRIBE, SETUP of the first stream with RTP interleaved on the connection, PLAY (each
    /// by Request, to `url`; `beforePlay` is called before the PLAY); the PLAY response, or
    /// the first that was not 200.
    Response PlayInterleaved(const std::string& url,
                             const std::function<void()>& beforePlay = nullptr);
    struct RtpPacket {
        std::uint16_t seq{0};
        std::uint32_t timestamp{0};
        std::string payload;  ///< after the header, its CSRCs and extension
    };
    /// The next RTP packet on channel 0; nothing when none came in time or the server closed.
    std::optional<RtpPacket> NextRtp(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// The next RTP packet on the UDP port; nothing when none came in time.
    std::optional<RtpPacket> NextUdpRtp(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// True when an RTCP BYE (end of stream) arrives on channel 1 within the time-out.
    bool WaitForBye(std::chrono::milliseconds timeout);
    /// RTP packets received so far on the UDP port.
    std::size_t RtpPackets();
    /// Waits until at least `count` RTP packets arrived.
    bool WaitForRtp(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Waits until the server closed the connection.
    bool WaitClosedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Closes the connection from this side.
    void Close();
    /// The stream URL a SETUP goes to.
    std::string StreamUrl() const;

private:
    int fd_{-1};
    int rtpFd_{-1};
    int rtcpFd_{-1};
    std::uint16_t rtpPort_{0};
    std::uint16_t port_;
    std::string path_;
    std::string authorization_;
    std::string session_;
    std::string streamUrl_;
    int cseq_{0};
    std::size_t rtpPackets_{0};
    /// What one wait for input before the deadline brought.
    enum class ReadResult { Data, Closed, TimedOut };
    /// Appends what the server sent to pending_, waiting at most until the deadline.
    ReadResult ReadSome(std::chrono::steady_clock::time_point deadline);
    /// Sends a whole request and waits for its response; status 0 when none came.
    Response Exchange(const std::string& request, std::chrono::steady_clock::time_point deadline);
    /// The interleaved frame at the front of pending_ (channel and payload), taken off it.
    std::optional<std::pair<int, std::string>> TakeFrame();

    std::string pending_;
};

/// True when a TCP socket of this process listens on the port (other processes do not count).
bool ListensHere(std::uint16_t port);

/// rtsp://[user:password@]127.0.0.1:PORT/PATH
std::string RelayUrl(std::uint16_t port, const std::string& path, const std::string& user = {},
                     const std::string& password = {});

/// Polls `predicate` until it holds or the time-out passes.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace Norvane::Tavrel::Test
