#include "RtspServerTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>
#include <gst/gst.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "GstInit.h"
#include "TestEnv.h"

#if __has_include("Tavrel/gst/RtpPassthroughPay.h")
#include "Tavrel/gst/RtpPassthroughPay.h"
#define TAVREL_TEST_HAS_PAYLOADER 1
#endif

namespace Norvane::Tavrel::Test {

using namespace std::chrono_literals;

void InitGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] {
        Norvane::Test::InitGst();
#ifdef TAVREL_TEST_HAS_PAYLOADER
        Norvane::Tavrel::gst::EnsurePassthroughPayloader();
#endif
    });
}

// --- TestCamera ---

TestCamera::TestCamera(std::string path, std::vector<std::string> extraArgs, std::uint16_t port)
    : path_(std::move(path)) {
    std::vector<std::string> argv{
        (Norvane::Test::BuildDir() / "tools" / "test-camera" / "test-camera").string(),
        "--port",
        std::to_string(port),
        "--path",
        path_,
        "--width",
        "320",
        "--height",
        "240",
        "--framerate",
        "15",
        "--bitrate",
        "300"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<Norvane::Test::Process>(std::move(argv));
    if (!process_->WaitForOutput("test-camera ready", 20s)) {
        return;
    }
    // "test-camera ready rtsp://127.0.0.1:PORT/PATH"
    const std::string out = process_->Stdout();
    const std::string marker = "test-camera ready rtsp://";
    const std::size_t start = out.find(marker);
    if (start == std::string::npos) {
        return;
    }
    const std::size_t colon = out.find(':', start + marker.size());
    const std::size_t slash = out.find('/', colon);
    if (colon != std::string::npos && slash != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::stoi(out.substr(colon + 1, slash - colon - 1)));
    }
}

std::string TestCamera::Url() const {
    return "rtsp://127.0.0.1:" + std::to_string(port_) + path_;
}

std::string TestCamera::Output() const {
    return process_ ? process_->Stdout() : std::string();
}

void TestCamera::Kill() {
    if (process_) {
        process_->Signal(SIGKILL);
        process_->Wait(5s);
    }
}

// --- RtspTestClient ---

namespace {

int BindUdp(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    addr.sin_port = htons(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

}  // namespace

// --- SilentCamera ---

SilentCamera::SilentCamera() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
}

SilentCamera::~SilentCamera() {
    ::close(fd_);
}

std::string SilentCamera::Url() const {
    return "rtsp://127.0.0.1:" + std::to_string(port_) + "/silent";
}

RtspTestClient::RtspTestClient(std::uint16_t port, std::string path, std::string user,
                               std::string password)
    : RtspTestClient("127.0.0.1", port, std::move(path), std::move(user), std::move(password)) {}

RtspTestClient::RtspTestClient(const std::string& host, std::uint16_t port, std::string path,
                               std::string user, std::string password, const std::string& source)
    : port_(port), path_(std::move(path)) {
    const std::string local = source.empty() ? "127.0.0.1" : source;
    if (!user.empty() || !password.empty()) {
        const std::string credentials = user + ":" + password;
        gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(credentials.data()),
                                         credentials.size());
        authorization_ = std::string("Authorization: Basic ") + encoded + "\r\n";
        g_free(encoded);
    }
    // Two neighbouring UDP ports for RTP and RTCP.
    for (int attempt = 0; attempt < 50 && rtcpFd_ < 0; ++attempt) {
        rtpFd_ = BindUdp(local, 0);
        rtpPort_ = LocalPort(rtpFd_);
        if (rtpPort_ < 65535) {
            rtcpFd_ = BindUdp(local, static_cast<std::uint16_t>(rtpPort_ + 1));
        }
        if (rtcpFd_ < 0) {
            ::close(rtpFd_);
            rtpFd_ = -1;
        }
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (!source.empty()) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
    streamUrl_ = RelayUrl(port_, path_) + "/stream=0";
}

RtspTestClient::~RtspTestClient() {
    Close();
    if (rtpFd_ >= 0) {
        ::close(rtpFd_);
    }
    if (rtcpFd_ >= 0) {
        ::close(rtcpFd_);
    }
}

void RtspTestClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RtspTestClient::Response RtspTestClient::Send(const std::string& method, const std::string& url,
                                              const std::string& extraHeaders) {
    std::string request = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                          "\r\nUser-Agent: tavrel-test\r\n" + authorization_;
    if (!session_.empty()) {
        request += "Session: " + session_ + "\r\n";
    }
    request += extraHeaders + "\r\n";
    Response response = Exchange(request, std::chrono::steady_clock::now() + 15s);
    const std::string session = response.Header("Session");
    if (!session.empty()) {
        session_ = session.substr(0, session.find(';'));
    }
    return response;
}

RtspTestClient::Response RtspTestClient::Request(const std::string& method, const std::string& url,
                                                 const std::string& headers,
                                                 std::chrono::milliseconds timeout) {
    return Exchange(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) + "\r\n" +
                        headers + "\r\n",
                    std::chrono::steady_clock::now() + timeout);
}

