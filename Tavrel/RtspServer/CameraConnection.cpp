#include "Tavrel/RtspServer/CameraConnection.h"

#include "Tavrel/RtspServer/CameraLimits.h"
#include "Tavrel/RtspServer/RtspText.h"
#include "Tavrel/gst/GRef.h"

#include <gio/gio.h>
#include <spdlog/spdlog.h>

#include <charconv>
#include <mutex>
#include <string_view>
#include <utility>

namespace {

/* The scheme of our proxy's URIs, and the name of our proxy and resolver in GIO. */
constexpr const char* kProxyScheme = "tavrel-camera";
/* Above every resolver GIO or its modules bring (the highest is 100). */
constexpr gint kResolverPriority = 1000;
constexpr guint16 kRtspDefaultPort = 554;
/* The first byte of a TLS handshake record, the first thing a TLS client writes. */
constexpr std::uint8_t kTlsHandshake = 0x16;

}  // namespace

namespace Norvane::Tavrel {
namespace {

bool IsLws(std::uint8_t c) {
    return c == ' ' || c == '\t';
}

/* The host of a URL, without brackets; empty when it has none. */
std::string HostOf(const std::string& url) {
    gchar* host = nullptr;
    if (!g_uri_split(url.c_str(), G_URI_FLAGS_NONE, nullptr, nullptr, &host, nullptr, nullptr,
                     nullptr, nullptr, nullptr) ||
        !host) {
        g_free(host);
        return {};
    }
    std::string result(host);
    g_free(host);
    if (result.size() > 1 && result.front() == '[' && result.back() == ']')
        result = result.substr(1, result.size() - 2);
    return result;
}

}  // namespace

CameraFault FaultOf(AnswerBreach breach) {
    switch (breach) {
        case AnswerBreach::kHeaderLines:
            return CameraFault::kTooManyHeaderLines;
        case AnswerBreach::kBody:
            return CameraFault::kBodyTooLarge;
        case AnswerBreach::kSdp:
            return CameraFault::kSdpTooLarge;
        case AnswerBreach::kRedirectElsewhere:
            return CameraFault::kRedirectElsewhere;
        case AnswerBreach::kTooManyRedirects:
            return CameraFault::kTooManyRedirects;
        default:
            return CameraFault::kAnswerTooLarge;
    }
}

CameraAnswerReader::CameraAnswerReader(std::string host,
                                       std::shared_ptr<std::atomic<int>> redirects)
    : host_(std::move(host)),
      redirects_(redirects ? std::move(redirects) : std::make_shared<std::atomic<int>>(0)) {}

void CameraAnswerReader::ShareRedirects(std::shared_ptr<std::atomic<int>> redirects) {
    if (redirects)
        redirects_ = std::move(redirects);
}

void CameraAnswerReader::TlsAbove() {
    if (first_ && state_ == State::kStart)
        state_ = State::kOpaque;
}

std::size_t CameraAnswerReader::Pass(const std::uint8_t* data, std::size_t size) {
    first_ = first_ && size == 0;
    std::size_t i = 0;
    while (i < size) {
        switch (state_) {
            case State::kBroken:
                return i;
            case State::kOpaque:
                return size;
            case State::kData:
            case State::kBody: {
                const auto take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size - i));
                i += take;
                remaining_ -= take;
                if (remaining_ == 0)
                    state_ = State::kStart;
                break;
            }
            case State::kStart: {
                const std::uint8_t c = data[i];
                if (c == '$') {
                    state_ = State::kDataHeader;
                    dataHeaderBytes_ = 0;
                    ++i;
                } else if (c == '\r' || c == '\n') {
                    ++i;  // skipped between messages, as the RTSP connection does
                } else {
                    headerBytes_ = 0;
                    lines_ = 0;
                    line_.clear();
                    status_ = 0;
                    contentLength_ = -1;
                    largestContentLength_ = 0;
                    sdp_ = false;
                    location_.clear();
                    state_ = State::kLine;
                }
                break;
            }
            case State::kDataHeader:
                dataHeader_[dataHeaderBytes_++] = data[i++];
                if (dataHeaderBytes_ == sizeof dataHeader_) {
                    remaining_ = (std::uint64_t{dataHeader_[1]} << 8) | dataHeader_[2];
                    state_ = remaining_ ? State::kData : State::kStart;
                }
                break;
            default:
                if (!HeaderByte(data[i]))
                    return i;
                ++i;
                break;
        }
    }
    return size;
}

