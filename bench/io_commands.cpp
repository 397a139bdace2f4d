// Commands per second through the library's IO/COM transport (CProtocol_1745 on CIo_nt) over a
// pty, against a responder thread that plays the server's COM unit on the pty's master.
//
// usage: io_commands [seconds per measurement, default 2] [runs, default 3]
//
//   unpaced  the responder answers as soon as a frame is complete: the software on both sides
//            (transport, serial port, pty) is measured, not the wire
//   paced    the responder keeps a 28800-baud wire: a received byte counts as arrived 12 bits
//            (start, 8 data, parity, 2 stop) after the wire was last free, and its answer bytes go
//            out only when they would have crossed the wire. The rate is set beside the wire
//            limit, 2400 bytes/s divided by the bytes of one exchange in both directions; the
//            target is 90 % of that or more
//
// Two shapes: "command" is one command frame and its answer inside an open session; "session" is
// what each NuvraCommandAnswer without NuvraBegin costs: EOT ENQ / ACK, the command, EOT DLE EOT.
// The command is "FPRN 1 GV" with its zero, the answer "TP 78.14 Z71". Run it pinned
// (taskset -c 0) so that both sides share one processor; the median of the runs is printed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/io_nt.h"
#include "api/nuvra_error.h"
#include "api/protocol_1745.h"
#include "platform/pty.h"
#include "platform/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int BAUD = 28800;
constexpr int BITS_PER_BYTE = 12;
constexpr double TARGET_SHARE = 0.9;
constexpr char COMMAND[] = "FPRN 1 GV"; // sent with its zero
// "TP 78.14 Z71", ACK and the 8-bit sum, worked by hand: 0x54 0x50 0x20 0x37 0x38 0x2E 0x31 0x34
// 0x20 0x5A 0x37 0x31 add up to 0x2A8 -> 0xA8.
constexpr std::uint8_t ANSWER[] = {'T', 'P', ' ', '7', '8', '.', '1', '4', ' ', 'Z', '7', '1', 0x06, 0xA8};
constexpr std::uint8_t STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, DLE = 0x10;

// Bytes on the wire: command frame STX + 10 + ETX + sum; session adds EOT ENQ, ACK, EOT DLE EOT.
constexpr int COMMAND_BYTES = 13 + static_cast<int>(sizeof ANSWER);
constexpr int SESSION_BYTES = COMMAND_BYTES + 2 + 1 + 3;

// The server's unit, minimal: ACK to EOT ENQ, the answer after a frame's check sum, nothing for
// the release. With pacing it waits out each byte's wire time.
class Responder {
public:
    Responder(platform::PtyPair& pty, bool paced) : pty_(pty), paced_(paced), thread_([this] { Run(); }) {}
    ~Responder() {
        stop_ = true;
        thread_.join();
    }

private:
    void Wire(int bytes) {
        if (!paced_)
            return;
        auto now = Clock::now();
        if (wire_free_ < now)
            wire_free_ = now;
        wire_free_ += std::chrono::nanoseconds(1000000000LL * BITS_PER_BYTE / BAUD) * bytes;
    }
    void Reply(const std::uint8_t* data, int n) {
        Wire(n);
        if (paced_)
            std::this_thread::sleep_until(wire_free_);
        pty_.write_master(data, static_cast<std::size_t>(n));
    }
    void Run() {
        std::uint8_t previous = 0;
        bool in_frame = false;
        bool sum_next = false;
        while (!stop_) {
            std::uint8_t b = 0;
            if (pty_.read_master(&b, 1, 50) != 1)
                continue;
            Wire(1);
            if (sum_next) {
                sum_next = false;
                Reply(ANSWER, sizeof ANSWER);
            } else if (in_frame) {
                if (b == ETX) {
                    in_frame = false;
                    sum_next = true;
                }
            } else if (b == STX) {
                in_frame = true;
            } else if (b == ENQ && previous == EOT) {
                const std::uint8_t ack = ACK;
                Reply(&ack, 1);
            }
            previous = b;
        }
    }

    platform::PtyPair& pty_;
    bool paced_;
    std::atomic<bool> stop_{false};
    Clock::time_point wire_free_ = Clock::now();
    std::thread thread_;
};

// Exchanges per second for `seconds`; -1 when an exchange failed.
double measure(CProtocol_1745& t, bool session, double seconds) {
    char answer[64];
    long n = 0;
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    try {
        if (!session)
            t.Begin();
        while (Clock::now() < end) {
            if (session)
                t.Begin();
            t.CommandAnswer(COMMAND, sizeof COMMAND, answer, sizeof answer);
            if (session)
                t.End();
            if (std::strcmp(answer, "TP 78.14 Z71") != 0) {
                std::fprintf(stderr, "wrong answer '%s'\n", answer);
                return -1;
            }
            ++n;
        }
        if (!session)
            t.End();
    } catch (const CXNuvraError& e) {
        std::fprintf(stderr, "failed: %d %s\n", e.number, e.text.c_str());
        return -1;
    }
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (seconds <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: io_commands [seconds] [runs]\n");
        return 2;
    }
    bool ok = true;
    std::printf("%-8s %-8s %12s %12s %10s   runs\n", "pacing", "shape", "median/s", "wire limit", "share");
    for (bool paced : {false, true}) {
        for (bool session : {false, true}) {
            std::vector<double> rates;
            for (int r = 0; r < runs; ++r) {
                auto pty = platform::PtyPair::open();
                if (!pty) {
                    std::perror("openpty");
                    return 1;
                }
                auto device = platform::serial_open(pty->slave_path().c_str());
                if (!device) {
                    std::perror("open");
                    return 1;
                }
                try {
                    auto port = std::make_unique<CIo_nt>(std::move(device), 0, BAUD, 8, 'E', 2, 100);
                    CProtocol_1745 t("1,28800,8,E,2", IoKind::com, std::move(port));
                    Responder responder(*pty, paced);
                    rates.push_back(measure(t, session, seconds));
                } catch (const CXNuvraError& e) {
                    std::fprintf(stderr, "port: %d %s\n", e.number, e.text.c_str());
                    return 1;
                }
            }
            std::vector<double> sorted = rates;
            std::sort(sorted.begin(), sorted.end());
            double median = sorted[sorted.size() / 2];
            double limit = 2400.0 / (session ? SESSION_BYTES : COMMAND_BYTES);
            std::printf("%-8s %-8s %12.1f %12.1f %9.1f%%  ", paced ? "paced" : "unpaced", session ? "session" : "command",
                        median, limit, 100 * median / limit);
            for (double r : rates)
                std::printf(" %.1f", r);
            std::printf("\n");
            if (median < 0 || (paced && median < TARGET_SHARE * limit))
                ok = false;
        }
    }
    std::printf("paced rates %s 90%% of the wire limit\n", ok ? "reach" : "DO NOT reach");
    return ok ? 0 : 1;
}
