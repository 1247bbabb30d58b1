// Probes of a client connection's socket (see SocketProbes.h).

#include "Tavrel/RtspServer/SocketProbes.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gio/gio.h>

#include <cstddef>

namespace Norvane::Tavrel {

namespace {

/// The kernel's TCP state "close wait" (tcp_info::tcpi_state): the peer has closed its side.
constexpr std::uint8_t kTcpStateCloseWait = 8;

}  // namespace

std::uint64_t BytesReceived(GstRTSPConnection* conn) {
    GSocket* socket = conn != nullptr ? gst_rtsp_connection_get_read_socket(conn) : nullptr;
    if (socket == nullptr) {
        return 0;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return 0;
    }
    return info.tcpi_bytes_received;
}

void CutOff(GstRTSPConnection* conn) {
    GSocket* socket = conn != nullptr ? gst_rtsp_connection_get_read_socket(conn) : nullptr;
    if (socket != nullptr && !g_socket_is_closed(socket)) {
        shutdown(g_socket_get_fd(socket), SHUT_RDWR);
    }
}

bool PeerLeft(GstRTSPConnection* conn) {
    GSocket* socket = conn != nullptr ? gst_rtsp_connection_get_read_socket(conn) : nullptr;
    if (socket == nullptr || g_socket_is_closed(socket)) {
        return false;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_state == kTcpStateCloseWait;
}

std::string PeerAddress(GstRTSPConnection* conn) {
    const gchar* ip = conn != nullptr ? gst_rtsp_connection_get_ip(conn) : nullptr;
    return ip != nullptr ? ip : "";
}

}  // namespace Norvane::Tavrel
