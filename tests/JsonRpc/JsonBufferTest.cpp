#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include "AllocationCounter.h"
#include "JsonRpc/JsonRpc_boost.h"

namespace {

using JsonRpc::CowString;
using JsonRpc::JsonBuffer;
using JsonRpc::JsonBufferPtr;
using JsonRpc::Raw;
using JsonRpc::Request;
using JsonRpc::Response;
using JsonRpc::Test::AllocationCounter;
namespace json = boost::json;

bool InRegion(const JsonBufferPtr& buffer, const void* p) {
    const auto region = buffer->Region();
    const auto* byte = static_cast<const unsigned char*>(p);
    return byte >= region.data() && byte < region.data() + region.size();
}

// An array of `count` small numbers: two bytes of text, 24 bytes of parse data each.
std::string Numbers(std::size_t count) {
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i)
        text += (i ? "," : "") + std::to_string(i % 10);
    return text + "]";
}

std::string RequestWith(const std::string& params) {
    return R"({"jsonrpc":"2.0","method":"m","id":1,"params":)" + params + "}";
}

TEST(JsonBufferHandle, CountsHandlesAndMapsOneRegion) {
    JsonBufferPtr buffer = JsonBuffer::Create();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->UseCount(), 1u);
    EXPECT_EQ(buffer->Region().size(), 16384u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->Region().data()) %
                  static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)),
              0u);
    {
        JsonBufferPtr copy = buffer;
        EXPECT_EQ(buffer->UseCount(), 2u);
        JsonBufferPtr third = copy;
        EXPECT_EQ(buffer->UseCount(), 3u);
    }
    EXPECT_EQ(buffer->UseCount(), 1u);

    // Operations take their own handle for the call only.
    ASSERT_TRUE(JsonRpc::ParseRequest(R"({"jsonrpc":"2.0","method":"m"})", buffer).has_value());
    EXPECT_EQ(JsonRpc::Serialize(Request{1, "m", {}}, buffer),
              R"({"jsonrpc":"2.0","method":"m","id":1})");
    EXPECT_EQ(buffer->UseCount(), 1u);

    // The last handle may be moved into an operation: it unmaps the buffer when done.
    auto last = JsonRpc::ParseResponse(R"({"id":2})", JsonBufferPtr(std::move(buffer)));
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last.value().id, 2u);
}

TEST(JsonBufferArena, ValuesLiveInTheRegionAndEachOperationStartsEmpty) {
    JsonBufferPtr buffer = JsonBuffer::Create();
    const json::value* firstData = nullptr;
    {
        JsonBufferPtr operation = buffer;
        json::value value = json::parse("[1,2,3]", operation->Storage());
        firstData = value.as_array().data();
        EXPECT_TRUE(InRegion(buffer, firstData));
        // A second value in the same operation follows the first.
        json::value second = json::parse("[4,5,6]", operation->Storage());
        EXPECT_TRUE(InRegion(buffer, second.as_array().data()));
        EXPECT_NE(second.as_array().data(), firstData);
    }
    {
        JsonBufferPtr operation = buffer;
        json::value value = json::parse("[7,8,9]", operation->Storage());
        EXPECT_EQ(value.as_array().data(), firstData);
    }
}

TEST(JsonBufferArena, OverflowGoesToTheHeapForOneOperationOnly) {
    JsonBufferPtr buffer = JsonBuffer::Create();
    const std::string big = Numbers(3000);  // about 70 KiB of parse data
    const json::value* firstData = nullptr;
    {
        JsonBufferPtr operation = buffer;
        json::value value = json::parse("[0]", operation->Storage());
        firstData = value.as_array().data();
    }
    {
        AllocationCounter counter;
        {
            JsonBufferPtr operation = buffer;
            json::value value = json::parse(big, operation->Storage());
            EXPECT_EQ(value.as_array().size(), 3000u);
            EXPECT_FALSE(InRegion(buffer, value.as_array().data()));
            EXPECT_GT(counter.Allocations(), 0u);
        }
        // Everything the overflow took is given back when the operation ends.
        EXPECT_EQ(counter.Deallocations(), counter.Allocations());
    }
    {
        AllocationCounter counter;
        JsonBufferPtr operation = buffer;
        json::value value = json::parse("[0]", operation->Storage());
        EXPECT_EQ(value.as_array().data(), firstData);
        EXPECT_EQ(counter.Allocations(), 0u);
    }
}