/* One byte of the status line and headers. The line ends are those of the RTSP connection's
 * reader: \r, \n or \r\n end a line, a line end followed by a space or tab continues the line,
 * and \r\r, \n\n, \r\n\n, \r\n\r\r, \r\n\r\n or an empty line end the headers. A line end is
 * known only with the byte after it, which the reader then takes as the next line's first. */
bool CameraAnswerReader::HeaderByte(std::uint8_t c) {
    if (++headerBytes_ > kMaxCameraReplyHeaderBytes)
        return Fail(AnswerBreach::kHeaderBytes, std::to_string(headerBytes_) + "+ bytes");
    switch (state_) {
        case State::kCr:
            if (IsLws(c)) {
                line_ += ' ';
                line_ += static_cast<char>(c);
                state_ = State::kLine;
                return true;
            }
            if (c == '\r')
                return EndHeaders();
            if (c == '\n') {
                state_ = State::kCrLf;
                return true;
            }
            return EndLine(c);
        case State::kLf:
            if (IsLws(c)) {
                line_ += ' ';
                line_ += static_cast<char>(c);
                state_ = State::kLine;
                return true;
            }
            if (c == '\n')
                return EndHeaders();
            return EndLine(c);
        case State::kCrLf:
            if (IsLws(c)) {
                line_ += ' ';
                line_ += static_cast<char>(c);
                state_ = State::kLine;
                return true;
            }
            if (c == '\n')
                return EndHeaders();
            if (c == '\r') {
                state_ = State::kCrLfCr;
                return true;
            }
            return EndLine(c);
        case State::kCrLfCr:
            if (c == '\r' || c == '\n')
                return EndHeaders();
            return EndLine(c);  // the second \r is dropped
        default:
            return LineByte(c);
    }
}

bool CameraAnswerReader::LineByte(std::uint8_t c) {
    state_ = c == '\r' ? State::kCr : c == '\n' ? State::kLf : State::kLine;
    if (state_ == State::kLine)
        line_ += static_cast<char>(c);
    return true;
}

/* A line ended, and `pending` is the first byte of the next one. An empty line ends the
 * headers (and `pending` is lost, as it is to the RTSP connection). */
bool CameraAnswerReader::EndLine(std::uint8_t pending) {
    if (line_.empty())
        return EndHeaders();
    if (!CompleteLine())
        return false;
    line_.clear();
    return LineByte(pending);
}

bool CameraAnswerReader::CompleteLine() {
    const std::string_view line = line_;
    if (lines_++ == 0) {
        if (line.starts_with("RTSP/") || line.starts_with("HTTP/")) {
            const std::string_view rest = Trim(line.substr(
                line.find(' ') == std::string_view::npos ? line.size() : line.find(' ')));
            std::from_chars(rest.data(), rest.data() + rest.size(), status_);
        }
        return true;
    }
    if (lines_ - 1 > kMaxCameraReplyHeaderLines)
        return Fail(AnswerBreach::kHeaderLines,
                    "more than " + std::to_string(kMaxCameraReplyHeaderLines) + " lines");
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return true;
    const std::string_view name = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Length")) {
        std::uint64_t length = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), length);
        if (error == std::errc::result_out_of_range)
            length = UINT64_MAX;
        else if (error != std::errc{} || end != value.data() + value.size())
            return true;  // not a length: the RTSP connection refuses the answer itself
        largestContentLength_ = std::max(largestContentLength_, length);
        if (contentLength_ < 0)
            contentLength_ = static_cast<std::int64_t>(std::min<std::uint64_t>(length, INT64_MAX));
    } else if (EqualsNoCase(name, "Content-Type")) {
        gchar* type = g_ascii_strdown(value.data(), static_cast<gssize>(value.size()));
        sdp_ = sdp_ || std::string_view(type).find("application/sdp") != std::string_view::npos;
        g_free(type);
    } else if (EqualsNoCase(name, "Location") && location_.empty()) {
        location_ = value;
    }
    return true;
}

