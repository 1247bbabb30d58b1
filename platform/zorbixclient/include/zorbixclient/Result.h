#pragma once

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <string>
#include <utility>

#include "zorbixclient/Error.h"

namespace Norvane::zorbixclient {

/// The outcome of an operation without a value (connect, disconnect).
class Result : public Error {
public:
    /// A success.
    Result() = default;
    /// The outcome of an operation that completed with `ec`; its numeric code is ec's value.
    explicit Result(const boost::system::error_code& ec);
    /// A failure reported by the device stack itself.
    Result(std::int64_t code, std::string message);
    /// A failure with a system error code and an explaining text.
    Result(const boost::system::error_code& ec, std::string message);
};

/// The outcome of a request: a `Result` and, on success, the reply value.
template <typename T>
class TRresult : public Result {
public:
    /// A success carrying `value`.
    explicit TRresult(T value) : value_(std::move(value)) {}
    /// A failure (`failure` must have failed); the value is default-constructed.
    explicit TRresult(Result failure) : Result(std::move(failure)) {}

    /// The reply value (default-constructed on failure).
    T& Value() & { return value_; }
    /// The reply value (default-constructed on failure).
    const T& Value() const& { return value_; }

private:
    T value_{};
};

}  // namespace Norvane::zorbixclient
