#include "Tavrel/RtspServer/CameraCheck.h"

#include <gst/rtsp/gstrtspdefs.h>
#include <gst/rtsp/gstrtspurl.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <vector>

#include "Tavrel/RtspServer/CameraLimits.h"
#include "Tavrel/RtspServer/RtspText.h"
#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel {

namespace gst {
template <>
inline constexpr bool kIsGObject<GCancellable> = true;
template <>
inline constexpr bool kIsGObject<GSocketClient> = true;
template <>
inline constexpr bool kIsGObject<GSocketConnection> = true;
}  // namespace gst

namespace {

using gst::Adopt;
using gst::GRef;
using Outcome = CameraCheckResult::Outcome;

/// Bytes taken from the socket at a time.
constexpr std::size_t kReadChunk = 4096;

/// The value of `key` among the comma-separated parameters of a challenge (quoted or not).
std::string ChallengeParam(std::string_view params, std::string_view key) {
    while (!params.empty()) {
        params = Trim(params);
        const auto eq = params.find('=');
        if (eq == std::string_view::npos)
            return {};
        const auto name = Trim(params.substr(0, eq));
        params.remove_prefix(eq + 1);
        params = Trim(params);
        std::string value;
        if (!params.empty() && params.front() == '"') {
            std::size_t i = 1;
            for (; i < params.size() && params[i] != '"'; ++i) {
                if (params[i] == '\\' && i + 1 < params.size())
                    ++i;
                value.push_back(params[i]);
            }
            params.remove_prefix(std::min(i + 1, params.size()));
        } else {
            const auto end = params.find(',');
            value = Trim(params.substr(0, end));
            params.remove_prefix(end == std::string_view::npos ? params.size() : end);
        }
        const auto comma = params.find(',');
        params.remove_prefix(comma == std::string_view::npos ? params.size() : comma + 1);
        if (EqualsNoCase(name, key))
            return value;
    }
    return {};
}

/// One answer of the camera.
struct Answer {
    int status{0};
    std::string reason;
    std::vector<std::string> challenges;  // WWW-Authenticate values
    std::string location;                 // of a redirect
    std::string body;
};

}  // namespace

namespace CameraAnswer {

std::string VideoCodec(std::string_view sdp) {
    std::string payloadType;
    bool inVideo = false;
    while (!sdp.empty()) {
        const auto end = sdp.find('\n');
        auto line = Trim(sdp.substr(0, end));
        sdp.remove_prefix(end == std::string_view::npos ? sdp.size() : end + 1);
        if (line.starts_with("m=")) {
            if (inVideo)
                return {};  // the first video stream had no rtpmap
            if (!line.starts_with("m=video "))
                continue;
            inVideo = true;
            // m=video PORT PROTO FMT ...
            std::array<std::string_view, 4> fields{};
            std::size_t count = 0;
            while (count < fields.size() && !line.empty()) {
                const auto space = line.find(' ');
                fields[count++] = line.substr(0, space);
                line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
            }
            payloadType = fields[3];
            continue;
        }
        if (!inVideo || !line.starts_with("a=rtpmap:"))
            continue;
        line.remove_prefix(9);
        const auto space = line.find(' ');
        if (space == std::string_view::npos || line.substr(0, space) != payloadType)
            continue;
        auto encoding = line.substr(space + 1);
        encoding = encoding.substr(0, encoding.find('/'));
        std::string codec(Trim(encoding));
        std::transform(codec.begin(), codec.end(), codec.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return codec;
    }
    return {};
}

std::string Authorization(std::string_view challenge, std::string_view method, std::string_view uri,
                          const std::string& user, const std::string& password) {
    challenge = Trim(challenge);
    const auto space = challenge.find(' ');
    const auto scheme = challenge.substr(0, space);
    const auto params =
        space == std::string_view::npos ? std::string_view{} : challenge.substr(space + 1);
    if (EqualsNoCase(scheme, "Basic")) {
        const std::string pair = user + ":" + password;
        gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(pair.data()), pair.size());
        std::string header = fmt::format("Basic {}", encoded);
        g_free(encoded);
        return header;
    }
    if (!EqualsNoCase(scheme, "Digest"))
        return {};
    const std::string realm = ChallengeParam(params, "realm");
    const std::string nonce = ChallengeParam(params, "nonce");
    const std::string opaque = ChallengeParam(params, "opaque");
    const std::string algorithm = ChallengeParam(params, "algorithm");
    const std::string methodText(method);
    const std::string uriText(uri);
    gchar* response = gst_rtsp_generate_digest_auth_response(
        algorithm.empty() ? nullptr : algorithm.c_str(), methodText.c_str(), realm.c_str(),
        user.c_str(), password.c_str(), uriText.c_str(), nonce.c_str());
    if (response == nullptr)
        return {};
    std::string header =
        fmt::format(R"(Digest username="{}", realm="{}", nonce="{}", uri="{}", response="{}")",
                    user, realm, nonce, uri, response);
    g_free(response);
    if (!opaque.empty())
        header += fmt::format(R"(, opaque="{}")", opaque);
    return header;
}

}  // namespace CameraAnswer

