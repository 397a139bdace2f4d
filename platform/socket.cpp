#include "platform/socket.h"

#include <cerrno>
#include <map>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

thread_local int last_error = 0;

int fail(int errno_value) {
    last_error = socket_error_from_errno(errno_value);
    return SOCKET_ERROR;
}

struct ErrorName {
    int code;
    const char* name;
};

constexpr ErrorName ERROR_NAMES[] = {
    {10004, "WSAEINTR"},           {10009, "WSAEBADF"},           {10013, "WSAEACCES"},
    {10014, "WSAEFAULT"},          {10022, "WSAEINVAL"},          {10024, "WSAEMFILE"},
    {10035, "WSAEWOULDBLOCK"},     {10036, "WSAEINPROGRESS"},     {10037, "WSAEALREADY"},
    {10038, "WSAENOTSOCK"},        {10039, "WSAEDESTADDRREQ"},    {10040, "WSAEMSGSIZE"},
    {10041, "WSAEPROTOTYPE"},      {10042, "WSAENOPROTOOPT"},     {10043, "WSAEPROTONOSUPPORT"},
    {10044, "WSAESOCKTNOSUPPORT"}, {10045, "WSAEOPNOTSUPP"},      {10046, "WSAEPFNOSUPPORT"},
    {10047, "WSAEAFNOSUPPORT"},    {10048, "WSAEADDRINUSE"},      {10049, "WSAEADDRNOTAVAIL"},
    {10050, "WSAENETDOWN"},        {10051, "WSAENETUNREACH"},     {10052, "WSAENETRESET"},
    {10053, "WSAECONNABORTED"},    {10054, "WSAECONNRESET"},      {10055, "WSAENOBUFS"},
    {10056, "WSAEISCONN"},         {10057, "WSAENOTCONN"},        {10058, "WSAESHUTDOWN"},
    {10059, "WSAETOOMANYREFS"},    {10060, "WSAETIMEDOUT"},       {10061, "WSAECONNREFUSED"},
    {10062, "WSAELOOP"},           {10063, "WSAENAMETOOLONG"},    {10064, "WSAEHOSTDOWN"},
    {10065, "WSAEHOSTUNREACH"},    {10066, "WSAENOTEMPTY"},       {10067, "WSAEPROCLIM"},
    {10068, "WSAEUSERS"},          {10069, "WSAEDQUOT"},          {10070, "WSAESTALE"},
    {10071, "WSAEREMOTE"},         {10091, "WSASYSNOTREADY"},     {10092, "WSAVERNOTSUPPORTED"},
    {10093, "WSANOTINITIALISED"},  {10101, "WSAEDISCON"},
};

sockaddr_in ipv4_address(std::uint32_t address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(address);
    return a;
}

int set_flag(Socket s, int level, int option, bool on) {
    int value = on ? 1 : 0;
    if (setsockopt(s, level, option, &value, sizeof value) != 0)
        return fail(errno);
    return 0;
}

// ---- notices ----
//
// One record per socket with notices. `wanted` is the selected set, `armed` the part of it that
// may be posted now (an event is disarmed when posted and re-armed by its re-enabling call). The
// loop watches exactly what could produce an armed event, so a socket whose notice is still
// queued never keeps the loop (or a yield's message check) busy.
struct Notice {
    EventLoop* loop = nullptr;
    std::uint32_t msg = 0;
    long wanted = 0;
    long armed = 0;
    bool listening = false;
    bool peer_closed = false; // the peer sent its FIN (or both directions are down)
    bool drained = false;     // ... and every byte before it has been read
    bool close_posted = false;
    int watch = 0;
};

std::mutex notices_lock;
std::map<Socket, Notice> notices;

void on_ready(Socket s, short revents);

void post(const Notice& n, Socket s, long event, int error) {
    n.loop->post(Message{n.msg, static_cast<std::uint64_t>(s),
                         static_cast<std::int64_t>(event | (static_cast<long>(error & 0xFFFF) << 16)),
                         {}});
}

void update_watch(Socket s, Notice& n) {
    short events = 0;
    if (n.listening) {
        if (n.armed & FD_ACCEPT)
            events |= POLLIN;
    } else if (!n.close_posted) {
        if (!n.drained && (n.armed & FD_READ))
            events |= POLLIN | POLLRDHUP;
        else if (!n.peer_closed && (n.wanted & FD_CLOSE))
            events |= POLLRDHUP;
        if (n.armed & FD_WRITE)
            events |= POLLOUT;
    }
    if (events == 0) {
        if (n.watch != 0)
            n.loop->unwatch(n.watch);
        n.watch = 0;
    } else if (n.watch != 0) {
        n.loop->set_watch_events(n.watch, events);
    } else {
        n.watch = n.loop->watch(s, events, [](int fd, short revents) { on_ready(fd, revents); });
    }
}

