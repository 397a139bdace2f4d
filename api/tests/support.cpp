#include "api/tests/support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "api/nuvra_error.h"
#include "api/nvapi_state.h"
#include "platform/event_loop.h"

namespace fs = std::filesystem;

namespace apitest {
namespace {

std::mutex boxes_lock;
std::vector<std::string> boxes;

void capture_box(const char* title, const char* text) {
    std::lock_guard<std::mutex> guard(boxes_lock);
    boxes.push_back(std::string(title) + "|" + text);
}

std::mutex events_lock;
std::condition_variable events_changed;
std::vector<SeenEvent> events;

} // namespace

std::vector<std::string> message_boxes() {
    std::lock_guard<std::mutex> guard(boxes_lock);
    return boxes;
}

void ApiTest::SetUp() {
    previous_folder_ = fs::current_path().string();
    std::string pattern = (fs::temp_directory_path() / "nvapi-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    windows_folder_ = folder_ + "/windows";
    fs::create_directories(windows_folder_);
    setenv("NUVRA_WINDIR", windows_folder_.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    fs::current_path(folder_);
    {
        std::lock_guard<std::mutex> guard(boxes_lock);
        boxes.clear();
    }
    ApiSetMessageBoxHook(capture_box);
    clear_events();
    restart_library();
}

void ApiTest::TearDown() {
    ApiLibraryEnd();
    ApiSetLockWaitMs(LOCK_WAIT_MS);
    fs::current_path(previous_folder_);
    std::error_code ec;
    fs::remove_all(folder_, ec);
    ApiLibraryStart();
}

void ApiTest::restart_library() {
    ApiLibraryEnd();
    ApiLibraryStart();
}

void ApiTest::write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void ApiTest::write_settings(const std::string& connection, const std::string& extra_protocol_keys) {
    write_file(folder_ + "/NUVRAAPI.INI", "[SETUP]\r\nSAVE_LOG=1\r\nCONNECTION=" + connection +
                                              "\r\n\r\n[PROTOCOL]\r\n" + extra_protocol_keys +
                                              "CONNECT_TIME_OUT=2000\r\nANSWER_TIME_OUT=2000\r\n");
    restart_library();
}

std::string ApiTest::trace_text() {
    std::ifstream in(folder_ + "/nvapi.log", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> ApiTest::trace() {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\t)");
    std::string text = trace_text();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back("UNTERMINATED:" + text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        std::smatch m;
        if (std::regex_search(line, m, stamp))
            line = line.substr(m.length(0));
        else if (!line.empty())
            line = "NO STAMP:" + line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

void record_event(std::int32_t code, const char* text) {
    std::lock_guard<std::mutex> guard(events_lock);
    events.push_back(SeenEvent{code, text, text});
    events_changed.notify_all();
}

void clear_events() {
    std::lock_guard<std::mutex> guard(events_lock);
    events.clear();
}

std::vector<SeenEvent> wait_events(std::size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> guard(events_lock);
    events_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [n] { return events.size() >= n; });
    return events;
}

int free_udp_port() {
    platform::Socket s = platform::socket_datagram();
    EXPECT_NE(s, platform::INVALID_SOCKET);
    EXPECT_EQ(platform::socket_bind(s, platform::IPV4_ANY, 0), 0);
    int port = platform::socket_local_port(s);
    platform::socket_close(s);
    return port;
}

void send_datagram(int port, const std::string& bytes) {
    platform::Socket s = platform::socket_datagram();
    ASSERT_NE(s, platform::INVALID_SOCKET);
    ASSERT_EQ(platform::socket_connect(s, platform::IPV4_LOOPBACK, port), 0);
    ASSERT_EQ(platform::socket_send(s, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    platform::socket_close(s);
}

// ---- the fake host ----

namespace {

struct HostLoop {
    platform::EventLoop loop;
    std::map<platform::Socket, int> watches;
};

} // namespace

FakeHost::FakeHost(Handler handler, int port) : handler_(std::move(handler)) {
    listener_ = platform::socket_stream();
    EXPECT_NE(listener_, platform::INVALID_SOCKET);
    platform::socket_set_reuse_address(listener_, true);
    EXPECT_EQ(platform::socket_bind(listener_, platform::IPV4_LOOPBACK, port), 0)
        << platform::socket_error_name(platform::socket_last_error());
    EXPECT_EQ(platform::socket_listen(listener_, 8), 0);
    port_ = platform::socket_local_port(listener_);
    thread_ = std::thread([this] { run(); });
}

FakeHost::~FakeHost() { stop(); }

void FakeHost::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    thread_.join();
    for (auto& [socket, client] : clients_)
        platform::socket_close(socket);
    clients_.clear();
    platform::socket_close(listener_);
}

namespace {
thread_local HostLoop* host_loop = nullptr;
}

void FakeHost::run() {
    HostLoop state;
    host_loop = &state;
    state.loop.watch(listener_, POLLIN, [this, &state](int, short) {
        platform::Socket s = platform::socket_accept(listener_);
        if (s == platform::INVALID_SOCKET)
            return;
        int connection = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            connection = ++connections_;
        }
        platform::socket_set_nodelay(s, true);
        clients_[s] = Client{s, connection, {}};
        state.watches[s] = state.loop.watch(s, POLLIN, [this](int fd, short) {
            auto it = clients_.find(fd);
            if (it == clients_.end())
                return;
            char buffer[65536];
            long n = platform::socket_recv(fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd);
                return;
            }
            it->second.in.append(buffer, static_cast<std::size_t>(n));
            serve(it->second);
        });
    });
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_)
                break;
        }
        state.loop.run_once(20);
    }
    for (auto& [socket, watch] : state.watches)
        state.loop.unwatch(watch);
    host_loop = nullptr;
}

// Frames as the server finds them: a byte that does not start a header is dropped.
void FakeHost::serve(Client& client) {
    platform::Socket s = client.socket;
    for (;;) {
        auto it = clients_.find(s);
        if (it == clients_.end())
            return;
        std::string& in = it->second.in;
        if (in.size() < 13)
            return;
        if (in[0] != '&' || in[1] != '&' || in[5] != '&' || in[11] != '&' || in[12] != '&') {
            in.erase(0, 1);
            continue;
        }
        std::size_t length = std::strtoul(in.substr(6, 5).c_str(), nullptr, 10);
        if (in.size() < 13 + length)
            return;
        Frame frame;
        frame.header = in.substr(0, 13);
        frame.body = in.substr(13, length);
        frame.id = static_cast<unsigned>(std::strtoul(in.substr(2, 3).c_str(), nullptr, 10));
        frame.connection = it->second.connection;
        in.erase(0, 13 + length);
        {
            std::lock_guard<std::mutex> guard(lock_);
            frames_.push_back(frame);
        }
        handler_(*this, s, frame);
    }
}

void FakeHost::send(platform::Socket client, const std::string& bytes) {
    if (clients_.count(client))
        platform::socket_send(client, bytes.data(), bytes.size());
}

void FakeHost::close(platform::Socket client) {
    auto it = clients_.find(client);
    if (it == clients_.end())
        return;
    if (host_loop) {
        auto w = host_loop->watches.find(client);
        if (w != host_loop->watches.end()) {
            host_loop->loop.unwatch(w->second);
            host_loop->watches.erase(w);
        }
    }
    platform::socket_close(client);
    clients_.erase(it);
    std::lock_guard<std::mutex> guard(lock_);
    ++closed_;
}

platform::Socket FakeHost::client_of(int connection) {
    for (auto& [socket, client] : clients_)
        if (client.connection == connection)
            return socket;
    return platform::INVALID_SOCKET;
}

std::vector<Frame> FakeHost::frames() {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
}

int FakeHost::connections() {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

int FakeHost::closed_connections() {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

std::string FakeHost::answer_with_id(unsigned id, const std::string& text) {
    char header[32];
    std::snprintf(header, sizeof header, "&&%03u&%05zu&&", id, text.size() + 1);
    return std::string(header) + text + std::string(1, '\0');
}

std::string FakeHost::answer(const Frame& frame, const std::string& text) { return answer_with_id(frame.id, text); }

FakeHost::Handler echo_handler() {
    return [](FakeHost& host, platform::Socket client, const Frame& frame) {
        std::string text = frame.body;
        if (!text.empty() && text.back() == '\0')
            text.pop_back();
        host.send(client, FakeHost::answer(frame, "A:" + text));
    };
}

} // namespace apitest
