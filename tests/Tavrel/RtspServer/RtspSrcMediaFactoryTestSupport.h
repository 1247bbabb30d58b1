#pragma once

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Tavrel/RtspServer/ClientThreads.h"
#include "Tavrel/RtspServer/RtspSrcMediaFactory.h"
#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel::Test::Factory {

/// One GStreamer debug record as a test sees it.
struct GstRecord {
    std::string category;
    GstDebugLevel level;
    std::string message;
    const GObject* object;
};

/// Captures the records of one debug category (at debug level and above) for its lifetime;
/// GStreamer's own printing to standard error is off meanwhile.
class GstLogCapture {
public:
    explicit GstLogCapture(const char* category);
    ~GstLogCapture();
    GstLogCapture(const GstLogCapture&) = delete;
    GstLogCapture& operator=(const GstLogCapture&) = delete;
    std::vector<GstRecord> Records();
    /// How many records carry exactly this message.
    std::size_t Count(const std::string& message);

private:
    static void Log(GstDebugCategory* category, GstDebugLevel level, const gchar* file,
                    const gchar* function, gint line, GObject* object, GstDebugMessage* message,
                    gpointer data);
    std::string category_;
    std::mutex mutex_;
    std::vector<GstRecord> records_;
};

/// Counts GLib warnings and criticals of every domain for its lifetime.
class GLogCounter {
public:
    GLogCounter();
    ~GLogCounter();
    GLogCounter(const GLogCounter&) = delete;
    GLogCounter& operator=(const GLogCounter&) = delete;
    int Criticals() const;
    std::vector<std::string> Messages() const;

private:
    static void Handler(const gchar* domain, GLogLevelFlags level, const gchar* message,
                        gpointer data);
    mutable std::mutex mutex_;
    int criticals_{0};
    std::vector<std::string> messages_;
    GLogFunc previous_;
    gpointer previousData_;
};

/// A minimal RTSP server on 127.0.0.1 (a free port) with one media factory mounted at the
/// given paths; its own main context runs in a thread of its own. The lookup answers from a
/// table the test fills.
class MiniRelay {
public:
    explicit MiniRelay(std::vector<std::string> paths);
    ~MiniRelay();
    MiniRelay(const MiniRelay&) = delete;
    MiniRelay& operator=(const MiniRelay&) = delete;

    /// What the lookup answers for `path`; a path without entry gets no camera.
    void SetCamera(const std::string& path, RtspSrcConfig config);
    std::uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const;
    RtspSrcMediaFactory* factory() const { return factory_.get(); }
    GstRTSPServer* server() const { return server_.get(); }
    /// How often the lookup was asked.
    int Lookups();

private:
    static RtspSrcConfig Lookup(const GstRTSPUrl* url, gpointer data);

    gst::GRef<GMainContext> context_;
    gst::GRef<GMainLoop> loop_;
    gst::GRef<GstRTSPServer> server_;
    gst::GRef<RtspSrcMediaFactory> factory_;  // the mounts hold references of their own
    guint sourceId_{0};
    std::uint16_t port_{0};
    std::thread thread_;
    std::mutex mutex_; /* protects cameras_ and lookups_ */
    std::map<std::string, RtspSrcConfig> cameras_;
    int lookups_{0};
};

/// The attribute lines of an SDP whose attribute occurs more than once in the same section.
std::vector<std::string> DuplicatedAttributes(const std::string& sdp);

}  // namespace Norvane::Tavrel::Test::Factory
