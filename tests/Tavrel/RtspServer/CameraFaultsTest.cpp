// What a camera did wrong, in the log.

#include "Tavrel/RtspServer/CameraFaults.h"

#include <gtest/gtest.h>

#include "LogCapture.h"

namespace Norvane::Tavrel::Test {
namespace {

TEST(CameraFaultsTest, OneLinePerCameraAndCausePerInterval) {
    Norvane::Test::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 3; ++n)
        NoteCameraFaultAt("/one", CameraFault::kJunkRtp, "the last one not RTP", 1, start);
    NoteCameraFaultAt("/two", CameraFault::kJunkRtp, "the last one not RTP", 1, start);
    NoteCameraFaultAt("/one", CameraFault::kSdpTooLarge, "Content-Length 9", 1, start);
    NoteCameraFaultAt("/one", CameraFault::kJunkRtp, "the last one not RTP", 1,
                      start + kCameraFaultInterval);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "Camera at path '/one' sent junk packets, dropped: the last one not RTP (1x "
                  "since the last line)",
                  "Camera at path '/two' sent junk packets, dropped: the last one not RTP (1x "
                  "since the last line)",
                  "Camera at path '/one' announced an SDP that is too large: Content-Length 9 "
                  "(1x since the last line)",
                  "Camera at path '/one' sent junk packets, dropped: the last one not RTP (3x "
                  "since the last line)"}));
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
