#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ovx/HostApi.h"
#include "ovx/IPlugin.h"
#include "ovx/IPluginManager.h"
#include "ovx/OvxApiCommand.h"

namespace Norvane {

/// Loads plug-in libraries and creates their plug-ins through the exported factory
/// "create_plugin" (`std::shared_ptr<IPlugin>(IPluginManager&, const std::string&)`).
class OVX_HOST_API PluginLoader {
public:
    /// The factory's exported name.
    static constexpr const char* kFactoryName = "create_plugin";

    /// Loads the library and creates its plug-in. The returned pointer keeps the library loaded
    /// for as long as it (or a copy) lives; the plug-in is destroyed before the library is
    /// unloaded. Empty, with one log line, when the library cannot be loaded, lacks the factory,
    /// or the factory throws or returns nothing.
    static std::shared_ptr<IPlugin> Load(const std::filesystem::path& library,
                                         IPluginManager& manager, const std::string& name);

    /// The command table of a loaded plug-in (empty when it offers no commands). Each handler
    /// keeps the plug-in and its library alive, so the table may outlive the plug-in pointer.
    static std::vector<OvxApiCommand> GetCommands(const std::shared_ptr<IPlugin>& plugin);
};

}  // namespace Norvane
