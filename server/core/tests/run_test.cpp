#include "server/core/run.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::write_file;

// Fake modules: each operation records "<module>.<operation>" and behaves as a real module does
// towards the pending error (open, run and reset do nothing while one is pending; close always runs).
std::vector<std::string> calls;
ServerModuleId failing_open = MODULE_COUNT; // this module's open raises an error
void (*extra_open[MODULE_COUNT])() = {};
void (*extra_run[MODULE_COUNT])() = {};
void (*on_deliver)() = nullptr;
int delivered = 0;

const char* const NAMES[MODULE_COUNT] = {"io", "host", "clock", "protocol", "display", "printer", "card"};

template <ServerModuleId Id> void fake_open() {
    if (error_pending())
        return;
    calls.push_back(std::string(NAMES[Id]) + ".open");
    if (extra_open[Id])
        extra_open[Id]();
    if (failing_open == Id)
        error_report("_SOURCE\\test_a", 10, 520, "Open Io/COM: port '%d'", 1);
}
template <ServerModuleId Id> void fake_run() {
    if (error_pending())
        return;
    calls.push_back(std::string(NAMES[Id]) + ".run");
    if (extra_run[Id])
        extra_run[Id]();
}
template <ServerModuleId Id> void fake_close() { calls.push_back(std::string(NAMES[Id]) + ".close"); }
template <ServerModuleId Id> void fake_reset() {
    if (!error_pending())
        calls.push_back(std::string(NAMES[Id]) + ".reset");
}
void fake_clear_all() { calls.push_back("display.clear_all"); }
void fake_deliver() {
    ++delivered;
    if (on_deliver)
        on_deliver();
}

std::string direct_seen;
const char* direct_answer = "Y";
int fake_direct(const char* command, char* answer, int size) {
    direct_seen = command;
    int length = static_cast<int>(std::strlen(direct_answer)) + 1;
    std::memcpy(answer, direct_answer, static_cast<std::size_t>(std::min(length, size)));
    return 1;
}

template <ServerModuleId Id> ServerModule fake(const char* name) {
    return ServerModule{name, fake_open<Id>, fake_run<Id>, fake_close<Id>, fake_reset<Id>};
}

ServerTable fake_table() {
    return ServerTable{{fake<MODULE_IO>("io"), fake<MODULE_HOST>("host"), fake<MODULE_CLOCK>("clock"),
                        fake<MODULE_PROTOCOL>("protocol"), fake<MODULE_DISPLAY>("display"),
                        fake<MODULE_PRINTER>("printer"), fake<MODULE_CARD>("card")},
                       {fake_clear_all, fake_deliver, fake_direct, nullptr, nullptr, nullptr}};
}

std::vector<std::string> calls_of(const std::string& suffix) {
    std::vector<std::string> out;
    for (const std::string& c : calls)
        if (c.size() > suffix.size() && c.compare(c.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(c);
    return out;
}

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::use_fixed_clock();
        test_support::reset_server_state();
        calls.clear();
        failing_open = MODULE_COUNT;
        for (auto& f : extra_open)
            f = nullptr;
        for (auto& f : extra_run)
            f = nullptr;
        on_deliver = nullptr;
        delivered = 0;
        server_set_table(fake_table());
        server_set_mutex_timeout_ms(SERVER_MUTEX_TIMEOUT_MS);
    }
    void TearDown() override {
        server_shutdown();
        server_attach_loop(nullptr);
        test_support::reset_server_state();
        test_support::use_system_clock();
        server_set_table(ServerTable{});
    }
    // Runs the loop's idle action n times, as the loop does while nothing arrives.
    void idle(int n = 1) {
        for (int i = 0; i < n; ++i)
            server_idle();
    }

    test_support::ScratchDir dir;
};

// The number of times message 271 ("Log on") or 272 ("Log off") has been raised so far.
void record_log_messages() {
    calls.push_back("log on " + std::to_string(error_count(271)) + ", log off " + std::to_string(error_count(272)));
}

