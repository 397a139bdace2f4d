#include "sim/runner.h"

#include "platform/clock.h"

#include <algorithm>

namespace nvsim {

namespace {
constexpr std::size_t MAX_UNSENT = 1 << 16;
constexpr int MAX_WAIT_MS = 1000;
} // namespace

LineRunner::LineRunner(SimLine& line, int fd, RunnerOptions options)
    : line_(line), fd_(fd), options_(std::move(options)) {}

LineRunner::~LineRunner() { stop(); }

bool LineRunner::start() {
    if (thread_.joinable() || fd_ < 0)
        return false;
    if (!sys::open_wake(wake_))
        return false;
    stop_ = false;
    running_ = true;
    {
        std::lock_guard<std::mutex> guard(failure_mutex_);
        failure_.clear();
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void LineRunner::stop() {
    if (!thread_.joinable())
        return;
    stop_ = true;
    sys::wake(wake_);
    thread_.join();
    sys::close_wake(wake_);
    running_ = false;
    unsent_.clear();
}

std::string LineRunner::failure() const {
    std::lock_guard<std::mutex> guard(failure_mutex_);
    return failure_;
}

void LineRunner::fail(const std::string& why) {
    {
        std::lock_guard<std::mutex> guard(failure_mutex_);
        failure_ = why;
    }
    running_ = false;
    if (options_.on_end)
        options_.on_end();
}

// Byte k of a burst (counted from 0) may start at origin + k × 12000 / baud ms.
std::size_t LineRunner::paced_allowance(std::int64_t now, std::int64_t& next_at) {
    if (options_.pace_baud <= 0)
        return unsent_.size();
    long baud = options_.pace_baud;
    auto start_of = [&](long k) { return pace_origin_ + (k * 12000 + baud - 1) / baud; };
    if (paced_sent_ == 0 || now > start_of(paced_sent_)) {
        // The line has been idle: a new burst starts now.
        pace_origin_ = now;
        paced_sent_ = 0;
    }
    long allowed = 1 + (now - pace_origin_) * baud / 12000 - paced_sent_;
    allowed = std::max(0L, allowed);
    next_at = start_of(paced_sent_ + allowed);
    return std::min(unsent_.size(), static_cast<std::size_t>(allowed));
}

void LineRunner::run() {
    std::uint8_t buffer[4096];
    while (!stop_) {
        std::int64_t next_tick = line_.tick();
        Bytes due = line_.take_output();
        if (unsent_.size() + due.size() <= MAX_UNSENT)
            unsent_.insert(unsent_.end(), due.begin(), due.end());

        std::int64_t now = platform::monotonic_ms();
        std::int64_t wake_at = next_tick;
        std::int64_t next_due = line_.next_output_due();
        if (next_due >= 0)
            wake_at = std::min(wake_at, next_due);

        bool want_write = false;
        if (!unsent_.empty()) {
            std::int64_t next_paced = now;
            std::size_t allowed = paced_allowance(now, next_paced);
            if (allowed > 0) {
                long n = sys::write_some(fd_, unsent_.data(), allowed);
                if (n == -2) {
                    fail("the line failed while writing");
                    return;
                }
                if (n > 0) {
                    unsent_.erase(unsent_.begin(), unsent_.begin() + n);
                    paced_sent_ += n;
                }
                // Written bytes may have made room for more: poll for writability.
                want_write = !unsent_.empty() && n < static_cast<long>(allowed);
            }
            if (!unsent_.empty() && !want_write)
                wake_at = std::min(wake_at, std::max(now, next_paced));
        }

        int timeout = static_cast<int>(std::clamp<std::int64_t>(wake_at - now, 0, MAX_WAIT_MS));
        std::vector<sys::PollItem> items{{fd_, true, want_write}, {wake_.read_fd, true, false}};
        if (!sys::poll_items(items, timeout)) {
            fail("poll failed on the line");
            return;
        }
        if (items[1].readable)
            sys::drain_wake(wake_);
        if (items[0].readable || items[0].failed) {
            long n = sys::read_some(fd_, buffer, sizeof buffer);
            if (n > 0) {
                line_.receive(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || n == -2 || (items[0].failed && n == -1)) {
                fail(n == 0 ? "the line was closed" : "the line failed while reading");
                return;
            }
        }
    }
}

} // namespace nvsim
