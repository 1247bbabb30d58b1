#pragma once

// JSON-RPC 2.0 messages as typed values, their JSON form (Boost.JSON conversions found by
// argument-dependent lookup) and the text encoding of whole messages over a reusable arena.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include <boost/intrusive_ptr.hpp>
#include <boost/json/conversion.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/outcome/outcome.hpp>
#include <boost/outcome/result.hpp>
#include <boost/system/error_code.hpp>
#include <caf/error.hpp>
#include <caf/meta/load_callback.hpp>
#include <caf/meta/type_name.hpp>
#include <caf/sec.hpp>

#include "JsonRpc/CowString.h"

namespace JsonRpc {

/// A value or a Boost.System error code (`value()` throws `boost::system::system_error`).
template <class T>
using Result = boost::outcome_v2::result<T, boost::system::error_code>;

/// A value, a Boost.System error code, or a caught exception.
template <class T>
using Outcome = boost::outcome_v2::outcome<T, boost::system::error_code, std::exception_ptr>;

/// A JSON value kept as its compact serialised text in a shared copy-on-write string.
/// Copies share the text; an empty text stands for JSON null.
struct Raw {
    /// The serialised JSON text (trusted to be valid JSON when it was made by `ToRaw`).
    CowString text;

    /// Equal texts compare equal.
    bool operator==(const Raw&) const = default;
};

/// Serialises `value` compactly into a new shared string.
Raw ToRaw(const boost::json::value& value);

/// Parses an optional payload (nesting depth limit 32) on `storage`: absent or empty gives
/// JSON null, invalid text gives the parse error code.
Result<boost::json::value> FromRaw(const std::optional<Raw>& raw,
                                   boost::json::storage_ptr storage = {});

/// Puts the payload's text into `jv` as parsed JSON on `jv`'s storage (empty as null); throws
/// `boost::system::system_error` with the parse error for invalid text.
void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const Raw& raw);

/// Serialises any JSON value into a payload.
Raw tag_invoke(boost::json::value_to_tag<Raw>, const boost::json::value& jv);

/// The JSON-RPC version tag: written as "2.0", read only from the string "2.0".
struct JsonRpcVersion {
    /// A version string other than "2.0"; `what()` is the string received.
    class WrongVersion : public std::logic_error {
    public:
        /// `received` is the version string found in the message.
        explicit WrongVersion(const std::string& received) : std::logic_error(received) {}
    };

    /// The only version there is.
    static constexpr std::string_view kText = "2.0";

    /// All tags are equal.
    bool operator==(const JsonRpcVersion&) const = default;
};

/// Writes the string "2.0".
void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const JsonRpcVersion&);

/// Reads the version: a non-string throws the JSON library's not-a-string error, any string
/// other than "2.0" throws `JsonRpcVersion::WrongVersion`.
JsonRpcVersion tag_invoke(boost::json::value_to_tag<JsonRpcVersion>, const boost::json::value& jv);

/// A JSON-RPC request, or a notification when `id` is absent.
struct Request {
    /// Request id; absent for a notification.
    std::optional<std::uint64_t> id;
    /// Method name.
    std::string method;
    /// Parameters, any JSON value.
    std::optional<Raw> params;
    /// Member "jsonrpc".
    [[no_unique_address]] JsonRpcVersion jsonrpc{};

    /// Field by field; payloads by text.
    bool operator==(const Request&) const = default;
};

/// Writes {"jsonrpc":"2.0","method":...,"id":...,"params":...} (id and params when present).
void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const Request& request);

/// Reads a request; throws the JSON library's system errors (missing members, wrong kinds,
/// ids that are not exact unsigned 64-bit numbers) or `JsonRpcVersion::WrongVersion`.
Request tag_invoke(boost::json::value_to_tag<Request>, const boost::json::value& jv);

/// A JSON-RPC response: the id and one of nothing, a result or an error.
struct Response {
    /// The error member of a failed call.
    struct Error {
        /// Error code.
        std::int64_t code{0};
        /// Error text.
        std::string message;
        /// Additional data, any JSON value.
        std::optional<Raw> data;

        /// Field by field; payloads by text.
        bool operator==(const Error&) const = default;
    };

    /// Nothing, a result, or an error, in this order; a new response holds nothing.
    using Body = std::variant<std::monostate, Raw, Error>;

    /// Id of the request answered.
    std::uint64_t id{0};
    /// Result or error.
    Body body;
    /// Member "jsonrpc".
    [[no_unique_address]] JsonRpcVersion jsonrpc{};

    /// Field by field; payloads by text.
    bool operator==(const Response&) const = default;
};

/// Writes {"code":...,"message":...,"data":...} (data when present).
void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const Response::Error& error);

/// Reads an error member; throws the JSON library's system errors on a missing or wrong member
/// and on a code that is not an exact signed 64-bit number.
Response::Error tag_invoke(boost::json::value_to_tag<Response::Error>,
                           const boost::json::value& jv);

/// Writes {"jsonrpc":"2.0","id":...} followed by "error" or "result" as the body holds.
void tag_invoke(boost::json::value_from_tag, boost::json::value& jv, const Response& response);

/// Reads a response ("jsonrpc" is not examined; "error" wins over "result"); throws the JSON
/// library's system errors on a missing or wrong member.
Response tag_invoke(boost::json::value_to_tag<Response>, const boost::json::value& jv);

/// An error response for `id`: code and message of `error` (a `std::error_code` converts, its
/// code becoming value + 1000 * (category address % 2097143)), no data.
Response MakeErrorResponse(std::uint64_t id, const boost::system::error_code& error);