TEST_F(MainLoop, OpensInOrderWithLogOnBetweenHostAndClock) {
    extra_open[MODULE_HOST] = record_log_messages;
    extra_open[MODULE_CLOCK] = record_log_messages;
    server_window_setup(0);
    EXPECT_TRUE(modules_running);
    EXPECT_EQ(calls, (std::vector<std::string>{"io.open", "host.open", "log on 0, log off 0", "clock.open",
                                               "log on 1, log off 0", "protocol.open", "display.open",
                                               "printer.open", "card.open"}));
    std::string log = read_file("LOG/ERROR.LOG");
    EXPECT_NE(log.find("   271:0000000001("), std::string::npos) << log;
    EXPECT_NE(log.find(") <_source\\run:128> Message: Log on\r\n"), std::string::npos) << log;
}

TEST_F(MainLoop, ClosesInOrderWritesLogOffAndTheSettings) {
    extra_open[MODULE_IO] = [] {
        char value[40];
        ini_get_string("TEST", "KEY", "value", value, sizeof value, INI_FILE);
    };
    server_window_setup(0);
    calls.clear();
    server_close_all();
    EXPECT_EQ(calls, (std::vector<std::string>{"printer.close", "display.close", "card.close", "clock.close",
                                               "host.close", "io.close"}));
    std::string log = read_file("LOG/ERROR.LOG");
    std::size_t on = log.find("Message: Log on");
    std::size_t off = log.find(") <_source\\run:148> Message: Log off\r\n");
    EXPECT_NE(off, std::string::npos) << log;
    EXPECT_LT(on, off);
    EXPECT_NE(read_file("ZSYS.INI").find("KEY              = value\r\n"), std::string::npos);
}

TEST_F(MainLoop, CycleRunsTheModulesInOrderAndResetsAtItsEnd) {
    server_window_setup(0);
    calls.clear();
    server_run_cycle();
    EXPECT_EQ(calls, (std::vector<std::string>{"display.run", "printer.run", "card.run", "clock.run", "host.run"}));
    EXPECT_EQ(delivered, 5); // a yield after each run step

    calls.clear();
    server_reset();
    server_run_cycle();
    EXPECT_EQ(calls, (std::vector<std::string>{"display.run", "printer.run", "card.run", "clock.run", "host.run",
                                               "display.clear_all", "clock.reset", "card.reset", "display.reset",
                                               "printer.reset", "protocol.reset"}));
    EXPECT_FALSE(server_requests().reset);
}

platform::EventLoop* test_loop = nullptr;

TEST_F(MainLoop, WaitingMessageCutsTheCycleShortButNotTheReset) {
    platform::EventLoop loop;
    test_loop = &loop;
    server_attach_loop(&loop);
    server_window_setup(0);
    extra_run[MODULE_PRINTER] = [] { test_loop->post(platform::Message{}); };
    calls.clear();
    server_reset();
    server_run_cycle();
    EXPECT_EQ(calls, (std::vector<std::string>{"display.run", "printer.run", "display.clear_all", "clock.reset",
                                               "card.reset", "display.reset", "printer.reset", "protocol.reset"}));
}

TEST_F(MainLoop, EveryIdleCallRunsOneCycleAndAdvancesTheCycleCounter) {
    server_window_setup(0);
    int before = error_cycle();
    calls.clear();
    idle(3);
    EXPECT_EQ(calls_of(".run").size(), 15u);
    EXPECT_EQ(error_cycle(), before + 3);
}