struct CameraCheck::Impl : std::enable_shared_from_this<Impl> {
    enum class Step { kOptions, kDescribe };

    GRef<GMainContext> context;
    std::string host;
    guint16 port{554};
    std::string uri;  // the request URI, without credentials
    std::optional<std::string> user;
    std::optional<std::string> password;
    Done done;

    GRef<GCancellable> cancellable{Adopt(g_cancellable_new())};
    GRef<GSocketClient> client;          // for a camera named by host name
    GRef<GSocketConnection> connection;  // the client's connection, holding `socket`
    GRef<GSocket> socket;                // the connection to the camera (non-blocking)
    GRef<GSource> ioSource;              // the connect, the answers, or an early end
    void (*onReady)(Impl&){nullptr};     // what ioSource does when the socket is ready
    GRef<GSource> deadlineSource;
    bool connected{false};
    Outcome earlyOutcome{Outcome::kFailed};  // of an end found before the context ran
    std::string earlyError;

    Step step{Step::kOptions};
    int cseq{0};
    std::string challenge;  // the camera's WWW-Authenticate, answered in every request
    bool authTried{false};  // credentials were sent for the current request
    int redirects{0};       // followed so far
    std::string in;         // bytes of the answer read so far
    std::string codec;

    ~Impl() { Close(); }

    void Close() {
        for (auto* source : {&ioSource, &deadlineSource}) {
            if (*source) {
                g_source_destroy(source->get());
                source->reset();
            }
        }
        g_cancellable_cancel(cancellable.get());
        Disconnect();
    }

    void Disconnect() {
        if (connection) {
            g_io_stream_close(G_IO_STREAM(connection.get()), nullptr, nullptr);
        } else if (socket) {
            g_socket_close(socket.get(), nullptr);
        }
        connection.reset();
        socket.reset();
    }

    void Finish(Outcome outcome, std::string error = {}) {
        // The callback may drop the check: this object lives until the callback returned.
        const auto keep = shared_from_this();
        Close();
        if (!done)
            return;
        auto callback = std::move(done);
        done = nullptr;
        callback(CameraCheckResult{outcome, std::move(error),
                                   outcome == Outcome::kAnswering ? codec : std::string{}});
    }

    /// Runs onReady for the source being dispatched; whether that source stays.
    gboolean Ready() {
        // Finishing may drop the check: it lives until this returns.
        const auto keep = shared_from_this();
        GSource* current = ioSource.get();
        onReady(*this);
        // The step that ended or replaced this source has destroyed it already.
        return ioSource.get() == current ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }

    /// Replaces ioSource by `source` (a socket source unless `idle`), which calls onReady (set
    /// by the caller).
    void Watch(GRef<GSource> source, bool idle = false) {
        if (ioSource)
            g_source_destroy(ioSource.get());
        ioSource = std::move(source);
        if (idle) {
            g_source_set_callback(
                ioSource.get(),
                [](gpointer data) -> gboolean { return static_cast<Impl*>(data)->Ready(); }, this,
                nullptr);
        } else {
            g_source_set_callback(ioSource.get(),
                                  G_SOURCE_FUNC(+[](GSocket*, GIOCondition, gpointer data) {
                                      return static_cast<Impl*>(data)->Ready();
                                  }),
                                  this, nullptr);
        }
        g_source_attach(ioSource.get(), context.get());
    }

    /// Ends the check from the context (never from inside Start or Connect).
    void FinishSoon(Outcome outcome, std::string error) {
        earlyOutcome = outcome;
        earlyError = std::move(error);
        onReady = [](Impl& self) { self.Finish(self.earlyOutcome, std::move(self.earlyError)); };
        Watch(Adopt(g_idle_source_new()), true);
    }

    /// Calls `then` once the socket is ready for `condition` (or has an error), each time.
    void WaitFor(GIOCondition condition, void (*then)(Impl&)) {
        onReady = then;
        Watch(Adopt(g_socket_create_source(
            socket.get(), static_cast<GIOCondition>(condition | G_IO_ERR | G_IO_HUP), nullptr)));
    }

