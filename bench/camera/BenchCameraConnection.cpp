// What the bound on a camera's control connection costs the interleaved RTP it carries: a
// camera on loopback sends 1400-byte packets, '$'-framed, as fast as they are taken; the client
// reads them as the RTSP connection does (the 4-byte frame head, then the packet) through
// - the bounded connection GIO hands out for an rtsp:// URI (the relay's way),
// - a plain connection (no bound), and
// - a plain connection to a forwarding hop on loopback that copies every byte on (the way of a
//   separate bounding proxy).
// Real time and the process's CPU time (the camera's and the hop's threads included) per packet.

#include "Tavrel/RtspServer/CameraConnection.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <gio/gio.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kPacketSize = 1400;
constexpr std::size_t kPacketsPerWrite = 64;

/* A listening socket on loopback; its port. */
int Listen(std::uint16_t& port) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

int ConnectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

/* Sends interleaved packets to its one client until the client leaves. */
class Camera {
public:
    Camera() : listener_(Listen(port_)) {
        thread_ = std::thread([this] {
            const int peer = accept(listener_, nullptr, nullptr);
            std::string chunk;
            for (std::size_t n = 0; n < kPacketsPerWrite; ++n) {
                chunk += std::string{'$', 0, static_cast<char>(kPacketSize >> 8),
                                     static_cast<char>(kPacketSize & 0xff)};
                chunk += std::string(kPacketSize, '\x80');
            }
            while (peer >= 0 && send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
            }
            if (peer >= 0)
                close(peer);
        });
    }
    ~Camera() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    std::uint16_t Port() const { return port_; }

private:
    std::uint16_t port_ = 0;
    int listener_;
    std::thread thread_;
};

/* Copies everything from its one client's camera to the client, as a separate proxy would. */
class Hop {
public:
    explicit Hop(std::uint16_t camera) : listener_(Listen(port_)) {
        thread_ = std::thread([this, camera] {
            const int client = accept(listener_, nullptr, nullptr);
            const int upstream = ConnectTo(camera);
            std::vector<char> buffer(64 * 1024);
            ssize_t n = 0;
            while (client >= 0 && (n = recv(upstream, buffer.data(), buffer.size(), 0)) > 0 &&
                   send(client, buffer.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) > 0) {
            }
            close(upstream);
            if (client >= 0)
                close(client);
        });
    }
    ~Hop() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    Hop(const Hop&) = delete;
    Hop& operator=(const Hop&) = delete;
    std::uint16_t Port() const { return port_; }

private:
    std::uint16_t port_ = 0;
    int listener_;
    std::thread thread_;
};

enum class Way { kBounded, kPlain, kHop };

void ReadPackets(benchmark::State& state, Way way) {
    Norvane::Tavrel::BoundCameraConnections();
    Camera camera;
    const std::unique_ptr<Hop> hop =
        way == Way::kHop ? std::make_unique<Hop>(camera.Port()) : nullptr;
    GSocketClient* client = g_socket_client_new();
    GSocketConnection* connection = nullptr;
    if (way == Way::kBounded) {
        const std::string uri = "rtsp://127.0.0.1:" + std::to_string(camera.Port()) + "/stream";
        connection = g_socket_client_connect_to_uri(client, uri.c_str(), 554, nullptr, nullptr);
    } else {
        connection = g_socket_client_connect_to_host(
            client, "127.0.0.1", way == Way::kHop ? hop->Port() : camera.Port(), nullptr, nullptr);
    }
    if (!connection) {
        state.SkipWithError("no connection");
        g_object_unref(client);
        return;
    }
    GInputStream* input = g_io_stream_get_input_stream(G_IO_STREAM(connection));
    std::vector<char> packet(kPacketSize);
    char head[4];
    for (auto _ : state) {
        gsize read = 0;
        if (!g_input_stream_read_all(input, head, sizeof head, &read, nullptr, nullptr) ||
            !g_input_stream_read_all(input, packet.data(), packet.size(), &read, nullptr,
                                     nullptr)) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kPacketSize + sizeof head));
    g_object_unref(connection);
    g_object_unref(client);
}

}  // namespace

BENCHMARK_CAPTURE(ReadPackets, bounded, Way::kBounded)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(ReadPackets, plain, Way::kPlain)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(ReadPackets, hop, Way::kHop)->UseRealTime()->MeasureProcessCPUTime();

BENCHMARK_MAIN();