TEST_F(MainLoop, ValueOutOfRangeAtStartIsCorrectedLoggedAndStopsTheServerUntilRestart) {
    write_file("ZSYS.INI", "[TEST]\nLEVEL            = 50\n");
    extra_open[MODULE_PROTOCOL] = [] { ini_get_number("TEST", "LEVEL", 5, 1, 10, INI_FILE); };
    // The real clock's per-second list saves the settings file; one idle call stands for a second.
    extra_run[MODULE_CLOCK] = ini_second_tick;
    server_window_setup(0);
    EXPECT_FALSE(modules_running);
    EXPECT_EQ(calls, (std::vector<std::string>{"io.open", "host.open", "clock.open", "protocol.open"}));
    std::string log = read_file("LOG/ERROR.LOG");
    EXPECT_NE(log.find("   111:0000000001("), std::string::npos) << log;
    EXPECT_NE(log.find("above max value '10', corrected to max value"), std::string::npos) << log;

    calls.clear();
    idle(3);
    EXPECT_TRUE(calls_of(".run") == std::vector<std::string>(3, "clock.run")) << "no cycles while stopped";
    // The settings added while opening are on disk, so the fix below is not written over.
    EXPECT_NE(read_file("ZSYS.INI").find("[ERROR]"), std::string::npos);

    write_file("ZSYS.INI", "[TEST]\nLEVEL            = 7\n");
    server_restart();
    calls.clear();
    idle();
    EXPECT_TRUE(modules_running);
    EXPECT_FALSE(server_requests().restart);
    EXPECT_NE(read_file("ZSYS.INI").find("LEVEL            = 7"), std::string::npos)
        << "the fix made while stopped is still there";
    calls.clear();
    idle();
    EXPECT_EQ(calls_of(".run").size(), 5u);
}

TEST_F(MainLoop, RestartWaitsWhileMessagesKeepArriving) {
    platform::EventLoop loop;
    server_attach_loop(&loop);
    server_window_setup(0);
    server_restart();
    for (int i = 0; i < 3; ++i) {
        loop.post(platform::Message{});
        calls.clear();
        idle();
        EXPECT_TRUE(calls_of(".open").empty());
        EXPECT_TRUE(server_requests().restart);
        loop.run_once(0);
    }
    calls.clear();
    idle();
    EXPECT_EQ(calls_of(".close").size(), 6u);
    EXPECT_EQ(calls_of(".open").size(), 7u);
    EXPECT_FALSE(server_requests().restart);
    EXPECT_TRUE(modules_running);
}

TEST_F(MainLoop, ResetWhileStoppedWaitsForASuccessfulRestart) {
    failing_open = MODULE_IO;
    server_window_setup(0);
    ASSERT_FALSE(modules_running);
    server_reset();
    idle(2);
    server_restart(); // fails again
    idle();
    EXPECT_FALSE(modules_running);
    EXPECT_TRUE(calls_of(".reset").empty());
    EXPECT_TRUE(server_requests().reset);

    failing_open = MODULE_COUNT;
    server_restart();
    idle();
    EXPECT_TRUE(modules_running);
    EXPECT_TRUE(calls_of(".reset").empty());
    calls.clear();
    idle();
    EXPECT_EQ(calls_of(".reset").size(), 5u);
    EXPECT_EQ(calls.back(), "protocol.reset");
    EXPECT_FALSE(server_requests().reset);
}

TEST_F(MainLoop, QuitBlanksTheDisplaysAtOnceAndEndsTheLoopAtTheNextIdleCall) {
    platform::EventLoop loop;
    server_attach_loop(&loop);
    server_window_setup(0);
    calls.clear();
    server_quit();
    EXPECT_EQ(calls, std::vector<std::string>{"display.clear_all"});
    EXPECT_TRUE(loop.run_once(0));
    idle();
    EXPECT_FALSE(loop.run_once(0));
    EXPECT_EQ(loop.quit_code(), 1);
    EXPECT_FALSE(server_requests().quit);
}

TEST_F(MainLoop, LoopSleepsOnlyWhenNoUnitWasServed) {
    server_window_setup(0);
    int wait = server_idle();
    EXPECT_GT(wait, 0) << "no units: wait for a message or the next second";
    EXPECT_LE(wait, 1000 + 2);

    extra_run[MODULE_PRINTER] = [] { server_yield(); }; // one unit served
    EXPECT_EQ(server_idle(), 0);
    extra_run[MODULE_PRINTER] = nullptr;
    extra_run[MODULE_HOST] = server_note_busy;
    EXPECT_EQ(server_idle(), 0);
    extra_run[MODULE_HOST] = nullptr;

    failing_open = MODULE_IO;
    server_restart();
    server_idle();
    ASSERT_FALSE(modules_running);
    EXPECT_GT(server_idle(), 0);
}

