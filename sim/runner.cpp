#include "sim/runner.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>

namespace nvsim {

namespace {
constexpr std::size_t MAX_UNSENT = 1 << 16;
constexpr int MAX_WAIT_MS = 1000;
constexpr std::int64_t PACE_AHEAD_MS = 3;
} // namespace

LineRunner::LineRunner(SimLine& line, platform::SerialDevice& device, RunnerOptions options)
    : line_(line), device_(device), options_(std::move(options)) {}

LineRunner::~LineRunner() {
    stop();
}

bool LineRunner::start() {
    if (thread_.joinable()) return false;
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
    if (!thread_.joinable()) return;
    stop_ = true;
    device_.cancel();
    thread_.join();
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
    if (options_.on_end) options_.on_end();
}

// Byte k of a burst (counted from 0) may start at origin + k × 12000 / baud ms.
std::size_t LineRunner::paced_allowance(std::int64_t now, std::int64_t& next_at) {
    if (options_.pace_baud <= 0) return unsent_.size();
    long baud = options_.pace_baud;
    auto start_of = [&](long k) { return pace_origin_ + (k * 12000 + baud - 1) / baud; };
    if (paced_sent_ == 0 || now > start_of(paced_sent_)) {
        // The line has been idle: a new burst starts now.
        pace_origin_ = now;
        paced_sent_ = 0;
    }
    // Up to PACE_AHEAD_MS may go early: waking up takes a millisecond or two, and waiting for
    // every single byte would slow the line below its rate.
    long allowed = std::max(0L, 1 + static_cast<long>((now + PACE_AHEAD_MS - pace_origin_) * baud / 12000) -
                                    paced_sent_);
    next_at = start_of(paced_sent_ + allowed) - PACE_AHEAD_MS;
    return std::min(unsent_.size(), static_cast<std::size_t>(allowed));
}

// Writes what is due and pacing allows; false when the line failed.
bool LineRunner::write_due(std::int64_t now, std::int64_t& wake_at) {
    if (unsent_.empty()) return true;
    std::int64_t next_paced = now;
    std::size_t allowed = paced_allowance(now, next_paced);
    if (allowed > 0) {
        int n = device_.write(unsent_.data(), static_cast<int>(allowed));
        if (n < 0) return false;
        unsent_.erase(unsent_.begin(), unsent_.begin() + n);
        paced_sent_ += n;
    }
    if (!unsent_.empty()) wake_at = std::min(wake_at, std::max(now, next_paced));
    return true;
}

// Each pass: run the timers, write the answers that are due, then wait for the master's bytes
// until the next timer or answer is due (at most a second).
void LineRunner::run() {
    std::uint8_t buffer[4096];
    while (!stop_) {
        std::int64_t wake_at = line_.tick();
        Bytes due = line_.take_output();
        if (unsent_.size() + due.size() <= MAX_UNSENT) unsent_.insert(unsent_.end(), due.begin(), due.end());
        std::int64_t now = platform::monotonic_ms();
        std::int64_t next_due = line_.next_output_due();
        if (next_due >= 0) wake_at = std::min(wake_at, next_due);
        if (!write_due(now, wake_at)) {
            if (!stop_) fail("the line failed while writing");
            return;
        }

        int wait = static_cast<int>(std::clamp<std::int64_t>(wake_at - now, 0, MAX_WAIT_MS));
        int queued = device_.queued();
        int want = queued > 0 ? std::min(queued, static_cast<int>(sizeof buffer)) : 1;
        device_.set_timeouts(0, queued > 0 ? 0 : wait);
        int n = device_.read(buffer, want);
        if (n < 0) {
            if (!stop_) fail(errno == EIO ? "the line was closed" : "the line failed while reading");
            return;
        }
        if (n > 0) line_.receive(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace nvsim
