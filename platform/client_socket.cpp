#include "platform/client_socket.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

int set_timeout(Socket s, int option, int ms) {
    if (ms < 0)
        ms = 0;
    timeval t{ms / 1000, (ms % 1000) * 1000};
    if (setsockopt(s, SOL_SOCKET, option, &t, sizeof t) != 0)
        return socket_error_from_errno(errno);
    return 0;
}

} // namespace

int client_resolve_ipv4(const char* host, std::uint32_t* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0 || !result) {
        if (result)
            freeaddrinfo(result);
        switch (rc) {
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
        case EAI_SYSTEM:
            return socket_error_from_errno(errno);
        default:
            return WSAHOST_NOT_FOUND;
        }
    }
    *address = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(result);
    return 0;
}

int client_set_receive_timeout(Socket s, int ms) { return set_timeout(s, SO_RCVTIMEO, ms); }
int client_set_send_timeout(Socket s, int ms) { return set_timeout(s, SO_SNDTIMEO, ms); }

bool client_peer_closed(Socket s) {
    pollfd p{s, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

SocketWakeup::~SocketWakeup() {
    if (fd_ >= 0)
        ::close(fd_);
}

int SocketWakeup::open() {
    if (fd_ >= 0)
        return 0;
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd_ < 0 ? socket_error_from_errno(errno) : 0;
}

void SocketWakeup::signal() {
    if (fd_ < 0)
        return;
    std::uint64_t one = 1;
    // Only a full counter can refuse the write, and then the descriptor is readable anyway.
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

WaitResult client_wait_readable(Socket s, const SocketWakeup& wakeup, int* error) {
    pollfd fds[2] = {{wakeup.fd(), POLLIN, 0}, {s, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = socket_error_from_errno(errno);
            return WaitResult::failed;
        }
        if (fds[0].revents)
            return WaitResult::woken;
        if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
            return WaitResult::readable;
        if (fds[1].revents & POLLNVAL) {
            *error = socket_error_from_errno(EBADF);
            return WaitResult::failed;
        }
    }
}

} // namespace platform
