#include "platform/window_endpoint.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {
namespace {

constexpr char REQUEST_MAGIC[] = "NVWM";
constexpr char REPLY_MAGIC[] = "NVWR";
constexpr std::uint32_t KIND_POST = 1;
constexpr std::uint32_t KIND_SEND = 2;
constexpr std::uint32_t KIND_QUERY = 3;
// Bytes read from one connection per readiness, so that one busy peer cannot hold the loop.
constexpr std::size_t READ_BUDGET = 65536;

std::atomic<std::uint32_t> handle_sequence{0};

void put_u32(std::string* s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_u64(std::string* s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint32_t get_u32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
std::uint64_t get_u64(const char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// Checks the magic on as many bytes as have come, so that garbage is refused at once.
bool magic_so_far(std::string_view bytes, const char* magic) {
    std::size_t n = bytes.size() < 4 ? bytes.size() : 4;
    return bytes.substr(0, n) == std::string_view(magic, n);
}

std::string name_prefix() {
    std::string prefix = "nuvra-window";
    const char* ns = std::getenv("NUVRA_WINDOW_NAMESPACE");
    if (ns && *ns) {
        prefix += '.';
        prefix += ns;
    }
    return prefix;
}

std::string handle_name(WindowHandle handle) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(handle));
    return name_prefix() + "/handle/" + hex;
}

std::string title_name(const std::string& title) { return name_prefix() + "/title/" + title; }

bool make_address(const std::string& name, sockaddr_un* address, socklen_t* length) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address->sun_path || name.find('\0') != std::string::npos)
        return false;
    // Abstract namespace: a leading zero byte, then the name without a terminator.
    std::memcpy(address->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

int remaining(std::int64_t deadline) {
    std::int64_t left = deadline - monotonic_ms();
    return left <= 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
}

// Connects without blocking past the deadline; -1 when nobody listens under the name.
int connect_to(const std::string& name, int timeout_ms) {
    sockaddr_un address;
    socklen_t length;
    if (!make_address(name, &address, &length))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0)
            return fd;
        // EAGAIN: the listener's backlog is full for now.
        if (errno != EAGAIN || remaining(deadline) == 0) {
            ::close(fd);
            return -1;
        }
        poll(nullptr, 0, 5);
    }
}

bool write_all(int fd, std::string_view data, std::int64_t deadline) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, remaining(deadline)) <= 0)
            return false;
    }
    return true;
}

std::optional<SendReply> exchange(const std::string& name, const std::string& request, int timeout_ms) {
    std::int64_t deadline = monotonic_ms() + timeout_ms;
    int fd = connect_to(name, timeout_ms);
    if (fd < 0)
        return std::nullopt;
    std::optional<SendReply> result;
    if (write_all(fd, request, deadline)) {
        std::string in;
        char buffer[4096];
        for (;;) {
            SendReply reply;
            std::size_t used = 0;
            FrameParse parsed = parse_reply(in, &reply, &used);
            if (parsed == FrameParse::complete)
                result = std::move(reply);
            if (parsed != FrameParse::need_more)
                break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, remaining(deadline)) <= 0)
                break;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR)))
                break;
            if (n > 0)
                in.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return result;
}

} // namespace

std::string encode_request(std::uint32_t kind, std::uint32_t msg, std::uint64_t wparam, std::int64_t lparam,
                           std::string_view payload) {
    std::string s(REQUEST_MAGIC, 4);
    put_u32(&s, kind);
    put_u32(&s, msg);
    put_u64(&s, wparam);
    put_u64(&s, static_cast<std::uint64_t>(lparam));
    put_u32(&s, static_cast<std::uint32_t>(payload.size()));
    s.append(payload);
    return s;
}

FrameParse parse_request(std::string_view bytes, Request* request, std::size_t* used) {
    if (!magic_so_far(bytes, REQUEST_MAGIC))
        return FrameParse::bad;
    if (bytes.size() < WINDOW_REQUEST_HEADER)
        return FrameParse::need_more;
    std::uint32_t kind = get_u32(bytes.data() + 4);
    std::uint32_t n = get_u32(bytes.data() + 28);
    if (kind < KIND_POST || kind > KIND_QUERY || n > WINDOW_PAYLOAD_MAX)
        return FrameParse::bad;
    if (bytes.size() < WINDOW_REQUEST_HEADER + n)
        return FrameParse::need_more;
    request->kind = kind;
    request->message.msg = get_u32(bytes.data() + 8);
    request->message.wparam = get_u64(bytes.data() + 12);
    request->message.lparam = static_cast<std::int64_t>(get_u64(bytes.data() + 20));
    request->message.payload.assign(bytes.data() + WINDOW_REQUEST_HEADER, n);
    *used = WINDOW_REQUEST_HEADER + n;
    return FrameParse::complete;
}

