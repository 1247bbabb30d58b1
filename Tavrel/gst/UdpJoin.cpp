#include "Tavrel/gst/UdpJoin.h"

#include <chrono>

GST_DEBUG_CATEGORY_EXTERN(tavrel_rtp_passthrough_pay_debug);
#define GST_CAT_DEFAULT tavrel_rtp_passthrough_pay_debug

namespace Norvane::Tavrel::gst::Passthrough {

namespace {

/* A joining UDP client gets its cache in chunks of this many bytes, one chunk per period
 * (8 MiB/s, about 64 Mbit/s): fast enough to catch up with any camera, slow enough that a
 * receiver's socket buffer keeps up. */
constexpr gsize kBurstChunkBytes = 32 * 1024;
constexpr gint64 kBurstChunkPeriodUs = 4000;
/* How long a UDP send waits for room in the socket's send buffer. */
constexpr gint64 kSendWaitUs = 100 * 1000;

}  // namespace

void UdpJoin::Run() {
    gint64 chunkStart = g_get_monotonic_time();
    gsize chunkBytes = 0;
    std::unique_lock lock(mutex);
    while (!done) {
        if (queue.empty()) {
            idle = true;
            wake.wait(lock);
            continue;
        }
        idle = false;
        GstBuffer* buffer = queue.front();
        queue.pop_front();
        lock.unlock();
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            GError* error = nullptr;
            gssize sent = g_socket_send_to(socket.get(), address.get(),
                                           reinterpret_cast<const gchar*>(map.data), map.size,
                                           nullptr, &error);
            if (sent < 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
                // The socket's send buffer is full: once more when it has room.
                g_clear_error(&error);
                if (g_socket_condition_timed_wait(socket.get(), G_IO_OUT, kSendWaitUs, nullptr,
                                                  nullptr))
                    sent = g_socket_send_to(socket.get(), address.get(),
                                            reinterpret_cast<const gchar*>(map.data), map.size,
                                            nullptr, &error);
            }
            if (sent < 0) {
                GST_DEBUG("cached packet to %s:%d not sent: %s", host.c_str(), port,
                          error ? error->message : "no room");
                g_clear_error(&error);
            }
            chunkBytes += map.size;
            gst_buffer_unmap(buffer, &map);
        }
        gst_buffer_unref(buffer);
        lock.lock();
        if (chunkBytes >= kBurstChunkBytes) {
            chunkStart += kBurstChunkPeriodUs;
            const gint64 now = g_get_monotonic_time();
            if (chunkStart > now) {
                wake.wait_for(lock, std::chrono::microseconds(chunkStart - now),
                              [this] { return done; });
            } else {
                chunkStart = now;
            }
            chunkBytes = 0;
        }
    }
}

}  // namespace Norvane::Tavrel::gst::Passthrough
