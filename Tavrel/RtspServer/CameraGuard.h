#pragma once

// What a camera's media is protected by: a deadline for its first packet and a filter that drops
// what is not the camera's stream before it reaches anything that keeps state per packet.

#include <gst/gst.h>

namespace Norvane::Tavrel {

/// How long a media may take to come up: a camera that has not brought one packet of its stream
/// to the payloader by then fails the media, as a camera error would (the client waiting for the
/// DESCRIBE is answered 503). A camera that sends nothing but junk for as long while streaming
/// fails it too.
inline constexpr GstClockTime kMediaPrepareDeadline = 10 * GST_SECOND;

/// The largest RTP packet of a camera passed on. Real cameras send packets of at most their
/// path's MTU over UDP (1500 bytes, 9000 with jumbo frames) and, when interleaved, of at most a
/// few kilobytes; what exceeds this is taken as junk, never buffered.
inline constexpr gsize kMaxCameraRtpSize = 16 * 1024;

/// What a packet from a camera is.
enum class CameraPacket {
    kValid,             ///< RTP version 2 of the stream's payload type, of a size passed on
    kOversize,          ///< larger than kMaxCameraRtpSize
    kNotRtp,            ///< no RTP version 2 packet (too short, another version, bad lengths)
    kWrongPayloadType,  ///< RTP of a payload type the stream does not have
};

/// Classifies `buffer`; `payload_type` below 0 lets every payload type pass.
CameraPacket ClassifyCameraPacket(GstBuffer* buffer, gint payload_type);

/// Guards the media made of `source` (an rtspsrc pulling the camera at `path`) and `payloader`
/// (the element its stream ends in): packets that are not the stream's RTP are dropped as they
/// enter the source's RTP session and counted; they and a missed deadline are logged as the
/// camera's faults (CameraFaults.h). The deadline (kMediaPrepareDeadline) starts now and is kept
/// by the default main context, which the server's loop runs. A failure is an element error of
/// `source`. The guard lives as long as `source`.
void GuardCameraMedia(GstElement* source, GstElement* payloader, const char* path);

}  // namespace Norvane::Tavrel
