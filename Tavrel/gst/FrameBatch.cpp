#include "Tavrel/gst/FrameBatch.h"

#include <utility>

namespace Norvane::Tavrel::gst::Passthrough {

FrameBatch::~FrameBatch() {
    if (pending_)
        gst_buffer_list_unref(pending_);
}

BatchOut FrameBatch::Add(GstBuffer* buffer, const PacketHeader& header, gint64 now) {
    BatchOut out;
    if (pending_) {
        const bool otherSource = header.ssrc != ssrc_;
        const bool nextFrame = !otherSource && header.timestamp != timestamp_;
        if (otherSource || nextFrame || now - since_ > kMaxPendingWaitUs)
            out.before = std::exchange(pending_, nullptr);
        if (nextFrame)
            framesMarked_ = false;  // that frame ended without its marker
    }
    const bool collect = framesMarked_;
    if (header.marker)
        framesMarked_ = true;
    if (!collect) {
        out.single = buffer;
        return out;
    }
    if (!pending_) {
        pending_ = gst_buffer_list_new_sized(kMaxPendingPackets);
        ssrc_ = header.ssrc;
        timestamp_ = header.timestamp;
        since_ = now;
    }
    gst_buffer_list_add(pending_, buffer);
    if (header.marker || gst_buffer_list_length(pending_) >= kMaxPendingPackets)
        out.complete = std::exchange(pending_, nullptr);
    return out;
}

GstBufferList* FrameBatch::Take() {
    return std::exchange(pending_, nullptr);
}

}  // namespace Norvane::Tavrel::gst::Passthrough
