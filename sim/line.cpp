#include "sim/line.h"

#include "sim/control.h"

#include "platform/clock.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace nvsim {

namespace {
constexpr int CUSTOMER_TICKETS = 4; // customers mostly take the first few buttons
constexpr std::size_t MAX_QUEUED_OUTPUT = 1 << 16;
} // namespace

SimLine::SimLine(const NetworkConfig& network, std::uint32_t seed) : rng_(seed) {
    int printers = 0;
    int displays = 0;
    int readers = 0;
    for (const DeviceConfig& d : network.devices) {
        switch (d.kind) {
        case DeviceKind::printer:
            devices_.push_back(std::make_unique<Printer>("P" + std::to_string(++printers), d));
            break;
        case DeviceKind::display:
            devices_.push_back(std::make_unique<Display>("D" + std::to_string(++displays), d));
            break;
        case DeviceKind::reader:
            devices_.push_back(std::make_unique<CardReader>("R" + std::to_string(++readers), d));
            break;
        }
    }
}

void SimLine::set_log(std::function<void(const std::string&)> log) {
    auto guard = lock();
    log_ = std::move(log);
}

void SimLine::flush_notes() {
    for (auto& d : devices_) {
        for (const std::string& n : d->take_notes())
            if (log_) log_(n);
    }
}

void SimLine::queue(Output output) {
    std::size_t queued = 0;
    for (const Output& o : output_)
        queued += o.bytes.size();
    if (queued + output.bytes.size() > MAX_QUEUED_OUTPUT) return;
    // Keep the queue ordered by due time; answers due together keep their order.
    auto at = std::upper_bound(output_.begin(), output_.end(), output.due,
                               [](std::int64_t due, const Output& o) { return due < o.due; });
    output_.insert(at, std::move(output));
}

void SimLine::feed(std::uint8_t b, std::int64_t now) {
    if (b & 0x80) {
        ++stats_.address_bytes;
        for (auto& d : devices_)
            d->line_switched();
        selected_id_ = (b & 0x7F) + 1;
        bool known = std::any_of(devices_.begin(), devices_.end(),
                                 [&](const auto& d) { return d->id() == selected_id_; });
        if (!known) ++stats_.unknown_ids;
        return;
    }
    for (auto& d : devices_) {
        if (d->id() == selected_id_) d->hear(b, now, fresh_);
    }
    for (Output& o : fresh_)
        queue(std::move(o));
    fresh_.clear();
}

void SimLine::receive(const std::uint8_t* data, std::size_t size) {
    auto guard = lock();
    std::int64_t now = platform::monotonic_ms();
    stats_.bytes_in += static_cast<long>(size);
    for (std::size_t i = 0; i < size; ++i)
        feed(data[i], now);
    flush_notes();
}

Bytes SimLine::take_output() {
    auto guard = lock();
    std::int64_t now = platform::monotonic_ms();
    Bytes out;
    auto end = output_.begin();
    while (end != output_.end() && end->due <= now) {
        out.insert(out.end(), end->bytes.begin(), end->bytes.end());
        ++end;
    }
    output_.erase(output_.begin(), end);
    stats_.bytes_out += static_cast<long>(out.size());
    return out;
}

std::int64_t SimLine::next_output_due() const {
    auto guard = lock();
    return output_.empty() ? -1 : output_.front().due;
}

void SimLine::inject_noise(int count) {
    auto guard = lock();
    Bytes junk;
    for (int i = 0; i < count; ++i)
        junk.push_back(static_cast<std::uint8_t>(rng_() & 0xFF));
    queue(Output{platform::monotonic_ms(), std::move(junk)});
}

void SimLine::schedule_customer(std::int64_t now) {
    if (customers_mean_s_ <= 0) {
        next_customer_ = -1;
        return;
    }
    std::exponential_distribution<double> wait(1.0 / (customers_mean_s_ * 1000.0));
    next_customer_ = now + 1 + static_cast<std::int64_t>(wait(rng_));
}

void SimLine::set_customers(double mean_seconds) {
    auto guard = lock();
    customers_mean_s_ = std::max(0.0, mean_seconds);
    schedule_customer(platform::monotonic_ms());
}

void SimLine::customer_press(std::int64_t now) {
    std::vector<Printer*> open;
    for (auto& d : devices_) {
        auto* p = dynamic_cast<Printer*>(d.get());
        if (p && p->hearing(now) && p->remaining() > 0) open.push_back(p);
    }
    if (open.empty()) return;
    Printer* p = open[rng_() % open.size()];
    int ticket = 1 + static_cast<int>(rng_() % CUSTOMER_TICKETS);
    if (log_) log_(p->name() + ": customer presses ticket " + std::to_string(ticket));
    p->press(ticket);
}

std::int64_t SimLine::tick() {
    auto guard = lock();
    std::int64_t now = platform::monotonic_ms();
    if (next_second_ < 0) next_second_ = now + 1000;
    while (now >= next_second_) {
        for (auto& d : devices_) {
            d->second();
            d->tick(now);
        }
        next_second_ += 1000;
        // A clock that jumped far ahead (a test's manual clock) is not replayed second by second.
        if (now - next_second_ > 10000) next_second_ = now + 1000;
    }
    if (next_customer_ >= 0 && now >= next_customer_) {
        customer_press(now);
        schedule_customer(now);
    }
    flush_notes();
    std::int64_t next = next_second_;
    if (next_customer_ >= 0) next = std::min(next, next_customer_);
    return next;
}

std::string SimLine::control(std::string_view line) {
    auto guard = lock();
    std::string answer = run_control(*this, line);
    flush_notes();
    return answer;
}

bool SimLine::quit_requested() const {
    auto guard = lock();
    return quit_;
}

void SimLine::request_quit() {
    auto guard = lock();
    quit_ = true;
}

LineStats SimLine::stats() const {
    auto guard = lock();
    return stats_;
}

namespace {
template <typename T> T* nth(const std::vector<std::unique_ptr<Device>>& devices, int number) {
    int seen = 0;
    for (const auto& d : devices) {
        if (auto* t = dynamic_cast<T*>(d.get()); t && ++seen == number) return t;
    }
    return nullptr;
}
} // namespace

Printer* SimLine::printer(int number) const {
    return nth<Printer>(devices_, number);
}
Display* SimLine::display(int number) const {
    return nth<Display>(devices_, number);
}
CardReader* SimLine::reader(int number) const {
    return nth<CardReader>(devices_, number);
}

Device* SimLine::device(std::string_view name) const {
    if (name.size() < 2) return nullptr;
    int number = 0;
    auto [end, ec] = std::from_chars(name.data() + 1, name.data() + name.size(), number);
    if (ec != std::errc() || end != name.data() + name.size()) return nullptr;
    switch (std::toupper(static_cast<unsigned char>(name[0]))) {
    case 'P':
        return printer(number);
    case 'D':
        return display(number);
    case 'R':
        return reader(number);
    default:
        return nullptr;
    }
}

} // namespace nvsim
