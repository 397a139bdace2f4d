// The real orvsrv32 with one TCP_IP host on loopback, its link port on a pty pair whose far end the
// device line simulator serves in this process, and blocking framed clients. Used by the TCP/IP
// load test and the GV benchmark.
#pragma once

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/pty_line.h"

namespace tcp_rig {

namespace fs = std::filesystem;

constexpr std::uint32_t LOOPBACK_BROADCAST = 0x7FFFFFFF; // 127.255.255.255

// A port no socket holds now (bound and released at once).
inline int free_port(bool stream) {
    platform::Socket s = stream ? platform::socket_stream() : platform::socket_datagram();
    platform::socket_bind(s, platform::IPV4_LOOPBACK, 0);
    int port = platform::socket_local_port(s);
    platform::socket_close(s);
    return port;
}

inline std::string header(int id, std::size_t length) {
    char h[32];
    std::snprintf(h, sizeof h, "&&%03d&%05zu&&", id % 1000, length);
    return h;
}

// One command connection: a command and its terminating zero go out in one send; the answer
// frame is read whole. Blocking, with 5 s time-outs.
class FrameClient {
public:
    ~FrameClient() { close(); }
    bool connect(int port) {
        close();
        s_ = platform::socket_stream();
        if (s_ == platform::INVALID_SOCKET)
            return false;
        platform::socket_set_timeouts(s_, 5000, 5000);
        if (platform::socket_connect(s_, platform::IPV4_LOOPBACK, port) != 0) {
            close();
            return false;
        }
        platform::socket_set_nodelay(s_, true);
        return true;
    }
    void close() {
        if (s_ != platform::INVALID_SOCKET)
            platform::socket_close(s_);
        s_ = platform::INVALID_SOCKET;
    }
    bool send_command(int id, const std::string& text) {
        std::string frame = header(id, text.size() + 1) + text;
        frame.push_back('\0');
        return send_all(frame.data(), frame.size());
    }
    bool send_all(const char* data, std::size_t size) {
        std::size_t sent = 0;
        while (sent < size) {
            long n = platform::socket_send(s_, data + sent, size - sent);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The answer's header (13 bytes) and body (LENGTH bytes, its zero included).
    bool read_answer(std::string* head, std::string* body) {
        char h[13];
        if (!read_exactly(h, sizeof h))
            return false;
        head->assign(h, sizeof h);
        if (h[0] != '&' || h[1] != '&' || h[5] != '&' || h[11] != '&' || h[12] != '&')
            return false;
        std::size_t length = std::strtoul(head->substr(6, 5).c_str(), nullptr, 10);
        body->resize(length);
        return read_exactly(body->data(), length);
    }
    bool read_exactly(char* buffer, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            long n = platform::socket_recv(s_, buffer + got, size - got);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool exchange(int id, const std::string& text, std::string* head, std::string* body) {
        return send_command(id, text) && read_answer(head, body);
    }
    platform::Socket socket() const { return s_; }

private:
    platform::Socket s_ = platform::INVALID_SOCKET;
};

// A listener of the event port on the loopback broadcast address.
inline platform::Socket event_listener(int port) {
    platform::Socket s = platform::socket_datagram();
    platform::socket_set_reuse_address(s, true);
    platform::socket_set_receive_buffer(s, 4 << 20);
    if (platform::socket_bind(s, LOOPBACK_BROADCAST, port) != 0) {
        platform::socket_close(s);
        return platform::INVALID_SOCKET;
    }
    platform::socket_set_timeouts(s, 200, 0);
    return s;
}

struct Options {
    std::string server;  // path of orvsrv32
    int printers = 0;    // simulated ticket printers on the link port
    int clients = 60;    // the TCP_IP host's client table
    int pace_baud = 0;   // the simulator paces its answers at this rate (0: as fast as it can)
    std::string name = "tcp"; // part of the scratch folder's name
};

class Server {
public:
    ~Server() {
        if (running_) {
            server_.send_signal(15);
            server_.wait(20000);
        }
        sim_.reset();
        std::error_code ec;
        if (!folder_.empty())
            fs::remove_all(folder_, ec);
    }

    bool start(const Options& o) {
        folder_ = fs::temp_directory_path() / ("nuvra-" + o.name + "-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        command_port_ = free_port(true);
        event_port_ = free_port(false);
        nvsim::NetworkConfig network;
        for (int i = 0; i < o.printers; ++i) {
            std::string error;
            if (!nvsim::add_device_line(network, "printer " + std::to_string(89 + i) + " 0", error))
                return fail("simulator: " + error);
        }
        nvsim::RunnerOptions options;
        options.pace_baud = o.pace_baud;
        sim_ = nvsim::PtyLine::open(network, options);
        if (!sim_)
            return fail("the simulator did not start on a pty pair");
        std::ofstream(folder_ / "ZSYS.INI", std::ios::trunc)
            << "[PORTS]\r\nCOM1 = " << sim_->slave_path() << "\r\n\r\n[IO]\r\nPORT = 1\r\n\r\n"
            << "[PRINTER]\r\nMAX = " << o.printers << "\r\n\r\n[DISPLAY]\r\nMAX = 0\r\n\r\n"
            << "[CARD_READER]\r\nMAX = 0\r\n\r\n"
            << "[HOST]\r\nMAX = 1\r\nEVENTS = 1-7\r\nEVENT_QUEUE_MAX = 300\r\nHOST1 = TCP_IP," << command_port_ << ","
            << event_port_ << "," << o.clients << ",0,127.255.255.255\r\n";
        std::string ns = "NUVRA_WINDOW_NAMESPACE=" + o.name + "-" + std::to_string(getpid());
        if (!server_.start({o.server, "--data", folder_.string()}, {ns}, (folder_ / "server.out").string()))
            return fail("cannot start " + o.server);
        running_ = true;
        // Ready once the command port takes connections.
        std::int64_t until = platform::monotonic_ms() + 15000;
        while (platform::monotonic_ms() < until) {
            FrameClient probe;
            if (probe.connect(command_port_))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return fail("the command port never opened; server output:\n" + read(folder_ / "server.out") + "\n" +
                    read(folder_ / "LOG" / "ERROR.LOG"));
    }

    // EXE QUIT, then the exit code (empty when it did not end within 20 s).
    std::optional<int> quit() {
        FrameClient c;
        std::string head, body;
        if (c.connect(command_port_))
            c.exchange(0, "EXE QUIT", &head, &body);
        auto code = server_.wait(20000);
        running_ = !code.has_value();
        return code;
    }

    int command_port() const { return command_port_; }
    int event_port() const { return event_port_; }
    nvsim::SimLine& line() { return sim_->line(); }
    long pid() const { return server_.pid(); }
    long cpu_ms() const { return server_.cpu_ms(); }
    std::string error_log() const { return read(folder_ / "LOG" / "ERROR.LOG"); }
    std::string output() const { return read(folder_ / "server.out"); }
    const std::string& why() const { return why_; }

    static std::string read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    bool fail(const std::string& why) {
        why_ = why;
        return false;
    }

    fs::path folder_;
    int command_port_ = 0;
    int event_port_ = 0;
    std::unique_ptr<nvsim::PtyLine> sim_;
    platform::ChildProcess server_;
    bool running_ = false;
    std::string why_;
};

} // namespace tcp_rig
