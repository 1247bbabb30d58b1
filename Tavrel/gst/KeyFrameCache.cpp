#include "Tavrel/gst/KeyFrameCache.h"

#include <gst/rtp/gstrtpbuffer.h>

GST_DEBUG_CATEGORY_EXTERN(tavrel_rtp_passthrough_pay_debug);
#define GST_CAT_DEFAULT tavrel_rtp_passthrough_pay_debug

namespace Norvane::Tavrel::gst::Passthrough {

namespace {

/* RTP clock ticks between the frames of a cache sent to a joining client (FirstJoinTimestamp). */
constexpr guint32 kCachedFrameSpacing = 1;

PacketKind H264Kind(guint type) {
    if (type == 5)
        return PacketKind::kKeyStart;
    if (type >= 6 && type <= 9)
        return PacketKind::kParameterSet;
    return PacketKind::kOther;
}

PacketKind H265Kind(guint type) {
    if (type >= 16 && type <= 21)
        return PacketKind::kKeyStart;
    if ((type >= 32 && type <= 35) || type == 39 || type == 40)
        return PacketKind::kParameterSet;
    return PacketKind::kOther;
}

/* The strongest kind among the units of an aggregation packet (2-byte sizes from `offset`). */
template <typename KindOf>
PacketKind AggregateKind(const guint8* p, gsize size, gsize offset, KindOf kindOf,
                         guint (*typeOf)(const guint8*)) {
    PacketKind result = PacketKind::kParameterSet;
    bool any = false;
    while (offset + 2 < size) {
        const gsize length = (static_cast<gsize>(p[offset]) << 8) | p[offset + 1];
        offset += 2;
        if (length == 0 || offset + length > size)
            break;
        const PacketKind kind = kindOf(typeOf(p + offset));
        any = true;
        if (kind == PacketKind::kKeyStart)
            return kind;
        if (kind == PacketKind::kOther)
            result = kind;
        offset += length;
    }
    return any ? result : PacketKind::kOther;
}

guint32 TimestampOf(GstBuffer* buffer) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return 0;
    const guint32 timestamp = gst_rtp_buffer_get_timestamp(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    return timestamp;
}

}  // namespace

Codec CodecOf(const GstStructure* caps) {
    const gchar* name = gst_structure_get_string(caps, "encoding-name");
    if (!name) {
        gint payload = -1;
        return gst_structure_get_int(caps, "payload", &payload) && payload == 26 ? Codec::kJpeg
                                                                                 : Codec::kNone;
    }
    if (g_ascii_strcasecmp(name, "H264") == 0)
        return Codec::kH264;
    if (g_ascii_strcasecmp(name, "H265") == 0)
        return Codec::kH265;
    if (g_ascii_strcasecmp(name, "JPEG") == 0)
        return Codec::kJpeg;
    return Codec::kNone;
}

PacketKind Classify(Codec codec, const guint8* p, gsize size) {
    switch (codec) {
        case Codec::kH264: {
            if (size < 1)
                return PacketKind::kOther;
            const guint type = p[0] & 0x1f;
            if (type == 24)  // STAP-A
                return AggregateKind(p, size, 1, H264Kind,
                                     [](const guint8* n) -> guint { return n[0] & 0x1f; });
            if (type == 28)  // FU-A: the start of a unit counts
                return size >= 2 && (p[1] & 0x80) ? H264Kind(p[1] & 0x1f) : PacketKind::kOther;
            return H264Kind(type);
        }
        case Codec::kH265: {
            if (size < 2)
                return PacketKind::kOther;
            const guint type = (p[0] >> 1) & 0x3f;
            if (type == 48)  // aggregation packet
                return AggregateKind(p, size, 2, H265Kind,
                                     [](const guint8* n) -> guint { return (n[0] >> 1) & 0x3f; });
            if (type == 49)  // fragmentation unit
                return size >= 3 && (p[2] & 0x80) ? H265Kind(p[2] & 0x3f) : PacketKind::kOther;
            return H265Kind(type);
        }
        case Codec::kJpeg:
            // Every frame is whole: its packet at fragment offset 0 starts it.
            return size >= 4 && p[1] == 0 && p[2] == 0 && p[3] == 0 ? PacketKind::kKeyStart
                                                                    : PacketKind::kOther;
        case Codec::kNone:
            break;
    }
    return PacketKind::kOther;
}

void KeyCache::Clear() {
    for (GstBuffer* buffer : packets_)
        gst_buffer_unref(buffer);
    packets_.clear();
    bytes_ = 0;
    valid_ = false;
    leading_ = 0;
    older_ = 0;
}

bool KeyCache::SeedFrom(const KeyCache& other, guint16 seqnum) {
    Clear();
    if (!other.Valid())
        return false;
    gsize count = 0;
    for (GstBuffer* buffer : other.packets_) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
            return false;
        const guint16 seq = gst_rtp_buffer_get_seq(&rtp);
        gst_rtp_buffer_unmap(&rtp);
        if (seq == seqnum)
            break;
        ++count;
    }
    if (count == 0 || count == other.packets_.size())
        return false;
    for (gsize i = 0; i < count; ++i) {
        packets_.push_back(gst_buffer_ref(other.packets_[i]));
        bytes_ += gst_buffer_get_size(other.packets_[i]);
    }
    valid_ = true;
    key_timestamp_ = other.key_timestamp_;
    older_ = other.older_ < count ? other.older_ : 0;
    return true;
}

