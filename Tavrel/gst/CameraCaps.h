#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>
#include <string_view>

namespace Norvane::Tavrel::gst {

/// The H.264 "profile-level-id" (six lower-case hex digits) of the first SPS in an SDP
/// "sprop-parameter-sets" value; empty when it holds no readable SPS.
std::optional<std::string> H264ProfileLevelId(std::string_view spropParameterSets);

/// True for a caps field that describes the camera's own RTSP session rather than the stream
/// (a-tool, a-type, a-ts-refclk, a-mediaclk, ssrc-*-cname, x-*, clock-base, seqnum-base, npt-*,
/// play-*, onvif-mode): served again, such fields give duplicated or broken SDP lines.
bool IsCameraSessionField(std::string_view field);

/// A copy of RTP caps from a camera that can be served again: session fields dropped and, for
/// H.264 without one, "profile-level-id" restored from the SPS. Never null; caller owns it.
GstCaps* CleanCameraCaps(const GstCaps* caps);

}  // namespace Norvane::Tavrel::gst