std::string encode_reply(std::int64_t result, std::string_view payload) {
    std::string s(REPLY_MAGIC, 4);
    put_u64(&s, static_cast<std::uint64_t>(result));
    put_u32(&s, static_cast<std::uint32_t>(payload.size()));
    s.append(payload);
    return s;
}

FrameParse parse_reply(std::string_view bytes, SendReply* reply, std::size_t* used) {
    if (!magic_so_far(bytes, REPLY_MAGIC))
        return FrameParse::bad;
    if (bytes.size() < WINDOW_REPLY_HEADER)
        return FrameParse::need_more;
    std::uint32_t n = get_u32(bytes.data() + 12);
    if (n > WINDOW_PAYLOAD_MAX)
        return FrameParse::bad;
    if (bytes.size() < WINDOW_REPLY_HEADER + n)
        return FrameParse::need_more;
    reply->result = static_cast<std::int64_t>(get_u64(bytes.data() + 4));
    reply->payload.assign(bytes.data() + WINDOW_REPLY_HEADER, n);
    *used = WINDOW_REPLY_HEADER + n;
    return FrameParse::complete;
}

std::string encode_command_record(const CommandRecord& record) {
    std::string s;
    put_u32(&s, record.second_word);
    put_u32(&s, record.answer_size);
    std::string_view text = record.command;
    text = text.substr(0, text.find('\0'));
    std::size_t room = WINDOW_PAYLOAD_MAX - 8;
    s.append(text.substr(0, room));
    return s;
}

bool decode_command_record(std::string_view payload, CommandRecord* record) {
    if (payload.size() < 8)
        return false;
    record->second_word = get_u32(payload.data());
    record->answer_size = get_u32(payload.data() + 4);
    std::string_view text = payload.substr(8);
    record->command.assign(text.substr(0, text.find('\0')));
    return true;
}

WindowHandle find_window(const std::string& title, int timeout_ms) {
    if (title.empty() || title.size() > WINDOW_TITLE_MAX)
        return 0;
    auto reply = exchange(title_name(title), encode_request(KIND_QUERY, WM_NULL, 0, 0, {}), timeout_ms);
    if (!reply || reply->result <= 0)
        return 0;
    return static_cast<WindowHandle>(reply->result);
}

bool post_message(WindowHandle window, std::uint32_t msg, std::uint64_t wparam, std::int64_t lparam,
                  std::string_view payload) {
    if (window == 0 || payload.size() > WINDOW_PAYLOAD_MAX)
        return false;
    int fd = connect_to(handle_name(window), 0);
    if (fd < 0)
        return false;
    // A fresh Unix stream socket takes a whole bounded frame at once; anything less is a failure.
    std::string frame = encode_request(KIND_POST, msg, wparam, lparam, payload);
    ssize_t n = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    return n == static_cast<ssize_t>(frame.size());
}

std::optional<SendReply> send_message(WindowHandle window, std::uint32_t msg, std::uint64_t wparam,
                                      std::int64_t lparam, std::string_view payload, int timeout_ms) {
    if (window == 0 || payload.size() > WINDOW_PAYLOAD_MAX)
        return std::nullopt;
    return exchange(handle_name(window), encode_request(KIND_SEND, msg, wparam, lparam, payload), timeout_ms);
}

WindowEndpoint::WindowEndpoint(EventLoop& loop, WindowProcedure procedure)
    : loop_(loop), procedure_(std::move(procedure)) {}

WindowEndpoint::~WindowEndpoint() { close(); }