bool CameraAnswerReader::EndHeaders() {
    if (!line_.empty() && !CompleteLine())
        return false;
    line_.clear();
    if (largestContentLength_ > kMaxCameraReplyBodyBytes) {
        return Fail(sdp_ ? AnswerBreach::kSdp : AnswerBreach::kBody,
                    "Content-Length " + std::to_string(largestContentLength_) + ", at most " +
                        std::to_string(kMaxCameraReplyBodyBytes) + " taken");
    }
    if (status_ >= 300 && status_ < 400 && !location_.empty()) {
        const std::string host = HostOf(location_);
        std::string_view own = host_;
        if (own.size() > 1 && own.front() == '[' && own.back() == ']')
            own = own.substr(1, own.size() - 2);
        if (!host.empty() && !EqualsNoCase(host, own))
            return Fail(AnswerBreach::kRedirectElsewhere, "to " + host);
        if (!host.empty() && ++*redirects_ > kMaxCameraRedirects) {
            return Fail(AnswerBreach::kTooManyRedirects,
                        "more than " + std::to_string(kMaxCameraRedirects) + " redirects");
        }
    }
    remaining_ = contentLength_ > 0 ? static_cast<std::uint64_t>(contentLength_) : 0;
    state_ = remaining_ ? State::kBody : State::kStart;
    return true;
}

bool CameraAnswerReader::Fail(AnswerBreach breach, std::string detail) {
    breach_ = breach;
    detail_ = std::move(detail);
    state_ = State::kBroken;
    return false;
}

}  // namespace Norvane::Tavrel

// ---- The GIO side: the bounded connection, our proxy and resolver. ----

using Norvane::Tavrel::AnswerBreach;
using Norvane::Tavrel::CameraAnswerReader;

namespace {

/* The camera a connection belongs to, once its rtspsrc claimed it; shared by the connections
 * of one rtspsrc. */
struct CameraLink {
    std::string path;
    std::shared_ptr<std::atomic<int>> redirects = std::make_shared<std::atomic<int>>(0);
};

/* What the two streams of a bounded connection share. */
struct BoundedState {
    explicit BoundedState(const char* host) : host(host ? host : ""), reader(this->host) {}

    const std::string host;
    std::mutex mutex; /* guards reader, camera, written and failed; a leaf */
    CameraAnswerReader reader;
    std::shared_ptr<CameraLink> camera;
    bool written = false;  // something was written to the camera
    bool failed = false;   // a limit was breached: the connection is shut down
};
using BoundedShare = std::shared_ptr<BoundedState>;

}  // namespace

G_BEGIN_DECLS

/* The camera's input, passed through the reader. */
struct TavrelBoundedInput {
    GInputStream parent;
    GIOStream* connection; /* the camera's TCP connection; a reference */
    GInputStream* input;   /* its input, owned by it */
    BoundedShare* state;
};
struct TavrelBoundedInputClass {
    GInputStreamClass parent_class;
};

/* The camera's output, unchanged; its first bytes tell whether TLS runs above. */
struct TavrelWatchedOutput {
    GOutputStream parent;
    GIOStream* connection; /* the camera's TCP connection; a reference */
    GOutputStream* output; /* its output, owned by it */
    BoundedShare* state;
};
struct TavrelWatchedOutputClass {
    GOutputStreamClass parent_class;
};

struct TavrelBoundedConnection {
    GIOStream parent;
    GInputStream* input;   /* a TavrelBoundedInput; a reference */
    GOutputStream* output; /* a TavrelWatchedOutput; a reference */
};
struct TavrelBoundedConnectionClass {
    GIOStreamClass parent_class;
};

