#include "sim/control_io.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace nvsim::io {

namespace {
bool fill_address(const std::string& path, sockaddr_un& address) {
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}
} // namespace

int listen_unix(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (!fill_address(path, address)) {
        error = "control socket path empty or too long: " + path;
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int accept_client(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

int connect_unix(const std::string& path) {
    sockaddr_un address{};
    if (!fill_address(path, address)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void remove_path(const std::string& path) {
    ::unlink(path.c_str());
}

long read_some(int fd, char* data, std::size_t size) {
    ssize_t n = ::read(fd, data, size);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        // A reader that takes nothing for two seconds has gone as far as we are concerned.
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 2000) == 0) return false;
    }
    return true;
}

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

} // namespace nvsim::io
