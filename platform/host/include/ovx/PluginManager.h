#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/sink.h>

#include "ovx/HostApi.h"
#include "ovx/IPluginManager.h"

namespace Norvane {

/// The host's plug-in manager: loggers writing to files in one directory, and one object model.
class OVX_HOST_API PluginManager : public IPluginManager {
public:
    /// The version `GetApiVersion` reports: 1.0.
    static constexpr std::uint32_t kApiVersion = 0x00010000;

    /// A manager over a model, writing plug-in logs below `logDirectory`; every plug-in logger
    /// also writes to the extra sinks (a console, a test's capturing sink).
    PluginManager(std::shared_ptr<KesDOM> dom, std::filesystem::path logDirectory,
                  std::vector<spdlog::sink_ptr> extraSinks = {});
    ~PluginManager() override;

    /// The logger of a log file (one per file name, named after the file's stem), at info level
    /// and flushed at each record. Empty, with one log line, for a name with a directory part or
    /// a file that cannot be opened.
    std::shared_ptr<spdlog::logger> GetLogger(const std::string& fileName) override;
    /// `kApiVersion`.
    std::uint32_t GetApiVersion() override;
    /// The model given at construction (empty after `SetDOM({})`).
    std::shared_ptr<KesDOM> GetDOM() override;
    /// Replaces the model (the host reloading its project).
    void SetDOM(std::shared_ptr<KesDOM> dom) { dom_ = std::move(dom); }
    /// How often `GetApiVersion` was called.
    unsigned ApiVersionCalls() const { return apiVersionCalls_; }

private:
    std::shared_ptr<KesDOM> dom_;
    std::filesystem::path logDirectory_;
    std::vector<spdlog::sink_ptr> extraSinks_;
    std::map<std::string, std::shared_ptr<spdlog::logger>> loggers_;
    unsigned apiVersionCalls_{0};
};

}  // namespace Norvane