struct TavrelCameraProxy {
    GObject parent;
};
struct TavrelCameraProxyClass {
    GObjectClass parent_class;
};

struct TavrelCameraResolver {
    GObject parent;
};
struct TavrelCameraResolverClass {
    GObjectClass parent_class;
};

G_END_DECLS

namespace Norvane::Tavrel::gst {
template <>
inline constexpr bool kIsGObject<TavrelBoundedInput> = true;
}  // namespace Norvane::Tavrel::gst

namespace {

/* The last bounded stream made on this thread, until an rtspsrc on it claims it: rtspsrc
 * connects and sends its first request on the same thread. */
struct LastMade {
    LastMade() { g_weak_ref_init(&ref, nullptr); }
    ~LastMade() { g_weak_ref_clear(&ref); }
    LastMade(const LastMade&) = delete;
    LastMade& operator=(const LastMade&) = delete;
    GWeakRef ref;
};
thread_local LastMade t_lastMade;

void tavrel_bounded_input_pollable_init(GPollableInputStreamInterface* iface);
void tavrel_watched_output_pollable_init(GPollableOutputStreamInterface* iface);

void SetBrokenError(GError** error) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED,
                        "The camera's answer broke its limits");
}

}  // namespace

G_DEFINE_TYPE_WITH_CODE(TavrelBoundedInput, tavrel_bounded_input, G_TYPE_INPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_POLLABLE_INPUT_STREAM,
                                              tavrel_bounded_input_pollable_init))

namespace {

TavrelBoundedInput* BoundedInput(gpointer stream) {
    return G_TYPE_CHECK_INSTANCE_CAST(stream, tavrel_bounded_input_get_type(), TavrelBoundedInput);
}

bool Broken(TavrelBoundedInput* self, GError** error) {
    bool failed = false;
    {
        BoundedState& state = **self->state;
        const std::lock_guard lock(state.mutex);
        failed = state.failed;
    }
    if (failed)
        SetBrokenError(error);
    return failed;
}

/* Lets the `read` bytes in `buffer` pass as far as the reader allows; a breach shuts the
 * camera's connection down and is logged. */
gssize Check(TavrelBoundedInput* self, void* buffer, gssize read, GError** error) {
    if (read <= 0)
        return read;
    BoundedState& state = **self->state;
    std::size_t passed = 0;
    AnswerBreach breach = AnswerBreach::kNone;
    std::string detail;
    std::string camera;
    {
        const std::lock_guard lock(state.mutex);
        passed = state.reader.Pass(static_cast<const std::uint8_t*>(buffer),
                                   static_cast<std::size_t>(read));
        if (state.reader.Breach() != AnswerBreach::kNone && !state.failed) {
            state.failed = true;
            breach = state.reader.Breach();
            detail = state.reader.Detail();
            camera = state.camera ? state.camera->path : "(camera at " + state.host + ")";
        }
    }
    if (breach != AnswerBreach::kNone) {
        if (G_IS_SOCKET_CONNECTION(self->connection)) {
            g_socket_shutdown(g_socket_connection_get_socket(G_SOCKET_CONNECTION(self->connection)),
                              TRUE, TRUE, nullptr);
        }
        Norvane::Tavrel::NoteCameraFault(camera, Norvane::Tavrel::FaultOf(breach), detail);
    }
    if (passed > 0)
        return static_cast<gssize>(passed);
    SetBrokenError(error);
    return -1;
}

gssize BoundedRead(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable,
                   GError** error) {
    TavrelBoundedInput* self = BoundedInput(stream);
    if (Broken(self, error))
        return -1;
    return Check(self, buffer, g_input_stream_read(self->input, buffer, count, cancellable, error),
                 error);
}

gboolean BoundedClose(GInputStream* stream, GCancellable* cancellable, GError** error) {
    return g_input_stream_close(BoundedInput(stream)->input, cancellable, error);
}

gboolean BoundedCanPoll(GPollableInputStream* stream) {
    GInputStream* input = BoundedInput(stream)->input;
    return G_IS_POLLABLE_INPUT_STREAM(input) &&
           g_pollable_input_stream_can_poll(G_POLLABLE_INPUT_STREAM(input));
}

gboolean BoundedIsReadable(GPollableInputStream* stream) {
    TavrelBoundedInput* self = BoundedInput(stream);
    return Broken(self, nullptr) ||
           g_pollable_input_stream_is_readable(G_POLLABLE_INPUT_STREAM(self->input));
}

GSource* BoundedCreateSource(GPollableInputStream* stream, GCancellable* cancellable) {
    GSource* inner = g_pollable_input_stream_create_source(
        G_POLLABLE_INPUT_STREAM(BoundedInput(stream)->input), nullptr);
    GSource* source = g_pollable_source_new_full(stream, inner, cancellable);
    g_source_unref(inner);
    return source;
}

gssize BoundedReadNonblocking(GPollableInputStream* stream, void* buffer, gsize count,
                              GError** error) {
    TavrelBoundedInput* self = BoundedInput(stream);
    if (Broken(self, error))
        return -1;
    return Check(self, buffer,
                 g_pollable_input_stream_read_nonblocking(G_POLLABLE_INPUT_STREAM(self->input),
                                                          buffer, count, nullptr, error),
                 error);
}

void tavrel_bounded_input_pollable_init(GPollableInputStreamInterface* iface) {
    iface->can_poll = BoundedCanPoll;
    iface->is_readable = BoundedIsReadable;
    iface->create_source = BoundedCreateSource;
    iface->read_nonblocking = BoundedReadNonblocking;
}

}  // namespace

