#include "platform/instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

InstanceLock::~InstanceLock() { release(); }

InstanceLock::Result InstanceLock::acquire(const std::string& path) {
    release();
    holder_ = 0;
    error_.clear();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return Result::failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Result result = Result::failed;
        if (errno == EWOULDBLOCK) {
            char text[32] = "";
            ssize_t n = pread(fd, text, sizeof text - 1, 0);
            if (n > 0) {
                text[n] = '\0';
                holder_ = std::strtol(text, nullptr, 10);
            }
            result = Result::held_elsewhere;
        } else {
            error_ = std::strerror(errno);
        }
        close(fd);
        return result;
    }
    std::string pid = std::to_string(static_cast<long>(getpid())) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without the note; only the refusal message of a second copy loses the id.
    }
    fd_ = fd;
    return Result::taken;
}

void InstanceLock::release() {
    if (fd_ < 0)
        return;
    close(fd_);
    fd_ = -1;
}

} // namespace platform