TEST_F(MainLoop, EventWindowListRules) {
    for (platform::WindowHandle w = 1; w <= 19; ++w)
        ASSERT_EQ(event_window_register(w, 1), 1) << w;
    EXPECT_EQ(event_window_register(20, 1), 0) << "the 20th window";
    EXPECT_EQ(event_window_register(5, 1), 0) << "already registered";
    EXPECT_EQ(event_window_register(77, 0), 0) << "not registered";
    EXPECT_EQ(event_window_register(0, 1), 0) << "0 ends the list";
    EXPECT_EQ(event_window_register(5, 0), 1);
    EXPECT_EQ(event_window_register(5, 0), 0);
    EXPECT_EQ(event_window_count(), 18);
    EXPECT_EQ(event_window_register(20, 1), 1);
    EXPECT_EQ(event_window_register(21, 1), 0);
    for (platform::WindowHandle w = 1; w <= 20; ++w)
        event_window_register(w, 0);
    EXPECT_EQ(event_window_count(), 0);
}

TEST_F(MainLoop, EventWindowsRegisterThroughTheWindowMessageAndGetEventsWithTheirText) {
    setenv("NUVRA_WINDOW_NAMESPACE", ("runtest" + std::to_string(getpid())).c_str(), 1);
    platform::EventLoop loop;
    std::vector<platform::Message> got;
    platform::WindowEndpoint window(loop, [&](const platform::Message& m, std::string*) {
        got.push_back(m);
        return std::int64_t{0};
    });
    ASSERT_EQ(window.open(""), platform::EndpointStatus::ok);
    platform::Message reg{MSG_EVENT_WINDOW, 1, static_cast<std::int64_t>(window.handle()), ""};
    EXPECT_EQ(server_window_procedure(reg, nullptr), 1);
    EXPECT_EQ(server_window_procedure(reg, nullptr), 0);

    event_window_post(6, 2, "card 12345");
    for (int i = 0; i < 100 && got.empty(); ++i)
        loop.run_once(50);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg, 0x405u);
    EXPECT_EQ(got[0].wparam, 0x0602u);
    EXPECT_EQ(got[0].payload, "card 12345");

    reg.wparam = 0;
    EXPECT_EQ(server_window_procedure(reg, nullptr), 1);
    EXPECT_EQ(event_window_count(), 0);
}

platform::Message command_message(std::uint32_t msg, std::uint64_t wparam, const char* command,
                                  std::uint32_t answer_size) {
    platform::CommandRecord record{command, 0, answer_size};
    return platform::Message{msg, wparam, 0, platform::encode_command_record(record)};
}

TEST_F(MainLoop, DirectCommandMessages) {
    std::string reply;
    direct_seen.clear();
    EXPECT_EQ(server_window_procedure(command_message(MSG_DIRECT_COMMAND, 1, "SYST", 100), &reply), 0);
    EXPECT_TRUE(direct_seen.empty()) << "WM_USER+1 with a non-zero wParam does nothing";

    direct_answer = "Y";
    EXPECT_EQ(server_window_procedure(command_message(MSG_DIRECT_COMMAND, 0, "SYST", 100), &reply), 1);
    EXPECT_EQ(direct_seen, "SYST");
    EXPECT_EQ(reply, std::string("Y\0", 2));

    direct_answer = "ABCDEF";
    EXPECT_EQ(server_window_procedure(command_message(MSG_DIRECT_COMMAND_WORD, 77, "FPRN 1 PB 1 1", 3), &reply), 1);
    EXPECT_EQ(direct_seen, "FPRN 1 PB 1 1");
    EXPECT_EQ(reply, "ABC") << "cut to the answer buffer, without its zero";

    platform::Message no_record{MSG_DIRECT_COMMAND, 0, 0, "abc"};
    EXPECT_EQ(server_window_procedure(no_record, &reply), 0);
}