long bytes_waiting(Socket s) {
    int count = 0;
    if (ioctl(s, FIONREAD, &count) != 0)
        return 0;
    return count;
}

void on_ready(Socket s, short revents) {
    std::lock_guard<std::mutex> guard(notices_lock);
    auto it = notices.find(s);
    if (it == notices.end())
        return;
    Notice& n = it->second;
    if (n.listening) {
        if ((n.armed & FD_ACCEPT) && (revents & (POLLIN | POLLERR | POLLHUP))) {
            post(n, s, FD_ACCEPT, 0);
            n.armed &= ~FD_ACCEPT;
        }
        update_watch(s, n);
        return;
    }
    int error = 0;
    if (revents & POLLERR) {
        socklen_t size = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    if (error != 0) {
        // A reset loses whatever was unread: the close is due at once.
        if ((n.wanted & FD_CLOSE) && !n.close_posted)
            post(n, s, FD_CLOSE, socket_error_from_errno(error));
        n.close_posted = true;
    } else {
        if ((revents & POLLOUT) && (n.armed & FD_WRITE)) {
            post(n, s, FD_WRITE, 0);
            n.armed &= ~FD_WRITE;
        }
        if (revents & (POLLRDHUP | POLLHUP))
            n.peer_closed = true;
        if (revents & (POLLIN | POLLRDHUP | POLLHUP)) {
            bool data = !n.peer_closed || bytes_waiting(s) > 0;
            if (data) {
                if (n.armed & FD_READ) {
                    post(n, s, FD_READ, 0);
                    n.armed &= ~FD_READ;
                }
            } else {
                n.drained = true;
                if ((n.wanted & FD_CLOSE) && !n.close_posted) {
                    post(n, s, FD_CLOSE, 0);
                    n.close_posted = true;
                }
            }
        }
    }
    update_watch(s, n);
}

void rearm(Socket s, long event) {
    std::lock_guard<std::mutex> guard(notices_lock);
    auto it = notices.find(s);
    if (it == notices.end() || !(it->second.wanted & event) || (it->second.armed & event))
        return;
    it->second.armed |= event;
    update_watch(s, it->second);
}

bool has_notices(Socket s) {
    std::lock_guard<std::mutex> guard(notices_lock);
    return notices.count(s) != 0;
}

void forget_notices(Socket s) {
    std::lock_guard<std::mutex> guard(notices_lock);
    auto it = notices.find(s);
    if (it == notices.end())
        return;
    if (it->second.watch != 0)
        it->second.loop->unwatch(it->second.watch);
    notices.erase(it);
}

} // namespace

int socket_error_from_errno(int e) {
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE: // writing to a connection the peer has dropped
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return e;
    }
}

const char* socket_error_name(int code) {
    for (const ErrorName& e : ERROR_NAMES)
        if (e.code == code)
            return e.name;
    return "No listed errror";
}

int socket_last_error() { return last_error; }

int socket_startup(int major, int minor, SocketLayerInfo* info) {
    constexpr int VERSION_NOT_SUPPORTED = 10092;
    if (major < 1) {
        last_error = VERSION_NOT_SUPPORTED;
        return VERSION_NOT_SUPPORTED;
    }
    rlimit limit{};
    long max_sockets = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        max_sockets = static_cast<long>(limit.rlim_cur);
    if (info)
        *info = SocketLayerInfo{major > 2 ? 2 : major, major > 2 ? 2 : minor, max_sockets};
    return 0;
}

void socket_cleanup() {}

bool parse_ipv4(const char* text, std::uint32_t* address) {
    in_addr a{};
    if (!text || inet_pton(AF_INET, text, &a) != 1)
        return false;
    *address = ntohl(a.s_addr);
    return true;
}

Socket socket_stream() {
    Socket s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? fail(errno) : s;
}

Socket socket_datagram() {
    Socket s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return s < 0 ? fail(errno) : s;
}