RtspTestClient::Response RtspTestClient::Exchange(const std::string& request,
                                                  std::chrono::steady_clock::time_point deadline) {
    if (!SendRaw(request)) {
        return {};
    }
    for (;;) {
        while (!pending_.empty() && pending_[0] == '$' && TakeFrame()) {
        }
        if (!pending_.empty() && pending_[0] != '$') {
            if (auto taken = Norvane::Test::TakeResponse(pending_)) {
                return std::move(*taken);
            }
        }
        if (ReadSome(deadline) != ReadResult::Data) {
            return {};
        }
    }
}

std::optional<std::pair<int, std::string>> RtspTestClient::TakeFrame() {
    if (pending_.size() < 4 || pending_[0] != '$') {
        return std::nullopt;
    }
    const std::size_t length =
        (static_cast<unsigned char>(pending_[2]) << 8) | static_cast<unsigned char>(pending_[3]);
    if (pending_.size() < 4 + length) {
        return std::nullopt;
    }
    std::pair<int, std::string> frame{static_cast<unsigned char>(pending_[1]),
                                      pending_.substr(4, length)};
    pending_.erase(0, 4 + length);
    return frame;
}

RtspTestClient::Response RtspTestClient::PlayInterleaved(const std::string& url,
                                                         const std::function<void()>& beforePlay) {
    Response describe = Request("DESCRIBE", url, "Accept: application/sdp\r\n");
    if (describe.status != 200) {
        return describe;
    }
    std::string base = describe.Header("Content-Base");
    if (base.empty()) {
        base = url + "/";
    }
    Response setup =
        Request("SETUP", base + "stream=0", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    if (setup.status != 200) {
        return setup;
    }
    std::string session = setup.Header("Session");
    session = session.substr(0, session.find(';'));
    if (beforePlay) {
        beforePlay();
    }
    return Request("PLAY", base, "Session: " + session + "\r\nRange: npt=0-\r\n");
}

namespace {

/// The fields of an RTP packet; nothing when it is too short to be one.
std::optional<RtspTestClient::RtpPacket> ParseRtp(const std::string& packet) {
    if (packet.size() < 12)
        return std::nullopt;
    const auto* b = reinterpret_cast<const unsigned char*>(packet.data());
    RtspTestClient::RtpPacket rtp;
    rtp.seq = static_cast<std::uint16_t>((b[2] << 8) | b[3]);
    rtp.timestamp = (static_cast<std::uint32_t>(b[4]) << 24) |
                    (static_cast<std::uint32_t>(b[5]) << 16) |
                    (static_cast<std::uint32_t>(b[6]) << 8) | b[7];
    std::size_t offset = 12 + 4 * static_cast<std::size_t>(b[0] & 0x0f);
    if ((b[0] & 0x10) && offset + 4 <= packet.size())
        offset += 4 + 4 * static_cast<std::size_t>((b[offset + 2] << 8) | b[offset + 3]);
    if (offset <= packet.size())
        rtp.payload = packet.substr(offset);
    return rtp;
}

}  // namespace

std::optional<RtspTestClient::RtpPacket> RtspTestClient::NextRtp(
    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (auto frame = TakeFrame()) {
            const auto& [channel, packet] = *frame;
            if (channel == 0) {
                if (auto rtp = ParseRtp(packet))
                    return rtp;
            }
        }
        if (!pending_.empty() && pending_[0] != '$') {
            // A message from the server (for example an ANNOUNCE or a response): skipped.
            const auto end = pending_.find("\r\n\r\n");
            if (end != std::string::npos) {
                pending_.erase(0, end + 4);
                continue;
            }
        }
        if (ReadSome(deadline) != ReadResult::Data) {
            return std::nullopt;
        }
    }
}

