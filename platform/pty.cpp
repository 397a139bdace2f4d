#include "platform/pty.h"

#include "platform/serial_baud.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

std::unique_ptr<PtyPair> PtyPair::open() {
    int master = -1;
    int slave = -1;
    char name[PATH_MAX] = {};
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) return nullptr;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<PtyPair>(new PtyPair(master, slave, name));
}

PtyPair::~PtyPair() {
    if (!link_path_.empty()) unlink(link_path_.c_str());
    close_master();
    close_slave();
}

bool PtyPair::link(const std::string& path) {
    unlink(path.c_str());
    if (symlink(slave_path_.c_str(), path.c_str()) != 0) return false;
    link_path_ = path;
    return true;
}

int PtyPair::write_master(const void* data, std::size_t n) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t k = ::write(master_, bytes + done, n - done);
        if (k > 0) {
            done += static_cast<std::size_t>(k);
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EINTR) return -1;
        pollfd fd{master_, POLLOUT, 0};
        const int rc = poll(&fd, 1, 2000);
        if (rc == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (rc < 0 && errno != EINTR) return -1;
    }
    return static_cast<int>(done);
}

int PtyPair::read_master(std::uint8_t* data, int n, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    int got = 0;
    while (got < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd fd{master_, POLLIN, 0};
        const int rc = poll(&fd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) break;
        const ssize_t k = ::read(master_, data + got, static_cast<std::size_t>(n - got));
        if (k > 0) {
            got += static_cast<int>(k);
        } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
            return got > 0 ? got : -1;
        }
    }
    return got;
}

std::uint32_t PtyPair::slave_baud() const {
    std::uint32_t baud = 0;
    if (master_ < 0 || !detail::serial_get_baud(master_, &baud)) return 0;
    return baud;
}

void PtyPair::close_master() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

void PtyPair::close_slave() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
}

std::unique_ptr<SerialDevice> PtyPair::take_master() {
    if (master_ < 0) {
        errno = EBADF;
        return nullptr;
    }
    const int fd = master_;
    master_ = -1;
    return serial_adopt(fd);
}

} // namespace platform
