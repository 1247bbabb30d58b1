#pragma once

// CAF type IDs of the JSON-RPC message types, so that they cross processes over the io
// middleman. Register them on every actor system that exchanges them, before it is built:
//     cfg.add_message_types<caf::id_block::jsonrpc_codec>();
// Another block of this program starts at caf::id_block::jsonrpc_codec::end so that the IDs
// do not collide (the types must not be added to a second block).

#include <caf/type_id.hpp>

#include "JsonRpc/JsonRpc_boost.h"

CAF_BEGIN_TYPE_ID_BLOCK(jsonrpc_codec, caf::first_custom_type_id)

CAF_ADD_TYPE_ID(jsonrpc_codec, (JsonRpc::Raw))
CAF_ADD_TYPE_ID(jsonrpc_codec, (JsonRpc::Request))
CAF_ADD_TYPE_ID(jsonrpc_codec, (JsonRpc::Response))

CAF_END_TYPE_ID_BLOCK(jsonrpc_codec)
