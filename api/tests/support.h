// Helpers of the client library's tests: a scratch folder that is the current folder and the
// Windows folder, the trace log's lines, a recording event callback, and a fake TCP/IP host on
// 127.0.0.1 that speaks the 13-byte framing and misbehaves on request.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace apitest {

// Each test runs in a fresh scratch folder (its current folder) with the library restarted there:
// no settings file, trace off, message boxes captured instead of shown.
class ApiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes a file (text as given: use "\r\n" where it matters).
    void write_file(const std::string& path, const std::string& text);
    // "NUVRAAPI.INI" in the current folder with SAVE_LOG=1, the connection and short time-outs;
    // the library is restarted so that it finds the file.
    void write_settings(const std::string& connection, const std::string& extra_protocol_keys = "");
    // The messages of "nvapi.log": each line without its time stamp, tab and CR LF.
    std::vector<std::string> trace();
    std::string trace_text();
    void restart_library();

    std::string folder_;
    std::string windows_folder_;
    std::string previous_folder_;
};

// Message boxes shown since the test began ("title|text").
std::vector<std::string> message_boxes();

// The event callback of the tests: records (code, text copied at once, the slot's address).
struct SeenEvent {
    std::int32_t code;
    std::string text;
    const char* slot;
};
void record_event(std::int32_t code, const char* text);
void clear_events();
// Waits (bounded) until at least n events were seen; returns what was seen.
std::vector<SeenEvent> wait_events(std::size_t n, int timeout_ms = 5000);

// A UDP port free at the moment of the call.
int free_udp_port();
// Sends one datagram to 127.0.0.1:port.
void send_datagram(int port, const std::string& bytes);

// One command frame as the fake host received it.
struct Frame {
    std::string header; // the 13 header bytes
    std::string body;
    unsigned id = 0;
    int connection = 0; // 1 for the first connection accepted, and so on
};

// A TCP/IP host on 127.0.0.1 run by a thread of its own. Every complete command frame goes to the
// handler (on the host's thread), which answers with send() or does something worse. A command
// port of 0 takes any free port.
class FakeHost {
public:
    using Handler = std::function<void(FakeHost& host, platform::Socket client, const Frame& frame)>;
    explicit FakeHost(Handler handler, int port = 0);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    int port() const { return port_; }
    void stop();
    std::vector<Frame> frames();
    int connections();
    int closed_connections();

    // Host thread only (inside the handler).
    void send(platform::Socket client, const std::string& bytes);
    void close(platform::Socket client);
    // The socket of a connection still open, or INVALID_SOCKET.
    platform::Socket client_of(int connection);

    // "&&<id>&<length>&&" + text + zero, built here by hand-formatting, independent of the library.
    static std::string answer(const Frame& frame, const std::string& text);
    static std::string answer_with_id(unsigned id, const std::string& text);

private:
    struct Client {
        platform::Socket socket;
        int connection;
        std::string in;
    };
    void run();
    void serve(Client& client);

    Handler handler_;
    platform::Socket listener_ = platform::INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    bool stopping_ = false;
    std::vector<Frame> frames_;
    std::map<platform::Socket, Client> clients_;
    int connections_ = 0;
    int closed_ = 0;
};

// Answers every command with "A:" and the command text (without its zero).
FakeHost::Handler echo_handler();

} // namespace apitest