TEST_F(MainLoop, NoticesAndOtherMessages) {
    EXPECT_EQ(server_window_procedure(platform::Message{platform::WM_QUERYOPEN, 0, 0, ""}, nullptr), 0);
    EXPECT_EQ(server_window_procedure(platform::Message{MSG_TCP_LISTEN_NOTICE, 3, 1, ""}, nullptr), 1);
    EXPECT_EQ(server_window_procedure(platform::Message{MSG_NETBIOS_NOTICE, 0, 0, ""}, nullptr), 1);
}

TEST_F(MainLoop, YieldNeverGoesOnWithoutTheMutex) {
    server_set_mutex_timeout_ms(5);
    server_window_setup(0); // the main thread owns server_mutex from here on
    std::atomic<bool> holder_has_it{false};
    std::atomic<bool> holder_released{false};
    int timeouts_before = server_mutex_timeout_count();
    std::thread holder([&] {
        std::lock_guard<std::recursive_timed_mutex> guard(server_mutex);
        holder_has_it = true;
        // Keep it until the main thread has given up waiting at least twice.
        while (server_mutex_timeout_count() < timeouts_before + 2)
            std::this_thread::yield();
        holder_released = true;
    });
    static std::atomic<bool>* has_it;
    has_it = &holder_has_it;
    on_deliver = [] {
        while (!has_it->load())
            std::this_thread::yield();
    };
    server_yield();
    EXPECT_TRUE(holder_released) << "the yield returned while another thread held the mutex";
    holder.join();
    EXPECT_EQ(error_pending(), ERROR_MUTEX_TIMEOUT);
    ASSERT_GE(error_recorded_count(), 1);
    EXPECT_NE(std::string(error_recorded_text(0)).find("Server mutex not free within '5' ms, '"),
              std::string::npos)
        << error_recorded_text(0);
    std::atomic<bool> other_got_it{true};
    std::thread other([&] { other_got_it = server_mutex.try_lock(); });
    other.join();
    EXPECT_FALSE(other_got_it) << "the main thread owns the mutex again";
    on_deliver = nullptr;
    error_discard();
}

TEST_F(MainLoop, TraceLogLines) {
    server_trace("not written %d", 1);
    EXPECT_FALSE(fs::exists("orviksrv.log"));
    server_set_trace(1);
    server_trace("first %d", 1);
    server_trace("%s", "second");
    server_set_trace(0);
    EXPECT_EQ(read_file("orviksrv.log"), "2004-02-16 10:22:33.450\tfirst 1\r\n"
                                         "2004-02-16 10:22:33.450\tsecond\r\n");
}

TEST(About, TextHasTheTitleTheVersionAndAnEmptyLastLine) {
    std::string text = server_about_text();
    EXPECT_EQ(text.rfind("Orvik System Server 32-bit\n", 0), 0u);
    std::size_t version = text.find("Orvik System Server Ver 76.01j\n");
    ASSERT_NE(version, std::string::npos);
    std::string rest = text.substr(version + 31);
    EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "the build line, then the empty last line";
}

// The real program, run in a scratch folder.
class ServerProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("NUVRA_BIN_DIR");
        if (!bin)
            GTEST_SKIP() << "NUVRA_BIN_DIR is not set (ctest sets it)";
        program = fs::path(bin) / "server" / "orvsrv32";
        ASSERT_TRUE(fs::exists(program)) << program;
        folder = dir.path() / "data";
        fs::create_directories(folder);
        static int started = 0;
        ns = "sys" + std::to_string(getpid()) + "_" + std::to_string(++started);
    }
    // Settings without a link port and without units, so that nothing touches the machine's
    // serial ports.
    void seed_settings() {
        write_file(folder / "ZSYS.INI", "[IO]\r\nPORT             = 0\r\n\r\n"
                                        "[DISPLAY]\r\nMAX              = 0\r\n\r\n"
                                        "[PRINTER]\r\nMAX              = 0\r\n\r\n"
                                        "[CARD_READER]\r\nMAX              = 0\r\n\r\n");
    }
    bool start(platform::ChildProcess* child, const std::string& output) {
        return child->start({program.string(), "--data", folder.string()}, {"NUVRA_WINDOW_NAMESPACE=" + ns},
                            (dir.path() / output).string());
    }
    // Waits (bounded) until the file exists and holds `text`.
    bool wait_for(const fs::path& file, const std::string& text, int seconds = 20) {
        for (int i = 0; i < seconds * 20; ++i) {
            if (fs::exists(file) && read_file(file).find(text) != std::string::npos)
                return true;
            poll(nullptr, 0, 50);
        }
        return false;
    }

    test_support::ScratchDir dir;
    fs::path program;
    fs::path folder;
    std::string ns;
};

