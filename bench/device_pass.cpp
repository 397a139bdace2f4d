// Passes per second of the device modules over a full network on the simulated line: 4 ticket
// printers, 4 main displays and 2 card readers, one pass = display_run, printer_run, card_run with
// every unit served (status polls, display broadcasts; no card, no ticket). Server and simulator
// run in this process, on a pty pair.
//
// usage: device_pass [seconds per measurement, default 3]
//
// Two measurements: the simulator answering as fast as it can, and the simulator pacing its
// answers at 28800 baud (12 bit times a byte). The second is printed beside the wire limit of a
// pass, bytes of the pass × 12 / 28800 s, the bound a real line would set with every byte of both
// directions paced (a pty does not pace the server's own bytes). Run it pinned (taskset -c 0) so
// that both sides share one processor, as they would compete on a loaded machine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "platform/clock.h"
#include "platform/pty.h"
#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/devices/cardreader.h"
#include "server/devices/device.h"
#include "server/devices/display.h"
#include "server/devices/printer.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/runner.h"

namespace fs = std::filesystem;

namespace {

constexpr int LINK_BAUD = 28800;
constexpr int BITS_PER_BYTE = 12; // start, 8 data, parity, 2 stop


struct Result {
    long passes = 0;
    double seconds = 0;
    double bytes_per_pass = 0;
    long errors = 0;
    bool ok = false;
};

void pass() {
    display_run();
    printer_run();
    card_run();
}

Result measure(int pace_baud, double seconds) {
    Result r;
    nvsim::SimLine line(nvsim::default_network(4, 4, 2));
    auto pty = platform::PtyPair::open();
    if (!pty)
        return r;
    auto far_end = pty->take_master();
    nvsim::RunnerOptions options;
    options.pace_baud = pace_baud;
    nvsim::LineRunner runner(line, *far_end, options);
    if (!runner.start())
        return r;

    std::ofstream("ZSYS.INI", std::ios::trunc)
        << "[PORTS]\nCOM1 = " << pty->slave_path() << "\n\n[IO]\nPORT = 1\n\n"
        << "[PRINTER]\nMAX = 4\n\n[DISPLAY]\nMAX = 4\n\n[CARD_READER]\nMAX = 2\n\n";
    server_set_table(device_module_table());
    server_open_all();
    if (error_pending()) {
        std::fprintf(stderr, "device_pass: the modules did not open (error %d)\n", error_pending());
        error_flush();
        server_close_all();
        return r;
    }
    for (int i = 0; i < 3; ++i) // first polls raise the printers' power-on events and fetch nothing more
        pass();
    error_discard();

    const nvsim::LineStats before = line.stats();
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        pass();
        if (error_pending()) {
            ++r.errors;
            error_discard();
        }
        ++r.passes;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const nvsim::LineStats after = line.stats();
    r.seconds = elapsed;
    r.bytes_per_pass =
        static_cast<double>((after.bytes_in - before.bytes_in) + (after.bytes_out - before.bytes_out)) / r.passes;
    r.ok = true;

    server_close_all();
    runner.stop();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    fs::path folder = fs::temp_directory_path() / ("nuvra-device-pass-" + std::to_string(getpid()));
    fs::create_directories(folder);
    fs::current_path(folder);

    const Result fast = measure(0, seconds);
    const Result paced = measure(LINK_BAUD, seconds);

    fs::current_path(fs::temp_directory_path());
    fs::remove_all(folder);
    if (!fast.ok || !paced.ok)
        return 1;

    std::printf("one pass: 4 printers, 4 displays, 2 card readers\n");
    std::printf("simulator unpaced:      %8.1f passes/s  (%ld passes in %.2f s, %.0f line bytes a pass, %ld passes "
                "with errors)\n",
                fast.passes / fast.seconds, fast.passes, fast.seconds, fast.bytes_per_pass, fast.errors);
    const double wire_limit = LINK_BAUD / (BITS_PER_BYTE * paced.bytes_per_pass);
    std::printf("simulator paced 28800:  %8.1f passes/s  (%ld passes in %.2f s, %.0f line bytes a pass, %ld passes "
                "with errors)\n",
                paced.passes / paced.seconds, paced.passes, paced.seconds, paced.bytes_per_pass, paced.errors);
    std::printf("wire limit at 28800:    %8.1f passes/s  (%.0f bytes x %d / %d s = %.2f ms a pass)\n", wire_limit,
                paced.bytes_per_pass, BITS_PER_BYTE, LINK_BAUD, 1000.0 / wire_limit);
    return 0;
}
