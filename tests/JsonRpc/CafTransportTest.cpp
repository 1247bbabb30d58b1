#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <caf/all.hpp>
#include <caf/io/all.hpp>

#include "JsonRpc/JsonRpcTypeIds.h"
#include "JsonRpc/JsonRpc_boost.h"

namespace {

using JsonRpc::CowString;
using JsonRpc::Raw;
using JsonRpc::Request;
using JsonRpc::Response;

Raw R(std::string text) {
    return Raw{CowString(std::move(text))};
}

struct Config : caf::actor_system_config {
    explicit Config(bool network = false) {
        add_message_types<caf::id_block::jsonrpc_codec>();
        if (network)
            load<caf::io::middleman>();
    }
};

std::vector<Request> Requests() {
    return {Request{}, Request{0, "m", {}},
            Request{std::numeric_limits<std::uint64_t>::max(), "Tavrel.Rtsp.GetCameras", R("[]")},
            Request{std::nullopt, "é\n\"", Raw{}},
            Request{5, "big", R("\"" + std::string(100000, 'x') + "\"")}};
}

std::vector<Response> Responses() {
    std::vector<Response> responses(6);
    responses[1].id = 1;
    responses[1].body = R(R"([{"name":"a","location":"b","url":"rtsp://127.0.0.1/a"}])");
    responses[2].id = 2;
    responses[2].body = Raw{};
    responses[3].id = 3;
    responses[3].body = Response::Error{std::numeric_limits<std::int64_t>::min(), "m", {}};
    responses[4].id = std::numeric_limits<std::uint64_t>::max();
    responses[4].body = Response::Error{-32601, "", R("{\"k\":null}")};
    responses[5].id = 5;
    responses[5].body = Response::Error{7, "no data", std::nullopt};
    return responses;
}

template <class T>
T BinaryRoundTrip(caf::actor_system& sys, const T& value) {
    std::vector<char> bytes;
    caf::binary_serializer sink{sys, bytes};
    T copy = value;
    EXPECT_FALSE(sink(copy));
    T out;
    caf::binary_deserializer source{sys, bytes};
    EXPECT_FALSE(source(out));
    return out;
}

TEST(CafSerialization, EveryShapeSurvivesBinaryRoundTrip) {
    Config cfg;
    caf::actor_system sys{cfg};
    for (const auto& request : Requests())
        EXPECT_EQ(BinaryRoundTrip(sys, request), request) << caf::deep_to_string(request);
    for (const auto& response : Responses())
        EXPECT_EQ(BinaryRoundTrip(sys, response), response) << caf::deep_to_string(response);
    // A message is read into an object that held something else before.
    std::vector<char> bytes;
    caf::binary_serializer sink{sys, bytes};
    Request plain{};
    ASSERT_FALSE(sink(plain));
    Request reused{9, "x", R("1")};
    caf::binary_deserializer source{sys, bytes};
    ASSERT_FALSE(source(reused));
    EXPECT_EQ(reused, plain);
}

TEST(CafSerialization, UnknownBodyKindIsAnError) {
    Config cfg;
    caf::actor_system sys{cfg};
    std::vector<char> bytes;
    caf::binary_serializer sink{sys, bytes};
    Response response;
    response.id = 1;
    ASSERT_FALSE(sink(response));
    // Layout: id (8 bytes), then the body's kind.
    ASSERT_GT(bytes.size(), 8u);
    bytes[8] = 3;
    Response out;
    caf::binary_deserializer source{sys, bytes};
    EXPECT_TRUE(source(out));
    // Truncated input is an error as well, not a crash.
    bytes.resize(4);
    caf::binary_deserializer truncated{sys, bytes};
    EXPECT_TRUE(truncated(out));
}

TEST(CafSerialization, MessagesPrintForLogs) {
    Request request{3, "m", R("[1]")};
    const std::string text = caf::deep_to_string(request);
    EXPECT_NE(text.find("JsonRpc::Request"), std::string::npos) << text;
    EXPECT_NE(text.find("[1]"), std::string::npos) << text;
}

// Echoes a request's params as its result, or as error data for the method `failing`.
caf::behavior MethodActor(caf::event_based_actor*, std::string failing) {
    return {[failing](const Request& request) -> Response {
        Response response;
        response.id = request.id.value_or(0);
        if (request.method == failing)
            response.body = Response::Error{-1, request.method, request.params};
        else if (request.method == "nothing")
            response.body = std::monostate{};
        else
            response.body = request.params.value_or(Raw{});
        return response;
    }};
}

// Two actor systems talking over the io middleman on loopback: what the service's method actor
// and the web service exchange.
TEST(CafTransport, RequestAndResponseCrossTheNetwork) {
    Config serverConfig{true};
    caf::actor_system server{serverConfig};
    // (CAF 0.17 dereferences a null argument tuple when a function actor takes no arguments.)
    auto method = server.spawn(MethodActor, std::string("fail"));
    auto port = caf::io::publish(method, 0, "127.0.0.1");
    ASSERT_TRUE(port) << server.render(port.error());

    Config clientConfig{true};
    caf::actor_system client{clientConfig};
    auto remote = client.middleman().remote_actor("127.0.0.1", *port);
    ASSERT_TRUE(remote) << client.render(remote.error());
    EXPECT_NE(remote->node(), client.node());

    struct Case {
        Request request;
        Response expected;
    };
    std::vector<Case> cases;
    for (const auto& request : Requests()) {
        Response expected;
        expected.id = request.id.value_or(0);
        expected.body = request.params.value_or(Raw{});
        cases.push_back({request, expected});
    }
    {
        Response expected;
        expected.id = 8;
        expected.body = Response::Error{-1, "fail", R("{\"a\":1}")};
        cases.push_back({Request{8, "fail", R("{\"a\":1}")}, expected});
        Response nothing;
        nothing.id = 9;
        cases.push_back({Request{9, "nothing", {}}, nothing});
    }

    caf::scoped_actor self{client};
    for (const auto& c : cases) {
        self->request(*remote, std::chrono::seconds(10), c.request)
            .receive(
                [&](const Response& response) {
                    EXPECT_EQ(response, c.expected);
                    // Carried as bytes: the text arrived as a copy of its own.
                    const auto* raw = std::get_if<Raw>(&response.body);
                    if (raw != nullptr && !raw->text.empty() && c.request.params) {
                        EXPECT_NE(raw->text.str().data(), c.request.params->text.str().data());
                    }
                },
                [&](const caf::error& error) { ADD_FAILURE() << client.render(error); });
    }
    self->send_exit(*remote, caf::exit_reason::user_shutdown);
    anon_send_exit(method, caf::exit_reason::user_shutdown);
    server.middleman().unpublish(method, *port);
}

}  // namespace