static void tavrel_bounded_input_finalize(GObject* object) {
    TavrelBoundedInput* self = BoundedInput(object);
    delete self->state;
    g_clear_object(&self->connection);
    G_OBJECT_CLASS(tavrel_bounded_input_parent_class)->finalize(object);
}

static void tavrel_bounded_input_class_init(TavrelBoundedInputClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = tavrel_bounded_input_finalize;
    G_INPUT_STREAM_CLASS(klass)->read_fn = BoundedRead;
    G_INPUT_STREAM_CLASS(klass)->close_fn = BoundedClose;
}

static void tavrel_bounded_input_init(TavrelBoundedInput* self) {
    self->connection = nullptr;
    self->input = nullptr;
    self->state = nullptr;
}

G_DEFINE_TYPE_WITH_CODE(TavrelWatchedOutput, tavrel_watched_output, G_TYPE_OUTPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_POLLABLE_OUTPUT_STREAM,
                                              tavrel_watched_output_pollable_init))

namespace {

TavrelWatchedOutput* WatchedOutput(gpointer stream) {
    return G_TYPE_CHECK_INSTANCE_CAST(stream, tavrel_watched_output_get_type(),
                                      TavrelWatchedOutput);
}

/* Notes the first bytes that go to the camera: a TLS record means TLS runs above. */
void Written(TavrelWatchedOutput* self, const void* buffer, gssize written) {
    if (written <= 0)
        return;
    BoundedState& state = **self->state;
    const std::lock_guard lock(state.mutex);
    if (!std::exchange(state.written, true) &&
        *static_cast<const std::uint8_t*>(buffer) == kTlsHandshake)
        state.reader.TlsAbove();
}

gssize WatchedWrite(GOutputStream* stream, const void* buffer, gsize count,
                    GCancellable* cancellable, GError** error) {
    TavrelWatchedOutput* self = WatchedOutput(stream);
    const gssize written = g_output_stream_write(self->output, buffer, count, cancellable, error);
    Written(self, buffer, written);
    return written;
}

gboolean WatchedFlush(GOutputStream* stream, GCancellable* cancellable, GError** error) {
    return g_output_stream_flush(WatchedOutput(stream)->output, cancellable, error);
}

gboolean WatchedClose(GOutputStream* stream, GCancellable* cancellable, GError** error) {
    return g_output_stream_close(WatchedOutput(stream)->output, cancellable, error);
}

gboolean WatchedCanPoll(GPollableOutputStream* stream) {
    GOutputStream* output = WatchedOutput(stream)->output;
    return G_IS_POLLABLE_OUTPUT_STREAM(output) &&
           g_pollable_output_stream_can_poll(G_POLLABLE_OUTPUT_STREAM(output));
}

gboolean WatchedIsWritable(GPollableOutputStream* stream) {
    return g_pollable_output_stream_is_writable(
        G_POLLABLE_OUTPUT_STREAM(WatchedOutput(stream)->output));
}

GSource* WatchedCreateSource(GPollableOutputStream* stream, GCancellable* cancellable) {
    GSource* inner = g_pollable_output_stream_create_source(
        G_POLLABLE_OUTPUT_STREAM(WatchedOutput(stream)->output), nullptr);
    GSource* source = g_pollable_source_new_full(stream, inner, cancellable);
    g_source_unref(inner);
    return source;
}

gssize WatchedWriteNonblocking(GPollableOutputStream* stream, const void* buffer, gsize count,
                               GError** error) {
    TavrelWatchedOutput* self = WatchedOutput(stream);
    const gssize written = g_pollable_output_stream_write_nonblocking(
        G_POLLABLE_OUTPUT_STREAM(self->output), buffer, count, nullptr, error);
    Written(self, buffer, written);
    return written;
}

void tavrel_watched_output_pollable_init(GPollableOutputStreamInterface* iface) {
    iface->can_poll = WatchedCanPoll;
    iface->is_writable = WatchedIsWritable;
    iface->create_source = WatchedCreateSource;
    iface->write_nonblocking = WatchedWriteNonblocking;
}

}  // namespace

