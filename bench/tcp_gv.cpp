// GV round trips per second through the TCP/IP host of the real orvsrv32, beside redis-benchmark's
// PING_INLINE against a redis-server started here, with 1 and with 5 clients; then the same while 4
// simulated printers are polled on the link port (a command waits for the next yield), and the
// time from a printer's status change in the simulator to its event datagram at a listener.
//
// usage: tcp_gv [--runs 5] [--seconds 2] [--samples 200] [--server path/to/orvsrv32]
// Run it pinned, as the figures are meant: taskset -c 0 tcp_gv (the servers, redis and
// redis-benchmark inherit the processor). bench/setup.sh installs redis.
//
// Targets: GV at least 1.0x Redis's rate with no devices and 0.5x while 4 printers are polled,
// with 1 and with 5 clients; event latency p99 below 10 ms with 4 printers. Each figure is the
// median of the runs; the rounds interleave the two programs so drifts hit both alike.
#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/hosts/tests/load/tcp_rig.h"

namespace {

namespace fs = std::filesystem;

constexpr double TARGET_IDLE = 1.0;
constexpr double TARGET_POLLED = 0.5;
constexpr double TARGET_EVENT_P99_MS = 10.0;

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

struct Rate {
    double per_second = 0;
    double server_cpu_us = 0; // the server's processor time per request
};

// GV exchanges per second of `clients` connections for `seconds`; 0 on any failure.
Rate gv_rate(const tcp_rig::Server& server, int clients, double seconds) {
    const int port = server.command_port();
    const long cpu_before = server.cpu_ms();
    std::atomic<long> total{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    const std::int64_t start = platform::monotonic_ms();
    const std::int64_t until = start + static_cast<std::int64_t>(seconds * 1000);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            tcp_rig::FrameClient c;
            if (!c.connect(port)) {
                failed = true;
                return;
            }
            long n = 0;
            char in[512];
            for (int id = i; platform::monotonic_ms() < until; id = (id + 1) % 1000) {
                if (!c.send_command(id, "GV")) {
                    failed = true;
                    break;
                }
                // The answer comes in one send: header and version text with its zero.
                std::size_t have = 0;
                std::size_t need = 13;
                while (have < need) {
                    long got = platform::socket_recv(c.socket(), in + have, sizeof in - have);
                    if (got <= 0) {
                        failed = true;
                        return;
                    }
                    have += static_cast<std::size_t>(got);
                    if (have >= 13)
                        need = 13 + std::strtoul(std::string(in + 6, 5).c_str(), nullptr, 10);
                    if (need > sizeof in) {
                        failed = true;
                        return;
                    }
                }
                ++n;
            }
            total += n;
        });
    }
    for (std::thread& t : threads)
        t.join();
    const double elapsed = static_cast<double>(platform::monotonic_ms() - start) / 1000.0;
    const long cpu = server.cpu_ms() - cpu_before;
    if (failed || total == 0)
        return Rate{};
    return Rate{static_cast<double>(total) / elapsed, 1000.0 * static_cast<double>(cpu) / static_cast<double>(total)};
}

class Redis {
public:
    bool start() {
        port_ = tcp_rig::free_port(true);
        folder_ = fs::temp_directory_path() / ("nuvra-redis-" + std::to_string(getpid()));
        fs::create_directories(folder_);
        if (!server_.start({"/usr/bin/redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
                            "--save", "", "--appendonly", "no", "--dir", folder_.string()},
                           {}, (folder_ / "redis.out").string()))
            return false;
        std::int64_t until = platform::monotonic_ms() + 10000;
        while (platform::monotonic_ms() < until) {
            tcp_rig::FrameClient probe;
            if (probe.connect(port_))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    ~Redis() {
        server_.send_signal(15);
        server_.wait(10000);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    // redis-benchmark -t ping_inline -c clients: requests per second, 0 on failure.
    Rate ping_rate(int clients, long requests) {
        const long cpu_before = server_.cpu_ms();
        platform::ChildProcess bench;
        fs::path out = folder_ / "bench.out";
        if (!bench.start({"/usr/bin/redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(port_), "-t",
                          "ping_inline", "-c", std::to_string(clients), "-n", std::to_string(requests), "-q"},
                         {}, out.string()))
            return Rate{};
        auto code = bench.wait(120000);
        if (!code || *code != 0)
            return Rate{};
        const long cpu = server_.cpu_ms() - cpu_before;
        std::string text = tcp_rig::Server::read(out);
        std::smatch m;
        // The last progress line holds the final figure.
        std::regex rate("PING_INLINE: ([0-9.]+) requests per second");
        double last = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), rate); it != std::sregex_iterator(); ++it)
            last = std::atof((*it)[1].str().c_str());
        return Rate{last, 1000.0 * static_cast<double>(cpu) / static_cast<double>(requests)};
    }

private:
    int port_ = 0;
    fs::path folder_;
    platform::ChildProcess server_;
};