    void Begin(std::chrono::milliseconds deadline) {
        deadlineSource = Adopt(g_timeout_source_new(static_cast<guint>(deadline.count())));
        g_source_set_callback(
            deadlineSource.get(),
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Impl*>(data);
                self->deadlineSource.reset();  // the context drops it after this call
                self->Finish(Outcome::kUnreachable,
                             self->connected ? "no answer in time" : "no connection in time");
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(deadlineSource.get(), context.get());
        Connect();
    }

    std::string ConnectError(const GError* error) const {
        std::string_view reason = error != nullptr ? error->message : "no connection";
        constexpr std::string_view kPrefix = "Error connecting: ";
        if (reason.starts_with(kPrefix))
            reason.remove_prefix(kPrefix.size());
        return fmt::format("Could not connect to {}:{}: {}", host, port, reason);
    }

    void Connect() {
        // An address is connected to directly, without the client's resolver and proxy steps.
        if (const auto address = Adopt(g_inet_address_new_from_string(host.c_str()))) {
            GError* error = nullptr;
            socket = Adopt(g_socket_new(g_inet_address_get_family(address.get()),
                                        G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error));
            if (socket) {
                g_socket_set_blocking(socket.get(), FALSE);
                const auto target = Adopt(g_inet_socket_address_new(address.get(), port));
                if (g_socket_connect(socket.get(), target.get(), nullptr, &error) ||
                    g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PENDING)) {
                    g_clear_error(&error);
                    WaitFor(G_IO_OUT, [](Impl& self) { self.ConnectDone(); });
                    return;
                }
            }
            FinishSoon(Outcome::kUnreachable, ConnectError(error));
            g_clear_error(&error);
            return;
        }
        if (!client) {
            client = Adopt(g_socket_client_new());
            g_socket_client_set_enable_proxy(client.get(), FALSE);
        }
        // The callback holds a share: the context may run it after the check was dropped.
        g_socket_client_connect_to_host_async(
            client.get(), host.c_str(), port, cancellable.get(),
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Impl>> share(
                    static_cast<std::shared_ptr<Impl>*>(data));
                GError* error = nullptr;
                auto connection = Adopt(g_socket_client_connect_to_host_finish(
                    G_SOCKET_CLIENT(source), result, &error));
                (*share)->Connected(std::move(connection), error);
                g_clear_error(&error);
            },
            new std::shared_ptr<Impl>(shared_from_this()));
    }

    void ConnectDone() {
        GError* error = nullptr;
        if (!g_socket_check_connect_result(socket.get(), &error)) {
            std::string reason = ConnectError(error);
            g_clear_error(&error);
            Finish(Outcome::kUnreachable, std::move(reason));
            return;
        }
        Connected();
    }

    void Connected(GRef<GSocketConnection> conn, GError* error) {
        if (!done || g_cancellable_is_cancelled(cancellable.get()))
            return;
        if (!conn) {
            Finish(Outcome::kUnreachable, ConnectError(error));
            return;
        }
        connection = std::move(conn);
        socket = gst::Share(g_socket_connection_get_socket(connection.get()));
        g_socket_set_blocking(socket.get(), FALSE);
        Connected();
    }

    void Connected() {
        connected = true;
        WaitFor(G_IO_IN, [](Impl& self) { self.Readable(); });
        Send();
    }

    /// Follows a redirect on the camera's own host (kMaxCameraRedirects at most).
    void Redirect(const std::string& location);

    const char* Method() const { return step == Step::kOptions ? "OPTIONS" : "DESCRIBE"; }

    void Send() {
        std::string request = fmt::format("{} {} RTSP/1.0\r\nCSeq: {}\r\nUser-Agent: tavrel\r\n",
                                          Method(), uri, ++cseq);
        if (step == Step::kDescribe)
            request += "Accept: application/sdp\r\n";
        // A digest covers the method and URI: it is made for each request.
        if (!challenge.empty())
            request += fmt::format(
                "Authorization: {}\r\n",
                CameraAnswer::Authorization(challenge, Method(), uri, *user, *password));
        request += "\r\n";
        // A request is a few hundred bytes: a fresh connection's send buffer takes it whole.
        GError* error = nullptr;
        const gssize sent =
            g_socket_send(socket.get(), request.data(), request.size(), nullptr, &error);
        if (sent != static_cast<gssize>(request.size())) {
            std::string reason = error != nullptr ? error->message : "the request was cut short";
            g_clear_error(&error);
            Finish(Outcome::kUnreachable, fmt::format("sending {}: {}", Method(), reason));
        }
    }

    /// Reads what came and acts on a complete answer.
    void Readable() {
        std::array<char, kReadChunk> chunk{};
        GError* error = nullptr;
        const gssize n =
            g_socket_receive(socket.get(), chunk.data(), chunk.size(), nullptr, &error);
        if (n < 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
            g_clear_error(&error);
            return;
        }
        if (n <= 0) {
            std::string reason = error != nullptr
                                     ? fmt::format("reading the answer: {}", error->message)
                                     : "the camera closed the connection without answering";
            g_clear_error(&error);
            Finish(Outcome::kFailed, std::move(reason));
            return;
        }
        in.append(chunk.data(), static_cast<std::size_t>(n));
        Answer answer;
        std::string fault;
        if (Parse(answer, fault)) {
            Handle(answer);
        } else if (!fault.empty()) {
            Finish(Outcome::kFailed, std::move(fault));
        }
    }

    /// True with a complete answer (taken out of `in`); false with `fault` set past a limit, or
    /// false with `fault` empty while the answer is incomplete.
    bool Parse(Answer& answer, std::string& fault) {
        auto headerEnd = in.find("\r\n\r\n");
        std::size_t separator = 4;
        if (const auto bare = in.find("\n\n"); bare < headerEnd) {
            headerEnd = bare;
            separator = 2;
        }
        if (headerEnd == std::string::npos) {
            if (in.size() > kMaxCameraReplyHeaderBytes)
                fault =
                    fmt::format("the answer's headers exceed {} bytes", kMaxCameraReplyHeaderBytes);
            return false;
        }
        if (headerEnd + separator > kMaxCameraReplyHeaderBytes) {
            fault = fmt::format("the answer's headers exceed {} bytes", kMaxCameraReplyHeaderBytes);
            return false;
        }
        std::string_view headers(in.data(), headerEnd);
        std::size_t contentLength = 0;
        std::size_t lines = 0;
        bool first = true;
        while (!headers.empty()) {
            const auto end = headers.find('\n');
            const auto line = Trim(headers.substr(0, end));
            headers.remove_prefix(end == std::string_view::npos ? headers.size() : end + 1);
            if (++lines > kMaxCameraReplyHeaderLines) {
                fault = fmt::format("the answer has more than {} header lines",
                                    kMaxCameraReplyHeaderLines);
                return false;
            }
            if (first) {
                first = false;
                // RTSP/1.0 200 OK
                if (!line.starts_with("RTSP/") || line.size() < 12) {
                    fault = "the camera's answer is not RTSP";
                    return false;
                }
                const auto code = line.substr(9, 3);
                if (std::from_chars(code.data(), code.data() + code.size(), answer.status).ec !=
                    std::errc{}) {
                    fault = "the camera's answer is not RTSP";
                    return false;
                }
                answer.reason = Trim(line.substr(12));
                continue;
            }
            const auto colon = line.find(':');
            if (colon == std::string_view::npos)
                continue;
            const auto name = Trim(line.substr(0, colon));
            const auto value = Trim(line.substr(colon + 1));
            if (EqualsNoCase(name, "Content-Length")) {
                std::uint64_t length = 0;
                const auto [ptr, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), length);
                if (ec != std::errc{} || length > kMaxCameraReplyBodyBytes) {
                    fault = fmt::format("the answer announces a body larger than {} bytes",
                                        kMaxCameraReplyBodyBytes);
                    return false;
                }
                contentLength = static_cast<std::size_t>(length);
            } else if (EqualsNoCase(name, "WWW-Authenticate")) {
                answer.challenges.emplace_back(value);
            } else if (EqualsNoCase(name, "Location")) {
                answer.location = value;
            }
        }
        const std::size_t bodyStart = headerEnd + separator;
        if (in.size() < bodyStart + contentLength)
            return false;
        answer.body = in.substr(bodyStart, contentLength);
        in.erase(0, bodyStart + contentLength);
        return true;
    }

    /// Acts on a complete answer: the next request, or the end of the check.
    void Handle(const Answer& answer) {
        if (answer.status == 401) {
            const bool haveCredentials = user && password;
            if (authTried || !haveCredentials) {
                Finish(Outcome::kUnauthorized,
                       haveCredentials
                           ? fmt::format("{} answered 401: credentials refused", Method())
                           : fmt::format("{} answered 401: no credentials configured", Method()));
                return;
            }
            // Digest where the camera offers it, as rtspsrc prefers it.
            const auto digest = std::find_if(
                answer.challenges.begin(), answer.challenges.end(),
                [](const std::string& c) { return EqualsNoCase(c.substr(0, 6), "Digest"); });
            const std::string chosen = digest != answer.challenges.end() ? *digest
                                       : answer.challenges.empty()       ? std::string{"Basic"}
                                                                   : answer.challenges.front();
            if (CameraAnswer::Authorization(chosen, Method(), uri, *user, *password).empty()) {
                Finish(Outcome::kUnauthorized,
                       fmt::format("{} answered 401 with an unknown scheme", Method()));
                return;
            }
            challenge = chosen;
            authTried = true;
            Send();
            return;
        }
        authTried = false;
        if (answer.status / 100 == 3 && !answer.location.empty()) {
            Redirect(answer.location);
            return;
        }
        if (step == Step::kOptions) {
            // A camera that knows no OPTIONS may still describe its stream.
            step = Step::kDescribe;
            Send();
            return;
        }
        if (answer.status / 100 != 2) {
            Finish(Outcome::kFailed,
                   fmt::format("DESCRIBE answered {} {}", answer.status, answer.reason));
            return;
        }
        codec = CameraAnswer::VideoCodec(answer.body);
        Finish(Outcome::kAnswering);
    }
};