void KeyCache::Add(GstObject* owner, GstBuffer* buffer, PacketKind kind, guint32 timestamp,
                   bool keep_older) {
    if (kind == PacketKind::kKeyStart && (!valid_ || timestamp != key_timestamp_)) {
        // A new key frame: what led it (its parameter sets) stays, the rest goes.
        if (keep_older && valid_) {
            older_ = packets_.size() - leading_;
        } else {
            DropFront(packets_.size() - leading_);
            older_ = 0;
        }
        valid_ = true;
        key_timestamp_ = timestamp;
        too_long_ = false;
    } else if (!valid_ && kind != PacketKind::kParameterSet) {
        Clear();
        leading_ = 0;
        return;
    }
    leading_ = kind == PacketKind::kParameterSet ? leading_ + 1 : 0;
    packets_.push_back(gst_buffer_ref(buffer));
    bytes_ += gst_buffer_get_size(buffer);
    if (packets_.size() > kMaxCachedPackets || bytes_ > kMaxCachedBytes) {
        if (valid_ && !too_long_) {
            GST_DEBUG_OBJECT(owner,
                             "key-frame group longer than %" G_GSIZE_FORMAT
                             " packets or %" G_GSIZE_FORMAT
                             " bytes: not cached, a joining client waits for the next one",
                             kMaxCachedPackets, kMaxCachedBytes);
        }
        too_long_ = valid_ || too_long_;
        Clear();
    }
}

void KeyCache::DropOlder() {
    DropFront(older_);
    older_ = 0;
}

void KeyCache::DropFront(gsize count) {
    for (gsize i = 0; i < count; ++i) {
        bytes_ -= gst_buffer_get_size(packets_.front());
        gst_buffer_unref(packets_.front());
        packets_.pop_front();
    }
}

guint32 FirstJoinTimestamp(const KeyCache& cache, gsize* frames) {
    const auto& packets = cache.Packets();
    gsize count = 0;
    guint32 previous = 0;
    for (gsize i = 0; i < packets.size(); ++i) {
        const guint32 timestamp = TimestampOf(packets[i]);
        if (i == 0 || timestamp != previous)
            ++count;
        previous = timestamp;
    }
    if (frames)
        *frames = count;
    return count == 0 ? 0 : previous - static_cast<guint32>(count - 1) * kCachedFrameSpacing;
}

std::vector<GstBuffer*> CopyPackets(const KeyCache& cache) {
    std::vector<GstBuffer*> out;
    if (!cache.Valid())
        return out;
    gsize frames = 0;
    const guint32 first = FirstJoinTimestamp(cache, &frames);
    out.reserve(cache.Packets().size());
    gsize frame = 0;
    guint32 previous = 0;
    for (gsize i = 0; i < cache.Packets().size(); ++i) {
        GstBuffer* buffer = cache.Packets()[i];
        const guint32 timestamp = TimestampOf(buffer);
        if (i > 0 && timestamp != previous)
            ++frame;
        previous = timestamp;
        const guint32 rewritten = first + static_cast<guint32>(frame) * kCachedFrameSpacing;
        if (rewritten == timestamp) {
            out.push_back(gst_buffer_ref(buffer));
            continue;
        }
        GstBuffer* copy = gst_buffer_copy_deep(buffer);
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (gst_rtp_buffer_map(copy, GST_MAP_WRITE, &rtp)) {
            gst_rtp_buffer_set_timestamp(&rtp, rewritten);
            gst_rtp_buffer_unmap(&rtp);
        }
        out.push_back(copy);
    }
    return out;
}

}  // namespace Norvane::Tavrel::gst::Passthrough
