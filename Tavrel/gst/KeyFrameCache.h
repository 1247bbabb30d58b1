#pragma once

// The passthrough payloader's key-frame cache (internal to Tavrel/gst, not installed).

#include <gst/gst.h>

#include <deque>
#include <vector>

namespace Norvane::Tavrel::gst::Passthrough {

/* The key-frame cache of a sink: the RTP packets it sent since the last key frame (with the
 * parameter sets before it), handed to a client that joins so that it can decode at once. A
 * group longer than these bounds is not kept; such a client waits for the next key frame. */
constexpr gsize kMaxCachedPackets = 4096;
constexpr gsize kMaxCachedBytes = 4 * 1024 * 1024;

/* The payload formats whose key frames we know. */
enum class Codec { kNone, kH264, kH265, kJpeg };

/* What one packet means to the cache. */
enum class PacketKind {
    kOther,         ///< anything else (a slice of a picture that needs an earlier one, ...)
    kParameterSet,  ///< only parameter sets, SEI or delimiters: may lead a key frame
    kKeyStart,      ///< the first packet of a key frame (or, in H.264/H.265, any of its slices)
};

/* The payload format of RTP caps. */
Codec CodecOf(const GstStructure* caps);

/* Reads only the NAL unit headers (or the JPEG fragment offset) at the start of the payload. */
PacketKind Classify(Codec codec, const guint8* p, gsize size);

/* The packets since the last key frame a sink sent (references only; the packets themselves
 * are shared with everyone else who holds them). */
class KeyCache {
public:
    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache() { Clear(); }

    /* True when the packets begin with a key frame. */
    bool Valid() const { return valid_ && !packets_.empty(); }
    const std::deque<GstBuffer*>& Packets() const { return packets_; }

    void Clear();

    /* Starts with the packets of `other` that come before the one with sequence number
     * `seqnum` (a sink that starts sending at that packet); false when `other` has no key frame
     * before it. */
    bool SeedFrom(const KeyCache& other, guint16 seqnum);

    /* Takes a reference of its own on `buffer` where it keeps it. With `keep_older` a new key
     * frame does not drop the packets before it (a client was promised the first of them)
     * until DropOlder. */
    void Add(GstObject* owner, GstBuffer* buffer, PacketKind kind, guint32 timestamp,
             bool keep_older = false);

    /* Drops what Add kept before the last key frame. */
    void DropOlder();

private:
    void DropFront(gsize count);

    std::deque<GstBuffer*> packets_;
    gsize bytes_ = 0;
    bool valid_ = false;
    bool too_long_ = false;  // the group being sent overflowed: told once
    gsize leading_ = 0;      // trailing packets that hold only parameter sets
    gsize older_ = 0;        // packets kept before the last key frame (see Add's keep_older)
    guint32 key_timestamp_ = 0;
};

/* Cached pictures lie in the past: a player would show them at their pace and stay behind the
 * live stream by as much for good. So the frames of a cache get RTP times one clock tick apart
 * just before its last frame (which may be the one being sent live and keeps its time), and the
 * live packets keep the camera's times. A player that paces by the times since its first packet
 * (ffmpeg -re) stays behind by the span of the cached times for good, so the span is as short
 * as the times can be and still rise: about a millisecond for 90 cached frames at 90 kHz. What
 * the first cached packet's time becomes: */
guint32 FirstJoinTimestamp(const KeyCache& cache, gsize* frames = nullptr);

/* The cached packets of `cache` for a joining client (references; copies where the RTP time
 * changes, see FirstJoinTimestamp). */
std::vector<GstBuffer*> CopyPackets(const KeyCache& cache);

}  // namespace Norvane::Tavrel::gst::Passthrough
