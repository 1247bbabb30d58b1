#include "RtspSrcMediaFactoryTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

namespace Norvane::Tavrel::Test::Factory {

// --- GstLogCapture ---

GstLogCapture::GstLogCapture(const char* category) : category_(category) {
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(&GstLogCapture::Log, this, nullptr);
    gst_debug_set_threshold_for_name(category, GST_LEVEL_DEBUG);
}

GstLogCapture::~GstLogCapture() {
    gst_debug_unset_threshold_for_name(category_.c_str());
    gst_debug_remove_log_function(&GstLogCapture::Log);
    gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
}

void GstLogCapture::Log(GstDebugCategory* category, GstDebugLevel level, const gchar*, const gchar*,
                        gint, GObject* object, GstDebugMessage* message, gpointer data) {
    auto* self = static_cast<GstLogCapture*>(data);
    const char* name = gst_debug_category_get_name(category);
    if (self->category_ != name)
        return;
    const gchar* text = gst_debug_message_get(message);
    std::lock_guard lock(self->mutex_);
    self->records_.push_back({name, level, text ? text : "", object});
}

std::vector<GstRecord> GstLogCapture::Records() {
    std::lock_guard lock(mutex_);
    return records_;
}

std::size_t GstLogCapture::Count(const std::string& message) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        records_.begin(), records_.end(), [&](const auto& r) { return r.message == message; }));
}

// --- GLogCounter ---

GLogCounter::GLogCounter() {
    previous_ = g_log_set_default_handler(&GLogCounter::Handler, this);
    previousData_ = nullptr;
}

GLogCounter::~GLogCounter() {
    g_log_set_default_handler(previous_, previousData_);
}

void GLogCounter::Handler(const gchar* domain, GLogLevelFlags level, const gchar* message,
                          gpointer data) {
    auto* self = static_cast<GLogCounter*>(data);
    {
        std::lock_guard lock(self->mutex_);
        if (level & G_LOG_LEVEL_CRITICAL)
            ++self->criticals_;
        self->messages_.push_back(std::string(domain ? domain : "") + ": " +
                                  (message ? message : ""));
    }
    g_log_default_handler(domain, level, message, nullptr);
}

int GLogCounter::Criticals() const {
    std::lock_guard lock(mutex_);
    return criticals_;
}

std::vector<std::string> GLogCounter::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

// --- MiniRelay ---

MiniRelay::MiniRelay(std::vector<std::string> paths)
    : context_(gst::Adopt(g_main_context_new())),
      loop_(gst::Adopt(g_main_loop_new(context_.get(), FALSE))),
      server_(gst::Adopt(gst_rtsp_server_new())),
      factory_(gst::Adopt(rtsp_src_media_factory_new())) {
    gst_rtsp_server_set_address(server_.get(), "127.0.0.1");
    gst_rtsp_server_set_service(server_.get(), "0");
    auto* factory = GST_RTSP_MEDIA_FACTORY(factory_.get());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    rtsp_src_media_factory_set_config_func(factory_.get(), &MiniRelay::Lookup, this);
    const auto mounts = gst::Adopt(gst_rtsp_server_get_mount_points(server_.get()));
    for (const auto& path : paths) {
        gst_rtsp_mount_points_add_factory(mounts.get(), path.c_str(),
                                          GST_RTSP_MEDIA_FACTORY(g_object_ref(factory)));
    }
    // More than one client thread, so that a slow camera does not hold up the others.
    const auto pool = NewClientThreadPool(4);
    gst_rtsp_server_set_thread_pool(server_.get(), pool.get());
    StartSharedMediaThread(pool.get());
    g_signal_connect(server_.get(), "client-connected",
                     G_CALLBACK(+[](GstRTSPServer*, GstRTSPClient* client, gpointer) {
                         rtsp_src_media_factory_watch_client(client);
                     }),
                     nullptr);
    sourceId_ = gst_rtsp_server_attach(server_.get(), context_.get());
    port_ = static_cast<std::uint16_t>(gst_rtsp_server_get_bound_port(server_.get()));
    thread_ = std::thread([this] { g_main_loop_run(loop_.get()); });
}

MiniRelay::~MiniRelay() {
    const auto held =
        AdoptClientList(gst_rtsp_server_client_filter(server_.get(), nullptr, nullptr));
    CloseClientsOnTheirThreads(held, std::chrono::seconds(2));
    g_main_loop_quit(loop_.get());
    thread_.join();
    if (GSource* source = g_main_context_find_source_by_id(context_.get(), sourceId_))
        g_source_destroy(source);
    StopSharedMediaThread(gst::Adopt(gst_rtsp_server_get_thread_pool(server_.get())).get());
    // The references go with the members, in reverse order.
}

void MiniRelay::SetCamera(const std::string& path, RtspSrcConfig config) {
    std::lock_guard lock(mutex_);
    cameras_[path] = std::move(config);
}

std::string MiniRelay::Url(const std::string& path) const {
    return "rtsp://127.0.0.1:" + std::to_string(port_) + path;
}

int MiniRelay::Lookups() {
    std::lock_guard lock(mutex_);
    return lookups_;
}

RtspSrcConfig MiniRelay::Lookup(const GstRTSPUrl* url, gpointer data) {
    auto* self = static_cast<MiniRelay*>(data);
    std::lock_guard lock(self->mutex_);
    ++self->lookups_;
    if (!url || !url->abspath)
        return {};
    const auto it = self->cameras_.find(url->abspath);
    return it == self->cameras_.end() ? RtspSrcConfig{} : it->second;
}

std::vector<std::string> DuplicatedAttributes(const std::string& sdp) {
    // Attributes repeat legitimately only in different media sections.
    std::vector<std::string> duplicated;
    std::set<std::string> seen;
    std::istringstream lines(sdp);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("m=", 0) == 0)
            seen.clear();
        if (line.rfind("a=", 0) != 0)
            continue;
        // Compare attribute names: a second a=fmtp or a=ts-refclk is a duplicate too.
        const std::string name = line.substr(0, line.find_first_of(": "));
        if (name == "a=rtcp-fb" || name == "a=extmap")
            continue;
        if (!seen.insert(name).second)
            duplicated.push_back(line);
    }
    return duplicated;
}

}  // namespace Norvane::Tavrel::Test::Factory
