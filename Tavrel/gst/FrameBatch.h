#pragma once

// Collects a camera's packets into frames, so that a frame goes downstream as one list.

#include <gst/gst.h>

namespace Norvane::Tavrel::gst::Passthrough {

// A frame's packets go downstream as one list: the list is pushed at the frame's last packet
// (RTP marker), at another frame's or stream's first, when it holds this many packets, or when
// its first packet has waited longer than kMaxPendingWaitUs by the time the next one arrives.
// Packets are collected only while frames end with their marker: a camera that does not set it
// (or a lost last packet) would otherwise hold each frame back until the next one began.
inline constexpr guint kMaxPendingPackets = 64;
inline constexpr gint64 kMaxPendingWaitUs = 5000;

/// What the collecting of a frame needs to know of a packet.
struct PacketHeader {
    guint ssrc = 0;
    guint timestamp = 0;
    bool marker = false;
};

/// What goes downstream now (each transfer full, nullptr when none), in this order: `before`,
/// then `complete` or `single`.
struct BatchOut {
    GstBufferList* before = nullptr;
    GstBufferList* complete = nullptr;
    GstBuffer* single = nullptr;
};

/// The frame being collected. Not locked itself: its owner guards it.
class FrameBatch {
public:
    FrameBatch() = default;
    ~FrameBatch();
    FrameBatch(const FrameBatch&) = delete;
    FrameBatch& operator=(const FrameBatch&) = delete;

    /// Takes `buffer` (transfer full), an RTP packet described by `header` that arrived at
    /// `now` (monotonic µs).
    BatchOut Add(GstBuffer* buffer, const PacketHeader& header, gint64 now);
    /// The packets collected so far (transfer full; nullptr when none), no longer pending.
    GstBufferList* Take();
    /// A new stream: packets pass one by one until one of its frames ends with its marker.
    void Restart() { framesMarked_ = false; }

private:
    GstBufferList* pending_ = nullptr;  // owned
    guint ssrc_ = 0;                    // SSRC of the pending packets
    guint timestamp_ = 0;               // RTP time of the pending packets
    gint64 since_ = 0;                  // when the first pending packet arrived, monotonic µs
    bool framesMarked_ = false;         // the last frame ended with its marker: collect
};

}  // namespace Norvane::Tavrel::gst::Passthrough
