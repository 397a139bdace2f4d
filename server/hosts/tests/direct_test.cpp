// The DIRECT host through the main window's endpoint: a client on another thread (and, against
// the real program, in another process) sends command records and receives events in its own
// registered window.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "platform/child_process.h"
#include "platform/event_loop.h"
#include "platform/pty.h"
#include "platform/window_endpoint.h"
#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/hosts/hostslot.h"
#include "server/hosts/tests/host_fixture.h"

namespace host_test {
namespace {

namespace fs = std::filesystem;

const std::string VERSION = "Orvik System Server Ver 76.01j\n" __DATE__ " / NV";

std::string record(const std::string& command, std::uint32_t answer_size) {
    return platform::encode_command_record(platform::CommandRecord{command, 0, answer_size});
}

// A client window on a thread of its own: sends its requests, registers for events and waits
// (bounded) for the first event.
struct Client {
    explicit Client(platform::WindowHandle to) : server(to) {}

    void run(std::atomic<int>* stage) {
        platform::EventLoop loop;
        platform::WindowEndpoint window(loop, [this](const platform::Message& m, std::string*) {
            events.push_back(m);
            return std::int64_t{0};
        });
        if (window.open("") != platform::EndpointStatus::ok) {
            *stage = 2;
            return;
        }
        handle = window.handle();
        version = platform::send_message(server, MSG_DIRECT_COMMAND, 0, 0, record("GV", 200));
        cut = platform::send_message(server, MSG_DIRECT_COMMAND, 0, 0, record("GV", 3));
        refused = platform::send_message(server, MSG_DIRECT_COMMAND, 1, 0, record("GV", 200));
        send = platform::send_message(server, MSG_DIRECT_COMMAND_WORD, 77, 0,
                                      record("EVENT SEND 2 5 hello there", 200));
        registered = platform::send_message(server, MSG_EVENT_WINDOW, 1, static_cast<std::int64_t>(handle));
        *stage = 1;
        for (int i = 0; i < 100 && events.empty(); ++i)
            loop.run_once(50);
        *stage = 2;
    }

