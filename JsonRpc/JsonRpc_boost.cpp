#include "JsonRpc/JsonRpc_boost.h"

#include <sys/mman.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include <spdlog/spdlog.h>
#include <boost/json/parser.hpp>
#include <boost/json/serializer.hpp>
#include <boost/json/value_from.hpp>
#include <boost/json/value_to.hpp>
#include <boost/system/system_error.hpp>

namespace JsonRpc {

namespace {

namespace json = boost::json;

[[noreturn]] void Fail(json::error code, const char* what) {
    throw boost::system::system_error(json::make_error_code(code), what);
}

const json::object& AsObject(const json::value& jv, const char* what) {
    if (!jv.is_object())
        Fail(json::error::not_object, what);
    return jv.get_object();
}

const json::value& Required(const json::object& obj, std::string_view key, const char* what) {
    const json::value* member = obj.if_contains(key);
    if (member == nullptr)
        Fail(json::error::not_found, what);
    return *member;
}

std::string_view AsString(const json::value& jv, const char* what) {
    if (!jv.is_string())
        Fail(json::error::not_string, what);
    return jv.get_string();
}

// 2^63 and 2^64 are exact doubles; every double below them that is integral fits.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

std::uint64_t ToUint64(const json::value& jv, const char* what) {
    switch (jv.kind()) {
        case json::kind::uint64:
            return jv.get_uint64();
        case json::kind::int64:
            if (jv.get_int64() >= 0)
                return static_cast<std::uint64_t>(jv.get_int64());
            break;
        case json::kind::double_: {
            const double d = jv.get_double();
            if (d >= 0.0 && d < kTwoPow64 && std::trunc(d) == d)
                return static_cast<std::uint64_t>(d);
            break;
        }
        default:
            Fail(json::error::not_number, what);
    }
    Fail(json::error::not_exact, what);
}

std::int64_t ToInt64(const json::value& jv, const char* what) {
    switch (jv.kind()) {
        case json::kind::int64:
            return jv.get_int64();
        case json::kind::uint64:
            if (jv.get_uint64() <=
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return static_cast<std::int64_t>(jv.get_uint64());
            break;
        case json::kind::double_: {
            const double d = jv.get_double();
            if (d >= -kTwoPow63 && d < kTwoPow63 && std::trunc(d) == d)
                return static_cast<std::int64_t>(d);
            break;
        }
        default:
            Fail(json::error::not_number, what);
    }
    Fail(json::error::not_exact, what);
}

// Parses one document onto `storage` with the default options (depth 32, strict). The parser's
// temporary stack lives on this thread's stack and is as large as the arena, so a document whose
// value fits in the arena needs no heap for parsing either.
json::value ParseOn(std::string_view text, boost::system::error_code& ec,
                    json::storage_ptr storage) {
    unsigned char temp[JsonBuffer::kRegionSize];
    json::parser parser(json::storage_ptr(), json::parse_options{}, temp, sizeof temp);
    parser.reset(std::move(storage));
    parser.write(text.data(), text.size(), ec);
    if (ec)
        return nullptr;
    return parser.release();
}

void PutRaw(json::object& obj, std::string_view key, const Raw& raw) {
    json::value& slot = obj.emplace(key, nullptr).first->value();
    tag_invoke(json::value_from_tag{}, slot, raw);
}

json::storage_ptr StorageOf(const JsonBufferPtr& buffer) {
    return buffer ? buffer->Storage() : json::storage_ptr{};
}

template <class Message>
Outcome<Message> Parse(std::string_view text, const JsonBufferPtr& buffer, const char* kind) {
    try {
        // Our own handle: dropping it at the end empties the arena, after `document` is gone.
        const JsonBufferPtr hold = buffer;
        boost::system::error_code ec;
        json::value document = ParseOn(text, ec, StorageOf(hold));
        if (ec) {
            SPDLOG_WARN("JsonRpc Invalid {} ({} bytes): {}", kind, text.size(), ec.message());
            return ec;
        }
        return json::value_to<Message>(document);
    } catch (const JsonRpcVersion::WrongVersion& e) {
        SPDLOG_WARN("JsonRpc Invalid {} ({} bytes): wrong version \"{}\"", kind, text.size(),
                    e.what());
        return std::current_exception();
    } catch (const std::exception& e) {
        SPDLOG_WARN("JsonRpc Invalid {} ({} bytes): {}", kind, text.size(), e.what());
        return std::current_exception();
    }
}

// Serializes `value` into one string of its exact size. Boost.JSON's own `serialize` reads
// through a stack buffer of BOOST_JSON_STACK_BUFFER_SIZE bytes, which is 256 off x86: longer text
// then grows the string step by step and the serializer keeps its resume state on the heap. Here
// the serializer writes into a buffer as large as the arena, so that a message whose value fits
// the arena costs exactly one allocation, the returned string, on every architecture.
std::string SerializeValue(const json::value& value) {
    char chunk[JsonBuffer::kRegionSize];
    json::serializer serializer;
    serializer.reset(&value);
    const json::string_view first = serializer.read(chunk, sizeof chunk);
    if (serializer.done())
        return std::string(first.data(), first.size());
    // Longer than the arena: rare, and the copies it takes are acceptable there.
    std::string text(first.data(), first.size());
    while (!serializer.done()) {
        const json::string_view more = serializer.read(chunk, sizeof chunk);
        text.append(more.data(), more.size());
    }
    return text;
}

template <class Message>
std::string Build(const Message& message, const JsonBufferPtr& buffer) {
    const JsonBufferPtr hold = buffer;
    json::value document(StorageOf(hold));
    tag_invoke(json::value_from_tag{}, document, message);
    return SerializeValue(document);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Raw payload

Raw ToRaw(const json::value& value) {
    return Raw{CowString(SerializeValue(value))};
}

Result<json::value> FromRaw(const std::optional<Raw>& raw, json::storage_ptr storage) {
    if (!raw || raw->text.empty())
        return json::value(nullptr, std::move(storage));
    boost::system::error_code ec;
    json::value value = ParseOn(raw->text.view(), ec, std::move(storage));
    if (ec)
        return ec;
    return value;
}

void tag_invoke(json::value_from_tag, json::value& jv, const Raw& raw) {
    if (raw.text.empty()) {
        jv = nullptr;
        return;
    }
    boost::system::error_code ec;
    json::value parsed = ParseOn(raw.text.view(), ec, jv.storage());
    if (ec)
        throw boost::system::system_error(ec, "JSON payload");
    jv = std::move(parsed);
}

Raw tag_invoke(json::value_to_tag<Raw>, const json::value& jv) {
    return ToRaw(jv);
}

// ---------------------------------------------------------------------------------------------
// Version tag

void tag_invoke(json::value_from_tag, json::value& jv, const JsonRpcVersion&) {
    jv = json::string_view(JsonRpcVersion::kText.data(), JsonRpcVersion::kText.size());
}

JsonRpcVersion tag_invoke(json::value_to_tag<JsonRpcVersion>, const json::value& jv) {
    const std::string_view text = AsString(jv, "\"jsonrpc\"");
    if (text != JsonRpcVersion::kText)
        throw JsonRpcVersion::WrongVersion(std::string(text));
    return {};
}

// ---------------------------------------------------------------------------------------------
// Request

void tag_invoke(json::value_from_tag, json::value& jv, const Request& request) {
    json::object& obj = jv.emplace_object();
    obj.reserve(4);
    tag_invoke(json::value_from_tag{}, obj.emplace("jsonrpc", nullptr).first->value(),
               request.jsonrpc);
    obj.emplace("method", request.method);
    if (request.id)
        obj.emplace("id", *request.id);
    if (request.params)
        PutRaw(obj, "params", *request.params);
}

Request tag_invoke(json::value_to_tag<Request>, const json::value& jv) {
    const json::object& obj = AsObject(jv, "request");
    Request request;
    request.jsonrpc = json::value_to<JsonRpcVersion>(Required(obj, "jsonrpc", "\"jsonrpc\""));
    request.method = AsString(Required(obj, "method", "\"method\""), "\"method\"");
    if (const json::value* id = obj.if_contains("id"))
        request.id = ToUint64(*id, "\"id\"");
    if (const json::value* params = obj.if_contains("params"))
        request.params = ToRaw(*params);
    return request;
}

// ---------------------------------------------------------------------------------------------
// Response

void tag_invoke(json::value_from_tag, json::value& jv, const Response::Error& error) {
    json::object& obj = jv.emplace_object();
    obj.reserve(3);
    obj.emplace("code", error.code);
    obj.emplace("message", error.message);
    if (error.data)
        PutRaw(obj, "data", *error.data);
}

Response::Error tag_invoke(json::value_to_tag<Response::Error>, const json::value& jv) {
    const json::object& obj = AsObject(jv, "\"error\"");
    Response::Error error;
    error.code = ToInt64(Required(obj, "code", "\"code\""), "\"code\"");
    error.message = AsString(Required(obj, "message", "\"message\""), "\"message\"");
    if (const json::value* data = obj.if_contains("data"))
        error.data = ToRaw(*data);
    return error;
}

void tag_invoke(json::value_from_tag, json::value& jv, const Response& response) {
    json::object& obj = jv.emplace_object();
    obj.reserve(3);
    tag_invoke(json::value_from_tag{}, obj.emplace("jsonrpc", nullptr).first->value(),
               response.jsonrpc);
    obj.emplace("id", response.id);
    if (const auto* error = std::get_if<Response::Error>(&response.body))
        tag_invoke(json::value_from_tag{}, obj.emplace("error", nullptr).first->value(), *error);
    else if (const auto* result = std::get_if<Raw>(&response.body))
        PutRaw(obj, "result", *result);
}

Response tag_invoke(json::value_to_tag<Response>, const json::value& jv) {
    const json::object& obj = AsObject(jv, "response");
    Response response;
    response.id = ToUint64(Required(obj, "id", "\"id\""), "\"id\"");
    if (const json::value* error = obj.if_contains("error"))
        response.body.emplace<Response::Error>(json::value_to<Response::Error>(*error));
    else if (const json::value* result = obj.if_contains("result"))
        response.body.emplace<Raw>(ToRaw(*result));
    return response;
}

Response MakeErrorResponse(std::uint64_t id, const boost::system::error_code& error) {
    Response response;
    response.id = id;
    response.body.emplace<Response::Error>(Response::Error{error.value(), error.message(), {}});
    return response;
}

// ---------------------------------------------------------------------------------------------
// JsonBuffer

JsonBuffer::JsonBuffer(unsigned char* region) noexcept
    : region_(region), resource_(region, kRegionSize) {}

JsonBuffer::~JsonBuffer() {
    resource_.release();
    ::munmap(region_, kRegionSize);
}

JsonBufferPtr JsonBuffer::Create() {
    void* region =
        ::mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        const int error = errno;
        SPDLOG_ERROR("mmapping JsonBuffer failed: {}", std::strerror(error));
        throw std::runtime_error("mmapping JsonBuffer failed");
    }
    JsonBuffer* buffer = nullptr;
    try {
        buffer = new JsonBuffer(static_cast<unsigned char*>(region));
    } catch (...) {
        ::munmap(region, kRegionSize);
        throw;
    }
    // The new buffer's count of 1 is the handle's.
    return JsonBufferPtr(buffer, false);
}

void JsonBuffer::Reset() noexcept {
    // monotonic_resource::release() frees the overflow but keeps the size of its next heap block,
    // which doubles with every overflow: a buffer fed one large message after another would ask
    // for ever larger blocks until allocation fails. A fresh resource starts from the region and
    // the initial growth again.
    std::destroy_at(&resource_);
    std::construct_at(&resource_, region_, kRegionSize);
}

json::storage_ptr JsonBuffer::Storage() noexcept {
    // Non-owning; the monotonic resource's deallocation is trivial, so containers skip it.
    return json::storage_ptr(&resource_);
}

std::span<const unsigned char> JsonBuffer::Region() const noexcept {
    return {region_, kRegionSize};
}

void intrusive_ptr_add_ref(JsonBuffer* buffer) noexcept {
    ++buffer->count_;
}

void intrusive_ptr_release(JsonBuffer* buffer) noexcept {
    buffer->Reset();
    if (--buffer->count_ == 0)
        delete buffer;
}

// ---------------------------------------------------------------------------------------------
// Whole messages

Outcome<Request> ParseRequest(std::string_view text, const JsonBufferPtr& buffer) noexcept {
    return Parse<Request>(text, buffer, "request");
}

Outcome<Response> ParseResponse(std::string_view text, const JsonBufferPtr& buffer) noexcept {
    return Parse<Response>(text, buffer, "response");
}

std::string Serialize(const Request& request, const JsonBufferPtr& buffer) {
    return Build(request, buffer);
}

std::string Serialize(const Response& response, const JsonBufferPtr& buffer) {
    return Build(response, buffer);
}

std::string SerializeResponse(const Response& response, const JsonBufferPtr& buffer) {
    const Raw* result = std::get_if<Raw>(&response.body);
    if (result == nullptr)
        return Serialize(response, buffer);

    static constexpr std::string_view kHead = R"({"jsonrpc":"2.0","id":)";
    static constexpr std::string_view kMiddle = R"(,"result":)";
    const std::string_view payload = result->text.empty() ? "null" : result->text.view();
    char id[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto idEnd = std::to_chars(std::begin(id), std::end(id), response.id).ptr;

    std::string text;
    text.reserve(kHead.size() + (idEnd - id) + kMiddle.size() + payload.size() + 1);
    text.append(kHead).append(id, idEnd).append(kMiddle).append(payload).push_back('}');
    return text;
}

}  // namespace JsonRpc
