#include "Tavrel/RtspServer/FrontDoor.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace Norvane::Tavrel {

void RateLimitedWarning::NoteLocked(std::string_view peer, std::string_view reason,
                                    std::chrono::steady_clock::time_point now) {
    ++count_;
    lastPeer_ = peer;
    lastReason_ = reason;
    FlushLocked(now);
}

void RateLimitedWarning::FlushLocked(std::chrono::steady_clock::time_point now) {
    if (count_ > 0 && now - lastWrite_ >= kWarnInterval) {
        WriteLocked(now);
    }
}

void RateLimitedWarning::WriteLocked(std::chrono::steady_clock::time_point now) {
    SPDLOG_WARN("{} {} (last from {}: {})", count_, what_, lastPeer_, lastReason_);
    count_ = 0;
    lastWrite_ = now;
}

bool FrontDoor::AdmitConnection(const std::string& address, std::size_t open,
                                std::size_t openFromAddress, Clock::time_point now) {
    std::lock_guard lock(lock_);
    const char* reason = nullptr;
    if (open >= limits_.maxConnections) {
        reason = "too many connections";
    } else if (openFromAddress >= limits_.maxConnectionsPerAddress) {
        reason = "too many connections from this address";
    } else if (const auto it = peers_.find(address);
               it != peers_.end() && now < it->second.waitUntil) {
        reason = "waiting after failed authentications";
    }
    if (reason == nullptr) {
        return true;
    }
    refused_.NoteLocked(address, reason, now);
    return false;
}

bool FrontDoor::AuthFailed(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(lock_);
    auto it = peers_.find(address);
    if (it == peers_.end()) {
        if (peers_.size() >= limits_.maxTrackedAddresses) {
            peers_.erase(
                std::min_element(peers_.begin(), peers_.end(), [](const auto& a, const auto& b) {
                    return a.second.lastFailure < b.second.lastFailure;
                }));
        }
        it = peers_.emplace(address, Peer{}).first;
    }
    Peer& peer = it->second;
    ++peer.failures;
    peer.lastFailure = now;
    bool waiting = false;
    if (peer.failures > limits_.freeAuthFailures) {
        // 1, 2, 4, ... times the first wait; the shift stays small enough not to overflow.
        const unsigned doublings = std::min(peer.failures - limits_.freeAuthFailures - 1, 20U);
        const std::chrono::milliseconds wait = std::min<std::chrono::milliseconds>(
            limits_.firstAuthBackoff * (1L << doublings), limits_.longestAuthBackoff);
        peer.waitUntil = now + wait;
        waiting = true;
    }
    failed_.NoteLocked(address, waiting ? "waiting now" : "wrong or unknown credentials", now);
    return waiting;
}

void FrontDoor::ClosedIdle(const std::string& address, std::string_view reason,
                           Clock::time_point now) {
    std::lock_guard lock(lock_);
    idle_.NoteLocked(address, reason, now);
}

void FrontDoor::Tick(Clock::time_point now) {
    std::lock_guard lock(lock_);
    refused_.FlushLocked(now);
    failed_.FlushLocked(now);
    idle_.FlushLocked(now);
    std::erase_if(peers_, [&](const auto& entry) {
        return now >= entry.second.waitUntil &&
               now - entry.second.lastFailure >= limits_.authFailureMemory;
    });
}

}  // namespace Norvane::Tavrel
