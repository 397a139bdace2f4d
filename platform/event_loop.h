// The message loop of a program's main thread: posted messages (any thread may post), descriptor
// watchers, timers on platform::monotonic_ms(), an idle hook and caught signals, all served by one
// poll() on the thread that runs the loop.
//
// One pass of the loop: wait in poll() (not at all while messages are queued or the idle hook
// wants more work), then run caught signals, ready watchers, due timers and the queued messages,
// in that order. When no message is queued afterwards, the idle hook is called; its answer is
// how long the next wait may last. Everything but post() and post_quit() belongs to the loop's
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

namespace platform {

// A window message. `payload` carries bytes that travel with the message between processes
// (window endpoints); lparam is then only a number.
struct Message {
    std::uint32_t msg = 0;
    std::uint64_t wparam = 0;
    std::int64_t lparam = 0;
    std::string payload;
};

// Idle answer: wait without limit until something arrives.
constexpr int WAIT_FOREVER = -1;

class EventLoop {
public:
    using MessageHandler = std::function<void(const Message&)>;
    // Returns how many milliseconds the loop may wait before calling it again: 0 = at once,
    // WAIT_FOREVER = until a message, descriptor, timer or signal arrives.
    using IdleHook = std::function<int()>;
    using WatchHandler = std::function<void(int fd, short revents)>;
    using TimerHandler = std::function<void()>;
    using SignalHandler = std::function<void(int signal)>;
    using WaitHook = std::function<void()>;

    // Throws std::system_error when the wake-up descriptor cannot be made.
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Any thread. Messages are handed to the message handler in the order posted.
    void post(Message message);
    // Any thread. The loop ends when it reaches this in the queue; run() returns `code`.
    void post_quit(int code);

    void set_message_handler(MessageHandler handler) { message_handler_ = std::move(handler); }
    void set_idle(IdleHook hook) { idle_ = std::move(hook); }
    // Called around every poll() that may block (timeout not 0), e.g. to release a lock that
    // other threads need while this one sleeps.
    void set_wait_hooks(WaitHook before, WaitHook after);

    // Watches fd for `events` (POLLIN, POLLOUT); the handler gets the revents. A handler must
    // consume what made the descriptor ready, or message_waiting() stays true. Returns an id > 0.
    int watch(int fd, short events, WatchHandler handler);
    void set_watch_events(int id, short events);
    // Safe from inside any handler, including the watcher's own.
    void unwatch(int id);

    // Calls handler after delay_ms and, when `repeat`, every delay_ms after that. Returns an id > 0.
    int add_timer(std::int64_t delay_ms, TimerHandler handler, bool repeat);
    void cancel_timer(int id);

    // Catches the signals for this loop (process-wide; one loop at a time). The signal handler
    // only records the signal and wakes the loop; `handler` runs on the loop's thread.
    void catch_signals(std::initializer_list<int> signals, SignalHandler handler);

    // True when the loop has something to serve now: a queued message, a caught signal, a due
    // timer or a ready watched descriptor. Removes nothing.
    bool message_waiting();
    // The same, except that descriptors are polled only when the last poll of them (this check's
    // or the loop's own) is at least descriptor_interval_us old: a caller that checks between
    // very short steps then costs no system call per check, and a descriptor that became ready
    // meanwhile is seen at most that much later.
    bool message_waiting(int descriptor_interval_us);

    // One pass of the loop, waiting at most max_wait_ms (WAIT_FOREVER: no limit) when nothing is
    // ready. The idle hook is not called. Returns false once the quit message was reached.
    bool run_once(int max_wait_ms);
    // Runs passes and idle calls until the quit message; returns its code.
    int run();

    bool quitting() const { return quit_; }
    int quit_code() const { return quit_code_; }

private:
    struct Watch {
        int fd;
        short events;
        WatchHandler handler;
    };
    struct Timer {
        std::int64_t due;
        std::int64_t interval;
        bool repeat;
        TimerHandler handler;
    };
    struct Queued {
        bool quit;
        int code;
        Message message;
    };

    bool queue_empty();
    bool due_without_descriptors(); // a queued message, a caught signal or a due timer
    int wait_limit(int max_wait_ms);
    void build_pollfds(std::vector<pollfd>* fds, bool with_wake);
    void drain_wake();
    void serve_signals();
    void serve_timers();
    void serve_messages();

    int wake_fd_ = -1;
    // The thread that runs the loop: its own posts need no wake-up, since it looks at the queue
    // before every wait (a socket notice is then served without an eventfd write and read).
    std::atomic<std::thread::id> loop_thread_{};
    std::chrono::steady_clock::time_point descriptors_polled_{};
    std::mutex queue_lock_;
    std::deque<Queued> queue_;
    MessageHandler message_handler_;
    IdleHook idle_;
    WaitHook before_wait_;
    WaitHook after_wait_;
    std::map<int, Watch> watches_;
    std::map<int, Timer> timers_;
    int next_id_ = 1;
    SignalHandler signal_handler_;
    std::vector<int> caught_;
    bool quit_ = false;
    int quit_code_ = 0;
};

// Process-wide: the signal is ignored (SIGPIPE for programs that write to sockets).
void ignore_signal(int signal);

} // namespace platform