int socket_bind(Socket s, std::uint32_t address, int port) {
    sockaddr_in a = ipv4_address(address, port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return fail(errno);
    return 0;
}

int socket_listen(Socket s, int backlog) {
    if (::listen(s, backlog) != 0)
        return fail(errno);
    return 0;
}

Socket socket_accept(Socket listener) {
    int flags = SOCK_CLOEXEC | (has_notices(listener) ? SOCK_NONBLOCK : 0);
    Socket s = ::accept4(listener, nullptr, nullptr, flags);
    int e = errno;
    rearm(listener, FD_ACCEPT);
    return s < 0 ? fail(e) : s;
}

int socket_connect(Socket s, std::uint32_t address, int port) {
    sockaddr_in a = ipv4_address(address, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return fail(errno == EINPROGRESS ? EAGAIN : errno);
    return 0;
}

long socket_send(Socket s, const void* data, std::size_t size) {
    ssize_t n = ::send(s, data, size, MSG_NOSIGNAL);
    if (n >= 0)
        return static_cast<long>(n);
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK)
        rearm(s, FD_WRITE);
    return fail(e);
}

long socket_recv(Socket s, void* buffer, std::size_t size, bool peek) {
    ssize_t n = ::recv(s, buffer, size, peek ? MSG_PEEK : 0);
    int e = errno;
    rearm(s, FD_READ);
    return n < 0 ? fail(e) : static_cast<long>(n);
}

long socket_recv_from(Socket s, void* buffer, std::size_t size, int* port) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = ::recvfrom(s, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0)
        return fail(errno);
    if (port)
        *port = ntohs(from.sin_port);
    return static_cast<long>(n);
}

int socket_shutdown(Socket s) {
    if (::shutdown(s, SHUT_RDWR) != 0)
        return fail(errno);
    return 0;
}

int socket_close(Socket s) {
    forget_notices(s);
    if (::close(s) != 0)
        return fail(errno);
    return 0;
}

int socket_set_nodelay(Socket s, bool on) { return set_flag(s, IPPROTO_TCP, TCP_NODELAY, on); }
int socket_set_broadcast(Socket s, bool on) { return set_flag(s, SOL_SOCKET, SO_BROADCAST, on); }
int socket_set_reuse_address(Socket s, bool on) { return set_flag(s, SOL_SOCKET, SO_REUSEADDR, on); }

int socket_set_blocking(Socket s, bool blocking) {
    int flags = fcntl(s, F_GETFL);
    if (flags < 0)
        return fail(errno);
    int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && fcntl(s, F_SETFL, wanted) != 0)
        return fail(errno);
    return 0;
}

int socket_set_receive_buffer(Socket s, int bytes) {
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return fail(errno);
    return 0;
}

int socket_reset_on_close(Socket s) {
    linger l{1, 0};
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        return fail(errno);
    return 0;
}

int socket_set_timeouts(Socket s, int receive_ms, int send_ms) {
    timeval r{receive_ms / 1000, (receive_ms % 1000) * 1000};
    timeval w{send_ms / 1000, (send_ms % 1000) * 1000};
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &w, sizeof w) != 0)
        return fail(errno);
    return 0;
}

int socket_pending_error(Socket s) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return fail(errno);
    return socket_error_from_errno(error);
}

int socket_local_port(Socket s) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return fail(errno);
    return ntohs(a.sin_port);
}

long socket_wait(Socket s, long events, int timeout_ms) {
    pollfd p{s, 0, 0};
    if (events & FD_READ)
        p.events |= POLLIN;
    if (events & FD_WRITE)
        p.events |= POLLOUT;
    int n = ::poll(&p, 1, timeout_ms);
    if (n < 0)
        return fail(errno);
    long ready = 0;
    if ((events & FD_READ) && (p.revents & (POLLIN | POLLHUP | POLLERR)))
        ready |= FD_READ;
    if ((events & FD_WRITE) && (p.revents & (POLLOUT | POLLHUP | POLLERR)))
        ready |= FD_WRITE;
    return ready;
}

int socket_async_select(Socket s, EventLoop* loop, std::uint32_t msg, long events) {
    if (events == 0 || !loop) {
        forget_notices(s);
        return 0;
    }
    // The system calls only when the socket gets its first notices: transports re-select on
    // every command.
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(notices_lock);
        auto it = notices.find(s);
        known = it != notices.end() && it->second.loop == loop;
    }
    if (!known && socket_set_blocking(s, false) != 0)
        return SOCKET_ERROR;
    std::lock_guard<std::mutex> guard(notices_lock);
    Notice& n = notices[s];
    if (!known) {
        if (n.loop && n.watch != 0)
            n.loop->unwatch(n.watch);
        n = Notice{};
        n.loop = loop;
    }
    // Accept notices are asked for on listeners only (often before listen() is called).
    n.listening = (events & FD_ACCEPT) != 0;
    n.msg = msg;
    n.wanted = events;
    n.armed = events;
    update_watch(s, n);
    return 0;
}

} // namespace platform
