// Link master exchanges per second against the simulated line, unpaced: the simulator answers as
// fast as it can, so what is measured is the software on both sides (server port driver and
// protocol, pty, simulator), not the wire. Server and simulator run in this process, on a pty pair.
//
// usage: link_exchange [seconds per measurement, default 2]
//
//   poll  the printer module's status poll of printer 1: address byte 0xD8, EOT "0" ENQ;
//         the printer answers its status OR 0x80 and ACK (no end follows a poll)
//   GB    a forwarded "GB 1" (as the host session sends it, with its terminating zero): address
//         byte, addressing, command frame, answer, EOT DLE EOT
//
// For each, the bytes on the wire in both directions (counted by the simulator) give the rate a
// 28800-baud line allows, 1 / (bytes × 12 / 28800 s); the measured rate should be 20 times that or
// more (software under 5 % of the wire time). Run it pinned (taskset -c 0) so that both sides share
// one processor. On a shared machine the elapsed time includes whatever else ran on that processor;
// the rate per second of this process's processor time (both threads, not the kernel's pty work
// done elsewhere) is printed beside it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "platform/pty.h"
#include "server/core/errorsys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/runner.h"

namespace fs = std::filesystem;

namespace {

constexpr int LINK_BAUD = 28800;
constexpr int BITS_PER_BYTE = 12; // start, 8 data, parity, 2 stop
constexpr double TARGET_RATIO = 20;

constexpr std::uint8_t PRINTER_1 = 0xD8; // link id 89
constexpr int PRINTER_UNIT = 0;
constexpr char GB_COMMAND[] = "GB 1"; // sent with its terminating zero

// Returns false when the exchange went wrong (an error stays pending).
bool poll_exchange() {
    io_put_byte(PRINTER_1);
    std::uint8_t status = 0;
    prot_connect_no_timeout(PRINTER_UNIT, &status);
    return !error_pending() && (status & 0x80);
}

bool gb_exchange() {
    io_put_byte(PRINTER_1);
    std::uint8_t status = 0;
    prot_connect(PRINTER_UNIT, &status);
    char answer[2001] = "";
    prot_command_answer_len(GB_COMMAND, sizeof GB_COMMAND, answer, 2000);
    const bool ok = !error_pending() && answer[0] == 'Y';
    prot_end();
    return ok;
}

struct Result {
    const char* name = "";
    long exchanges = 0;
    long failures = 0;
    double seconds = 0;
    double cpu_seconds = 0;
    double bytes = 0; // per exchange, both directions
    double rate() const { return exchanges / seconds; }
    double cpu_rate() const { return exchanges / cpu_seconds; }
    double wire_limit() const { return LINK_BAUD / (BITS_PER_BYTE * bytes); }
    double ratio() const { return rate() / wire_limit(); }
};

Result measure(const char* name, bool (*exchange)(), nvsim::SimLine& line, double seconds) {
    Result r;
    r.name = name;
    for (int i = 0; i < 20; ++i) // the first polls take the printer's latched power-on bits
        exchange();
    error_discard();

    const nvsim::LineStats before = line.stats();
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    double elapsed = 0;
    while (elapsed < seconds) {
        for (int i = 0; i < 50; ++i) {
            if (!exchange()) {
                ++r.failures;
                error_discard();
            }
            ++r.exchanges;
        }
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const nvsim::LineStats after = line.stats();
    r.seconds = elapsed;
    r.cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    r.bytes = static_cast<double>((after.bytes_in - before.bytes_in) + (after.bytes_out - before.bytes_out)) /
              static_cast<double>(r.exchanges);
    return r;
}

void print(const Result& r) {
    std::printf("%-5s %6.1f bytes  %10.1f /s  wire limit %7.1f /s  ratio %6.1f  software %5.2f %% of wire time"
                "  (%ld in %.2f s, %ld failed)%s\n",
                r.name, r.bytes, r.rate(), r.wire_limit(), r.ratio(), 100.0 / r.ratio(), r.exchanges, r.seconds,
                r.failures, r.ratio() >= TARGET_RATIO ? "" : "  BELOW TARGET");
    std::printf("      per processor second of this process: %10.1f /s, ratio %6.1f (%.2f s)\n", r.cpu_rate(),
                r.cpu_rate() / r.wire_limit(), r.cpu_seconds);
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const fs::path folder = fs::temp_directory_path() / ("nuvra-link-exchange-" + std::to_string(getpid()));
    fs::create_directories(folder);
    fs::current_path(folder);

    int status = 1;
    {
        nvsim::SimLine line(nvsim::default_network(1, 0, 0));
        auto pty = platform::PtyPair::open();
        if (!pty) {
            std::perror("link_exchange: pty");
            return 1;
        }
        auto far_end = pty->take_master();
        nvsim::LineRunner runner(line, *far_end);
        runner.start();

        std::ofstream("ZSYS.INI", std::ios::trunc) << "[PORTS]\nCOM1 = " << pty->slave_path() << "\n\n[IO]\nPORT = 1\n\n";
        io_open();
        prot_open();
        if (error_pending() || io_port_index() < 0) {
            std::fprintf(stderr, "link_exchange: the link port did not open (error %d)\n", error_pending());
            error_flush();
        } else {
            const Result poll = measure("poll", poll_exchange, line, seconds);
            const Result gb = measure("GB", gb_exchange, line, seconds);
            print(poll);
            print(gb);
            status = poll.failures == 0 && gb.failures == 0 ? 0 : 1;
        }
        io_close();
        runner.stop();
    }

    fs::current_path(fs::temp_directory_path());
    fs::remove_all(folder);
    return status;
}
