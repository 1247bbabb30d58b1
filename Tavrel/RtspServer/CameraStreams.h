#pragma once

// Which streams of a camera's SDP are set up with the camera.

#include <gst/gst.h>

namespace Norvane::Tavrel {

/// Makes `source` (an rtspsrc) set up only the first video stream its camera's SDP lists: no
/// audio or metadata travels to us just to be dropped, a camera without video fails at once
/// instead of leaving the client waiting, and a camera listing many streams costs one receive
/// path, not one per stream. The stream chosen first stays the chosen one when the element asks
/// again (after a reconnect or redirect). The choice lives as long as the element.
void SelectFirstVideoStream(GstElement* source);

}  // namespace Norvane::Tavrel
