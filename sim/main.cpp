// nuvra-sim: the whole device line without hardware. Opens a pty pair (or a given serial
// device), prints "PTY <slave path>" as its first line and plays every configured device behind
// it; control lines come from standard input and from an optional Unix socket.
#include "sim/config.h"
#include "sim/control_server.h"
#include "sim/line.h"
#include "sim/runner.h"

#include "platform/pty.h"
#include "platform/serial.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const USAGE =
    "usage: nuvra-sim [options]\n"
    "  --device PATH        serve this serial device instead of a new pty pair\n"
    "  --control PATH       also take control lines on a Unix socket at PATH\n"
    "  --config FILE        devices from FILE instead of the default network\n"
    "  --add 'LINE'         one more device, e.g. --add 'printer 93 0 fw=85' (repeatable)\n"
    "  --printers N --displays N --readers N\n"
    "                       size of the default network (4, 4, 1)\n"
    "  --pace [BAUD]        send at wire speed, 12 bit times a byte (28800 when no BAUD)\n"
    "  --customers SECONDS  customers press ticket buttons, this mean interval apart\n"
    "  --seed N             seed of the random customers and noise (1)\n"
    "  --no-stdin           do not read control lines from standard input\n"
    "  --quiet              no log lines on standard error\n"
    "Control lines: type HELP. Device lines: see sim/README.md.\n";

struct Options {
    std::string device;
    std::string control;
    std::string config;
    std::vector<std::string> added;
    int printers = 4;
    int displays = 4;
    int readers = 1;
    int pace = 0;
    double customers = 0;
    unsigned seed = 1;
    bool stdin_control = true;
    bool quiet = false;
};

template <typename T> bool number(const char* text, T low, T high, T& value) {
    std::string_view s(text);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && value >= low && value <= high;
}

bool is_number(const char* text) {
    int value = 0;
    return number(text, 0, 1 << 30, value);
}

// Returns 0 to go on, otherwise the exit code.
int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "nuvra-sim: %s needs a value\n", argv[i]);
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return -1;
        } else if (a == "--device" || a == "--control" || a == "--config" || a == "--add") {
            if (!value(v)) return 2;
            (a == "--device"    ? o.device
             : a == "--control" ? o.control
             : a == "--config"  ? o.config
                                : o.added.emplace_back()) = v;
        } else if (a == "--printers" || a == "--displays" || a == "--readers") {
            int* target = a == "--printers" ? &o.printers : a == "--displays" ? &o.displays : &o.readers;
            if (!value(v) || !number(v, 0, 99, *target)) {
                std::fprintf(stderr, "nuvra-sim: %s takes 0..99\n", argv[i - 1]);
                return 2;
            }
        } else if (a == "--pace") {
            o.pace = 28800;
            if (i + 1 < argc && is_number(argv[i + 1]) && !number(argv[++i], 50, 4000000, o.pace)) {
                std::fprintf(stderr, "nuvra-sim: --pace takes a baud rate of 50..4000000\n");
                return 2;
            }
        } else if (a == "--customers") {
            if (!value(v) || !number(v, 0.0, 86400.0, o.customers)) {
                std::fprintf(stderr, "nuvra-sim: --customers takes 0..86400 seconds\n");
                return 2;
            }
        } else if (a == "--seed") {
            if (!value(v) || !number(v, 0u, 0xFFFFFFFFu, o.seed)) {
                std::fprintf(stderr, "nuvra-sim: --seed takes a number\n");
                return 2;
            }
        } else if (a == "--no-stdin") {
            o.stdin_control = false;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else {
            std::fprintf(stderr, "nuvra-sim: unknown option %s\n%s", argv[i], USAGE);
            return 2;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (int code = parse(argc, argv, o)) return code < 0 ? 0 : code;

    nvsim::NetworkConfig network;
    std::string error;
    if (!o.config.empty()) {
        if (!nvsim::load_network_file(o.config, network, error)) {
            std::fprintf(stderr, "nuvra-sim: %s\n", error.c_str());
            return 2;
        }
    } else {
        network = nvsim::default_network(o.printers, o.displays, o.readers);
    }
    for (const std::string& line : o.added) {
        if (!nvsim::add_device_line(network, line, error)) {
            std::fprintf(stderr, "nuvra-sim: --add '%s': %s\n", line.c_str(), error.c_str());
            return 2;
        }
    }

    nvsim::SimLine line(network, o.seed);
    if (!o.quiet)
        line.set_log([](const std::string& text) { std::fprintf(stderr, "nuvra-sim: %s\n", text.c_str()); });

    // The line: a pty pair whose slave the server opens, or a real port at the link's settings.
    std::unique_ptr<platform::PtyPair> pty;
    std::unique_ptr<platform::SerialDevice> device;
    if (o.device.empty()) {
        pty = platform::PtyPair::open();
        device = pty ? pty->take_master() : nullptr;
        if (!device) {
            std::fprintf(stderr, "nuvra-sim: no pty pair: %s\n", std::strerror(errno));
            return 1;
        }
        std::printf("PTY %s\n", pty->slave_path().c_str());
    } else {
        device = platform::serial_open(o.device.c_str());
        if (!device || !device->configure(platform::SerialLine{28800, 8, 'E', 2})) {
            std::fprintf(stderr, "nuvra-sim: %s: %s\n", o.device.c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("DEVICE %s\n", o.device.c_str());
    }
    std::fflush(stdout);

    nvsim::ControlServer control(line);
    control.catch_signals();
    if (o.stdin_control) control.serve_stream(0, 1);
    if (!o.control.empty() && !control.listen(o.control, error)) {
        std::fprintf(stderr, "nuvra-sim: %s\n", error.c_str());
        return 1;
    }
    if (o.customers > 0) line.set_customers(o.customers);

    nvsim::RunnerOptions options;
    options.pace_baud = o.pace;
    options.on_end = [&control] { control.stop(); };
    nvsim::LineRunner runner(line, *device, options);
    runner.start();
    if (!o.quiet) {
        std::fprintf(stderr, "nuvra-sim: %zu devices on the line%s\n", network.devices.size(),
                     o.pace ? (", paced at " + std::to_string(o.pace) + " baud").c_str() : "");
    }

    control.run();

    std::string failure = runner.failure();
    runner.stop();
    if (!failure.empty()) {
        std::fprintf(stderr, "nuvra-sim: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
