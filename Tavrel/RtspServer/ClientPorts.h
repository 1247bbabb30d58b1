#pragma once

// The UDP ports a media sends to its clients from.

#include <gst/rtsp-server/rtsp-server.h>

#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel {

/// A pool of IPv4 ports only, for a media factory's media. Clients reach the server over IPv4
/// only (its socket is IPv4), yet without a pool the library opens each media's ports for IPv6
/// as well, with a thread receiving RTCP on them that nothing can ever reach. With this pool the
/// IPv6 ports fail to open, which the library takes as "no IPv6 clients". The ports are those the
/// kernel picks its own from (/proc/sys/net/ipv4/ip_local_port_range), which services do not bind
/// on purpose, so a media never takes a port another service expects to have. Empty (and one
/// log line) when the pool cannot be made.
gst::GRef<GstRTSPAddressPool> Ipv4PortPool();

}  // namespace Norvane::Tavrel
