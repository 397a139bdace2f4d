// The simulated device line fed arbitrary master bytes: 4 printers (every firmware), 4 main
// displays and 2 card readers sharing one id, with a ticket printed, a display request waiting and
// card data ready, so that the commands have something to answer. The answers are discarded.
// Input: a configuration byte, then the master's bytes.
//   bits 0-2: the bytes go in chunks of 2^n (1..128); after each chunk the clock moves on, the
//             line's timers run and its output is taken;
//   bits 3-5: how far the clock moves: 0, 1, 10, 100, 500, 1000, 2500 or 6000 ms (selection
//             time-outs, slow answers, a restart's downtime);
//   bit 6:    faults on some devices (garbage, slow, check sum, NAK, silent);
//   bit 7:    the byte after each frame's ETX is replaced by the frame's check sum, so that
//             mutated commands reach the devices' command handlers.
// Time is a manual clock and the wall clock is fixed: a run depends on the input alone.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/config.h"
#include "sim/line.h"

namespace {

std::int64_t now_ms = 0;
std::int64_t manual_clock() { return now_ms; }

platform::LocalTime fixed_time() { return platform::LocalTime{2026, 12, 11, 9, 30, 0, 0, 5}; }

void check(bool condition) {
    if (!condition)
        std::abort();
}

constexpr std::int64_t CLOCK_STEPS[] = {0, 1, 10, 100, 500, 1000, 2500, 6000};

const char* const SETUP[] = {
    "PRESS 1 3 2", "PRESS 2 1", "DISPREQ 1 2 WELCOME", "DISPREQ 3 7 DESK 7", "ROLL 4 5",
    "SWIPE R1 1234|5678|", "VALUE R1 12.50", "GRS R2 OK", "RESTART 3 700",
};
const char* const FAULTS[] = {
    "FAULT P1 GARBAGE *", "FAULT P2 SLOW 300 2", "FAULT P4 CHECKSUM *", "FAULT D1 NAK 4 *", "FAULT R1 SILENT 3",
};

// Rewrites the byte after ETX with the 7-bit sum of the frame's data, decoded as a unit would.
class SumFixer {
  public:
    std::uint8_t pass(std::uint8_t b) {
        if (fix_next_) {
            fix_next_ = false;
            return static_cast<std::uint8_t>(sum_ & 0x7F);
        }
        if ((b & 0x80) || b == 0x04) { // an address byte or EOT ends any frame
            in_frame_ = false;
            return b;
        }
        if (!in_frame_) {
            if (b == 0x02 || b == 0x01) {
                in_frame_ = true;
                sum_ = 0;
                escape_ = 0;
            }
            return b;
        }
        if (b == 0x03) {
            in_frame_ = false;
            fix_next_ = true;
            return b;
        }
        if (escape_ == 0 && (b == 0x0E || b == 0x0F)) {
            escape_ = b == 0x0E ? 1 : 2;
        } else if (escape_ == 2 && b == 0x0E) {
            escape_ = 3;
        } else {
            static const int offset[] = {0, -0x20, 0x80, 0x60};
            sum_ = static_cast<std::uint8_t>(sum_ + b + offset[escape_]);
            escape_ = 0;
        }
        return b;
    }

  private:
    bool in_frame_ = false;
    bool fix_next_ = false;
    int escape_ = 0; // 0 plain, 1 after SO, 2 after SI, 3 after SI SO
    std::uint8_t sum_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t config = data[0];
    const std::size_t chunk = std::size_t{1} << (config & 0x07);
    const std::int64_t step = CLOCK_STEPS[(config >> 3) & 0x07];
    ++data;
    --size;

    static const bool clocks_set = [] {
        platform::set_monotonic_source(manual_clock);
        platform::set_local_time_source(fixed_time);
        return true;
    }();
    (void)clocks_set;
    now_ms = 1000000;

    nvsim::SimLine line(nvsim::default_network(4, 4, 2), 7);
    line.tick();
    for (const char* command : SETUP)
        check(line.control(command).rfind("OK", 0) == 0);
    if (config & 0x40) {
        for (const char* command : FAULTS)
            check(line.control(command).rfind("OK", 0) == 0);
    }

    SumFixer fixer;
    std::vector<std::uint8_t> piece;
    long fed = 0;
    for (std::size_t at = 0; at < size; at += chunk) {
        const std::size_t n = std::min(chunk, size - at);
        piece.assign(data + at, data + at + n);
        if (config & 0x80) {
            for (std::uint8_t& b : piece)
                b = fixer.pass(b);
        }
        line.receive(piece.data(), piece.size());
        fed += static_cast<long>(n);
        now_ms += step;
        line.tick();
        line.take_output();
    }
    now_ms += 60000; // everything delayed falls due
    line.tick();
    line.take_output();
    check(line.next_output_due() == -1);
    check(line.stats().bytes_in == fed);
    return 0;
}
