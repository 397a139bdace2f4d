#include "platform/child_process.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock.h"

extern char** environ;

namespace platform {

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(static_cast<pid_t>(pid_), SIGKILL);
        waitpid(static_cast<pid_t>(pid_), nullptr, 0);
    }
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& output_file) {
    if (argv.empty() || pid_ > 0)
        return false;
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& extra : env)
            replaced = replaced || extra.substr(0, extra.find('=')) == name;
        if (!replaced)
            environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output_file.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = 0;
    int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    pid_ = pid;
    return true;
}

bool ChildProcess::send_signal(int signal) { return pid_ > 0 && kill(static_cast<pid_t>(pid_), signal) == 0; }

long ChildProcess::cpu_ms() const {
    if (pid_ <= 0)
        return -1;
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold blanks; the fields after its closing parenthesis are
    // state, ppid, ... with utime and stime as the 12th and 13th.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    long utime = -1;
    long stime = -1;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12)
            utime = std::stol(field);
        if (i == 13)
            stime = std::stol(field);
    }
    long ticks = sysconf(_SC_CLK_TCK);
    if (utime < 0 || stime < 0 || ticks <= 0)
        return -1;
    return (utime + stime) * 1000 / ticks;
}

std::optional<int> ChildProcess::wait(int timeout_ms) {
    if (pid_ <= 0)
        return std::nullopt;
    std::int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
        if (done == static_cast<pid_t>(pid_)) {
            pid_ = 0;
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (done < 0 || monotonic_ms() >= deadline)
            return std::nullopt;
        poll(nullptr, 0, 10);
    }
}

} // namespace platform
