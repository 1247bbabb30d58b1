#pragma once

namespace caf {
class actor_system_config;
}

namespace Pandrix::Connector {

/// Prepares the configuration of the connector's actor system. The connector loads its own
/// modules and message types through load_impl(); an application adds its own message types by
/// overriding add_message_types().
class CafInit {
public:
    /// Virtual: the connector owns its CafInit through a pointer to this base.
    virtual ~CafInit();

    /// Adds the application's own message types; called last by load_impl().
    virtual void add_message_types(caf::actor_system_config& cfg) = 0;

    /// Loads the I/O module and every message type that crosses to the web service, then calls
    /// add_message_types().
    virtual void load_impl(caf::actor_system_config& cfg);
};

}  // namespace Pandrix::Connector
