#pragma once

#include <gst/gst.h>

#include <functional>
#include <string>
#include <string_view>

namespace Norvane::Tavrel::gst {

/// Makes the text that starts a bus-message record.
using PrefixFunc = std::function<std::string()>;
/// Told of a state change: the message source's name, the old and the new state.
using StateChangeFunc = std::function<void(std::string_view, GstState, GstState)>;

/// Links two pads; true when they are linked to each other afterwards.
bool LinkPads(GstPad* srcPad, GstPad* sinkPad);

/// Links the static "src" pad of `src` to a pad requested from `sink` by template name (or,
/// with `requestOnSink` false, a pad requested from `src` to the static "sink" pad of `sink`).
bool LinkElementPads(GstElement* src, GstElement* sink, bool requestOnSink,
                     const char* padTemplate);

/// Links the named pads of two elements.
bool LinkElementPads(GstElement* src, const char* srcPadName, GstElement* sink,
                     const char* sinkPadName);

/// Links the named pads of two elements through a caps filter; `caps` stays the caller's.
bool LinkElementPadsWithCaps(GstElement* src, const char* srcPadName, GstElement* sink,
                             const char* sinkPadName, GstCaps* caps);

/// Links two elements.
bool LinkElements(GstElement* src, GstElement* sink);

/// Links two elements through caps given in GStreamer's text form.
bool LinkElementsWithCaps(GstElement* src, GstElement* sink, const char* caps);

/// Writes one debug record for a state-changed message and tells `onChange` (when set).
/// `prefix` must be set (an empty one throws std::bad_function_call).
void OnStateChanged(const PrefixFunc& prefix, GstMessage* message,
                    const StateChangeFunc& onChange = {});

/// Writes one debug record for a stream-status message. `prefix` must be set.
void OnStreamStatus(const PrefixFunc& prefix, GstMessage* message);

/// Text of a pad-link result ("Refused", ...); empty for success and unknown values.
std::string_view PadLinkReturnText(GstPadLinkReturn result);

/// Text of a stream-status type ("CREATE", ...); empty for unknown values.
std::string_view StreamStatusTypeText(GstStreamStatusType type);

}  // namespace Norvane::Tavrel::gst
