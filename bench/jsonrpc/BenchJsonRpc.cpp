// Typical JSON-RPC traffic of the service: the "Tavrel.Rtsp.GetCameras" request and its camera
// list result (1, 10 and 100 cameras), parsed and serialised three ways: this codec over its
// JsonBuffer arena, Boost.JSON with its default heap storage, and nlohmann json. Each benchmark
// reports heap allocations per message ("allocs") from the counting operator new of
// CountingAllocator.cpp.

#include <cstdint>
#include <optional>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/json.hpp>
#include <nlohmann/json.hpp>

#include "CountingAllocator.h"
#include "JsonRpc/JsonRpc_boost.h"

namespace {

namespace json = boost::json;
using JsonRpc::Request;
using JsonRpc::Response;

// Reports allocations per iteration when it goes out of scope.
class AllocationsPerMessage {
public:
    explicit AllocationsPerMessage(benchmark::State& state)
        : state_(state), start_(JsonRpc::Bench::HeapAllocations()) {}
    ~AllocationsPerMessage() {
        state_.counters["allocs"] =
            benchmark::Counter(static_cast<double>(JsonRpc::Bench::HeapAllocations() - start_),
                               benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State& state_;
    std::uint64_t start_;
};

const std::string RequestText =
    R"({"jsonrpc":"2.0","method":"Tavrel.Rtsp.GetCameras","id":42,"params":{}})";

std::string CameraList(int count) {
    json::array list;
    for (int i = 0; i < count; ++i) {
        json::object camera;
        camera["name"] = "Camera " + std::to_string(i);
        camera["location"] = "Building A, floor " + std::to_string(i % 7);
        camera["url"] = "rtsp://tavrel.local:8554/cameras/entrance-" + std::to_string(i);
        list.push_back(std::move(camera));
    }
    return json::serialize(list);
}

std::string ResponseText(int cameras) {
    return R"({"jsonrpc":"2.0","id":42,"result":)" + CameraList(cameras) + "}";
}

Response ResultResponse(int cameras) {
    Response response;
    response.id = 42;
    response.body = JsonRpc::Raw{JsonRpc::CowString(CameraList(cameras))};
    return response;
}

// nlohmann: the same fields read into the same message types.
Request NlohmannRequest(const std::string& text) {
    const auto doc = nlohmann::json::parse(text);
    if (doc.at("jsonrpc").get_ref<const std::string&>() != "2.0")
        throw std::runtime_error("version");
    Request request;
    request.method = doc.at("method").get<std::string>();
    if (auto id = doc.find("id"); id != doc.end())
        request.id = id->get<std::uint64_t>();
    if (auto params = doc.find("params"); params != doc.end())
        request.params = JsonRpc::Raw{JsonRpc::CowString(params->dump())};
    return request;
}

Response NlohmannResponse(const std::string& text) {
    const auto doc = nlohmann::json::parse(text);
    Response response;
    response.id = doc.at("id").get<std::uint64_t>();
    if (auto error = doc.find("error"); error != doc.end())
        response.body = Response::Error{error->at("code").get<std::int64_t>(),
                                        error->at("message").get<std::string>(), std::nullopt};
    else if (auto result = doc.find("result"); result != doc.end())
        response.body = JsonRpc::Raw{JsonRpc::CowString(result->dump())};
    return response;
}

std::string NlohmannSerialize(const Response& response) {
    nlohmann::json doc{{"jsonrpc", "2.0"}, {"id", response.id}};
    if (const auto* result = std::get_if<JsonRpc::Raw>(&response.body))
        doc["result"] = nlohmann::json::parse(result->text.view());
    return doc.dump();
}

// --- requests ---------------------------------------------------------------------------------

void ParseRequest_Codec(benchmark::State& state) {
    auto buffer = JsonRpc::JsonBuffer::Create();
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonRpc::ParseRequest(RequestText, buffer));
}
BENCHMARK(ParseRequest_Codec);

void ParseRequest_BoostHeap(benchmark::State& state) {
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(json::value_to<Request>(json::parse(RequestText)));
}
BENCHMARK(ParseRequest_BoostHeap);

void ParseRequest_Nlohmann(benchmark::State& state) {
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(NlohmannRequest(RequestText));
}
BENCHMARK(ParseRequest_Nlohmann);

void SerializeRequest_Codec(benchmark::State& state) {
    auto buffer = JsonRpc::JsonBuffer::Create();
    const Request request = JsonRpc::ParseRequest(RequestText, buffer).value();
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonRpc::Serialize(request, buffer));
}
BENCHMARK(SerializeRequest_Codec);

void SerializeRequest_BoostHeap(benchmark::State& state) {
    auto buffer = JsonRpc::JsonBuffer::Create();
    const Request request = JsonRpc::ParseRequest(RequestText, buffer).value();
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(json::serialize(json::value_from(request)));
}
BENCHMARK(SerializeRequest_BoostHeap);

// --- camera-list responses --------------------------------------------------------------------

void ParseResponse_Codec(benchmark::State& state) {
    const std::string text = ResponseText(static_cast<int>(state.range(0)));
    auto buffer = JsonRpc::JsonBuffer::Create();
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonRpc::ParseResponse(text, buffer));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(ParseResponse_Codec)->Arg(1)->Arg(10)->Arg(100);

void ParseResponse_BoostHeap(benchmark::State& state) {
    const std::string text = ResponseText(static_cast<int>(state.range(0)));
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(json::value_to<Response>(json::parse(text)));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(ParseResponse_BoostHeap)->Arg(1)->Arg(10)->Arg(100);

void ParseResponse_Nlohmann(benchmark::State& state) {
    const std::string text = ResponseText(static_cast<int>(state.range(0)));
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(NlohmannResponse(text));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(ParseResponse_Nlohmann)->Arg(1)->Arg(10)->Arg(100);

void SerializeResponse_CodecFastPath(benchmark::State& state) {
    const Response response = ResultResponse(static_cast<int>(state.range(0)));
    auto buffer = JsonRpc::JsonBuffer::Create();
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonRpc::SerializeResponse(response, buffer));
}
BENCHMARK(SerializeResponse_CodecFastPath)->Arg(1)->Arg(10)->Arg(100);

void SerializeResponse_CodecArena(benchmark::State& state) {
    const Response response = ResultResponse(static_cast<int>(state.range(0)));
    auto buffer = JsonRpc::JsonBuffer::Create();
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonRpc::Serialize(response, buffer));
}
BENCHMARK(SerializeResponse_CodecArena)->Arg(1)->Arg(10)->Arg(100);

void SerializeResponse_BoostHeap(benchmark::State& state) {
    const Response response = ResultResponse(static_cast<int>(state.range(0)));
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(json::serialize(json::value_from(response)));
}
BENCHMARK(SerializeResponse_BoostHeap)->Arg(1)->Arg(10)->Arg(100);

void SerializeResponse_Nlohmann(benchmark::State& state) {
    const Response response = ResultResponse(static_cast<int>(state.range(0)));
    AllocationsPerMessage count(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(NlohmannSerialize(response));
}
BENCHMARK(SerializeResponse_Nlohmann)->Arg(1)->Arg(10)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