// Milliseconds from a rising status bit in the simulator to its event datagram, per sample.
std::vector<double> event_latencies(tcp_rig::Server& server, int samples) {
    std::vector<double> out;
    platform::Socket listener = tcp_rig::event_listener(server.event_port());
    if (listener == platform::INVALID_SOCKET)
        return out;
    platform::socket_set_timeouts(listener, 1000, 0);
    char b[600];
    for (int i = 0; i < samples; ++i) {
        const int printer = 1 + i % 4;
        const std::string name = "P" + std::to_string(printer);
        server.line().control("STATUS " + name + " -04");
        std::this_thread::sleep_for(std::chrono::milliseconds(30)); // polled with the bit clear
        while (platform::socket_wait(listener, platform::FD_READ, 0) > 0)
            platform::socket_recv(listener, b, sizeof b);
        // Bit 0x04 (ticket paper low) raises event 1 for the printer.
        const std::string expected = "EVENT 1 " + std::to_string(printer) + " ";
        const auto t0 = std::chrono::steady_clock::now();
        server.line().control("STATUS " + name + " +04");
        for (;;) {
            long n = platform::socket_recv(listener, b, sizeof b);
            if (n <= 0)
                break; // lost: not counted
            if (n > 13 && std::string(b + 13, static_cast<std::size_t>(n) - 14) == expected) {
                out.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                break;
            }
        }
    }
    platform::socket_close(listener);
    return out;
}

struct Figures {
    std::vector<double> redis1, redis5, idle1, idle5, polled1, polled5, p50, p99;
    std::vector<double> cpu_redis1, cpu_redis5, cpu_idle1, cpu_idle5;
};

} // namespace