static void tavrel_watched_output_finalize(GObject* object) {
    TavrelWatchedOutput* self = WatchedOutput(object);
    delete self->state;
    g_clear_object(&self->connection);
    G_OBJECT_CLASS(tavrel_watched_output_parent_class)->finalize(object);
}

static void tavrel_watched_output_class_init(TavrelWatchedOutputClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = tavrel_watched_output_finalize;
    G_OUTPUT_STREAM_CLASS(klass)->write_fn = WatchedWrite;
    G_OUTPUT_STREAM_CLASS(klass)->flush = WatchedFlush;
    G_OUTPUT_STREAM_CLASS(klass)->close_fn = WatchedClose;
}

static void tavrel_watched_output_init(TavrelWatchedOutput* self) {
    self->connection = nullptr;
    self->output = nullptr;
    self->state = nullptr;
}

G_DEFINE_TYPE(TavrelBoundedConnection, tavrel_bounded_connection, G_TYPE_IO_STREAM)

namespace {

TavrelBoundedConnection* BoundedConnection(gpointer stream) {
    return G_TYPE_CHECK_INSTANCE_CAST(stream, tavrel_bounded_connection_get_type(),
                                      TavrelBoundedConnection);
}

GInputStream* ConnectionInput(GIOStream* stream) {
    return BoundedConnection(stream)->input;
}

GOutputStream* ConnectionOutput(GIOStream* stream) {
    return BoundedConnection(stream)->output;
}

/* The camera's connection `connection` to `host`, its input bounded. */
GIOStream* MakeBounded(GIOStream* connection, const char* host) {
    const auto state = std::make_shared<BoundedState>(host);
    auto* input =
        static_cast<TavrelBoundedInput*>(g_object_new(tavrel_bounded_input_get_type(), nullptr));
    input->connection = G_IO_STREAM(g_object_ref(connection));
    input->input = g_io_stream_get_input_stream(connection);
    input->state = new BoundedShare(state);
    auto* output =
        static_cast<TavrelWatchedOutput*>(g_object_new(tavrel_watched_output_get_type(), nullptr));
    output->connection = G_IO_STREAM(g_object_ref(connection));
    output->output = g_io_stream_get_output_stream(connection);
    output->state = new BoundedShare(state);
    auto* bounded = static_cast<TavrelBoundedConnection*>(
        g_object_new(tavrel_bounded_connection_get_type(), nullptr));
    bounded->input = G_INPUT_STREAM(input);
    bounded->output = G_OUTPUT_STREAM(output);
    g_weak_ref_set(&t_lastMade.ref, input);
    return G_IO_STREAM(bounded);
}

}  // namespace

