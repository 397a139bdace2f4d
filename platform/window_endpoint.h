// Local window endpoints: the stand-in for posting and sending messages to another program's
// window on the same computer, and for finding a window by its title.
//
// A window is a listening Unix stream socket in the abstract namespace. Its handle (an opaque
// non-zero number, unique on the machine while the window exists) names the socket
//   "\0nuvra-window[.NS]/handle/<16 hex digits>"
// and a window with a title also holds "\0nuvra-window[.NS]/title/<title>", which answers only
// handle queries (find_window). NS is $NUVRA_WINDOW_NAMESPACE when set, so that tests and
// simulated networks running side by side keep their windows apart. Only peers of the same user
// (or root) are served. Abstract names vanish with their socket: nothing is left on disk.
//
// Wire format. All integers little-endian. A connection carries any number of requests; each
// `send` request gets exactly one reply, in order; `post` requests get none.
//
//   request: "NVWM" | u32 kind | u32 msg | u64 wparam | i64 lparam | u32 n | n payload bytes
//            kind 1 = post, 2 = send, 3 = handle query (msg, wparam, lparam, payload ignored)
//   reply:   "NVWR" | i64 result | u32 n | n payload bytes
//
// n is at most WINDOW_PAYLOAD_MAX. A request with a wrong magic, an unknown kind or a larger n
// ends its connection without a reply; requests before it on the same connection were served.
//
// Payloads the server's main window understands:
//   WM_USER+1 / WM_USER+4 (send): a command record, encode_command_record() below:
//       u32 second word | u32 answer buffer size | command text (no terminating zero)
//     reply payload: the answer as the DIRECT host copied it into the answer buffer: up to and
//     including its terminating zero, or exactly the buffer size when it was cut.
//   WM_USER+5 (post, to event windows): the event text, without a terminating zero;
//     wparam = (event << 8) | unit as a 16-bit value.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_loop.h"

namespace platform {

using WindowHandle = std::uint64_t;

constexpr std::uint32_t WM_NULL = 0x0000;
constexpr std::uint32_t WM_CLOSE = 0x0010;
constexpr std::uint32_t WM_QUERYOPEN = 0x0013;
constexpr std::uint32_t WM_SYSCOMMAND = 0x0112;
constexpr std::uint32_t WM_USER = 0x0400;

constexpr std::uint32_t WINDOW_PAYLOAD_MAX = 65536;
constexpr std::size_t WINDOW_TITLE_MAX = 64;
constexpr int WINDOW_CONNECTIONS_MAX = 64;
constexpr int WINDOW_SEND_TIMEOUT_MS = 30000;

// Serves one message. `reply` is null for posted messages; for sent ones the procedure may put
// the reply payload there. The result is the message's result (0 for posted messages).
using WindowProcedure = std::function<std::int64_t(const Message& message, std::string* reply)>;

enum class EndpointStatus {
    ok,
    title_taken, // another live window holds the title; this one works without it
    failed,      // no endpoint (see error_text())
};

// A window of this process, served by `loop` (its thread calls the procedure).
class WindowEndpoint {
public:
    WindowEndpoint(EventLoop& loop, WindowProcedure procedure);
    ~WindowEndpoint();
    WindowEndpoint(const WindowEndpoint&) = delete;
    WindowEndpoint& operator=(const WindowEndpoint&) = delete;

    // Makes the window; an empty title makes an untitled one.
    EndpointStatus open(const std::string& title);
    void close();
    WindowHandle handle() const { return handle_; }
    const std::string& error_text() const { return error_; }
    int connection_count() const { return static_cast<int>(connections_.size()); }

private:
    struct Connection {
        int fd;
        int watch;
        bool title_only; // came in through the title: handle queries only
        std::string in;
        std::string out; // an unsent reply; no further request is served until it is gone
    };
    int listen_on(const std::string& name, bool* taken);
    void accept_from(int listener, bool title_only);
    Connection* find(int fd);
    void on_readable(int fd);
    void on_writable(int fd);
    bool flush(Connection* connection);
    // Serves every complete request in the buffer; false when the connection must end.
    bool serve_requests(int fd);
    void drop(int fd);

    EventLoop& loop_;
    WindowProcedure procedure_;
    WindowHandle handle_ = 0;
    int handle_fd_ = -1;
    int title_fd_ = -1;
    int handle_watch_ = 0;
    int title_watch_ = 0;
    std::map<int, std::unique_ptr<Connection>> connections_;
    std::string error_;
};

struct SendReply {
    std::int64_t result;
    std::string payload;
};

// The handle of the window with this title, or 0 when there is none.
WindowHandle find_window(const std::string& title, int timeout_ms = 2000);
// One-way; never blocks. False when the window does not exist or cannot take the message now.
bool post_message(WindowHandle window, std::uint32_t msg, std::uint64_t wparam, std::int64_t lparam,
                  std::string_view payload = {});
// Request and reply; blocks up to timeout_ms. Never call it for a window served by the calling
// thread's own loop. Empty when the window does not exist, the time ran out or the reply was bad.
std::optional<SendReply> send_message(WindowHandle window, std::uint32_t msg, std::uint64_t wparam,
                                      std::int64_t lparam, std::string_view payload = {},
                                      int timeout_ms = WINDOW_SEND_TIMEOUT_MS);

// The command record of WM_USER+1 and WM_USER+4.
struct CommandRecord {
    std::string command;
    std::uint32_t second_word = 0;
    std::uint32_t answer_size = 0;
};
std::string encode_command_record(const CommandRecord& record);
// False when the payload is too short to hold the two words.
bool decode_command_record(std::string_view payload, CommandRecord* record);

// Frame codec, exposed for tests and fuzzing.
constexpr std::size_t WINDOW_REQUEST_HEADER = 32;
constexpr std::size_t WINDOW_REPLY_HEADER = 16;
enum class FrameParse { complete, need_more, bad };
struct Request {
    std::uint32_t kind;
    Message message;
};
FrameParse parse_request(std::string_view bytes, Request* request, std::size_t* used);
std::string encode_request(std::uint32_t kind, std::uint32_t msg, std::uint64_t wparam, std::int64_t lparam,
                           std::string_view payload);
FrameParse parse_reply(std::string_view bytes, SendReply* reply, std::size_t* used);
std::string encode_reply(std::int64_t result, std::string_view payload);

} // namespace platform