std::optional<RtspTestClient::RtpPacket> RtspTestClient::NextUdpRtp(
    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (rtpFd_ >= 0) {
        const ssize_t got = ::recv(rtpFd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            ++rtpPackets_;
            if (auto rtp = ParseRtp(std::string(buffer, static_cast<std::size_t>(got))))
                return rtp;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{rtpFd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            break;
    }
    return std::nullopt;
}

bool RtspTestClient::WaitForBye(std::chrono::milliseconds timeout) {
    constexpr unsigned char kRtcpBye = 203;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (auto frame = TakeFrame()) {
            const auto& [channel, packet] = *frame;
            // A compound RTCP packet: its parts are walked.
            for (std::size_t at = 0; channel == 1 && at + 4 <= packet.size();) {
                const auto* p = reinterpret_cast<const unsigned char*>(packet.data() + at);
                if (p[1] == kRtcpBye) {
                    return true;
                }
                at += 4 * (((p[2] << 8) | p[3]) + 1);
            }
        }
        if (!pending_.empty() && pending_[0] != '$') {
            const auto end = pending_.find("\r\n\r\n");
            if (end == std::string::npos) {
                pending_.clear();
            } else {
                pending_.erase(0, end + 4);
            }
            continue;
        }
        if (ReadSome(deadline) != ReadResult::Data) {
            return false;
        }
    }
}

bool RtspTestClient::SendRaw(const std::string& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
}

RtspTestClient::Response RtspTestClient::Options() {
    return Send("OPTIONS", RelayUrl(port_, path_));
}

RtspTestClient::Response RtspTestClient::Describe() {
    Response response = Send("DESCRIBE", RelayUrl(port_, path_), "Accept: application/sdp\r\n");
    if (response.status == 200) {
        std::string base = response.Header("Content-Base");
        if (base.empty()) {
            base = RelayUrl(port_, path_) + "/";
        }
        const std::size_t media = response.body.find("m=video");
        const std::size_t control =
            media == std::string::npos ? media : response.body.find("a=control:", media);
        if (control != std::string::npos) {
            const std::size_t begin = control + std::strlen("a=control:");
            const std::string value =
                response.body.substr(begin, response.body.find_first_of("\r\n", begin) - begin);
            streamUrl_ = value.rfind("rtsp://", 0) == 0 ? value : base + value;
        }
    }
    return response;
}

RtspTestClient::Response RtspTestClient::Setup() {
    return Send("SETUP", streamUrl_,
                "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtpPort_) + "-" +
                    std::to_string(rtpPort_ + 1) + "\r\n");
}

RtspTestClient::Response RtspTestClient::Play() {
    return Send("PLAY", RelayUrl(port_, path_), "Range: npt=0-\r\n");
}

RtspTestClient::Response RtspTestClient::Pause() {
    return Send("PAUSE", RelayUrl(port_, path_));
}

RtspTestClient::Response RtspTestClient::Teardown() {
    return Send("TEARDOWN", RelayUrl(port_, path_));
}

bool RtspTestClient::PlayStream() {
    return Describe().status == 200 && Setup().status == 200 && Play().status == 200;
}

std::size_t RtspTestClient::RtpPackets() {
    char buffer[2048];
    while (rtpFd_ >= 0 && ::recv(rtpFd_, buffer, sizeof buffer, 0) > 0) {
        ++rtpPackets_;
    }
    return rtpPackets_;
}

bool RtspTestClient::WaitForRtp(std::size_t count, std::chrono::milliseconds timeout) {
    // Waits on the socket itself: each arrival wakes the wait.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (RtpPackets() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{rtpFd_, POLLIN, 0};
        if (rtpFd_ < 0 || left.count() <= 0 ||
            ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return RtpPackets() >= count;
        }
    }
    return true;
}

RtspTestClient::ReadResult RtspTestClient::ReadSome(
    std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return ReadResult::TimedOut;
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
        return ReadResult::TimedOut;
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        return ReadResult::Closed;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return ReadResult::Data;
}

bool RtspTestClient::WaitClosedByServer(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        switch (ReadSome(deadline)) {
            case ReadResult::TimedOut:
                return false;
            case ReadResult::Closed:
                return true;
            case ReadResult::Data:
                break;
        }
    }
    return true;
}

std::string RtspTestClient::StreamUrl() const {
    return streamUrl_;
}

// --- helpers ---

bool ListensHere(std::uint16_t port) {
    std::set<std::string> inodes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.rfind("socket:[", 0) == 0) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::istringstream lines(Norvane::Test::ReadFile(table));
        std::string line;
        std::getline(lines, line);  // header
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            const auto colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::stoul(local.substr(colon + 1), nullptr, 16) == port && inodes.count(inode)) {
                return true;
            }
        }
    }
    return false;
}

std::string RelayUrl(std::uint16_t port, const std::string& path, const std::string& user,
                     const std::string& password) {
    std::string credentials;
    if (!user.empty()) {
        credentials = user + ":" + password + "@";
    }
    return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace Norvane::Tavrel::Test