static void tavrel_bounded_connection_finalize(GObject* object) {
    TavrelBoundedConnection* self = BoundedConnection(object);
    g_clear_object(&self->input);
    g_clear_object(&self->output);
    G_OBJECT_CLASS(tavrel_bounded_connection_parent_class)->finalize(object);
}

static void tavrel_bounded_connection_class_init(TavrelBoundedConnectionClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = tavrel_bounded_connection_finalize;
    G_IO_STREAM_CLASS(klass)->get_input_stream = ConnectionInput;
    G_IO_STREAM_CLASS(klass)->get_output_stream = ConnectionOutput;
}

static void tavrel_bounded_connection_init(TavrelBoundedConnection* self) {
    self->input = nullptr;
    self->output = nullptr;
}

namespace {

GIOStream* ProxyConnect(GProxy*, GIOStream* connection, GProxyAddress* address, GCancellable*,
                        GError**) {
    return MakeBounded(connection, g_proxy_address_get_destination_hostname(address));
}

void ProxyConnectAsync(GProxy* proxy, GIOStream* connection, GProxyAddress* address,
                       GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
    GTask* task = g_task_new(proxy, cancellable, callback, data);
    g_task_return_pointer(task, ProxyConnect(proxy, connection, address, cancellable, nullptr),
                          g_object_unref);
    g_object_unref(task);
}

GIOStream* ProxyConnectFinish(GProxy*, GAsyncResult* result, GError** error) {
    return static_cast<GIOStream*>(g_task_propagate_pointer(G_TASK(result), error));
}

gboolean ProxySupportsHostname(GProxy*) {
    return TRUE;
}

void tavrel_camera_proxy_iface_init(GProxyInterface* iface) {
    iface->connect = ProxyConnect;
    iface->connect_async = ProxyConnectAsync;
    iface->connect_finish = ProxyConnectFinish;
    iface->supports_hostname = ProxySupportsHostname;
}

}  // namespace

G_DEFINE_TYPE_WITH_CODE(TavrelCameraProxy, tavrel_camera_proxy, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(G_TYPE_PROXY, tavrel_camera_proxy_iface_init))

static void tavrel_camera_proxy_class_init(TavrelCameraProxyClass*) {}
static void tavrel_camera_proxy_init(TavrelCameraProxy*) {}

namespace {

/* Our proxy for a plain rtsp:// URI, which connects straight to the camera: the proxy's
 * address is the camera's own. Every other URI connects directly. */
gchar** ResolverLookup(GProxyResolver*, const gchar* uri, GCancellable*, GError**) {
    gchar* scheme = nullptr;
    gchar* host = nullptr;
    gint port = -1;
    gchar* proxy = nullptr;
    if (g_uri_split_network(uri, G_URI_FLAGS_NONE, &scheme, &host, &port, nullptr) && scheme &&
        host && g_ascii_strcasecmp(scheme, "rtsp") == 0) {
        const bool literal6 = std::string_view(host).find(':') != std::string_view::npos;
        proxy = g_strdup_printf("%s://%s%s%s:%d", kProxyScheme, literal6 ? "[" : "", host,
                                literal6 ? "]" : "", port > 0 ? port : kRtspDefaultPort);
    }
    g_free(scheme);
    g_free(host);
    auto** result = g_new0(gchar*, 2);
    result[0] = proxy ? proxy : g_strdup("direct://");
    return result;
}

void ResolverLookupAsync(GProxyResolver* resolver, const gchar* uri, GCancellable* cancellable,
                         GAsyncReadyCallback callback, gpointer data) {
    GTask* task = g_task_new(resolver, cancellable, callback, data);
    g_task_return_pointer(task, ResolverLookup(resolver, uri, cancellable, nullptr),
                          reinterpret_cast<GDestroyNotify>(g_strfreev));
    g_object_unref(task);
}

gchar** ResolverLookupFinish(GProxyResolver*, GAsyncResult* result, GError** error) {
    return static_cast<gchar**>(g_task_propagate_pointer(G_TASK(result), error));
}

gboolean ResolverIsSupported(GProxyResolver*) {
    return TRUE;
}

void tavrel_camera_resolver_iface_init(GProxyResolverInterface* iface) {
    iface->is_supported = ResolverIsSupported;
    iface->lookup = ResolverLookup;
    iface->lookup_async = ResolverLookupAsync;
    iface->lookup_finish = ResolverLookupFinish;
}

}  // namespace