// The whole-message operations, message after message on one buffer.
TEST(JsonBufferArena, LargeMessageThenSmallMessages) {
    JsonBufferPtr buffer = JsonBuffer::Create();
    const std::string small = RequestWith(Numbers(300));   // fits the region
    const std::string large = RequestWith(Numbers(4000));  // does not

    std::size_t baseline = 0;
    {
        AllocationCounter counter;
        auto request = JsonRpc::ParseRequest(small, buffer);
        ASSERT_TRUE(request.has_value());
        baseline = counter.Allocations();
    }
    std::size_t largeAllocations = 0;
    {
        AllocationCounter counter;
        auto request = JsonRpc::ParseRequest(large, buffer);
        largeAllocations = counter.Allocations();
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request.value().params->text.str(), Numbers(4000));
        EXPECT_GT(largeAllocations, baseline);
    }
    // Every large message overflows the same way: the heap blocks do not keep growing from one
    // message to the next (they would double each time and soon fail).
    for (int i = 0; i < 100; ++i) {
        AllocationCounter counter;
        ASSERT_TRUE(JsonRpc::ParseRequest(large, buffer).has_value()) << "message " << i;
        ASSERT_EQ(counter.Allocations(), largeAllocations) << "message " << i;
        ASSERT_EQ(counter.Deallocations(), counter.Allocations()) << "message " << i;
        EXPECT_EQ(JsonRpc::Serialize(Request{1, "m", Raw{CowString(Numbers(4000))}}, buffer),
                  large);
    }
    // Were the arena not emptied, a hundred small messages would run out of it.
    for (int i = 0; i < 100; ++i) {
        AllocationCounter counter;
        auto request = JsonRpc::ParseRequest(small, buffer);
        ASSERT_TRUE(request.has_value());
        ASSERT_EQ(counter.Allocations(), baseline) << "message " << i;
    }
    EXPECT_EQ(buffer->UseCount(), 1u);
}

// Heap allocations of whole-message operations whose parse data fits in the region: only the
// copied-out result (one string of the payload text and its shared holder; the method name fits
// the string's inline storage) or the returned text.
TEST(JsonBufferAllocations, NothingOnTheHeapForTheJsonValue) {
    JsonBufferPtr buffer = JsonBuffer::Create();
    const std::string params = Numbers(600);  // about 14 KiB of parse data, 1.2 KiB of text
    const std::string requestText =
        R"({"jsonrpc":"2.0","method":"m","id":7,"params":)" + params + "}";
    const std::string responseText = R"({"jsonrpc":"2.0","id":7,"result":)" + params + "}";
    const std::string errorText =
        R"({"jsonrpc":"2.0","id":7,"error":{"code":-1,"message":"short","data":)" + params + "}}";

    // The counter sees the heap: the same document on the default resource allocates.
    {
        AllocationCounter counter;
        json::value value = json::parse(requestText);
        EXPECT_GT(counter.Allocations(), 0u);
    }

    struct Case {
        const char* what;
        std::function<void()> operation;
        std::size_t allocations;
    };
    Request request{7, "m", Raw{CowString(params)}};
    Response result;
    result.id = 7;
    result.body = Raw{CowString(params)};
    Response error;
    error.id = 7;
    error.body = Response::Error{-1, "short", Raw{CowString(params)}};
    const std::vector<Case> cases{
        {"request without params",
         [&] {
             ASSERT_TRUE(JsonRpc::ParseRequest(R"({"jsonrpc":"2.0","method":"m","id":1})", buffer)
                             .has_value());
         },
         0},
        {"request", [&] { ASSERT_TRUE(JsonRpc::ParseRequest(requestText, buffer).has_value()); },
         2},
        {"result response",
         [&] { ASSERT_TRUE(JsonRpc::ParseResponse(responseText, buffer).has_value()); }, 2},
        {"error response",
         [&] { ASSERT_TRUE(JsonRpc::ParseResponse(errorText, buffer).has_value()); }, 2},
        {"Serialize request", [&] { EXPECT_EQ(JsonRpc::Serialize(request, buffer), requestText); },
         1},
        {"Serialize result", [&] { EXPECT_EQ(JsonRpc::Serialize(result, buffer), responseText); },
         1},
        {"SerializeResponse result",
         [&] { EXPECT_EQ(JsonRpc::SerializeResponse(result, buffer), responseText); }, 1},
        {"SerializeResponse error",
         [&] { EXPECT_EQ(JsonRpc::SerializeResponse(error, buffer), errorText); }, 1},
        {"FromRaw",
         [&] {
             JsonBufferPtr operation = buffer;
             ASSERT_TRUE(JsonRpc::FromRaw(request.params, operation->Storage()).has_value());
         },
         0},
    };
    for (const auto& c : cases) {
        AllocationCounter counter;
        c.operation();
        EXPECT_EQ(counter.Allocations(), c.allocations) << c.what;
    }
}

TEST(JsonBufferAllocations, EmptyPayloadTextAllocatesNothing) {
    const Raw first;  // the shared empty text is made on first use
    AllocationCounter counter;
    Raw empty;
    Raw copy = empty;
    EXPECT_TRUE(copy.text.empty());
    EXPECT_EQ(counter.Allocations(), 0u);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool AddressSanitizer = true;
#else
constexpr bool AddressSanitizer = false;
#endif
#else
constexpr bool AddressSanitizer = false;
#endif

TEST(JsonBufferDeathTest, MappingFailureThrowsRuntimeError) {
    if (AddressSanitizer)
        GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child: with no address space left, the mapping fails.
    EXPECT_EXIT(
        {
            rlimit limit{};
            ::getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = 0;
            ::setrlimit(RLIMIT_AS, &limit);
            try {
                JsonBuffer::Create();
            } catch (const std::runtime_error& e) {
                std::_Exit(std::string(e.what()) == "mmapping JsonBuffer failed" ? 0 : 2);
            }
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
