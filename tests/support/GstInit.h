#pragma once

#include <gst/gst.h>

namespace Norvane::Test {

/// Initialises GStreamer for the test binary; later calls do nothing.
inline void InitGst() {
    gst_init(nullptr, nullptr);
}

}  // namespace Norvane::Test
