#pragma once

// Probes of a client connection's socket: the peer's address, what the kernel knows of the
// connection (TCP_INFO), and cutting it off from any thread.

#include <gst/rtsp/gstrtspconnection.h>

#include <cstdint>
#include <string>

namespace Norvane::Tavrel {

/// Bytes the peer's side of a connection has sent so far (0 when the kernel does not say).
std::uint64_t BytesReceived(GstRTSPConnection* conn);

/// Ends a connection from any thread: the peer is cut off at once, and the library sees the end
/// of its input on the client's own thread and closes the client there as if the peer had left
/// (closing it from another thread races with the client's reads). The connection must be
/// alive: its client has not emitted "closed" yet.
void CutOff(GstRTSPConnection* conn);

/// True when the peer has closed its side of the connection and the library has not yet.
bool PeerLeft(GstRTSPConnection* conn);

/// The peer's IP address; empty when unknown.
std::string PeerAddress(GstRTSPConnection* conn);

}  // namespace Norvane::Tavrel
