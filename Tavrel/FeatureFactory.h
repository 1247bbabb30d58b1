#pragma once

#include <memory>

#include "Tavrel/Config.h"
#include "Tavrel/JsonRpc/IDataHandler.h"
#include "Tavrel/JsonRpc/IJsonRpcHandler.h"
#include "Tavrel/RtspServer/IRtspServer.h"

namespace Norvane::Tavrel::FeatureFactory {

/// Creates the RTSP server for a configuration; empty (and logged) when that fails.
std::unique_ptr<IRtspServer> CreateRtspServer(const Config& config);

/// Creates the JSON-RPC handler that serves `dataHandler`'s camera list (not owned).
std::unique_ptr<JsonRpc::IJsonRpcHandler> CreateJsonRpcHandler(JsonRpc::IDataHandler& dataHandler);

}  // namespace Norvane::Tavrel::FeatureFactory
