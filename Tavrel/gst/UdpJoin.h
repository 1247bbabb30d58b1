#pragma once

// A UDP client of the passthrough payloader that gets the key-frame cache before it joins
// (internal to Tavrel/gst, not installed).

#include "Tavrel/gst/GRef.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace Norvane::Tavrel::gst::Passthrough {

/* One UDP client that gets its cache before it joins the sink's destinations: a thread of
 * its own sends the cache and then the live packets that came meanwhile, paced, until it has
 * caught up; then the sink's streaming thread adds the client to the sink. */
struct UdpJoin {
    std::string host;
    gint port = 0;
    GRef<GSocket> socket;
    GRef<GSocketAddress> address;
    bool started = false;    /* under the watch's join_mutex */
    guint16 last_seqnum = 0; /* of the last packet queued; under the watch's join_mutex */
    std::thread thread;      /* under the watch's join_mutex */

    std::mutex mutex; /* protects the fields below */
    std::condition_variable wake;
    std::deque<GstBuffer*> queue; /* references owned */
    bool idle = false;            /* the thread waits for packets, having sent all before */
    bool done = false;            /* handed over or given up: the thread ends */

    ~UdpJoin() {
        for (GstBuffer* buffer : queue)
            gst_buffer_unref(buffer);
    }

    void Run();
    void Stop() {
        {
            const std::lock_guard lock(mutex);
            done = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }
};

}  // namespace Norvane::Tavrel::gst::Passthrough
