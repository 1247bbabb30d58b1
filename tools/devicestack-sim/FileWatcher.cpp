#include "FileWatcher.h"

#include <spdlog/spdlog.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace Norvane::Tools {

namespace {

constexpr std::uint32_t kMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;

int OpenInotify() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "inotify_init1");
    return fd;
}

}  // namespace

FileWatcher::FileWatcher(boost::asio::io_context& io, std::chrono::milliseconds settle)
    : io_(io),
      settleTime_(settle),
      inotify_(io, OpenInotify()),
      alive_(std::make_shared<bool>(true)) {
    Read();
}

FileWatcher::~FileWatcher() {
    Stop();
}

bool FileWatcher::Watch(const std::string& key, const std::filesystem::path& file,
                        Handler handler) {
    Unwatch(key);
    if (!inotify_.is_open())
        return false;
    const auto absolute = std::filesystem::absolute(file).lexically_normal();
    const auto directory = absolute.parent_path();
    const int wd = ::inotify_add_watch(inotify_.native_handle(), directory.c_str(), kMask);
    if (wd < 0) {
        SPDLOG_WARN("Cannot watch '{}' ({}), its changes go unnoticed", absolute.string(),
                    std::strerror(errno));
        return false;
    }
    directories_[wd] = directory;
    Target target{directory, absolute.filename().string(), std::move(handler),
                  std::make_unique<boost::asio::steady_timer>(io_), false};
    targets_.emplace(key, std::move(target));
    SPDLOG_DEBUG("Watching '{}'", absolute.string());
    return true;
}

void FileWatcher::Unwatch(const std::string& key) {
    const auto it = targets_.find(key);
    if (it == targets_.end())
        return;
    const auto directory = it->second.directory;
    it->second.settle->cancel();
    targets_.erase(it);
    ReleaseDirectory(directory);
}

void FileWatcher::ReleaseDirectory(const std::filesystem::path& directory) {
    for (const auto& [key, target] : targets_)
        if (target.directory == directory)
            return;
    for (auto it = directories_.begin(); it != directories_.end(); ++it) {
        if (it->second == directory) {
            if (inotify_.is_open())
                ::inotify_rm_watch(inotify_.native_handle(), it->first);
            directories_.erase(it);
            return;
        }
    }
}

void FileWatcher::Stop() {
    *alive_ = false;
    for (auto& [key, target] : targets_)
        target.settle->cancel();
    targets_.clear();
    directories_.clear();
    boost::system::error_code ec;
    inotify_.close(ec);
}

void FileWatcher::Read() {
    inotify_.async_read_some(
        boost::asio::buffer(buffer_),
        [this, alive = alive_](const boost::system::error_code& ec, std::size_t n) {
            if (!*alive)
                return;
            if (ec) {
                SPDLOG_ERROR("File watching stopped ({})", ec.message());
                return;
            }
            std::size_t offset = 0;
            while (offset + sizeof(inotify_event) <= n) {
                inotify_event event;
                std::memcpy(&event, buffer_.data() + offset, sizeof event);
                std::string name;
                if (event.len > 0 && offset + sizeof event + event.len <= n)
                    name.assign(buffer_.data() + offset + sizeof event,
                                ::strnlen(buffer_.data() + offset + sizeof event, event.len));
                offset += sizeof event + event.len;
                OnEvent(event.wd, event.mask, name);
            }
            Read();
        });
}

void FileWatcher::OnEvent(int wd, std::uint32_t mask, const std::string& name) {
    if (mask & IN_Q_OVERFLOW) {
        SPDLOG_WARN("File-change events were lost, treating every watched file as changed");
        for (auto& [key, target] : targets_)
            Trigger(target);
        return;
    }
    const auto dir = directories_.find(wd);
    if (dir == directories_.end())
        return;
    if (mask & IN_IGNORED) {
        SPDLOG_WARN("Directory '{}' is no longer watched", dir->second.string());
        directories_.erase(dir);
        return;
    }
    for (auto& [key, target] : targets_)
        if (target.directory == dir->second && target.name == name)
            Trigger(target);
}

void FileWatcher::Trigger(Target& target) {
    if (target.pending)
        return;
    target.pending = true;
    target.settle->expires_after(settleTime_);
    target.settle->async_wait([&target, alive = alive_](const boost::system::error_code& ec) {
        if (ec || !*alive)
            return;
        target.pending = false;
        // A copy: the handler may replace the very target it belongs to.
        if (auto handler = target.handler)
            handler();
    });
}

}  // namespace Norvane::Tools
