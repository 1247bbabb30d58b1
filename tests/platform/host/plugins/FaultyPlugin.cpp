// A plug-in library whose factory fails: it throws an exception of a type defined here
// (FAULTY_PLUGIN_THROWS) or returns no plug-in.
#include <boost/dll/alias.hpp>
#include <memory>
#include <stdexcept>
#include <string>

#include "ovx/IPlugin.h"
#include "ovx/IPluginManager.h"

namespace {

class FactoryFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::shared_ptr<Norvane::IPlugin> Create(Norvane::IPluginManager& /*manager*/,
                                         const std::string& name) {
#ifdef FAULTY_PLUGIN_THROWS
    throw FactoryFailure("cannot create " + name);
#else
    (void)name;
    return nullptr;
#endif
}

}  // namespace

BOOST_DLL_ALIAS(Create, create_plugin)
