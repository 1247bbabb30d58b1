#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include "JsonRpc/JsonRpc_boost.h"
#include "LogCapture.h"

namespace {

using JsonRpc::CowString;
using JsonRpc::JsonBuffer;
using JsonRpc::JsonRpcVersion;
using JsonRpc::Raw;
using JsonRpc::Request;
using JsonRpc::Response;
namespace json = boost::json;

Raw R(std::string text) {
    return Raw{CowString(std::move(text))};
}

Response ResultResponse(std::uint64_t id, Raw result) {
    Response response;
    response.id = id;
    response.body = std::move(result);
    return response;
}

Response ErrorResponse(std::uint64_t id, std::int64_t code, std::string message,
                       std::optional<Raw> data = std::nullopt) {
    Response response;
    response.id = id;
    response.body = Response::Error{code, std::move(message), std::move(data)};
    return response;
}

// What a whole-message parse is expected to give.
struct Expect {
    enum class Kind { Value, ParseError, SystemError, WrongVersion } kind;
    json::error code{};        // ParseError, SystemError
    std::string wrongVersion;  // WrongVersion: the text of the exception
};

Expect Ok() {
    return {Expect::Kind::Value, {}, {}};
}
Expect ParseFails(json::error code) {
    return {Expect::Kind::ParseError, code, {}};
}
Expect Throws(json::error code) {
    return {Expect::Kind::SystemError, code, {}};
}
Expect WrongVersion(std::string text) {
    return {Expect::Kind::WrongVersion, {}, std::move(text)};
}

// Checks that `outcome` failed the way `expect` says (or succeeded).
template <class T>
void CheckFailure(const JsonRpc::Outcome<T>& outcome, const Expect& expect) {
    switch (expect.kind) {
        case Expect::Kind::Value:
            ASSERT_TRUE(outcome.has_value());
            return;
        case Expect::Kind::ParseError:
            ASSERT_TRUE(outcome.has_error());
            EXPECT_EQ(outcome.error(), json::make_error_code(expect.code))
                << outcome.error().message();
            return;
        case Expect::Kind::SystemError:
            ASSERT_TRUE(outcome.has_exception());
            try {
                std::rethrow_exception(outcome.exception());
            } catch (const boost::system::system_error& e) {
                EXPECT_EQ(e.code(), json::make_error_code(expect.code)) << e.what();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "unexpected exception " << e.what();
            }
            return;
        case Expect::Kind::WrongVersion:
            ASSERT_TRUE(outcome.has_exception());
            try {
                std::rethrow_exception(outcome.exception());
            } catch (const JsonRpcVersion::WrongVersion& e) {
                EXPECT_EQ(std::string(e.what()), expect.wrongVersion);
                EXPECT_NE(dynamic_cast<const std::logic_error*>(&e), nullptr);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "unexpected exception " << e.what();
            }
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// Reading requests

struct RequestCase {
    std::string text;
    Expect expect;
    Request request{};  // when expect is Value
};

class ReadRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(ReadRequest, GivesRequestOrError) {
    const auto& c = GetParam();
    auto buffer = JsonBuffer::Create();
    auto outcome = JsonRpc::ParseRequest(c.text, buffer);
    CheckFailure(outcome, c.expect);
    if (c.expect.kind == Expect::Kind::Value && outcome.has_value()) {
        EXPECT_EQ(outcome.value(), c.request);
    }
}

constexpr std::uint64_t U64Max = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Ids, ReadRequest,
    ::testing::Values(
        RequestCase{R"({"jsonrpc":"2.0","method":"m"})", Ok(), Request{std::nullopt, "m", {}}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":0})", Ok(), Request{0, "m", {}}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":7})", Ok(), Request{7, "m", {}}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":7.0})", Ok(), Request{7, "m", {}}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":18446744073709551615})", Ok(),
                    Request{U64Max, "m", {}}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":1e19})", Ok(),
                    Request{10000000000000000000ULL, "m", {}}},
        RequestCase{R"({"id":1,"method":"m","jsonrpc":"2.0"})", Ok(), Request{1, "m", {}}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":-1})", Throws(json::error::not_exact)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":1.5})", Throws(json::error::not_exact)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":-2.0})", Throws(json::error::not_exact)},
        // 2^64 as a double, and beyond.
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":18446744073709551616})",
                    Throws(json::error::not_exact)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":1e300})", Throws(json::error::not_exact)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":"7"})", Throws(json::error::not_number)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":null})", Throws(json::error::not_number)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":true})", Throws(json::error::not_number)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","id":[1]})",
                    Throws(json::error::not_number)}));

INSTANTIATE_TEST_SUITE_P(
    VersionAndMembers, ReadRequest,
    ::testing::Values(
        RequestCase{R"({"jsonrpc":"1.0","method":"m"})", WrongVersion("1.0")},
        RequestCase{R"({"jsonrpc":"","method":"m"})", WrongVersion("")},
        RequestCase{R"({"jsonrpc":"2.00","method":"m"})", WrongVersion("2.00")},
        RequestCase{R"({"jsonrpc":2,"method":"m"})", Throws(json::error::not_string)},
        RequestCase{R"({"jsonrpc":2.0,"method":"m"})", Throws(json::error::not_string)},
        RequestCase{R"({"jsonrpc":null,"method":"m"})", Throws(json::error::not_string)},
        RequestCase{R"({"method":"m"})", Throws(json::error::not_found)},
        RequestCase{R"({"jsonrpc":"2.0"})", Throws(json::error::not_found)},
        RequestCase{R"({"jsonrpc":"2.0","method":5})", Throws(json::error::not_string)},
        RequestCase{R"({"jsonrpc":"2.0","method":null})", Throws(json::error::not_string)},
        RequestCase{R"([{"jsonrpc":"2.0","method":"m"}])", Throws(json::error::not_object)},
        RequestCase{R"("m")", Throws(json::error::not_object)},
        RequestCase{R"(null)", Throws(json::error::not_object)},
        // The method name and payloads leave the arena intact, whitespace dropped.
        RequestCase{
            R"({ "jsonrpc" : "2.0", "method" : "Tavrel.Rtsp.GetCameras", "id" : 12,
                        "params" : { "a" : [ 1, 2.5, { "b" : null } ], "c" : "\u00e9" } })",
            Ok(),
            Request{12, "Tavrel.Rtsp.GetCameras", R(R"({"a":[1,2.5E0,{"b":null}],"c":"é"})")}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","params":null})", Ok(),
                    Request{std::nullopt, "m", R("null")}},
        RequestCase{R"({"jsonrpc":"2.0","method":"","params":[]})", Ok(),
                    Request{std::nullopt, "", R("[]")}},
        RequestCase{R"({"jsonrpc":"2.0","method":"m","extra":1})", Ok(),
                    Request{std::nullopt, "m", {}}}));

