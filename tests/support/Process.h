#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Norvane::Test {

/// A child process started with argv (no shell); stdout and stderr go to files. The
/// destructor kills what is still running (SIGKILL to its process group) and reaps it.
class Process {
public:
    /// Starts argv[0] (searched on PATH) with extra environment entries "NAME=value".
    explicit Process(std::vector<std::string> argv, std::vector<std::string> env = {},
                     std::string outputPrefix = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool Running();
    /// Sends a signal to the process.
    void Signal(int sig);
    /// Waits for the exit; the exit code, 128+signal for a killed process, nothing on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    /// What the process wrote to standard output and standard error so far.
    std::string Stdout() const;
    std::string Stderr() const;
    /// Waits until standard output or standard error contains the text.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
    /// Waits until `done()` holds; it is asked again each time the process writes output or
    /// ends.
    bool WaitUntilOutput(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    pid_t pid_{-1};
    int pidfd_{-1};  ///< readable once the process has ended
    std::optional<int> status_;
    std::string outPath_;
    std::string errPath_;
};

/// Runs a command to its end and returns its exit code and standard output.
struct RunResult {
    int exitCode{-1};
    std::string out;
    std::string err;
};
RunResult Run(std::vector<std::string> argv,
              std::chrono::milliseconds timeout = std::chrono::seconds(30),
              std::vector<std::string> env = {});

}  // namespace Norvane::Test
