#pragma once

// A camera's control connection, bounded: every byte the camera sends on it passes a reader of
// the RTSP framing (CameraAnswerReader) on its way to rtspsrc's RTSP connection, which stops at
// the limits of CameraLimits.h. The reader sits in the connection itself: GIO's proxy machinery
// hands the camera's TCP stream, right after it connected, to a proxy of ours that wraps its
// input and returns it (no extra hop, no extra thread, no copy; interleaved RTP is only counted
// past). A breach shuts the connection down before the bytes past the limit are handed on, so
// the RTSP connection's read fails and the media with it.

#include "Tavrel/RtspServer/CameraFaults.h"

#include <gst/gst.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Norvane::Tavrel {

/// What breached the limits of a camera's answer.
enum class AnswerBreach : std::uint8_t {
    kNone,
    kHeaderBytes,        ///< status line and headers larger than kMaxCameraReplyHeaderBytes
    kHeaderLines,        ///< more than kMaxCameraReplyHeaderLines header lines
    kBody,               ///< a Content-Length above kMaxCameraReplyBodyBytes
    kSdp,                ///< the same, of an SDP
    kRedirectElsewhere,  ///< a 3xx answer whose Location names another host
    kTooManyRedirects,   ///< more than kMaxCameraRedirects redirects to the camera's own host
};

/// The fault a breach is logged as.
CameraFault FaultOf(AnswerBreach breach);

/// Follows the RTSP framing of what a camera sends on its control connection (answers,
/// requests and interleaved data) as rtspsrc's RTSP connection reads it, byte for byte, and
/// stops at the limits. Holds no bytes of its own but the current header line (bounded by the
/// header limit). Not thread-safe: one reader per connection, used by its reading thread.
class CameraAnswerReader {
public:
    /// `host`: the camera's host, the only one a redirect may lead to. `redirects`: the
    /// redirects followed so far in this attempt, shared by its connections (nullptr: this
    /// connection's own count).
    explicit CameraAnswerReader(std::string host,
                                std::shared_ptr<std::atomic<int>> redirects = nullptr);

    /// Looks at the next `size` bytes from the camera; returns how many of them may be passed
    /// on: all, or after a breach those before the byte that breached a limit (none after it).
    std::size_t Pass(const std::uint8_t* data, std::size_t size);

    AnswerBreach Breach() const { return breach_; }
    /// What breached, for the log: a size, a count or the other host.
    const std::string& Detail() const { return detail_; }
    /// Shares the attempt's redirect count from now on.
    void ShareRedirects(std::shared_ptr<std::atomic<int>> redirects);
    /// The first bytes written on the connection were a TLS record (a camera spoken to over
    /// TLS): what it sends is the TLS layer's to read, which bounds its records itself, and the
    /// reader lets it pass. Without effect once something was read.
    void TlsAbove();

private:
    enum class State : std::uint8_t {
        kStart,
        kDataHeader,
        kData,
        kLine,
        kCr,
        kLf,
        kCrLf,
        kCrLfCr,
        kBody,
        kOpaque,
        kBroken
    };

    bool HeaderByte(std::uint8_t c);
    bool LineByte(std::uint8_t c);
    bool EndLine(std::uint8_t pending);
    bool EndHeaders();
    bool CompleteLine();
    bool Fail(AnswerBreach breach, std::string detail);

    const std::string host_;
    std::shared_ptr<std::atomic<int>> redirects_;
    State state_ = State::kStart;
    bool first_ = true;  // nothing read yet on this connection
    AnswerBreach breach_ = AnswerBreach::kNone;
    std::string detail_;
    // The message being read.
    std::size_t headerBytes_ = 0;
    std::size_t lines_ = 0;  // complete lines, the first (status or request) line included
    std::string line_;
    int status_ = 0;                          // of an answer; 0: a request
    std::int64_t contentLength_ = -1;         // the first Content-Length; -1: none
    std::uint64_t largestContentLength_ = 0;  // of every Content-Length line
    bool sdp_ = false;
    std::string location_;
    std::uint64_t remaining_ = 0;  // of a body or an interleaved packet
    std::uint8_t dataHeader_[3] = {};
    std::size_t dataHeaderBytes_ = 0;
};

/// Makes GIO hand every connection made by an rtsp:// URI (rtspsrc's, also for rtsps://
/// cameras, whose TLS records then pass unread) to the bounded reader, once per process; true
/// when it is in place. Must run before the process's first connection by URI (GIO settles on
/// its proxy resolver then); later it fails with one error line. URIs of other schemes connect
/// directly.
bool BoundCameraConnections();

/// Ties the connections `source` (an rtspsrc pulling the camera at `path`) makes from now on
/// to the camera: their faults are logged with `path`, and their redirects count together.
void WatchCameraConnections(GstElement* source, const char* path);

}  // namespace Norvane::Tavrel