INSTANTIATE_TEST_SUITE_P(
    MalformedText, ReadRequest,
    ::testing::Values(
        RequestCase{"", ParseFails(json::error::incomplete)},
        RequestCase{"   ", ParseFails(json::error::incomplete)},
        RequestCase{"not json", ParseFails(json::error::syntax)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m")", ParseFails(json::error::incomplete)},
        RequestCase{R"({"jsonrpc":"2.0","meth)", ParseFails(json::error::incomplete)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m"} {})", ParseFails(json::error::extra_data)},
        RequestCase{R"({"jsonrpc":"2.0","method":"m",})", ParseFails(json::error::syntax)},
        RequestCase{R"({"jsonrpc":"2.0", /* c */ "method":"m"})", ParseFails(json::error::syntax)},
        RequestCase{"{\"jsonrpc\":\"2.0\",\"method\":\"\xff\"}", ParseFails(json::error::syntax)},
        RequestCase{"{\"jsonrpc\":\"2.0\",\"method\":\"\xc3\"}", ParseFails(json::error::syntax)},
        RequestCase{std::string(R"({"jsonrpc":"2.0","method":"m"})") + '\0',
                    ParseFails(json::error::extra_data)}));

// Nesting: the message object is level 1, so params may hold 31 more levels.
TEST(ReadRequestDepth, LimitIs32Levels) {
    auto nested = [](int levels) {
        return R"({"jsonrpc":"2.0","method":"m","params":)" + std::string(levels, '[') +
               std::string(levels, ']') + "}";
    };
    auto buffer = JsonBuffer::Create();
    auto ok = JsonRpc::ParseRequest(nested(31), buffer);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok.value().params->text.str(), std::string(31, '[') + std::string(31, ']'));
    CheckFailure(JsonRpc::ParseRequest(nested(32), buffer), ParseFails(json::error::too_deep));
    CheckFailure(JsonRpc::ParseRequest(nested(10000), buffer), ParseFails(json::error::too_deep));
}

