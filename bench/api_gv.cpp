// Round trips per second of NuvraCommandAnswer("GV") through libnvapi32.so, beside a raw-socket
// client that speaks the same 13-byte framing with nothing around it, both against the real
// orvsrv32 with one TCP_IP host and no devices. Target: the library reaches 0.9 times the raw
// client's rate.
//
// usage: api_gv [--rounds N] [--seconds S] [path/to/orvsrv32]
//        (default: 7 rounds of 2 s per client; the server beside this program's folder)
// Pin it to one processor as the figures are meant: taskset -c 0 api_gv (the server inherits it).
//
// The two clients take turns, the order swapping every round, and the medians are compared.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "api/nvapi32.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace fs = std::filesystem;

namespace {

constexpr double TARGET_RATIO = 0.9;
constexpr int ANSWER_SIZE = 512;

int free_port(bool stream) {
    platform::Socket s = stream ? platform::socket_stream() : platform::socket_datagram();
    platform::socket_bind(s, platform::IPV4_LOOPBACK, 0);
    int port = platform::socket_local_port(s);
    platform::socket_close(s);
    return port;
}

bool receive_all(platform::Socket s, char* buffer, std::size_t size) {
    while (size > 0) {
        long n = platform::socket_recv(s, buffer, size);
        if (n <= 0)
            return false;
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The least a client can do: one send of header and command, then the header and the answer.
class RawClient {
public:
    bool connect(int port) {
        if (s_ != platform::INVALID_SOCKET)
            platform::socket_close(s_);
        s_ = platform::socket_stream();
        if (s_ == platform::INVALID_SOCKET)
            return false;
        platform::socket_set_nodelay(s_, true);
        platform::socket_set_timeouts(s_, 5000, 5000);
        return platform::socket_connect(s_, platform::IPV4_LOOPBACK, port) == 0;
    }
    ~RawClient() {
        if (s_ != platform::INVALID_SOCKET)
            platform::socket_close(s_);
    }
    // The answer text, or empty on failure.
    std::string exchange(const char* command) {
        char request[64];
        int length = static_cast<int>(std::strlen(command)) + 1;
        std::snprintf(request, sizeof request, "&&%03u&%05d&&", id_, length);
        std::memcpy(request + 13, command, static_cast<std::size_t>(length));
        if (platform::socket_send(s_, request, static_cast<std::size_t>(13 + length)) != 13 + length)
            return "";
        char header[14] = {};
        if (!receive_all(s_, header, 13) || std::strtoul(std::string(header + 2, 3).c_str(), nullptr, 10) != id_)
            return "";
        std::size_t answer_length = std::strtoul(header + 6, nullptr, 10);
        std::string answer(answer_length, '\0');
        if (!receive_all(s_, answer.data(), answer_length))
            return "";
        id_ = (id_ + 1) % 1000;
        return std::string(answer.c_str());
    }

private:
    platform::Socket s_ = platform::INVALID_SOCKET;
    unsigned id_ = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <class Exchange> double rate(double seconds, Exchange exchange, bool* failed) {
    std::int64_t start = platform::monotonic_ms();
    std::int64_t end = start + static_cast<std::int64_t>(seconds * 1000);
    long count = 0;
    std::int64_t now = start;
    while (now < end) {
        if (!exchange()) {
            *failed = true;
            return 0;
        }
        ++count;
        if ((count & 63) == 0)
            now = platform::monotonic_ms();
    }
    now = platform::monotonic_ms();
    return static_cast<double>(count) * 1000.0 / static_cast<double>(now - start);
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    double seconds = 2.0;
    fs::path program = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "server" / "orvsrv32";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::max(0.1, std::atof(argv[++i]));
        else
            program = a;
    }
    if (!fs::exists(program)) {
        std::fprintf(stderr, "api_gv: no server program at %s\n", program.c_str());
        return 2;
    }
    fs::path folder = fs::temp_directory_path() / ("nuvra-api-gv-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "windows");
    int port = free_port(true);
    int event_port = free_port(false);
    {
        std::ofstream ini(folder / "ZSYS.INI", std::ios::binary);
        ini << "[IO]\r\nPORT             = 0\r\n\r\n[DISPLAY]\r\nMAX              = 0\r\n\r\n"
               "[PRINTER]\r\nMAX              = 0\r\n\r\n[CARD_READER]\r\nMAX              = 0\r\n\r\n"
               "[HOST]\r\nMAX              = 1\r\nHOST1            = TCP_IP,"
            << port << "," << event_port << ",5,0,127.255.255.255\r\n";
    }
    // The library's own settings: none, from a folder of this run.
    setenv("NUVRA_WINDIR", (folder / "windows").c_str(), 1);

    platform::ChildProcess server;
    std::string ns = "NUVRA_WINDOW_NAMESPACE=api-gv-" + std::to_string(getpid());
    if (!server.start({program.string(), "--data", folder.string()}, {ns}, (folder / "server.out").string())) {
        std::fprintf(stderr, "api_gv: cannot start %s\n", program.c_str());
        return 2;
    }
    RawClient raw;
    bool connected = false;
    for (int i = 0; i < 200 && !connected; ++i) {
        connected = raw.connect(port);
        if (!connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string version = connected ? raw.exchange("GV") : "";
    if (version.empty()) {
        std::fprintf(stderr, "api_gv: the server's TCP/IP host does not answer on port %d\n", port);
        server.send_signal(SIGTERM);
        server.wait(20000);
        fs::remove_all(folder);
        return 2;
    }

    std::string connection = "TCP_IP,127.0.0.1," + std::to_string(port) + ",0";
    NuvraErrorShowMsgBox(1); // failures on standard error
    NuvraConnect(connection.c_str());
    char answer[ANSWER_SIZE];
    bool library_ok = NuvraBegin() == 1 && NuvraCommandAnswer("GV", 3, answer, sizeof answer) == 1 &&
                      std::string(answer) == version;
    if (!library_ok)
        std::fprintf(stderr, "api_gv: the library did not get the version text \"%s\"\n", version.c_str());

    std::vector<double> library_rates;
    std::vector<double> raw_rates;
    bool failed = !library_ok;
    auto library_exchange = [&] { return NuvraCommandAnswer("GV", 3, answer, sizeof answer) == 1; };
    auto raw_exchange = [&] { return !raw.exchange("GV").empty(); };
    for (int r = 0; r < rounds && !failed; ++r) {
        double lib = 0;
        double plain = 0;
        if (r % 2 == 0) {
            lib = rate(seconds, library_exchange, &failed);
            plain = rate(seconds, raw_exchange, &failed);
        } else {
            plain = rate(seconds, raw_exchange, &failed);
            lib = rate(seconds, library_exchange, &failed);
        }
        library_rates.push_back(lib);
        raw_rates.push_back(plain);
        std::printf("round %d: library %8.0f /s   raw %8.0f /s   ratio %.3f\n", r + 1, lib, plain,
                    plain > 0 ? lib / plain : 0);
    }
    NuvraEnd();
    NuvraDisconnect();
    server.send_signal(SIGTERM);
    auto code = server.wait(20000);
    fs::remove_all(folder);
    if (failed) {
        std::fprintf(stderr, "api_gv: an exchange failed\n");
        return 1;
    }
    double lib = median(library_rates);
    double plain = median(raw_rates);
    double ratio = plain > 0 ? lib / plain : 0;
    std::printf("GV round trips through orvsrv32 (%s), medians of %d rounds of %.1f s:\n", version.c_str(), rounds,
                seconds);
    std::printf("  libnvapi32.so %8.0f /s\n  raw socket    %8.0f /s\n  ratio %.3f (target at least %.1f)  %s\n", lib,
                plain, ratio, TARGET_RATIO, ratio >= TARGET_RATIO ? "ok" : "BELOW TARGET");
    std::printf("server ended with exit code %d after SIGTERM\n", code ? *code : -1);
    return ratio >= TARGET_RATIO ? 0 : 1;
}
