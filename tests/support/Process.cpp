#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "TestEnv.h"

extern char** environ;

namespace Norvane::Test {

namespace {

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
}

Process::~Process() {
    if (pid_ > 0 && Running()) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
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
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Stdout().find(text) != std::string::npos || Stderr().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