TEST(ReadRequestSize, OneMebibyteMessageParsesAndItsTruncationFails) {
    const std::string big(1 << 20, 'x');
    const std::string text = R"({"jsonrpc":"2.0","method":"m","id":1,"params":[")" + big + "\"]}";
    auto buffer = JsonBuffer::Create();
    auto outcome = JsonRpc::ParseRequest(text, buffer);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome.value().params->text.str(), "[\"" + big + "\"]");

    CheckFailure(JsonRpc::ParseRequest(std::string_view(text).substr(0, text.size() - 2), buffer),
                 ParseFails(json::error::incomplete));

    // A mebibyte of small values: far beyond the arena, one operation on the heap.
    std::string numbers = R"({"jsonrpc":"2.0","method":"m","params":[0)";
    while (numbers.size() < (1 << 20))
        numbers += ",1234567";
    numbers += "]}";
    auto many = JsonRpc::ParseRequest(numbers, buffer);
    ASSERT_TRUE(many.has_value());
    EXPECT_EQ(many.value().params->text.size(), numbers.size() - 40);
}

// ---------------------------------------------------------------------------------------------
// Reading responses

struct ResponseCase {
    std::string text;
    Expect expect;
    Response response{};
};

class ReadResponse : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ReadResponse, GivesResponseOrError) {
    const auto& c = GetParam();
    auto buffer = JsonBuffer::Create();
    auto outcome = JsonRpc::ParseResponse(c.text, buffer);
    CheckFailure(outcome, c.expect);
    if (c.expect.kind == Expect::Kind::Value && outcome.has_value()) {
        EXPECT_EQ(outcome.value(), c.response);
    }
}