void CameraCheck::Impl::Redirect(const std::string& location) {
    if (++redirects > kMaxCameraRedirects) {
        Finish(Outcome::kFailed, fmt::format("more than {} redirects", kMaxCameraRedirects));
        return;
    }
    GstRTSPUrl* parsed = nullptr;
    if (gst_rtsp_url_parse(location.c_str(), &parsed) != GST_RTSP_OK || parsed == nullptr ||
        parsed->host == nullptr || host != parsed->host) {
        if (parsed != nullptr)
            gst_rtsp_url_free(parsed);
        Finish(Outcome::kFailed, "redirected to another host");
        return;
    }
    guint16 newPort = 0;
    port = gst_rtsp_url_get_port(parsed, &newPort) == GST_RTSP_OK && newPort != 0 ? newPort : 554;
    gchar* requestUri = gst_rtsp_url_get_request_uri(parsed);
    uri = requestUri != nullptr ? requestUri : location;
    g_free(requestUri);
    gst_rtsp_url_free(parsed);
    // A new connection to the new place, from OPTIONS on; the deadline runs on.
    if (ioSource) {
        g_source_destroy(ioSource.get());
        ioSource.reset();
    }
    Disconnect();
    connected = false;
    in.clear();
    step = Step::kOptions;
    challenge.clear();
    Connect();
}

