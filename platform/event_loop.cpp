#include "platform/event_loop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {
namespace {

constexpr int SIGNAL_LIMIT = 65;

// The signal handler may only touch these: a flag per signal and the loop's wake-up descriptor.
std::atomic<int> signal_wake_fd{-1};
volatile std::sig_atomic_t signal_flags[SIGNAL_LIMIT];
volatile std::sig_atomic_t signal_any = 0;

extern "C" void on_signal(int signal) {
    int saved = errno;
    if (signal > 0 && signal < SIGNAL_LIMIT)
        signal_flags[signal] = 1;
    signal_any = 1;
    int fd = signal_wake_fd.load();
    if (fd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
    }
    errno = saved;
}

void wake(int fd) {
    std::uint64_t one = 1;
    // A full counter (never in practice) still leaves the descriptor readable.
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

} // namespace

EventLoop::EventLoop() {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

EventLoop::~EventLoop() {
    for (int s : caught_)
        std::signal(s, SIG_DFL);
    if (!caught_.empty())
        signal_wake_fd.store(-1);
    close(wake_fd_);
}

void EventLoop::post(Message message) {
    {
        std::lock_guard<std::mutex> guard(queue_lock_);
        queue_.push_back(Queued{false, 0, std::move(message)});
    }
    if (std::this_thread::get_id() != loop_thread_.load(std::memory_order_relaxed))
        wake(wake_fd_);
}

void EventLoop::post_quit(int code) {
    {
        std::lock_guard<std::mutex> guard(queue_lock_);
        queue_.push_back(Queued{true, code, Message{}});
    }
    wake(wake_fd_);
}

void EventLoop::set_wait_hooks(WaitHook before, WaitHook after) {
    before_wait_ = std::move(before);
    after_wait_ = std::move(after);
}

int EventLoop::watch(int fd, short events, WatchHandler handler) {
    int id = next_id_++;
    watches_[id] = Watch{fd, events, std::move(handler)};
    return id;
}

void EventLoop::set_watch_events(int id, short events) {
    auto it = watches_.find(id);
    if (it != watches_.end())
        it->second.events = events;
}

void EventLoop::unwatch(int id) { watches_.erase(id); }

int EventLoop::add_timer(std::int64_t delay_ms, TimerHandler handler, bool repeat) {
    int id = next_id_++;
    if (delay_ms < 0)
        delay_ms = 0;
    timers_[id] = Timer{monotonic_ms() + delay_ms, delay_ms, repeat, std::move(handler)};
    return id;
}

void EventLoop::cancel_timer(int id) { timers_.erase(id); }

void EventLoop::catch_signals(std::initializer_list<int> signals, SignalHandler handler) {
    signal_handler_ = std::move(handler);
    signal_wake_fd.store(wake_fd_);
    for (int s : signals) {
        if (s <= 0 || s >= SIGNAL_LIMIT)
            continue;
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(s, &action, nullptr);
        caught_.push_back(s);
    }
}

void ignore_signal(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

bool EventLoop::queue_empty() {
    std::lock_guard<std::mutex> guard(queue_lock_);
    return queue_.empty();
}

int EventLoop::wait_limit(int max_wait_ms) {
    if (!queue_empty() || signal_any)
        return 0;
    int limit = max_wait_ms < 0 ? WAIT_FOREVER : max_wait_ms;
    if (!timers_.empty()) {
        std::int64_t now = monotonic_ms();
        std::int64_t first = timers_.begin()->second.due;
        for (const auto& [id, t] : timers_)
            first = std::min(first, t.due);
        std::int64_t left = first - now;
        int t = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
        limit = limit < 0 ? t : std::min(limit, t);
    }
    return limit;
}

void EventLoop::build_pollfds(std::vector<pollfd>* fds, bool with_wake) {
    fds->clear();
    if (with_wake)
        fds->push_back(pollfd{wake_fd_, POLLIN, 0});
    for (const auto& [id, w] : watches_)
        fds->push_back(pollfd{w.fd, w.events, 0});
}

bool EventLoop::due_without_descriptors() {
    if (!queue_empty() || signal_any)
        return true;
    if (!timers_.empty()) {
        std::int64_t now = monotonic_ms();
        for (const auto& [id, t] : timers_)
            if (t.due <= now)
                return true;
    }
    return false;
}

bool EventLoop::message_waiting() {
    if (due_without_descriptors())
        return true;
    if (watches_.empty())
        return false;
    std::vector<pollfd> fds;
    build_pollfds(&fds, false);
    descriptors_polled_ = std::chrono::steady_clock::now();
    return poll(fds.data(), fds.size(), 0) > 0;
}

bool EventLoop::message_waiting(int descriptor_interval_us) {
    auto since = std::chrono::steady_clock::now() - descriptors_polled_;
    if (since >= std::chrono::microseconds(descriptor_interval_us))
        return message_waiting();
    return due_without_descriptors();
}

void EventLoop::drain_wake() {
    // One read takes the whole count.
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(wake_fd_, &count, sizeof count);
}

void EventLoop::serve_signals() {
    if (!signal_any)
        return;
    signal_any = 0;
    for (int s = 1; s < SIGNAL_LIMIT; ++s) {
        if (!signal_flags[s])
            continue;
        signal_flags[s] = 0;
        if (signal_handler_) {
            SignalHandler handler = signal_handler_;
            handler(s);
        }
    }
}

void EventLoop::serve_timers() {
    if (timers_.empty())
        return;
    std::int64_t now = monotonic_ms();
    std::vector<int> due;
    for (const auto& [id, t] : timers_)
        if (t.due <= now)
            due.push_back(id);
    for (int id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end())
            continue;
        TimerHandler handler = it->second.handler;
        if (it->second.repeat) {
            // A loop held up for several intervals runs the timer once, not once per interval.
            it->second.due += it->second.interval;
            if (it->second.due <= now)
                it->second.due = now + it->second.interval;
        } else {
            timers_.erase(it);
        }
        handler();
    }
}

void EventLoop::serve_messages() {
    std::size_t count;
    {
        std::lock_guard<std::mutex> guard(queue_lock_);
        count = queue_.size();
    }
    // Messages posted by the handlers wait for the next pass, after the watchers.
    for (std::size_t i = 0; i < count && !quit_; ++i) {
        Queued item;
        {
            std::lock_guard<std::mutex> guard(queue_lock_);
            if (queue_.empty())
                return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        if (item.quit) {
            quit_ = true;
            quit_code_ = item.code;
            return;
        }
        if (message_handler_)
            message_handler_(item.message);
    }
}

bool EventLoop::run_once(int max_wait_ms) {
    if (quit_)
        return false;
    loop_thread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    int timeout = wait_limit(max_wait_ms);
    std::vector<pollfd> fds;
    build_pollfds(&fds, true);
    std::vector<int> ids;
    ids.reserve(watches_.size());
    for (const auto& [id, w] : watches_)
        ids.push_back(id);

    bool blocking = timeout != 0;
    if (blocking && before_wait_)
        before_wait_();
    int ready = poll(fds.data(), fds.size(), timeout);
    descriptors_polled_ = std::chrono::steady_clock::now();
    if (blocking && after_wait_)
        after_wait_();
    if (ready < 0)
        ready = 0; // EINTR: a caught signal, served below

    if (ready > 0 && fds[0].revents)
        drain_wake();
    serve_signals();
    for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
        if (!fds[i].revents)
            continue;
        auto it = watches_.find(ids[i - 1]);
        if (it == watches_.end() || it->second.fd != fds[i].fd)
            continue;
        WatchHandler handler = it->second.handler;
        handler(fds[i].fd, fds[i].revents);
    }
    serve_timers();
    serve_messages();
    return !quit_;
}

int EventLoop::run() {
    int wait = 0;
    while (run_once(wait)) {
        if (!queue_empty() || signal_any) {
            wait = 0;
            continue;
        }
        wait = idle_ ? idle_() : WAIT_FOREVER;
    }
    return quit_code_;
}

} // namespace platform