TEST_F(ServerProgram, FreshStartWritesCompleteSettingsAndLogsOn) {
    platform::ChildProcess server;
    ASSERT_TRUE(start(&server, "out.txt"));
    ASSERT_TRUE(wait_for(folder / "LOG" / "ERROR.LOG", "<_source\\run:128> Message: Log on"));
    ASSERT_TRUE(wait_for(folder / "ZSYS.INI", "[FILES]")) << "the settings are saved seconds after start";
    std::string raw = read_file(folder / "ZSYS.INI");
    EXPECT_NE(raw.find("\r\n"), std::string::npos) << "lines end with CR LF on disk";
    std::string ini;
    for (char c : raw)
        if (c != '\r')
            ini += c;
    std::vector<std::string> expected = {
        "[ERROR]\n\n",
        "FILE_MAX         = 5000\n",
        "BUNCH            = 1-530=0\n",
        "SEQUENCE         = 1-530=0\n",
        "OFF              = \n",
        "[FILES]\n\n",
        "ERROR_LOG        = LOG\\ERROR.LOG\n",
        "ERROR_LOG_OLD    = LOG\\ERROR.OLD\n",
        "[IO]\n\n",
        "PORT             = 1\n",
        "TIME_OUT         = 25\n",
        "[PORTS]\n\n",
        "COM1             = /dev/ttyS0\n",
    };
    std::string log = read_file(folder / "LOG" / "ERROR.LOG");
    // Where the machine has no usable first serial port the opening stops at the link port (520).
    if (log.find(" 520:") == std::string::npos) {
        for (const char* line :
             {"[HOST]\n\n", "MAX              = 1\n", "EVENT_QUEUE_MAX  = 5\n", "SAVE_LOG         = 0\n",
              "MODEM_SETUP      = AT &D0 S0=1^M\n", "MODEM_HANGUP     = +++\n", "MODEM_HANGUP_END = AT H0^M\n",
              "EVENTS           = 1\n", "HOST1            = DIRECT\n", "[PROTOCOL]\n\n",
              "ANSWER_TIME_OUT  = 2000\n", "CONNECT_TIME_OUT = 100\n", "COMMAND_TRYS     = 5\n",
              "DATA_TRYS        = 5\n", "[DISPLAY]\n\nID_NO_START      = 81\nMAX              = 1\n",
              "[PRINTER]\n\nID_NO_START      = 89\nMAX              = 1\nSETTINGS         = 1-1=1\n",
              "[PRINTER_SETTING_1]\n\nUNIT             = 0\nUNPLUGG_ERROR    = 0\n",
              "[CARD_READER]\n\nMAX              = 0\nID_NO            = 120\nUNIT_NO_START    = 1\n"})
            expected.push_back(line);
    }
    for (const std::string& line : expected)
        EXPECT_NE(ini.find(line), std::string::npos) << line << "\n--- ZSYS.INI:\n" << ini;
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait(20000), 0);
}

TEST_F(ServerProgram, SigtermClosesCleanlyWithLogOff) {
    seed_settings();
    platform::ChildProcess server;
    ASSERT_TRUE(start(&server, "out.txt"));
    ASSERT_TRUE(wait_for(folder / "LOG" / "ERROR.LOG", "Message: Log on"));
    ASSERT_TRUE(server.send_signal(SIGTERM));
    EXPECT_EQ(server.wait(20000), 0);
    std::string log = read_file(folder / "LOG" / "ERROR.LOG");
    EXPECT_NE(log.find("<_source\\run:148> Message: Log off\r\n-----\r\n"), std::string::npos) << log;
    EXPECT_NE(read_file(folder / "ZSYS.INI").find("[FILES]"), std::string::npos)
        << "settings written at the latest when closing";
}