constexpr std::int64_t I64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64Min = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Body, ReadResponse,
    ::testing::Values(
        ResponseCase{R"({"jsonrpc":"2.0","id":1,"result":[1,{"a":"b"}]})", Ok(),
                     ResultResponse(1, R(R"([1,{"a":"b"}])"))},
        ResponseCase{R"({"jsonrpc":"2.0","id":1,"result":null})", Ok(),
                     ResultResponse(1, R("null"))},
        ResponseCase{R"({"jsonrpc":"2.0","id":2})", Ok(), Response{2, {}}},
        ResponseCase{R"({"id":3,"result":true})", Ok(), ResultResponse(3, R("true"))},
        ResponseCase{R"({"jsonrpc":"1.0","id":3,"result":true})", Ok(),
                     ResultResponse(3, R("true"))},
        ResponseCase{R"({"jsonrpc":"2.0","id":4,"result":1,"error":{"code":-1,"message":"e"}})",
                     Ok(), ErrorResponse(4, -1, "e")},
        ResponseCase{R"({"jsonrpc":"2.0","error":{"code":-1,"message":"e"},"result":1,"id":4})",
                     Ok(), ErrorResponse(4, -1, "e")},
        ResponseCase{R"({"jsonrpc":"2.0","id":5,"error":{"code":7,"message":"m","data":[null]}})",
                     Ok(), ErrorResponse(5, 7, "m", R("[null]"))},
        ResponseCase{R"({"jsonrpc":"2.0","id":5,"error":{"code":7,"message":"","data":null}})",
                     Ok(), ErrorResponse(5, 7, "", R("null"))},
        ResponseCase{R"({"jsonrpc":"2.0","result":1})", Throws(json::error::not_found)},
        ResponseCase{R"({"jsonrpc":"2.0","id":-1,"result":1})", Throws(json::error::not_exact)},
        ResponseCase{R"({"jsonrpc":"2.0","id":"1","result":1})", Throws(json::error::not_number)},
        ResponseCase{R"({"jsonrpc":"2.0","id":1,"error":null,"result":1})",
                     Throws(json::error::not_object)},
        ResponseCase{R"({"jsonrpc":"2.0","id":1,"error":"e"})", Throws(json::error::not_object)},
        ResponseCase{R"([])", Throws(json::error::not_object)},
        ResponseCase{R"({"jsonrpc":"2.0","id":1,"result":)", ParseFails(json::error::incomplete)}));

INSTANTIATE_TEST_SUITE_P(
    ErrorCodes, ReadResponse,
    ::testing::Values(
        ResponseCase{R"({"id":1,"error":{"code":9223372036854775807,"message":"m"}})", Ok(),
                     ErrorResponse(1, I64Max, "m")},
        ResponseCase{R"({"id":1,"error":{"code":9223372036854775808,"message":"m"}})",
                     Throws(json::error::not_exact)},
        ResponseCase{R"({"id":1,"error":{"code":18446744073709551615,"message":"m"}})",
                     Throws(json::error::not_exact)},
        ResponseCase{R"({"id":1,"error":{"code":-9223372036854775808,"message":"m"}})", Ok(),
                     ErrorResponse(1, I64Min, "m")},
        ResponseCase{R"({"id":1,"error":{"code":-32601,"message":"m"}})", Ok(),
                     ErrorResponse(1, -32601, "m")},
        ResponseCase{R"({"id":1,"error":{"code":-3.0,"message":"m"}})", Ok(),
                     ErrorResponse(1, -3, "m")},
        // -2^63 is an exact double and within range; 2^63 is not.
        ResponseCase{R"({"id":1,"error":{"code":-9.223372036854775808e18,"message":"m"}})", Ok(),
                     ErrorResponse(1, I64Min, "m")},
        ResponseCase{R"({"id":1,"error":{"code":9.223372036854775808e18,"message":"m"}})",
                     Throws(json::error::not_exact)},
        ResponseCase{R"({"id":1,"error":{"code":0.5,"message":"m"}})",
                     Throws(json::error::not_exact)},
        ResponseCase{R"({"id":1,"error":{"code":"1","message":"m"}})",
                     Throws(json::error::not_number)},
        ResponseCase{R"({"id":1,"error":{"message":"m"}})", Throws(json::error::not_found)},
        ResponseCase{R"({"id":1,"error":{"code":1}})", Throws(json::error::not_found)},
        ResponseCase{R"({"id":1,"error":{"code":1,"message":2}})",
                     Throws(json::error::not_string)}));

// ---------------------------------------------------------------------------------------------
// Writing