int main(int argc, char** argv) {
    int runs = 5;
    double seconds = 2;
    int samples = 200;
    std::string program = (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "server" / "orvsrv32").string();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--seconds")
            seconds = std::max(0.2, std::atof(argv[i + 1]));
        else if (a == "--samples")
            samples = std::max(10, std::atoi(argv[i + 1]));
        else if (a == "--server")
            program = argv[i + 1];
    }
    if (!fs::exists(program) || !fs::exists("/usr/bin/redis-server") || !fs::exists("/usr/bin/redis-benchmark")) {
        std::fprintf(stderr, "tcp_gv: needs %s and redis (bench/setup.sh installs it)\n", program.c_str());
        return 2;
    }
    Redis redis;
    if (!redis.start()) {
        std::fprintf(stderr, "tcp_gv: redis-server did not start\n");
        return 2;
    }
    tcp_rig::Options idle_options{program, 0, 60, 0, "tcp-gv-idle"};
    tcp_rig::Options polled_options{program, 4, 60, 0, "tcp-gv-polled"};
    tcp_rig::Server idle, polled;
    if (!idle.start(idle_options) || !polled.start(polled_options)) {
        std::fprintf(stderr, "tcp_gv: %s%s\n", idle.why().c_str(), polled.why().c_str());
        return 2;
    }
    // Redis runs a fixed count sized to about the same time as ours.
    const long n1 = static_cast<long>(seconds * 40000);
    const long n5 = static_cast<long>(seconds * 80000);

    Figures f;
    std::printf("run  redis c1   redis c5 |  GV c1 idle  GV c5 idle | GV c1 4prn  GV c5 4prn | event p50 ms  p99 ms\n");
    for (int r = 0; r < runs; ++r) {
        bool ours_first = r % 2 == 0;
        Rate a1, a5, b1, b5, c1, c5;
        if (ours_first) {
            b1 = gv_rate(idle, 1, seconds);
            b5 = gv_rate(idle, 5, seconds);
        }
        a1 = redis.ping_rate(1, n1);
        a5 = redis.ping_rate(5, n5);
        if (!ours_first) {
            b1 = gv_rate(idle, 1, seconds);
            b5 = gv_rate(idle, 5, seconds);
        }
        c1 = gv_rate(polled, 1, seconds);
        c5 = gv_rate(polled, 5, seconds);
        std::vector<double> lat = event_latencies(polled, samples / runs > 10 ? samples / runs : 10);
        double p50 = percentile(lat, 0.5), p99 = percentile(lat, 0.99);
        std::printf("%3d %10.0f %10.0f | %11.0f %11.0f | %10.0f %11.0f | %12.2f %7.2f  (%zu samples)\n", r + 1,
                    a1.per_second, a5.per_second, b1.per_second, b5.per_second, c1.per_second, c5.per_second, p50, p99,
                    lat.size());
        std::fflush(stdout);
        f.redis1.push_back(a1.per_second);
        f.redis5.push_back(a5.per_second);
        f.idle1.push_back(b1.per_second);
        f.idle5.push_back(b5.per_second);
        f.polled1.push_back(c1.per_second);
        f.polled5.push_back(c5.per_second);
        f.cpu_redis1.push_back(a1.server_cpu_us);
        f.cpu_redis5.push_back(a5.server_cpu_us);
        f.cpu_idle1.push_back(b1.server_cpu_us);
        f.cpu_idle5.push_back(b5.server_cpu_us);
        f.p50.push_back(p50);
        f.p99.push_back(p99);
    }
    const double r1 = median(f.redis1), r5 = median(f.redis5);
    const double i1 = median(f.idle1), i5 = median(f.idle5), q1 = median(f.polled1), q5 = median(f.polled5);
    const double p50 = median(f.p50), p99 = median(f.p99);
    std::printf("median %7.0f %10.0f | %11.0f %11.0f | %10.0f %11.0f | %12.2f %7.2f\n", r1, r5, i1, i5, q1, q5, p50,
                p99);
    // Processor time per request is what a loaded machine disturbs least.
    std::printf("server processor time per request, us: redis c1 %.1f, c5 %.1f | orvsrv32 GV c1 %.1f, c5 %.1f\n",
                median(f.cpu_redis1), median(f.cpu_redis5), median(f.cpu_idle1), median(f.cpu_idle5));
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    bool ok = true;
    auto verdict = [&](const char* what, double value, double target) {
        bool pass = value >= target;
        ok = ok && pass;
        std::printf("%-28s %6.2fx  (target %.1fx) %s\n", what, value, target, pass ? "met" : "MISSED");
    };
    verdict("GV/PING, 1 client, idle", ratio(i1, r1), TARGET_IDLE);
    verdict("GV/PING, 5 clients, idle", ratio(i5, r5), TARGET_IDLE);
    verdict("GV/PING, 1 client, 4 printers", ratio(q1, r1), TARGET_POLLED);
    verdict("GV/PING, 5 clients, 4 printers", ratio(q5, r5), TARGET_POLLED);
    bool latency_ok = p99 > 0 && p99 < TARGET_EVENT_P99_MS;
    ok = ok && latency_ok;
    std::printf("%-28s p50 %.2f ms, p99 %.2f ms  (target below %.0f ms) %s\n", "event latency, 4 printers", p50, p99,
                TARGET_EVENT_P99_MS, latency_ok ? "met" : "MISSED");
    auto idle_code = idle.quit();
    auto polled_code = polled.quit();
    if (!idle_code || *idle_code != 0 || !polled_code || *polled_code != 0)
        std::printf("a server did not end cleanly after EXE QUIT\n");
    return ok ? 0 : 1;
}