class JsonBuffer;

/// Handle on a JsonBuffer; copies share the buffer.
using JsonBufferPtr = boost::intrusive_ptr<JsonBuffer>;

/// Parse and build arena for one message at a time: a 16384-byte anonymous private mapping with
/// a monotonic resource over it (the default heap resource behind it for anything beyond).
/// Destroying any handle empties the arena; the last one unmaps it. One thread at a time.
class JsonBuffer {
public:
    /// Size of the mapped region.
    static constexpr std::size_t kRegionSize = 0x4000;

    /// Maps a new buffer; the handle returned holds count 1. Throws `std::runtime_error`
    /// "mmapping JsonBuffer failed" when the mapping fails.
    static JsonBufferPtr Create();

    JsonBuffer(const JsonBuffer&) = delete;
    JsonBuffer& operator=(const JsonBuffer&) = delete;

    /// Non-owning storage on the arena; deallocation through it does nothing.
    boost::json::storage_ptr Storage() noexcept;

    /// The mapped region.
    std::span<const unsigned char> Region() const noexcept;

    /// Number of handles sharing the buffer.
    std::size_t UseCount() const noexcept { return count_; }

    /// Adds a handle.
    friend void intrusive_ptr_add_ref(JsonBuffer* buffer) noexcept;
    /// Drops a handle: empties the arena first, deletes the buffer at count 0.
    friend void intrusive_ptr_release(JsonBuffer* buffer) noexcept;

private:
    explicit JsonBuffer(unsigned char* region) noexcept;
    ~JsonBuffer();
    // Frees everything handed out and starts over from the empty region.
    void Reset() noexcept;

    std::size_t count_{1};                      // handles; not atomic
    unsigned char* region_;                     // owned mapping of kRegionSize bytes
    boost::json::monotonic_resource resource_;  // over region_, heap upstream
};

// Whole-message operations hold their own copy of `buffer` for the call and empty its arena
// when they end; a null handle makes them work on the heap instead.

/// Parses one request from `text` on the arena of `buffer`. Never throws: the outcome holds the
/// request, the parse error code, or the caught exception (conversion error, WrongVersion).
/// Writes one warning log line on failure.
Outcome<Request> ParseRequest(std::string_view text, const JsonBufferPtr& buffer) noexcept;

/// Parses one response from `text` on the arena of `buffer`; outcome as for ParseRequest.
Outcome<Response> ParseResponse(std::string_view text, const JsonBufferPtr& buffer) noexcept;

/// Compact JSON text of `request`, built on the arena; throws the parse error of an invalid
/// params payload.
std::string Serialize(const Request& request, const JsonBufferPtr& buffer);

/// Compact JSON text of `response`, built on the arena; throws the parse error of an invalid
/// result or data payload.
std::string Serialize(const Response& response, const JsonBufferPtr& buffer);

/// Compact JSON text of `response`; a result response is written directly as
/// {"jsonrpc":"2.0","id":ID,"result":RESULT} with the payload text unchecked (null when empty),
/// anything else as by Serialize.
std::string SerializeResponse(const Response& response, const JsonBufferPtr& buffer);

// CAF serialisation (0.17 inspector signature), so that messages also cross processes.

/// Raw payload: its text.
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Raw& x) {
    return f(caf::meta::type_name("JsonRpc::Raw"), x.text);
}

/// Version tag: nothing to carry.
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, JsonRpcVersion&) {
    return f(caf::meta::type_name("JsonRpc::JsonRpcVersion"));
}

/// Request: presence flags carry the optionals.
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Request& x) {
    bool hasId = x.id.has_value();
    std::uint64_t id = x.id.value_or(0);
    bool hasParams = x.params.has_value();
    Raw params = x.params.value_or(Raw{});
    return f(caf::meta::type_name("JsonRpc::Request"), hasId, id, x.method, hasParams, params,
             caf::meta::load_callback([&]() -> caf::error {
                 x.id = hasId ? std::optional<std::uint64_t>(id) : std::nullopt;
                 x.params = hasParams ? std::optional<Raw>(std::move(params)) : std::nullopt;
                 return caf::none;
             }));
}

/// Error member: a presence flag carries the optional data.
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Response::Error& x) {
    bool hasData = x.data.has_value();
    Raw data = x.data.value_or(Raw{});
    return f(caf::meta::type_name("JsonRpc::Response::Error"), x.code, x.message, hasData, data,
             caf::meta::load_callback([&]() -> caf::error {
                 x.data = hasData ? std::optional<Raw>(std::move(data)) : std::nullopt;
                 return caf::none;
             }));
}

/// Response: the body's alternative index (0 nothing, 1 result, 2 error) and both alternatives.
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Response& x) {
    std::uint8_t kind = static_cast<std::uint8_t>(x.body.index());
    Raw result = kind == 1 ? std::get<1>(x.body) : Raw{};
    Response::Error error = kind == 2 ? std::get<2>(x.body) : Response::Error{};
    return f(caf::meta::type_name("JsonRpc::Response"), x.id, kind, result, error,
             caf::meta::load_callback([&]() -> caf::error {
                 if (kind == 0)
                     x.body.template emplace<0>();
                 else if (kind == 1)
                     x.body.template emplace<1>(std::move(result));
                 else if (kind == 2)
                     x.body.template emplace<2>(std::move(error));
                 else
                     return caf::make_error(caf::sec::invalid_argument);
                 return caf::none;
             }));
}

}  // namespace JsonRpc