TEST_F(ServerProgram, SecondCopyOnTheSameFolderRefusesAndTouchesNothing) {
    seed_settings();
    platform::ChildProcess first;
    ASSERT_TRUE(start(&first, "first.txt"));
    ASSERT_TRUE(wait_for(folder / "ZSYS.INI", "[FILES]"));
    std::string ini = read_file(folder / "ZSYS.INI");
    std::string log = read_file(folder / "LOG" / "ERROR.LOG");
    auto ini_time = fs::last_write_time(folder / "ZSYS.INI");
    std::string lock = read_file(folder / "orvsrv32.lock");

    platform::ChildProcess second;
    ASSERT_TRUE(start(&second, "second.txt"));
    EXPECT_EQ(second.wait(20000), 3);
    std::string said = read_file(dir.path() / "second.txt");
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    EXPECT_NE(said.find(std::to_string(first.pid())), std::string::npos) << said;
    EXPECT_EQ(read_file(folder / "ZSYS.INI"), ini);
    EXPECT_EQ(read_file(folder / "LOG" / "ERROR.LOG"), log);
    EXPECT_EQ(fs::last_write_time(folder / "ZSYS.INI"), ini_time);
    EXPECT_EQ(read_file(folder / "orvsrv32.lock"), lock);

    first.send_signal(SIGTERM);
    EXPECT_EQ(first.wait(20000), 0);
}

TEST_F(ServerProgram, MainWindowIsFoundByTitleServesMessagesAndClosesTheProgram) {
    setenv("NUVRA_WINDOW_NAMESPACE", ns.c_str(), 1);
    seed_settings();
    platform::ChildProcess server;
    ASSERT_TRUE(start(&server, "out.txt"));
    ASSERT_TRUE(wait_for(folder / "LOG" / "ERROR.LOG", "Message: Log on"));
    platform::WindowHandle window = 0;
    for (int i = 0; i < 200 && window == 0; ++i) {
        window = platform::find_window(SERVER_TITLE);
        if (window == 0)
            poll(nullptr, 0, 50);
    }
    ASSERT_NE(window, 0u);
    EXPECT_EQ(static_cast<long>(window >> 32), server.pid());

    auto reply = platform::send_message(window, MSG_EVENT_WINDOW, 1, 12345);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 1);
    reply = platform::send_message(window, MSG_EVENT_WINDOW, 1, 12345);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0) << "the same window twice";
    reply = platform::send_message(window, MSG_DIRECT_COMMAND, 1, 0, platform::encode_command_record({"SYST", 0, 100}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0) << "WM_USER+1 with a non-zero wParam";

    // A second server elsewhere does not take the title.
    platform::ChildProcess other;
    fs::path other_folder = dir.path() / "other";
    fs::create_directories(other_folder);
    fs::copy_file(folder / "ZSYS.INI", other_folder / "ZSYS.INI");
    ASSERT_TRUE(other.start({program.string(), "--data", other_folder.string()}, {"NUVRA_WINDOW_NAMESPACE=" + ns},
                            (dir.path() / "other.txt").string()));
    EXPECT_TRUE(wait_for(dir.path() / "other.txt", "already held by another program"))
        << read_file(dir.path() / "other.txt");
    EXPECT_EQ(platform::find_window(SERVER_TITLE), window);
    other.send_signal(SIGTERM);
    EXPECT_EQ(other.wait(20000), 0);

    EXPECT_TRUE(platform::post_message(window, platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(server.wait(20000), 0);
    EXPECT_NE(read_file(folder / "LOG" / "ERROR.LOG").find("Message: Log off"), std::string::npos);
    unsetenv("NUVRA_WINDOW_NAMESPACE");
}

} // namespace
