#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "TestEnv.h"

extern char** environ;

namespace Norvane::Test {

namespace {

/// Milliseconds left until `deadline`, for poll(); 0 once it has passed.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// A file descriptor closed with its holder.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string TempName(const std::string& prefix, const char* suffix) {
    static int counter = 0;
    return (std::filesystem::temp_directory_path() /
            (prefix + "proc-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
             suffix))
        .string();
}

}  // namespace

Process::Process(std::vector<std::string> argv, std::vector<std::string> env,
                 std::string outputPrefix)
    : outPath_(TempName(outputPrefix, ".out")), errPath_(TempName(outputPrefix, ".err")) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    for (auto& e : env)
        envStrings.push_back(std::move(e));
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    const int rc = posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
    // glibc 2.36's <sys/pidfd.h> lacks extern "C"; the system call itself is the same.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw std::runtime_error("cannot watch " + argv[0]);
    }
}

Process::~Process() {
    if (pid_ > 0 && Running()) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
    if (pidfd_ >= 0)
        ::close(pidfd_);
    std::error_code ec;
    std::filesystem::remove(outPath_, ec);
    std::filesystem::remove(errPath_, ec);
}

bool Process::Running() {
    if (status_ || pid_ <= 0)
        return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return r == 0;
}

void Process::Signal(int sig) {
    if (Running())
        ::kill(pid_, sig);
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        pollfd ended{pidfd_, POLLIN, 0};
        const int ready = ::poll(&ended, 1, MillisecondsUntil(deadline));
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return Running() ? std::nullopt : status_;
    }
    return status_;
}

std::string Process::Stdout() const {
    return ReadFile(outPath_);
}
std::string Process::Stderr() const {
    return ReadFile(errPath_);
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return WaitUntilOutput(
        [&] {
            return Stdout().find(text) != std::string::npos ||
                   Stderr().find(text) != std::string::npos;
        },
        timeout);
}

bool Process::WaitUntilOutput(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const Fd written{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    for (const auto& path : {outPath_, errPath_})
        ::inotify_add_watch(written.fd, path.c_str(), IN_MODIFY);
    // Asked once more after the watches are in place, so that nothing written goes unseen.
    bool ended = false;
    for (;;) {
        if (done())
            return true;
        if (ended)
            return false;
        std::array<pollfd, 2> events{{{written.fd, POLLIN, 0}, {pidfd_, POLLIN, 0}}};
        const int ready = ::poll(events.data(), events.size(), MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return done();
        // Once the process has ended, nothing more will come: one last look.
        ended = events[1].revents != 0;
        std::array<char, 4096> drain;
        while (::read(written.fd, drain.data(), drain.size()) > 0) {
        }
    }
}

RunResult Run(std::vector<std::string> argv, std::chrono::milliseconds timeout,
              std::vector<std::string> env) {
    Process p(std::move(argv), std::move(env));
    RunResult result;
    if (auto code = p.Wait(timeout))
        result.exitCode = *code;
    result.out = p.Stdout();
    result.err = p.Stderr();
    return result;
}

}  // namespace Norvane::Test
