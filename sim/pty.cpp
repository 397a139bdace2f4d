#include "sim/pty.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace nvsim::sys {

namespace {

std::string why(const std::string& what) { return what + ": " + std::strerror(errno); }

bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

volatile std::sig_atomic_t stop_flag = 0;
int signal_wake_fd = -1;

void on_stop_signal(int) {
    stop_flag = 1;
    if (signal_wake_fd >= 0) {
        int saved = errno;
        char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(signal_wake_fd, &byte, 1);
        errno = saved;
    }
}

} // namespace

bool open_pty(Pty& pty, std::string& error) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = why("openpty");
        return false;
    }
    if (!set_raw(slave) || !set_nonblocking(master) || ::fcntl(master, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(slave, F_SETFD, FD_CLOEXEC) != 0) {
        error = why("pty set-up");
        ::close(master);
        ::close(slave);
        return false;
    }
    pty.master = master;
    pty.slave = slave;
    pty.slave_path = name;
    return true;
}

void close_pty(Pty& pty) {
    close_fd(pty.master);
    close_fd(pty.slave);
    pty.master = -1;
    pty.slave = -1;
}

int open_serial(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = why(path);
        return -1;
    }
    if (!set_raw(fd)) {
        error = why(path + ": not a serial device");
        ::close(fd);
        return -1;
    }
    if (!set_link_line(fd, error)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool poll_items(std::vector<PollItem>& items, int timeout_ms) {
    std::vector<pollfd> fds;
    fds.reserve(items.size());
    for (const PollItem& item : items) {
        short events = 0;
        if (item.want_read)
            events |= POLLIN;
        if (item.want_write)
            events |= POLLOUT;
        fds.push_back(pollfd{item.fd, events, 0});
    }
    int n = ::poll(fds.data(), fds.size(), timeout_ms);
    if (n < 0)
        return errno == EINTR;
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i].readable = (fds[i].revents & POLLIN) != 0;
        items[i].writable = (fds[i].revents & POLLOUT) != 0;
        items[i].failed = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return true;
}

long read_some(int fd, std::uint8_t* data, std::size_t size) {
    ssize_t n = ::read(fd, data, size);
    if (n >= 0)
        return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

long write_some(int fd, const std::uint8_t* data, std::size_t size) {
    ssize_t n = ::write(fd, data, size);
    if (n >= 0)
        return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        long n = write_some(fd, reinterpret_cast<const std::uint8_t*>(text.data()) + done, text.size() - done);
        if (n == -2)
            return false;
        if (n < 0) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0 && errno != EINTR)
                return false;
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void close_fd(int fd) {
    if (fd >= 0)
        ::close(fd);
}

bool open_wake(WakePipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    pipe.read_fd = fds[0];
    pipe.write_fd = fds[1];
    return true;
}

void wake(const WakePipe& pipe) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(pipe.write_fd, &byte, 1);
}

void drain_wake(const WakePipe& pipe) {
    char buffer[64];
    while (::read(pipe.read_fd, buffer, sizeof buffer) > 0) {
    }
}

void close_wake(WakePipe& pipe) {
    close_fd(pipe.read_fd);
    close_fd(pipe.write_fd);
    pipe = WakePipe{};
}

int listen_unix(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "control socket path too long: " + path;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = why("socket");
        return -1;
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        error = why(path);
        ::close(fd);
        return -1;
    }
    return fd;
}

int accept_client(int listener) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd;
}

int connect_unix(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void remove_path(const std::string& path) { ::unlink(path.c_str()); }

void catch_stop_signals(const WakePipe& pipe) {
    signal_wake_fd = pipe.write_fd;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stop_signalled() { return stop_flag != 0; }

} // namespace nvsim::sys
