#include "Pandrix/Connector/CafInit.h"

#include <caf/actor_system_config.hpp>
#include <caf/io/middleman.hpp>

#include "Pandrix/Types.h"

namespace Pandrix::Connector {

CafInit::~CafInit() = default;

void CafInit::load_impl(caf::actor_system_config& cfg) {
    cfg.load<caf::io::middleman>();
    cfg.add_message_types<caf::id_block::jsonrpc_codec>();
    cfg.add_message_types<caf::id_block::pandrix>();
    add_message_types(cfg);
}

}  // namespace Pandrix::Connector