TEST(WriteRequest, MembersInOrderAndCompact) {
    struct Case {
        Request request;
        std::string text;
    };
    const std::vector<Case> cases{
        {Request{std::nullopt, "m", {}}, R"({"jsonrpc":"2.0","method":"m"})"},
        {Request{0, "m", {}}, R"({"jsonrpc":"2.0","method":"m","id":0})"},
        {Request{U64Max, "a\"b", R(R"( { "x" : [ 1 , 2 ] } )")},
         R"({"jsonrpc":"2.0","method":"a\"b","id":18446744073709551615,"params":{"x":[1,2]}})"},
        {Request{std::nullopt, "m", Raw{}}, R"({"jsonrpc":"2.0","method":"m","params":null})"},
        {Request{1, "é", R("\"\\u00e9\"")},
         R"({"jsonrpc":"2.0","method":"é","id":1,"params":"é"})"},
    };
    auto buffer = JsonBuffer::Create();
    for (const auto& c : cases) {
        EXPECT_EQ(JsonRpc::Serialize(c.request, buffer), c.text);
        EXPECT_EQ(json::serialize(json::value_from(c.request)), c.text);
    }
}

TEST(WriteResponse, BothPathsAgree) {
    struct Case {
        Response response;
        std::string text;
    };
    const std::vector<Case> cases{
        {Response{3, {}}, R"({"jsonrpc":"2.0","id":3})"},
        {ResultResponse(3, Raw{}), R"({"jsonrpc":"2.0","id":3,"result":null})"},
        {ResultResponse(U64Max, R("[1,2]")),
         R"({"jsonrpc":"2.0","id":18446744073709551615,"result":[1,2]})"},
        {ResultResponse(0, R(R"([{"name":"a","location":"b","url":"c"}])")),
         R"({"jsonrpc":"2.0","id":0,"result":[{"name":"a","location":"b","url":"c"}]})"},
        {ErrorResponse(1, -32601, "Method not found"),
         R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})"},
        {ErrorResponse(1, I64Min, "m", R(R"({"k":1})")),
         R"({"jsonrpc":"2.0","id":1,"error":{"code":-9223372036854775808,"message":"m","data":{"k":1}}})"},
        {ErrorResponse(1, I64Max, "line\nbreak", Raw{}),
         R"({"jsonrpc":"2.0","id":1,"error":{"code":9223372036854775807,"message":"line\nbreak","data":null}})"},
    };
    auto buffer = JsonBuffer::Create();
    for (const auto& c : cases) {
        EXPECT_EQ(JsonRpc::Serialize(c.response, buffer), c.text);
        EXPECT_EQ(JsonRpc::SerializeResponse(c.response, buffer), c.text);
    }
}

TEST(WriteResponse, InvalidPayloadThrowsExceptOnTheFastPath) {
    auto buffer = JsonBuffer::Create();
    const Response bad = ResultResponse(9, R("[1,"));
    EXPECT_THROW(JsonRpc::Serialize(bad, buffer), boost::system::system_error);
    // The fast path trusts the payload and copies it unchecked.
    EXPECT_EQ(JsonRpc::SerializeResponse(bad, buffer), R"({"jsonrpc":"2.0","id":9,"result":[1,})");

    const Response badData = ErrorResponse(9, 1, "m", R("{"));
    EXPECT_THROW(JsonRpc::SerializeResponse(badData, buffer), boost::system::system_error);
    EXPECT_THROW(JsonRpc::Serialize(Request{1, "m", R("nul")}, buffer),
                 boost::system::system_error);
    // The buffer serves the next message as before.
    EXPECT_EQ(JsonRpc::Serialize(Request{1, "m", R("1")}, buffer),
              R"({"jsonrpc":"2.0","method":"m","id":1,"params":1})");
}

// ---------------------------------------------------------------------------------------------
// Round trips

