// Starting and ending other programs, for system tests and benchmarks that run the real binaries.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

class ChildProcess {
public:
    ChildProcess() = default;
    // Kills (SIGKILL) and reaps a child that still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path) with the environment of this process plus `env` ("NAME=value"
    // entries replace ones of the same name). Standard output and error go to output_file when
    // given (created or truncated).
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               const std::string& output_file = "");
    long pid() const { return pid_; }
    bool send_signal(int signal);
    // Processor time (user and system) the child has used so far, in milliseconds; -1 when unknown.
    long cpu_ms() const;
    // The exit code (128 + signal number when a signal ended it), or empty when it still runs
    // after timeout_ms.
    std::optional<int> wait(int timeout_ms);

private:
    long pid_ = 0;
};

} // namespace platform
