#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Norvane::zorbixclient {

/// Splits a byte stream into newline-delimited lines with an upper bound on the line length.
/// A line over the bound is reported once (with its first bytes) and skipped up to its end, so
/// the stream stays in step and memory stays bounded.
class LineFramer {
public:
    /// The longest line accepted by default (1 MiB, without the newline).
    static constexpr std::size_t kDefaultMaxLine = 1024 * 1024;
    /// How many leading bytes of an oversized line are reported.
    static constexpr std::size_t kPrefixBytes = 64;

    /// A framer that accepts lines of at most `maxLine` bytes.
    explicit LineFramer(std::size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {}

    /// Feeds received bytes; calls `onLine` for each complete non-empty line (a trailing "\r"
    /// removed) and `onOversized` with the leading bytes of each line over the bound.
    void Feed(std::string_view data, const std::function<void(std::string_view)>& onLine,
              const std::function<void(std::string_view)>& onOversized);
    /// Forgets a partial line (after the connection closed).
    void Reset();
    /// The bound given at construction.
    std::size_t MaxLine() const noexcept { return maxLine_; }

private:
    std::size_t maxLine_;
    std::string partial_;     ///< bytes of the current line received so far
    bool discarding_{false};  ///< skipping the rest of an oversized line
};

}  // namespace Norvane::zorbixclient