    platform::WindowHandle server;
    platform::WindowHandle handle = 0;
    std::optional<platform::SendReply> version, cut, refused, send, registered;
    std::vector<platform::Message> events;
};

class DirectWindow : public HostTest {
  protected:
    void SetUp() override {
        setenv("NUVRA_WINDOW_NAMESPACE", ("hosttest" + std::to_string(getpid())).c_str(), 1);
    }
    void TearDown() override {
        server_sleep_begin(); // the yield below left server_mutex with this thread
        unsetenv("NUVRA_WINDOW_NAMESPACE");
        HostTest::TearDown();
    }
};

TEST_F(DirectWindow, CommandsAnswerAndEventsReachTheRegisteredWindowWithTheirText) {
    open("[HOST]\nMAX = 1\nEVENTS = 1\n\n");
    ASSERT_EQ(error_pending(), 0);
    server_set_table(server_module_table); // the program's own hooks: direct commands, delivery
    platform::EventLoop loop;
    platform::WindowEndpoint window(loop, server_window_procedure);
    ASSERT_EQ(window.open(""), platform::EndpointStatus::ok) << window.error_text();

    Client client(window.handle());
    std::atomic<int> stage{0};
    std::thread thread([&] { client.run(&stage); });
    bool delivered = false;
    for (int i = 0; i < 1000 && stage != 2; ++i) {
        loop.run_once(10);
        if (stage == 1 && !delivered) {
            server_yield(); // delivers the queued event to the window that registered meanwhile
            delivered = true;
        }
    }
    thread.join();

    ASSERT_TRUE(client.version);
    EXPECT_EQ(client.version->result, 1);
    EXPECT_EQ(client.version->payload, VERSION + std::string(1, '\0'));
    ASSERT_TRUE(client.cut);
    EXPECT_EQ(client.cut->payload, "Orv") << "cut to the answer buffer";
    ASSERT_TRUE(client.refused);
    EXPECT_EQ(client.refused->result, 0) << "WM_USER+1 with a non-zero wParam";
    ASSERT_TRUE(client.send);
    EXPECT_EQ(client.send->result, 1);
    EXPECT_EQ(client.send->payload, std::string("Y\0", 2)) << "event 2 is off, SEND queues it anyway";
    ASSERT_TRUE(client.registered);
    EXPECT_EQ(client.registered->result, 1);

    ASSERT_EQ(client.events.size(), 1u);
    EXPECT_EQ(client.events[0].msg, MSG_EVENT);
    EXPECT_EQ(client.events[0].wparam, (2u << 8) | 4u) << "event 2, unit index 4";
    EXPECT_EQ(client.events[0].payload, "hello there");
    EXPECT_EQ(host_event_queued(), 0);
    EXPECT_EQ(event_window_register(client.handle, 0), 1);
}

// The real program with its default host (HOST1 = DIRECT) on a link port nobody answers.
TEST(DirectHostProgram, ServesCommandsAndPushesEvents) {
    const char* bin = std::getenv("NUVRA_BIN_DIR");
    if (!bin) GTEST_SKIP() << "NUVRA_BIN_DIR is not set (ctest sets it)";
    fs::path program = fs::path(bin) / "server" / "orvsrv32";
    ASSERT_TRUE(fs::exists(program)) << program;
    test_support::ScratchDir dir;
    fs::path folder = dir.path() / "data";
    fs::create_directories(folder);
    auto pty = platform::PtyPair::open();
    ASSERT_TRUE(pty);
    test_support::write_file(folder / "ZSYS.INI", "[PORTS]\nCOM1 = " + pty->slave_path() +
                                                      "\n\n[HOST]\nEVENTS = 1-7\n\n[PRINTER]\nMAX = 0\n\n"
                                                      "[DISPLAY]\nMAX = 0\n\n");
    const std::string ns = "hostprog" + std::to_string(getpid());
    setenv("NUVRA_WINDOW_NAMESPACE", ns.c_str(), 1);
    platform::ChildProcess server;
    ASSERT_TRUE(server.start({program.string(), "--data", folder.string()}, {"NUVRA_WINDOW_NAMESPACE=" + ns},
                             (dir.path() / "out.txt").string()));
    platform::WindowHandle window = 0;
    for (int i = 0; i < 200 && window == 0; ++i) {
        window = platform::find_window(SERVER_TITLE);
        if (window == 0) poll(nullptr, 0, 50);
    }
    ASSERT_NE(window, 0u) << test_support::read_file(dir.path() / "out.txt");

    auto version = platform::send_message(window, MSG_DIRECT_COMMAND, 0, 0, record("GV", 200));
    ASSERT_TRUE(version);
    EXPECT_EQ(version->result, 1);
    EXPECT_EQ(version->payload, VERSION + std::string(1, '\0'));

    platform::EventLoop loop;
    std::vector<platform::Message> events;
    platform::WindowEndpoint mine(loop, [&](const platform::Message& m, std::string*) {
        events.push_back(m);
        return std::int64_t{0};
    });
    ASSERT_EQ(mine.open(""), platform::EndpointStatus::ok);
    auto registered =
        platform::send_message(window, MSG_EVENT_WINDOW, 1, static_cast<std::int64_t>(mine.handle()));
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->result, 1);
    auto sent =
        platform::send_message(window, MSG_DIRECT_COMMAND, 0, 0, record("EVENT SEND 6 3 card 0042", 200));
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->payload, std::string("Y\0", 2));
    for (int i = 0; i < 200 && events.empty(); ++i)
        loop.run_once(50);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].wparam, (6u << 8) | 2u);
    EXPECT_EQ(events[0].payload, "card 0042");

    auto quit = platform::send_message(window, MSG_DIRECT_COMMAND, 0, 0, record("EXE QUIT", 200));
    ASSERT_TRUE(quit);
    EXPECT_EQ(quit->payload, std::string("Y\0", 2));
    EXPECT_EQ(server.wait(20000), 0) << test_support::read_file(dir.path() / "out.txt");
    unsetenv("NUVRA_WINDOW_NAMESPACE");
}

} // namespace
} // namespace host_test
