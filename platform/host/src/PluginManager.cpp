#include "ovx/PluginManager.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "kes/KesDOM.h"

namespace Norvane {

namespace {

constexpr const char* kPattern = "%Y-%m-%d %T.%e%z | %7t | %^%-8l%$ | %n - %v [%!] (%s:%#)";

}  // namespace

PluginManager::PluginManager(std::shared_ptr<KesDOM> dom, std::filesystem::path logDirectory,
                             std::vector<spdlog::sink_ptr> extraSinks)
    : dom_(std::move(dom)),
      logDirectory_(std::move(logDirectory)),
      extraSinks_(std::move(extraSinks)) {}

PluginManager::~PluginManager() = default;

std::shared_ptr<spdlog::logger> PluginManager::GetLogger(const std::string& fileName) {
    const std::filesystem::path name(fileName);
    if (fileName.empty() || name.has_parent_path() || fileName == "." || fileName == "..") {
        SPDLOG_ERROR("Refusing plug-in log file name '{}': not a plain file name", fileName);
        return nullptr;
    }
    if (const auto it = loggers_.find(fileName); it != loggers_.end())
        return it->second;
    const auto path = logDirectory_ / name;
    std::shared_ptr<spdlog::sinks::basic_file_sink_mt> file;
    try {
        file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path.string());
    } catch (const spdlog::spdlog_ex& e) {
        SPDLOG_ERROR("Cannot open plug-in log file '{}': {}", path.string(), e.what());
        return nullptr;
    }
    file->set_pattern(kPattern);
    std::vector<spdlog::sink_ptr> sinks = extraSinks_;
    sinks.push_back(std::move(file));
    auto logger =
        std::make_shared<spdlog::logger>(name.stem().string(), sinks.begin(), sinks.end());
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info);
    loggers_.emplace(fileName, logger);
    return logger;
}

std::uint32_t PluginManager::GetApiVersion() {
    ++apiVersionCalls_;
    return kApiVersion;
}

std::shared_ptr<KesDOM> PluginManager::GetDOM() {
    return dom_;
}

}  // namespace Norvane
