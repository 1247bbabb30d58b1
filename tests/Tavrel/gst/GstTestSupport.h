#pragma once

#include "GstInit.h"
#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel::gst::Test {

using Norvane::Test::InitGst;

}  // namespace Norvane::Tavrel::gst::Test
