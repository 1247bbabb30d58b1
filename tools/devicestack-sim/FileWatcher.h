#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Norvane::Tools {

/// Watches single files through inotify on their directories, so that a file replaced by a
/// rename (as editors and atomic writers do), created, written or removed is noticed. Changes
/// that follow each other within the settle time are reported once.
class FileWatcher {
public:
    /// Called after a watched file changed.
    using Handler = std::function<void()>;

    /// A watcher whose handlers run on `io`.
    FileWatcher(boost::asio::io_context& io, std::chrono::milliseconds settle);
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    /// Watches `file` under `key`, replacing what that key watched before. False (and one
    /// log line) when its directory cannot be watched.
    bool Watch(const std::string& key, const std::filesystem::path& file, Handler handler);
    /// Stops watching what `key` watched.
    void Unwatch(const std::string& key);
    /// Stops all watching; no handler runs afterwards.
    void Stop();

private:
    struct Target {
        std::filesystem::path directory;
        std::string name;
        Handler handler;
        std::unique_ptr<boost::asio::steady_timer> settle;
        bool pending{false};
    };

    void Read();
    void OnEvent(int wd, std::uint32_t mask, const std::string& name);
    void Trigger(Target& target);
    void ReleaseDirectory(const std::filesystem::path& directory);

    boost::asio::io_context& io_;
    std::chrono::milliseconds settleTime_;
    boost::asio::posix::stream_descriptor inotify_;
    std::map<int, std::filesystem::path> directories_;  ///< watch descriptor -> directory
    std::map<std::string, Target> targets_;
    std::array<char, 16 * 1024> buffer_{};
    std::shared_ptr<bool> alive_;  ///< reset on Stop, checked by pending handlers
};

}  // namespace Norvane::Tools