TEST(RoundTrip, TextToMessageToText) {
    const std::vector<std::string> requests{
        R"({"jsonrpc":"2.0","method":"m"})",
        R"({"jsonrpc":"2.0","method":"Tavrel.Rtsp.GetCameras","id":4})",
        R"({"jsonrpc":"2.0","method":"m","id":18446744073709551615,"params":[{"a":null},true,-1]})",
    };
    const std::vector<std::string> responses{
        R"({"jsonrpc":"2.0","id":1})",
        R"({"jsonrpc":"2.0","id":2,"result":[{"name":"a","location":"b","url":"rtsp://h:8554/a"}]})",
        R"({"jsonrpc":"2.0","id":3,"error":{"code":-9223372036854775808,"message":"x"}})",
        R"({"jsonrpc":"2.0","id":4,"error":{"code":9223372036854775807,"message":"x","data":[1]}})",
    };
    auto buffer = JsonBuffer::Create();
    for (const auto& text : requests) {
        auto request = JsonRpc::ParseRequest(text, buffer);
        ASSERT_TRUE(request.has_value()) << text;
        EXPECT_EQ(JsonRpc::Serialize(request.value(), buffer), text);
    }
    for (const auto& text : responses) {
        auto response = JsonRpc::ParseResponse(text, buffer);
        ASSERT_TRUE(response.has_value()) << text;
        EXPECT_EQ(JsonRpc::Serialize(response.value(), buffer), text);
        EXPECT_EQ(JsonRpc::SerializeResponse(response.value(), buffer), text);
    }
}

TEST(RoundTrip, MessageToValueToMessage) {
    const std::vector<Request> requests{Request{}, Request{5, "m", R(R"({"a":[]})")},
                                        Request{std::nullopt, "n", R("null")}};
    for (const auto& request : requests)
        EXPECT_EQ(json::value_to<Request>(json::value_from(request)), request);
    const std::vector<Response> responses{Response{}, ResultResponse(1, R("\"s\"")),
                                          ErrorResponse(2, -2, "e", R("{}"))};
    for (const auto& response : responses)
        EXPECT_EQ(json::value_to<Response>(json::value_from(response)), response);
}

// ---------------------------------------------------------------------------------------------
// Payloads and conversions

TEST(RawPayload, ToRawIsCompactAndFromRawParses) {
    const json::value value = json::parse(R"( { "b" : [ 1 , "x" ] , "a" : { } } )");
    const Raw raw = JsonRpc::ToRaw(value);
    EXPECT_EQ(raw.text.str(), R"({"b":[1,"x"],"a":{}})");
    EXPECT_EQ(JsonRpc::ToRaw(json::value(true)).text.str(), "true");
    EXPECT_EQ(JsonRpc::ToRaw(json::value(false)).text.str(), "false");
    EXPECT_EQ(JsonRpc::ToRaw(json::array{}).text.str(), "[]");

    auto back = JsonRpc::FromRaw(raw);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back.value(), value);

    // Absent and empty both stand for null.
    auto absent = JsonRpc::FromRaw(std::nullopt);
    ASSERT_TRUE(absent.has_value());
    EXPECT_TRUE(absent.value().is_null());
    auto empty = JsonRpc::FromRaw(Raw{});
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty.value().is_null());

    struct Bad {
        std::string text;
        json::error code;
    };
    for (const auto& bad :
         std::vector<Bad>{{"[1,", json::error::incomplete},
                          {"nope", json::error::syntax},
                          {"1 2", json::error::extra_data},
                          {std::string(33, '[') + std::string(33, ']'), json::error::too_deep},
                          {"\"\xff\"", json::error::syntax}}) {
        auto result = JsonRpc::FromRaw(R(bad.text));
        ASSERT_TRUE(result.has_error()) << bad.text;
        EXPECT_EQ(result.error(), json::make_error_code(bad.code)) << bad.text;
    }
}

TEST(RawPayload, CopiesShareTheTextAcrossThreads) {
    const Raw original = R(std::string(1000, 'a'));
    Raw copy = original;
    EXPECT_EQ(copy.text.str().data(), original.text.str().data());
    EXPECT_FALSE(original.text.unique());

    // Copies made and dropped on other threads leave the text intact.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&original] {
            for (int i = 0; i < 1000; ++i) {
                Raw local = original;
                ASSERT_EQ(local.text.size(), 1000u);
            }
        });
    for (auto& thread : threads)
        thread.join();

    // Changing a shared text copies it first.
    copy.text.unshared()[0] = 'b';
    EXPECT_EQ(original.text.str(), std::string(1000, 'a'));
    EXPECT_EQ(copy.text.str()[0], 'b');
    EXPECT_TRUE(original.text.unique());
    EXPECT_FALSE(original == copy);
}

