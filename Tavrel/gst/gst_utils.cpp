#include "Tavrel/gst/gst_utils.h"

#include <spdlog/spdlog.h>

#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel::gst {

namespace {

constexpr const char* kNull = "(NULL)";

const char* Name(gpointer object) {
    if (!object)
        return kNull;
    const char* name = GST_OBJECT_NAME(object);
    return name ? name : kNull;
}

const char* ParentName(GstPad* pad) {
    return pad ? Name(GST_OBJECT_PARENT(pad)) : kNull;
}

const char* Text(const char* text) {
    return text ? text : kNull;
}

std::string CapsText(GstCaps* caps) {
    if (!caps)
        return kNull;
    const GText text(gst_caps_to_string(caps));
    return text ? text.get() : kNull;
}

}  // namespace

std::string_view PadLinkReturnText(GstPadLinkReturn result) {
    switch (result) {
        case GST_PAD_LINK_WRONG_HIERARCHY:
            return "No common grandparent";
        case GST_PAD_LINK_WAS_LINKED:
            return "Already linked";
        case GST_PAD_LINK_WRONG_DIRECTION:
            return "Wrong direction";
        case GST_PAD_LINK_NOFORMAT:
            return "No common format";
        case GST_PAD_LINK_NOSCHED:
            return "Cannot cooperate in scheduling";
        case GST_PAD_LINK_REFUSED:
            return "Refused";
        default:
            return {};
    }
}

std::string_view StreamStatusTypeText(GstStreamStatusType type) {
    switch (type) {
        case GST_STREAM_STATUS_TYPE_CREATE:
            return "CREATE";
        case GST_STREAM_STATUS_TYPE_ENTER:
            return "ENTER";
        case GST_STREAM_STATUS_TYPE_LEAVE:
            return "LEAVE";
        case GST_STREAM_STATUS_TYPE_DESTROY:
            return "DESTROY";
        case GST_STREAM_STATUS_TYPE_START:
            return "START";
        case GST_STREAM_STATUS_TYPE_PAUSE:
            return "PAUSE";
        case GST_STREAM_STATUS_TYPE_STOP:
            return "STOP";
        default:
            return {};
    }
}

bool LinkPads(GstPad* srcPad, GstPad* sinkPad) {
    const char* srcElement = ParentName(srcPad);
    const char* srcName = Name(srcPad);
    const char* sinkElement = ParentName(sinkPad);
    const char* sinkName = Name(sinkPad);
    SPDLOG_DEBUG("Linking pad '{}/{}' to '{}/{}'", srcElement, srcName, sinkElement, sinkName);
    if (!srcPad || !sinkPad) {
        SPDLOG_ERROR("Failed to link '{}/{}' to '{}/{}': {}", srcElement, srcName, sinkElement,
                     sinkName, PadLinkReturnText(GST_PAD_LINK_REFUSED));
        return false;
    }
    if (!GST_PAD_IS_SRC(srcPad) || !GST_PAD_IS_SINK(sinkPad)) {
        // gst_pad_link would answer the same, but with a CRITICAL of its own.
        SPDLOG_ERROR("Failed to link '{}/{}' to '{}/{}': {}", srcElement, srcName, sinkElement,
                     sinkName, PadLinkReturnText(GST_PAD_LINK_WRONG_DIRECTION));
        return false;
    }
    if (gst_pad_is_linked(srcPad) || gst_pad_is_linked(sinkPad)) {
        // Linked to each other is what the caller wants; linked elsewhere is a failure.
        const GRef<GstPad> peer = Adopt(gst_pad_get_peer(srcPad));
        if (peer.get() == sinkPad) {
            SPDLOG_DEBUG("Pads are already linked");
            return true;
        }
        SPDLOG_ERROR("Failed to link '{}/{}' to '{}/{}': {}", srcElement, srcName, sinkElement,
                     sinkName, PadLinkReturnText(GST_PAD_LINK_WAS_LINKED));
        return false;
    }
    const GstPadLinkReturn result = gst_pad_link(srcPad, sinkPad);
    if (result == GST_PAD_LINK_OK)
        return true;
    SPDLOG_ERROR("Failed to link '{}/{}' to '{}/{}': {}", srcElement, srcName, sinkElement,
                 sinkName, PadLinkReturnText(result));
    return false;
}

