#pragma once

// Which streams of a camera's SDP are set up with the camera, and what receiving them keeps.

#include <gst/gst.h>

namespace Norvane::Tavrel {

/// Makes `source` (an rtspsrc) set up only the first video stream its camera's SDP lists: no
/// audio or metadata travels to us just to be dropped, a camera without video fails at once
/// instead of leaving the client waiting, and a camera listing many streams costs one receive
/// path, not one per stream. The stream chosen first stays the chosen one when the element asks
/// again (after a reconnect or redirect). The choice lives as long as the element.
void SelectFirstVideoStream(GstElement* source);

/// Before a camera sends to us over UDP, `source` (an rtspsrc) sends it a few dummy packets from
/// our receive port, so that a NAT or firewall in front of us lets the camera's packets in. The
/// element that makes them would keep its streaming thread, idle, for as long as the camera is
/// pulled; here it is stopped once they are sent, by the default main context (the server's
/// loop). The element sends them again as before when it plays the camera again.
void StopDummyPacketsWhenSent(GstElement* source);

}  // namespace Norvane::Tavrel
