#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Norvane::Tavrel {

/// Open RTSP connections at most, over all peers. Five playing clients, their players' second
/// connections and a few idle ones fit several times; the process keeps far below its
/// descriptor limit (1024 on the target) for cameras and pipelines.
inline constexpr std::size_t kMaxConnections = 32;
/// Open RTSP connections at most from one peer address. Internal users may play all five
/// streams from one address (the server itself), so a few more than that.
inline constexpr std::size_t kMaxConnectionsPerAddress = 8;
/// Connections the kernel queues until the server's loop takes them.
inline constexpr int kListenBacklog = 64;
/// Largest request body taken from a client; RTSP requests of a player carry none or a few
/// lines of parameters.
inline constexpr std::size_t kMaxRequestBody = 4096;
/// Bytes of one request (head and body) that a connection may send before it is complete; a
/// connection with more pending is cut off at the next check (the body alone is refused at
/// kMaxRequestBody by the library itself).
inline constexpr std::size_t kMaxPendingRequest = 16384;
/// Time a connection has to complete its first authenticated request.
inline constexpr std::chrono::seconds kAuthDeadline{10};
/// Time an authenticated connection may take to complete a request it began.
inline constexpr std::chrono::seconds kPartialRequestDeadline{10};
/// Failed authentications one peer address gets before it is slowed down.
inline constexpr unsigned kFreeAuthFailures = 3;
/// Failed authentications after which a connection is closed.
inline constexpr unsigned kMaxAuthFailuresPerConnection = 3;
/// The first wait of a peer address beyond its free failures; it doubles with every further
/// failure, up to the longest wait.
inline constexpr std::chrono::seconds kFirstAuthBackoff{1};
inline constexpr std::chrono::seconds kLongestAuthBackoff{60};
/// A peer address whose last failure is this old starts afresh.
inline constexpr std::chrono::minutes kAuthFailureMemory{10};
/// Peer addresses with failures remembered at most; the one with the oldest failure goes first.
inline constexpr std::size_t kMaxTrackedAddresses = 256;
/// At most one warning line of each kind per this interval.
inline constexpr std::chrono::seconds kWarnInterval{1};

/// The limits of the RTSP front door (the defaults above; tests shorten the times).
struct FrontDoorLimits {
    std::size_t maxConnections{kMaxConnections};
    std::size_t maxConnectionsPerAddress{kMaxConnectionsPerAddress};
    std::size_t maxRequestBody{kMaxRequestBody};
    std::size_t maxPendingRequest{kMaxPendingRequest};
    std::chrono::milliseconds authDeadline{kAuthDeadline};
    std::chrono::milliseconds partialRequestDeadline{kPartialRequestDeadline};
    unsigned freeAuthFailures{kFreeAuthFailures};
    unsigned maxAuthFailuresPerConnection{kMaxAuthFailuresPerConnection};
    std::chrono::milliseconds firstAuthBackoff{kFirstAuthBackoff};
    std::chrono::milliseconds longestAuthBackoff{kLongestAuthBackoff};
    std::chrono::milliseconds authFailureMemory{kAuthFailureMemory};
    std::size_t maxTrackedAddresses{kMaxTrackedAddresses};
};

/// Counts events of one kind and writes at most one warning line per kWarnInterval, with the
/// number of events since the last line and the peer of the last one. Not locked by itself: its
/// owner's lock is held around every call (hence ...Locked).
class RateLimitedWarning {
public:
    /// `what` is the text after the count, e.g. "RTSP connections refused".
    explicit RateLimitedWarning(std::string what) : what_(std::move(what)) {}
    /// Counts one event; writes the line when the last one is at least kWarnInterval old.
    void NoteLocked(std::string_view peer, std::string_view reason,
                    std::chrono::steady_clock::time_point now);
    /// Writes the events counted since the last line, if the interval has passed.
    void FlushLocked(std::chrono::steady_clock::time_point now);

private:
    void WriteLocked(std::chrono::steady_clock::time_point now);

    std::string what_;
    std::size_t count_{0};
    std::string lastPeer_;
    std::string lastReason_;
    std::chrono::steady_clock::time_point lastWrite_{};
};

/// What the server knows about its peers beyond the connections themselves: the failed
/// authentications of each peer address and its back-off, and the warnings about refused and
/// failed peers. Thread-safe; called from the server's loop and the library's client threads.
class FrontDoor {
public:
    using Clock = std::chrono::steady_clock;

    explicit FrontDoor(const FrontDoorLimits& limits) : limits_(limits) {}

    const FrontDoorLimits& Limits() const { return limits_; }

    /// Whether a new connection from `address` is let in, given the connections open in total
    /// and from that address. A refusal is counted for the warning.
    bool AdmitConnection(const std::string& address, std::size_t open, std::size_t openFromAddress,
                         Clock::time_point now);
    /// Counts a failed authentication of `address`; true when the address is waiting now.
    bool AuthFailed(const std::string& address, Clock::time_point now);
    /// Counts a connection closed for want of a (complete) authenticated request.
    void ClosedIdle(const std::string& address, std::string_view reason, Clock::time_point now);
    /// Writes due warnings and forgets addresses whose failures are old.
    void Tick(Clock::time_point now);

private:
    struct Peer {
        unsigned failures{0};
        Clock::time_point lastFailure{};
        Clock::time_point waitUntil{};
    };

    const FrontDoorLimits limits_;
    // The only lock here, and a leaf: taken by the server's threads with none of the server's
    // locks held, and nothing else is taken under it (but spdlog's, for the warnings).
    std::mutex lock_; /* protects peers_, refused_, failed_ and idle_ */
    std::unordered_map<std::string, Peer> peers_;
    RateLimitedWarning refused_{"RTSP connections refused"};
    RateLimitedWarning failed_{"failed RTSP authentications"};
    RateLimitedWarning idle_{"RTSP connections closed without a complete authenticated request"};
};

}  // namespace Norvane::Tavrel
