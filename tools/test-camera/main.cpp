// test-camera: serves a live H.264 test pattern (and optionally an audio stream) over RTSP,
// optionally behind Basic credentials. Prints one ready line once the socket listens, one line
// per stream set up with the transport agreed, one line per client connection closed, and exits
// with 0 on SIGINT or SIGTERM.

#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

struct Options {
    gchar* address = nullptr;
    gint port = 8554;
    gchar* path = nullptr;
    gboolean audio = FALSE;
    gboolean noVideo = FALSE;
    gchar* user = nullptr;
    gchar* password = nullptr;
    gboolean digest = FALSE;
    gint bitrate = 2000;
    gint width = 640;
    gint height = 480;
    gint framerate = 25;
    gchar* encoder = nullptr;
    gchar* pattern = nullptr;
    gint frames = -1;
    gint keyInterval = 1;

    ~Options() {
        g_free(address);
        g_free(path);
        g_free(user);
        g_free(password);
        g_free(encoder);
        g_free(pattern);
    }
};

bool HasElement(const char* name) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory)
        return false;
    gst_object_unref(factory);
    return true;
}

/// The launch line of the media; empty when the encoder is not available.
std::string LaunchLine(const Options& options) {
    std::string encoder = options.encoder ? options.encoder : "";
    if (encoder.empty())
        encoder = HasElement("x264enc") ? "x264enc" : "openh264enc";
    if (!HasElement(encoder.c_str())) {
        std::fprintf(stderr, "test-camera: encoder '%s' is not available\n", encoder.c_str());
        return {};
    }
    const int keyInterval = options.framerate * options.keyInterval;
    std::string enc;
    if (encoder == "x264enc") {
        enc = "x264enc tune=zerolatency speed-preset=ultrafast bitrate=" +
              std::to_string(options.bitrate) + " key-int-max=" + std::to_string(keyInterval);
    } else if (encoder == "openh264enc") {
        enc = "openh264enc complexity=low rate-control=bitrate bitrate=" +
              std::to_string(options.bitrate * 1000) + " gop-size=" + std::to_string(keyInterval);
    } else if (encoder == "x265enc") {
        enc = "x265enc tune=zerolatency speed-preset=ultrafast bitrate=" +
              std::to_string(options.bitrate) + " key-int-max=" + std::to_string(keyInterval);
    } else if (encoder == "jpegenc") {
        // RTP carries only 4:2:0 and 4:2:2 JPEG.
        enc = "videoconvert ! video/x-raw,format=I420 ! jpegenc quality=50";
    } else {
        enc = encoder;
    }
    // What follows the encoder: H.265 and JPEG by name, anything else is taken for H.264.
    std::string payloader = "video/x-h264,profile=constrained-baseline ! h264parse ! rtph264pay";
    if (encoder == "x265enc")
        payloader = "h265parse ! rtph265pay";
    else if (encoder == "jpegenc")
        payloader = "rtpjpegpay";
    std::string line = "(";
    int pay = 0;
    if (!options.noVideo) {
        line += " videotestsrc is-live=true num-buffers=" + std::to_string(options.frames) +
                " pattern=" + std::string(options.pattern ? options.pattern : "ball") +
                " ! video/x-raw,width=" + std::to_string(options.width) +
                ",height=" + std::to_string(options.height) +
                ",framerate=" + std::to_string(options.framerate) + "/1 ! " + enc + " ! " +
                payloader + " name=pay" + std::to_string(pay++) + " pt=96" +
                (encoder == "jpegenc" ? "" : " config-interval=-1");
    }
    if (options.audio) {
        line +=
            " audiotestsrc is-live=true wave=ticks ! audio/x-raw,rate=8000,channels=1"
            " ! alawenc ! rtppcmapay name=pay" +
            std::to_string(pay++) + " pt=8";
    }
    line += " )";
    return line;
}

/// Prints the transport of each stream set up: "test-camera setup TRANSPORT" (as in the
/// Transport header of the answer, e.g. RTP/AVP/TCP;unicast;interleaved=0-1).
void OnSetupRequest(GstRTSPClient*, GstRTSPContext* ctx, gpointer) {
    const GstRTSPTransport* transport =
        ctx->trans ? gst_rtsp_stream_transport_get_transport(ctx->trans) : nullptr;
    if (!transport)
        return;
    gchar* text = gst_rtsp_transport_as_text(const_cast<GstRTSPTransport*>(transport));
    std::printf("test-camera setup %s\n", text ? text : "?");
    std::fflush(stdout);
    g_free(text);
}