bool LinkElementPads(GstElement* src, GstElement* sink, bool requestOnSink,
                     const char* padTemplate) {
    SPDLOG_DEBUG("Requesting pad '{}/{}'", Name(requestOnSink ? sink : src), Text(padTemplate));
    GRef<GstPad> srcPad;
    GRef<GstPad> sinkPad;
    if (src && sink && padTemplate) {
        if (requestOnSink) {
            srcPad.reset(gst_element_get_static_pad(src, "src"));
            sinkPad.reset(gst_element_request_pad_simple(sink, padTemplate));
        } else {
            srcPad.reset(gst_element_request_pad_simple(src, padTemplate));
            sinkPad.reset(gst_element_get_static_pad(sink, "sink"));
        }
    }
    if (!srcPad || !sinkPad) {
        SPDLOG_ERROR("Failed to get pads");
        return false;
    }
    // The elements keep their pads; our references go before linking.
    GstPad* srcRaw = srcPad.get();
    GstPad* sinkRaw = sinkPad.get();
    sinkPad.reset();
    srcPad.reset();
    return LinkPads(srcRaw, sinkRaw);
}

bool LinkElementPads(GstElement* src, const char* srcPadName, GstElement* sink,
                     const char* sinkPadName) {
    SPDLOG_DEBUG("Linking elements '{}/{}' to '{}/{}'", Name(src), Text(srcPadName), Name(sink),
                 Text(sinkPadName));
    if (!src || !sink || !gst_element_link_pads(src, srcPadName, sink, sinkPadName)) {
        SPDLOG_ERROR("Failed to link elements '{}/{}' to '{}/{}'", Name(src), Text(srcPadName),
                     Name(sink), Text(sinkPadName));
        return false;
    }
    return true;
}

bool LinkElementPadsWithCaps(GstElement* src, const char* srcPadName, GstElement* sink,
                             const char* sinkPadName, GstCaps* caps) {
    SPDLOG_DEBUG("Linking elements '{}/{}' to '{}/{}', caps: {}", Name(src), Text(srcPadName),
                 Name(sink), Text(sinkPadName), CapsText(caps));
    if (!src || !sink ||
        !gst_element_link_pads_filtered(src, srcPadName, sink, sinkPadName, caps)) {
        SPDLOG_ERROR("Failed to link elements '{}/{}' to '{}/{}', caps: {}", Name(src),
                     Text(srcPadName), Name(sink), Text(sinkPadName), CapsText(caps));
        return false;
    }
    return true;
}

bool LinkElements(GstElement* src, GstElement* sink) {
    if (!src || !sink || !gst_element_link(src, sink)) {
        SPDLOG_ERROR("Failed to link '{}' to '{}'", Name(src), Name(sink));
        return false;
    }
    return true;
}

bool LinkElementsWithCaps(GstElement* src, GstElement* sink, const char* caps) {
    const GRef<GstCaps> parsed = Adopt(caps ? gst_caps_from_string(caps) : nullptr);
    if (!parsed) {
        SPDLOG_ERROR("Failed to get caps from string: '{}'", Text(caps));
        return false;
    }
    if (!src || !sink || !gst_element_link_filtered(src, sink, parsed.get())) {
        SPDLOG_ERROR("Failed to link '{}' to '{}', caps: {}", Name(src), Name(sink), caps);
        return false;
    }
    return true;
}

void OnStateChanged(const PrefixFunc& prefix, GstMessage* message,
                    const StateChangeFunc& onChange) {
    if (!message || GST_MESSAGE_TYPE(message) != GST_MESSAGE_STATE_CHANGED) {
        SPDLOG_ERROR("Not a state-changed message: {}",
                     message ? GST_MESSAGE_TYPE_NAME(message) : kNull);
        return;
    }
    GstState oldState = GST_STATE_VOID_PENDING;
    GstState newState = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    gst_message_parse_state_changed(message, &oldState, &newState, &pending);
    const std::string_view source = Name(GST_MESSAGE_SRC(message));
    SPDLOG_DEBUG("{} State changed '{}' from {} -> {} ({})", prefix(), source,
                 gst_element_state_get_name(oldState), gst_element_state_get_name(newState),
                 gst_element_state_get_name(pending));
    if (onChange)
        onChange(source, oldState, newState);
}

void OnStreamStatus(const PrefixFunc& prefix, GstMessage* message) {
    if (!message || GST_MESSAGE_TYPE(message) != GST_MESSAGE_STREAM_STATUS) {
        SPDLOG_ERROR("Not a stream-status message: {}",
                     message ? GST_MESSAGE_TYPE_NAME(message) : kNull);
        return;
    }
    GstStreamStatusType type = GST_STREAM_STATUS_TYPE_CREATE;
    GstElement* owner = nullptr;
    gst_message_parse_stream_status(message, &type, &owner);
    SPDLOG_DEBUG("{} Stream status '{}/{}': {}", prefix(), Name(owner),
                 Name(GST_MESSAGE_SRC(message)), StreamStatusTypeText(type));
}

}  // namespace Norvane::Tavrel::gst
