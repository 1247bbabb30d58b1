#include "Tavrel/RtspServer/ClientPorts.h"

#include <spdlog/spdlog.h>

#include <fstream>

namespace Norvane::Tavrel {

gst::GRef<GstRTSPAddressPool> Ipv4PortPool() {
    guint low = 32768;
    guint high = 60999;
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    guint readLow = 0;
    guint readHigh = 0;
    if (range >> readLow >> readHigh && readLow >= 1024 && readLow < readHigh &&
        readHigh <= 65535) {
        low = readLow;
        high = readHigh;
    }
    auto pool = gst::Adopt(gst_rtsp_address_pool_new());
    if (!gst_rtsp_address_pool_add_range(pool.get(), GST_RTSP_ADDRESS_POOL_ANY_IPV4,
                                         GST_RTSP_ADDRESS_POOL_ANY_IPV4, low, high, 0)) {
        SPDLOG_WARN("No IPv4 port range {}-{}: media open IPv6 ports as well", low, high);
        return {};
    }
    return pool;
}

}  // namespace Norvane::Tavrel