/// The shared streams that were prepared and are not yet gone, one reference each. When a shared
/// stream's last client leaves, the library shuts it down while it still hands it to new clients,
/// and answers those 503: a window of a few milliseconds, up to hundreds on a loaded machine,
/// after every last client, which real cameras do not have. A DESCRIBE or SETUP therefore waits
/// (2 s at most) until no stream is being shut down.
std::mutex streamsMutex;  // guards streams
std::set<GstRTSPMedia*> streams;

void OnStreamPrepared(GstRTSPMedia* media, gpointer) {
    const std::lock_guard lock(streamsMutex);
    if (streams.insert(media).second)
        g_object_ref(media);
}

/// Connected after the factory's own handler, which takes the stream out of its cache.
void OnStreamUnprepared(GstRTSPMedia* media, gpointer) {
    const std::lock_guard lock(streamsMutex);
    if (streams.erase(media) > 0)
        g_object_unref(media);
}

void OnMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer) {
    g_signal_connect(media, "prepared", G_CALLBACK(OnStreamPrepared), nullptr);
    g_signal_connect_after(media, "unprepared", G_CALLBACK(OnStreamUnprepared), nullptr);
}

bool StreamShuttingDown() {
    const std::lock_guard lock(streamsMutex);
    for (GstRTSPMedia* media : streams) {
        const GstRTSPMediaStatus status = gst_rtsp_media_get_status(media);
        if (status == GST_RTSP_MEDIA_STATUS_UNPREPARING ||
            status == GST_RTSP_MEDIA_STATUS_UNPREPARED)
            return true;
    }
    return false;
}

GstRTSPStatusCode WaitForShutDownStreams(GstRTSPClient*, GstRTSPContext*, gpointer) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (StreamShuttingDown() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return GST_RTSP_STS_OK;
}

/// Prints "test-camera closed" when a client's connection is gone.
void OnClientClosed(GstRTSPClient*, gpointer) {
    std::printf("test-camera closed\n");
    std::fflush(stdout);
}

void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer) {
    g_signal_connect(client, "setup-request", G_CALLBACK(OnSetupRequest), nullptr);
    g_signal_connect(client, "closed", G_CALLBACK(OnClientClosed), nullptr);
    g_signal_connect(client, "pre-describe-request", G_CALLBACK(WaitForShutDownStreams), nullptr);
    g_signal_connect(client, "pre-setup-request", G_CALLBACK(WaitForShutDownStreams), nullptr);
}