G_DEFINE_TYPE_WITH_CODE(TavrelCameraResolver, tavrel_camera_resolver, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(G_TYPE_PROXY_RESOLVER,
                                              tavrel_camera_resolver_iface_init))

static void tavrel_camera_resolver_class_init(TavrelCameraResolverClass*) {}
static void tavrel_camera_resolver_init(TavrelCameraResolver*) {}

namespace Norvane::Tavrel {
namespace {

using CameraLinkShare = std::shared_ptr<CameraLink>;

/* rtspsrc is about to send a request: a connection it just made on this thread is its own. */
gboolean OnBeforeSend(GstElement*, gpointer, gpointer data) {
    const auto made = gst::Adopt(static_cast<TavrelBoundedInput*>(g_weak_ref_get(&t_lastMade.ref)));
    if (!made)
        return TRUE;
    g_weak_ref_set(&t_lastMade.ref, nullptr);
    const CameraLinkShare& camera = *static_cast<CameraLinkShare*>(data);
    BoundedState& state = **made->state;
    const std::lock_guard lock(state.mutex);
    if (!state.camera) {
        state.camera = camera;
        state.reader.ShareRedirects(camera->redirects);
    }
    return TRUE;
}

}  // namespace

bool BoundCameraConnections() {
    static const bool kBound = [] {
        // Registering an extension point again returns the one there is; GIO's own
        // registration later does the same.
        g_io_extension_point_register(G_PROXY_EXTENSION_POINT_NAME);
        g_io_extension_point_register(G_PROXY_RESOLVER_EXTENSION_POINT_NAME);
        g_io_extension_point_implement(G_PROXY_EXTENSION_POINT_NAME, tavrel_camera_proxy_get_type(),
                                       kProxyScheme, 0);
        g_io_extension_point_implement(G_PROXY_RESOLVER_EXTENSION_POINT_NAME,
                                       tavrel_camera_resolver_get_type(), kProxyScheme,
                                       kResolverPriority);
        GProxyResolver* chosen = g_proxy_resolver_get_default();
        const bool ours =
            G_TYPE_CHECK_INSTANCE_TYPE(chosen, tavrel_camera_resolver_get_type()) != FALSE;
        if (!ours) {
            SPDLOG_ERROR("Camera answers are not bounded: connections use the proxy resolver {}",
                         chosen ? G_OBJECT_TYPE_NAME(chosen) : "(none)");
        }
        return ours;
    }();
    return kBound;
}

void WatchCameraConnections(GstElement* source, const char* path) {
    auto camera = std::make_shared<CameraLink>();
    camera->path = path ? path : "";
    g_signal_connect_data(
        source, "before-send", G_CALLBACK(OnBeforeSend), new CameraLinkShare(std::move(camera)),
        [](gpointer share, GClosure*) { delete static_cast<CameraLinkShare*>(share); },
        static_cast<GConnectFlags>(0));
}

}  // namespace Norvane::Tavrel
