#include "ovx/PluginLoader.h"

#include <functional>

#include <spdlog/spdlog.h>
#include <boost/dll/import.hpp>
#include <boost/dll/shared_library.hpp>

#include "ovx/IOvxApiCommandHandler.h"

namespace Norvane {

namespace {

using Factory = std::shared_ptr<IPlugin>(IPluginManager&, const std::string&);

// Owns a plug-in and the library its code lives in. Members are destroyed in reverse order:
// the plug-in first, then the factory with the last reference to the library.
struct LoadedPlugin {
    std::function<Factory> factory;
    std::shared_ptr<IPlugin> plugin;
};

// A command handler that keeps its plug-in's library loaded. The plug-in's handler (its code is
// in the library) is destroyed before the reference that keeps the library.
struct KeepLoadedHandler {
    std::shared_ptr<IPlugin> keep;
    OvxApiCommand::Handler handler;

    KeepLoadedHandler(std::shared_ptr<IPlugin> k, OvxApiCommand::Handler h)
        : keep(std::move(k)), handler(std::move(h)) {}
    KeepLoadedHandler(const KeepLoadedHandler&) = default;
    KeepLoadedHandler(KeepLoadedHandler&&) = default;
    ~KeepLoadedHandler() { handler = nullptr; }

    bool operator()(const OvxApiCommand::Parameters& parameters) const {
        return handler(parameters);
    }
};

}  // namespace

std::shared_ptr<IPlugin> PluginLoader::Load(const std::filesystem::path& library,
                                            IPluginManager& manager, const std::string& name) {
    auto loaded = std::make_shared<LoadedPlugin>();
    try {
        loaded->factory =
            boost::dll::import_alias<Factory>(boost::dll::fs::path(library.string()), kFactoryName);
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Cannot load plug-in '{}': {}", library.string(), e.what());
        return nullptr;
    }
    // The library stays loaded while the exception (perhaps of its own type) is read.
    std::string failure;
    try {
        loaded->plugin = loaded->factory(manager, name);
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    if (!failure.empty()) {
        SPDLOG_ERROR("Plug-in factory of '{}' failed: {}", library.string(), failure);
        return nullptr;
    }
    if (!loaded->plugin) {
        SPDLOG_ERROR("Plug-in factory of '{}' returned no plug-in", library.string());
        return nullptr;
    }
    SPDLOG_INFO("Loaded plug-in '{}' from '{}'", name, library.string());
    IPlugin* plugin = loaded->plugin.get();
    return std::shared_ptr<IPlugin>(std::move(loaded), plugin);
}

std::vector<OvxApiCommand> PluginLoader::GetCommands(const std::shared_ptr<IPlugin>& plugin) {
    auto* handler = dynamic_cast<IOvxApiCommandHandler*>(plugin.get());
    if (!handler)
        return {};
    auto commands = handler->GetCommands();
    for (auto& command : commands) {
        if (command.handler)
            command.handler = KeepLoadedHandler(plugin, std::move(command.handler));
    }
    return commands;
}

}  // namespace Norvane