CameraCheck::CameraCheck(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

CameraCheck::~CameraCheck() {
    impl_->done = nullptr;
    impl_->Close();
}

std::unique_ptr<CameraCheck> CameraCheck::Start(GMainContext* context,
                                                const CameraCheckTarget& target, Done done,
                                                std::chrono::milliseconds deadline) {
    auto impl = std::make_shared<Impl>();
    impl->context = Adopt(g_main_context_ref(context));
    impl->done = std::move(done);
    GstRTSPUrl* parsed = nullptr;
    if (gst_rtsp_url_parse(target.url.c_str(), &parsed) != GST_RTSP_OK || parsed == nullptr ||
        parsed->host == nullptr) {
        if (parsed != nullptr)
            gst_rtsp_url_free(parsed);
        // Told on the context like any other result: the caller's state is consistent then.
        impl->FinishSoon(Outcome::kFailed, "the camera's URL cannot be read");
        return std::unique_ptr<CameraCheck>(new CameraCheck(impl));
    }
    impl->host = parsed->host;
    guint16 port = 0;
    impl->port = gst_rtsp_url_get_port(parsed, &port) == GST_RTSP_OK && port != 0 ? port : 554;
    gchar* uri = gst_rtsp_url_get_request_uri(parsed);
    impl->uri = uri != nullptr ? uri : target.url;
    g_free(uri);
    if (target.user && target.password) {
        impl->user = target.user;
        impl->password = target.password;
    } else if (parsed->user != nullptr && parsed->passwd != nullptr) {
        impl->user = parsed->user;
        impl->password = parsed->passwd;
    }
    gst_rtsp_url_free(parsed);

    auto check = std::unique_ptr<CameraCheck>(new CameraCheck(impl));
    impl->Begin(deadline);
    return check;
}

}  // namespace Norvane::Tavrel
