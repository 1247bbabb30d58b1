#include "Tavrel/FeatureFactory.h"

#include <spdlog/spdlog.h>

#include "Tavrel/JsonRpc/JsonRpcHandler.h"
#include "Tavrel/RtspServer/RtspServer.h"

namespace Norvane::Tavrel::FeatureFactory {

std::unique_ptr<IRtspServer> CreateRtspServer(const Config& config) {
    auto server = RtspServer::Create(config);
    if (!server) {
        SPDLOG_ERROR("Failed to create RTSP server");
    }
    return server;
}

std::unique_ptr<JsonRpc::IJsonRpcHandler> CreateJsonRpcHandler(JsonRpc::IDataHandler& dataHandler) {
    return std::make_unique<JsonRpc::JsonRpcHandler>(dataHandler);
}

}  // namespace Norvane::Tavrel::FeatureFactory
