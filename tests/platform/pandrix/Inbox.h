#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace Norvane::Test {

/// Values handed from actor threads to the test thread.
template <class T>
class Inbox {
public:
    /// Adds a value (any thread).
    void Put(T value) {
        {
            std::lock_guard lock{mutex_};
            values_.push_back(std::move(value));
        }
        cv_.notify_all();
    }

    /// The next value, nothing on time-out.
    std::optional<T> Take(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock{mutex_};
        if (!cv_.wait_for(lock, timeout, [this] { return !values_.empty(); })) {
            return std::nullopt;
        }
        T value = std::move(values_.front());
        values_.pop_front();
        return value;
    }

    /// Number of values waiting.
    std::size_t Size() {
        std::lock_guard lock{mutex_};
        return values_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<T> values_;
};

}  // namespace Norvane::Test
