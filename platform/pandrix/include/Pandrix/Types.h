#pragma once

// Message types and actor interfaces shared between an application and the web service. Every
// type here crosses processes through CAF's I/O module: both sides register the type-ID block
// `pandrix` after `jsonrpc_codec` (CafInit::load_impl does both for the connector's side).

#include <cstdint>
#include <string>
#include <vector>

#include <caf/atom.hpp>
#include <caf/meta/type_name.hpp>
#include <caf/type_id.hpp>
#include <caf/typed_actor.hpp>
#include <caf/variant.hpp>

#include "JsonRpc/JsonRpcTypeIds.h"
#include "JsonRpc/JsonRpc_boost.h"

namespace Pandrix {

namespace JsonRpc {

/// A serialised JSON value as carried in messages (empty text = null).
using RawJson = ::JsonRpc::Raw;

/// Names a JSON-RPC method on registration with the router.
struct Method {
    std::string name;
};

/// Answer of the router to a registration; 0 means the method was not registered.
struct RegisterId {
    std::uint64_t value{0};
};

/// Answers the JSON-RPC calls of one registered method.
using MethodHandler =
    caf::typed_actor<caf::replies_to<::JsonRpc::Request>::with<::JsonRpc::Response>>;

/// Registers methods and routes calls to them.
using Router = caf::typed_actor<caf::replies_to<Method, MethodHandler>::with<RegisterId>,
                                caf::replies_to<::JsonRpc::Request>::with<::JsonRpc::Response>>;

namespace Broker {

/// One publication on a topic.
struct Publish {
    RawJson payload;
};

/// Receives the publications of a topic.
using Subscriber = caf::typed_actor<caf::reacts_to<Publish>>;

/// A subscriber joins a topic.
struct Subscribe {
    Subscriber subscriber;
};

/// A subscriber leaves a topic.
struct Unsubscribe {
    Subscriber subscriber;
};

/// A topic, and the application's handler behind it: accepts publications and subscriptions.
using Topic = caf::typed_actor<caf::reacts_to<Publish>, caf::reacts_to<Subscribe>,
                               caf::reacts_to<Unsubscribe>>;

/// Asks the broker for a topic; the handler learns of every subscription.
struct CreateTopic {
    std::string name;
    Topic handler;
    /// Whether the topic keeps its last publication for new subscribers (done by the broker).
    bool retain{false};
};

/// Creates topics.
using Actor = caf::typed_actor<caf::replies_to<CreateTopic>::with<Topic>>;

}  // namespace Broker

}  // namespace JsonRpc

namespace Authentication {

/// The built-in user groups of the web service.
enum class BuiltinGroup : std::uint8_t { Everyone = 0, Users = 1, Administrators = 2 };

/// One group: a built-in one or a group of the user database by name.
using Group = caf::variant<BuiltinGroup, std::string>;

/// The groups that may see something.
struct Groups {
    std::vector<Group> entries;
};

/// Checks credentials.
struct Login {
    std::string user;
    std::string password;
};

/// Answers a login with the groups of the user (none: rejected).
using Authenticator = caf::typed_actor<caf::replies_to<Login>::with<Groups>>;

}  // namespace Authentication

namespace Capability {

/// Tag of the request that sets a capability.
using Set = caf::atom_constant<caf::atom("capSet")>;

/// One capability of the server: a name and a JSON value.
struct Capability {
    std::string name;
    JsonRpc::RawJson value;
};

/// Sets a capability for the given groups.
using Registry =
    caf::typed_actor<caf::replies_to<Set, Capability, Authentication::Groups>::with<void>>;

}  // namespace Capability

namespace FileServer {

/// Offers a directory of the application over the web service.
struct Share {
    std::string urlPath;
    std::string directory;
};

/// Registers shared directories; answers whether the share was accepted.
using Registry = caf::typed_actor<caf::replies_to<Share>::with<bool>>;

}  // namespace FileServer

}  // namespace Pandrix

// Follows the block of the JSON-RPC message types (jsonrpc_codec), which must be registered too.
CAF_BEGIN_TYPE_ID_BLOCK(pandrix, caf::id_block::jsonrpc_codec::end)

CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Method))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::RegisterId))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::MethodHandler))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Router))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::Publish))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::Subscribe))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::Unsubscribe))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::Subscriber))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::Topic))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::CreateTopic))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::JsonRpc::Broker::Actor))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::Authentication::Groups))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::Authentication::Login))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::Authentication::Authenticator))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::Capability::Capability))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::Capability::Registry))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::FileServer::Share))
CAF_ADD_TYPE_ID(pandrix, (Pandrix::FileServer::Registry))

CAF_END_TYPE_ID_BLOCK(pandrix)

namespace Pandrix {

namespace Connector {

/// The web service's entry point, published on its port: answers a connecting client (with its
/// token) with the handles of its services.
using Gateway = caf::typed_actor<caf::replies_to<caf::connect_atom, std::string>::with<
    JsonRpc::Router, Authentication::Authenticator, JsonRpc::Broker::Actor, Capability::Registry,
    FileServer::Registry>>;

/// The application's actor that learns of the connection: the five handles once connected (in
/// this order), or delete_atom when the connector gave up.
using ConnectionHandler = caf::typed_actor<
    caf::reacts_to<JsonRpc::Router, Authentication::Authenticator, JsonRpc::Broker::Actor,
                   Capability::Registry, FileServer::Registry>,
    caf::reacts_to<caf::delete_atom>>;

}  // namespace Connector

// Serialisation (CAF 0.17 inspector signature).

namespace JsonRpc {

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Method& x) {
    return f(caf::meta::type_name("Pandrix::JsonRpc::Method"), x.name);
}

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, RegisterId& x) {
    return f(caf::meta::type_name("Pandrix::JsonRpc::RegisterId"), x.value);
}

namespace Broker {

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Publish& x) {
    return f(caf::meta::type_name("Pandrix::JsonRpc::Broker::Publish"), x.payload);
}

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Subscribe& x) {
    return f(caf::meta::type_name("Pandrix::JsonRpc::Broker::Subscribe"), x.subscriber);
}

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Unsubscribe& x) {
    return f(caf::meta::type_name("Pandrix::JsonRpc::Broker::Unsubscribe"), x.subscriber);
}

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, CreateTopic& x) {
    return f(caf::meta::type_name("Pandrix::JsonRpc::Broker::CreateTopic"), x.name, x.handler,
             x.retain);
}

}  // namespace Broker

}  // namespace JsonRpc

namespace Authentication {

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Groups& x) {
    return f(caf::meta::type_name("Pandrix::Authentication::Groups"), x.entries);
}

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Login& x) {
    return f(caf::meta::type_name("Pandrix::Authentication::Login"), x.user, x.password);
}

}  // namespace Authentication

namespace Capability {

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Capability& x) {
    return f(caf::meta::type_name("Pandrix::Capability::Capability"), x.name, x.value);
}

}  // namespace Capability

namespace FileServer {

/// @private
template <class Inspector>
typename Inspector::result_type inspect(Inspector& f, Share& x) {
    return f(caf::meta::type_name("Pandrix::FileServer::Share"), x.urlPath, x.directory);
}

}  // namespace FileServer

}  // namespace Pandrix