int WindowEndpoint::listen_on(const std::string& name, bool* taken) {
    *taken = false;
    sockaddr_un address;
    socklen_t length;
    if (!make_address(name, &address, &length)) {
        error_ = "window name too long: " + name;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        *taken = errno == EADDRINUSE;
        error_ = std::string("bind: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (listen(fd, SOMAXCONN) != 0) {
        error_ = std::string("listen: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

EndpointStatus WindowEndpoint::open(const std::string& title) {
    close();
    error_.clear();
    if (title.size() > WINDOW_TITLE_MAX || title.find('\0') != std::string::npos) {
        error_ = "window title too long or not text";
        return EndpointStatus::failed;
    }
    std::uint64_t pid = static_cast<std::uint64_t>(getpid());
    for (int attempt = 0; attempt < 100 && handle_fd_ < 0; ++attempt) {
        std::uint32_t sequence = ++handle_sequence;
        if (sequence == 0)
            sequence = ++handle_sequence;
        WindowHandle candidate = (pid << 32) | sequence;
        bool taken = false;
        handle_fd_ = listen_on(handle_name(candidate), &taken);
        if (handle_fd_ >= 0)
            handle_ = candidate;
        else if (!taken)
            return EndpointStatus::failed;
    }
    if (handle_fd_ < 0)
        return EndpointStatus::failed;
    handle_watch_ = loop_.watch(handle_fd_, POLLIN, [this](int fd, short) { accept_from(fd, false); });
    if (title.empty())
        return EndpointStatus::ok;

    bool taken = false;
    title_fd_ = listen_on(title_name(title), &taken);
    if (title_fd_ < 0) {
        if (!taken) {
            close();
            return EndpointStatus::failed;
        }
        WindowHandle holder = find_window(title);
        error_ = "the window \"" + title + "\" is already held by another program";
        if (holder != 0)
            error_ += " (process " + std::to_string(holder >> 32) + ")";
        return EndpointStatus::title_taken;
    }
    title_watch_ = loop_.watch(title_fd_, POLLIN, [this](int fd, short) { accept_from(fd, true); });
    return EndpointStatus::ok;
}

void WindowEndpoint::close() {
    while (!connections_.empty())
        drop(connections_.begin()->first);
    if (handle_watch_)
        loop_.unwatch(handle_watch_);
    if (title_watch_)
        loop_.unwatch(title_watch_);
    if (handle_fd_ >= 0)
        ::close(handle_fd_);
    if (title_fd_ >= 0)
        ::close(title_fd_);
    handle_fd_ = title_fd_ = -1;
    handle_watch_ = title_watch_ = 0;
    handle_ = 0;
}

void WindowEndpoint::accept_from(int listener, bool title_only) {
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        ucred peer{};
        socklen_t length = sizeof peer;
        bool same_user = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
                         (peer.uid == geteuid() || peer.uid == 0);
        if (!same_user || static_cast<int>(connections_.size()) >= WINDOW_CONNECTIONS_MAX) {
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->title_only = title_only;
        connection->watch = loop_.watch(fd, POLLIN, [this](int ready, short revents) {
            if (revents & POLLOUT)
                on_writable(ready);
            if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
                on_readable(ready);
        });
        connections_[fd] = std::move(connection);
    }
}

void WindowEndpoint::drop(int fd) {
    auto it = connections_.find(fd);
    if (it == connections_.end())
        return;
    loop_.unwatch(it->second->watch);
    ::close(fd);
    connections_.erase(it);
}

WindowEndpoint::Connection* WindowEndpoint::find(int fd) {
    auto it = connections_.find(fd);
    return it == connections_.end() ? nullptr : it->second.get();
}

void WindowEndpoint::on_readable(int fd) {
    char buffer[4096];
    std::size_t budget = READ_BUDGET;
    while (budget > 0) {
        Connection* c = find(fd);
        // Requests behind an unsent reply wait until it is gone.
        if (!c || !c->out.empty())
            return;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            drop(fd);
            return;
        }
        budget -= std::min(budget, static_cast<std::size_t>(n));
        c->in.append(buffer, static_cast<std::size_t>(n));
        if (!serve_requests(fd)) {
            drop(fd);
            return;
        }
    }
}

bool WindowEndpoint::flush(Connection* c) {
    while (!c->out.empty()) {
        ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        if (n <= 0)
            return false;
        c->out.erase(0, static_cast<std::size_t>(n));
    }
    loop_.set_watch_events(c->watch, c->out.empty() ? POLLIN : POLLOUT);
    return true;
}

void WindowEndpoint::on_writable(int fd) {
    Connection* c = find(fd);
    if (!c)
        return;
    if (!flush(c)) {
        drop(fd);
        return;
    }
    // Requests that came behind the reply.
    if (c->out.empty() && !serve_requests(fd))
        drop(fd);
}

bool WindowEndpoint::serve_requests(int fd) {
    for (;;) {
        Connection* c = find(fd);
        if (!c)
            return false;
        if (!c->out.empty())
            return true;
        Request request;
        std::size_t used = 0;
        FrameParse parsed = parse_request(c->in, &request, &used);
        if (parsed == FrameParse::need_more)
            return true;
        if (parsed == FrameParse::bad || (c->title_only && request.kind != KIND_QUERY))
            return false;
        c->in.erase(0, used);

        std::string out;
        if (request.kind == KIND_POST) {
            procedure_(request.message, nullptr);
        } else if (request.kind == KIND_SEND) {
            std::string reply;
            std::int64_t result = procedure_(request.message, &reply);
            if (reply.size() > WINDOW_PAYLOAD_MAX)
                reply.resize(WINDOW_PAYLOAD_MAX);
            out = encode_reply(result, reply);
        } else {
            out = encode_reply(static_cast<std::int64_t>(handle_), {});
        }
        if (out.empty())
            continue;
        // The procedure may have closed this window.
        c = find(fd);
        if (!c)
            return false;
        c->out = std::move(out);
        if (!flush(c))
            return false;
    }
}

} // namespace platform
