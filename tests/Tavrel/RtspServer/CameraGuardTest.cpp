// What the camera guard takes for junk.

#include "Tavrel/RtspServer/CameraGuard.h"

#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include "GstInit.h"
#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel::Test {
namespace {

using gst::Adopt;

/// An RTP packet of `size` bytes in all and payload type `pt`.
gst::GRef<GstBuffer> Rtp(guint size, guint8 pt) {
    auto buffer = Adopt(gst_rtp_buffer_new_allocate(size - 12, 0, 0));
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(buffer.get(), GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_payload_type(&rtp, pt);
    gst_rtp_buffer_unmap(&rtp);
    return buffer;
}

TEST(CameraGuardTest, ClassifiesPackets) {
    Norvane::Test::InitGst();
    EXPECT_EQ(ClassifyCameraPacket(Rtp(1400, 96).get(), 96), CameraPacket::kValid);
    EXPECT_EQ(ClassifyCameraPacket(Rtp(kMaxCameraRtpSize, 96).get(), 96), CameraPacket::kValid);
    EXPECT_EQ(ClassifyCameraPacket(Rtp(1400, 97).get(), -1), CameraPacket::kValid);
    EXPECT_EQ(ClassifyCameraPacket(Rtp(1400, 97).get(), 96), CameraPacket::kWrongPayloadType);
    EXPECT_EQ(ClassifyCameraPacket(Rtp(kMaxCameraRtpSize + 1, 96).get(), 96),
              CameraPacket::kOversize);

    const guint8 version1[12] = {0x40, 96};
    const guint8 too_many_csrcs[12] = {0x8f, 96};
    for (const auto* bytes : {version1, too_many_csrcs}) {
        const auto buffer = Adopt(gst_buffer_new_memdup(bytes, 12));
        EXPECT_EQ(ClassifyCameraPacket(buffer.get(), 96), CameraPacket::kNotRtp);
    }
    const auto short_packet = Adopt(gst_buffer_new_memdup(version1, 4));
    EXPECT_EQ(ClassifyCameraPacket(short_packet.get(), 96), CameraPacket::kNotRtp);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