TEST(VersionTag, ReadsOnlyTheString20) {
    EXPECT_EQ(json::serialize(json::value_from(JsonRpcVersion{})), "\"2.0\"");
    EXPECT_NO_THROW(json::value_to<JsonRpcVersion>(json::value("2.0")));
    try {
        json::value_to<JsonRpcVersion>(json::value("1.0"));
        ADD_FAILURE() << "no exception";
    } catch (const JsonRpcVersion::WrongVersion& e) {
        EXPECT_STREQ(e.what(), "1.0");
    }
    try {
        json::value_to<JsonRpcVersion>(json::value(2));
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), json::make_error_code(json::error::not_string));
    }
}

// ---------------------------------------------------------------------------------------------
// Error responses from error codes

class TestCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "test"; }
    std::string message(int value) const override { return "test error " + std::to_string(value); }
};

TEST(MakeErrorResponse, CodeAndMessageOfTheErrorCode) {
    const auto timedOut = boost::system::errc::make_error_code(boost::system::errc::timed_out);
    const Response fromBoost = JsonRpc::MakeErrorResponse(17, timedOut);
    EXPECT_EQ(fromBoost, ErrorResponse(17, ETIMEDOUT, timedOut.message()));

    // A std::error_code of a foreign category keeps its value, offset by its category.
    static const TestCategory category;
    const std::error_code stdCode(42, category);
    const Response fromStd = JsonRpc::MakeErrorResponse(U64Max, stdCode);
    const auto offset = reinterpret_cast<std::uintptr_t>(&category) % 2097143;
    const auto expected =
        static_cast<std::int64_t>(static_cast<int>(42 + 1000 * static_cast<std::int64_t>(offset)));
    EXPECT_EQ(fromStd, ErrorResponse(U64Max, expected, "test error 42"));

    auto buffer = JsonBuffer::Create();
    EXPECT_EQ(JsonRpc::SerializeResponse(fromBoost, buffer),
              R"({"jsonrpc":"2.0","id":17,"error":{"code":)" + std::to_string(ETIMEDOUT) +
                  R"(,"message":")" + timedOut.message() + R"("}})");
}

// ---------------------------------------------------------------------------------------------
// Logging

TEST(Logging, OneWarningPerRejectedMessageNoneOtherwise) {
    Norvane::Test::LogCapture capture;
    auto buffer = JsonBuffer::Create();
    ASSERT_TRUE(JsonRpc::ParseRequest(R"({"jsonrpc":"2.0","method":"m"})", buffer).has_value());
    ASSERT_TRUE(JsonRpc::ParseResponse(R"({"id":1})", buffer).has_value());
    EXPECT_TRUE(capture.Messages().empty());

    ASSERT_FALSE(JsonRpc::ParseRequest("nope", buffer).has_value());
    ASSERT_FALSE(JsonRpc::ParseRequest(R"({"jsonrpc":"1.0","method":"m"})", buffer).has_value());
    ASSERT_FALSE(JsonRpc::ParseResponse(R"({"result":1})", buffer).has_value());
    const auto records = capture.sink().Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, "JsonRpc Invalid request (4 bytes): syntax error");
    EXPECT_EQ(records[1].message, "JsonRpc Invalid request (30 bytes): wrong version \"1.0\"");
    EXPECT_EQ(records[2].message.rfind("JsonRpc Invalid response (12 bytes): \"id\"", 0), 0u)
        << records[2].message;
    for (const auto& record : records)
        EXPECT_EQ(record.level, spdlog::level::warn);
}

}  // namespace