gboolean OnSignal(gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const GOptionEntry entries[] = {
        {"address", 'a', 0, G_OPTION_ARG_STRING, &options.address,
         "Address to listen on (default 127.0.0.1)", "ADDR"},
        {"port", 'p', 0, G_OPTION_ARG_INT, &options.port,
         "Port to listen on, 0 for any free port (default 8554)", "PORT"},
        {"path", 0, 0, G_OPTION_ARG_STRING, &options.path, "Mount path (default /test)", "PATH"},
        {"audio", 0, 0, G_OPTION_ARG_NONE, &options.audio, "Serve a second (audio) stream",
         nullptr},
        {"no-video", 0, 0, G_OPTION_ARG_NONE, &options.noVideo,
         "Serve no video stream (with --audio: an audio-only camera)", nullptr},
        {"user", 'u', 0, G_OPTION_ARG_STRING, &options.user, "Require Basic credentials: user",
         "NAME"},
        {"password", 'w', 0, G_OPTION_ARG_STRING, &options.password,
         "Require Basic credentials: password", "PASSWORD"},
        {"digest", 0, 0, G_OPTION_ARG_NONE, &options.digest,
         "Ask for the credentials with Digest instead of Basic", nullptr},
        {"bitrate", 'b', 0, G_OPTION_ARG_INT, &options.bitrate,
         "Video bit rate in kbit/s (default 2000)", "KBPS"},
        {"width", 0, 0, G_OPTION_ARG_INT, &options.width, "Video width (default 640)", "PX"},
        {"height", 0, 0, G_OPTION_ARG_INT, &options.height, "Video height (default 480)", "PX"},
        {"framerate", 0, 0, G_OPTION_ARG_INT, &options.framerate, "Frames per second (default 25)",
         "FPS"},
        {"encoder", 0, 0, G_OPTION_ARG_STRING, &options.encoder,
         "Video encoder element (default x264enc, else openh264enc; x265enc sends H.265, jpegenc "
         "JPEG)",
         "ELEMENT"},
        {"pattern", 0, 0, G_OPTION_ARG_STRING, &options.pattern,
         "videotestsrc pattern (default ball)", "PATTERN"},
        {"key-interval", 0, 0, G_OPTION_ARG_INT, &options.keyInterval,
         "Seconds from one key frame to the next (default 1)", "SECONDS"},
        {"frames", 0, 0, G_OPTION_ARG_INT, &options.frames,
         "End each stream (EOS) after this many frames; each connection gets its own stream"
         " (default: never, one stream shared by all)",
         "N"},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

    GOptionContext* context = g_option_context_new("- live H.264 test pattern over RTSP");
    g_option_context_add_main_entries(context, entries, nullptr);
    g_option_context_add_group(context, gst_init_get_option_group());
    GError* error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error)) {
        std::fprintf(stderr, "test-camera: %s\n", error->message);
        g_error_free(error);
        g_option_context_free(context);
        return 2;
    }
    g_option_context_free(context);

    const std::string address = options.address ? options.address : "127.0.0.1";
    std::string path = options.path ? options.path : "/test";
    if (path.empty() || path[0] != '/')
        path.insert(path.begin(), '/');
    if (options.port < 0 || options.port > 65535 || options.bitrate <= 0 || options.width <= 0 ||
        options.height <= 0 || options.framerate <= 0 || options.keyInterval <= 0) {
        std::fprintf(stderr,
                     "test-camera: invalid port, bit rate, size, frame rate or key interval\n");
        return 2;
    }
    if ((options.user == nullptr) != (options.password == nullptr)) {
        std::fprintf(stderr, "test-camera: --user and --password go together\n");
        return 2;
    }
    if (options.noVideo && !options.audio) {
        std::fprintf(stderr, "test-camera: --no-video needs --audio\n");
        return 2;
    }
    const std::string launch = LaunchLine(options);
    if (launch.empty())
        return 1;

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GstRTSPServer* server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, address.c_str());
    gst_rtsp_server_set_service(server, std::to_string(options.port).c_str());

    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch.c_str());
    // A stream that ends is a connection's own: the next connection starts a new one instead of
    // joining the one that ended.
    gst_rtsp_media_factory_set_shared(factory, options.frames < 0);
    if (options.frames < 0)
        g_signal_connect(factory, "media-configure", G_CALLBACK(OnMediaConfigure), nullptr);

    if (options.user) {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        GstRTSPToken* token =
            gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", NULL);
        if (options.digest) {
            gst_rtsp_auth_add_digest(auth, options.user, options.password, token);
            gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
        } else {
            gchar* basic = gst_rtsp_auth_make_basic(options.user, options.password);
            gst_rtsp_auth_add_basic(auth, basic, token);
            g_free(basic);
        }
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(server, auth);
        g_object_unref(auth);
        gst_rtsp_media_factory_add_role(factory, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                        G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                        G_TYPE_BOOLEAN, TRUE, NULL);
    }

    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, path.c_str(), factory);  // takes the reference
    g_object_unref(mounts);

    g_signal_connect(server, "client-connected", G_CALLBACK(OnClientConnected), nullptr);

    int code = 0;
    const guint sourceId = gst_rtsp_server_attach(server, nullptr);
    if (sourceId == 0) {
        std::fprintf(stderr, "test-camera: cannot listen on %s:%d\n", address.c_str(),
                     options.port);
        code = 1;
    } else {
        const guint sigint = g_unix_signal_add(SIGINT, OnSignal, loop);
        const guint sigterm = g_unix_signal_add(SIGTERM, OnSignal, loop);
        std::printf("test-camera ready rtsp://%s:%d%s\n", address.c_str(),
                    gst_rtsp_server_get_bound_port(server), path.c_str());
        std::fflush(stdout);
        g_main_loop_run(loop);
        g_source_remove(sigterm);
        g_source_remove(sigint);
        g_source_remove(sourceId);
        // Close every client so their media are torn down before the server goes.
        gst_rtsp_server_client_filter(
            server, [](GstRTSPServer*, GstRTSPClient*, gpointer) { return GST_RTSP_FILTER_REMOVE; },
            nullptr);
        std::printf("test-camera stopped\n");
    }
    g_object_unref(server);
    g_main_loop_unref(loop);
    {
        const std::lock_guard lock(streamsMutex);
        for (GstRTSPMedia* media : streams)
            g_object_unref(media);
        streams.clear();
    }
    return code;
}
