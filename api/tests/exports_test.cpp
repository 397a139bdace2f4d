// The exports: sessions, the implicit path through "NUVRAAPI.INI", the transport's life, the API
// lock, error reports, and event delivery to a callback and to a window.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "api/nuvra_error.h"
#include "api/nvapi32.h"
#include "api/nvapi_state.h"
#include "api/tests/support.h"
#include "platform/event_loop.h"
#include "platform/window_endpoint.h"

namespace fs = std::filesystem;
using apitest::ApiTest;

namespace {

// What a fake transport was asked to do, and what it should fail with (0: nothing).
struct FakeLog {
    int begins = 0;
    int ends = 0;
    int commands = 0;
    int disconnects = 0;
    int destroyed = 0;
    int fail_begin = 0;
    int fail_end = 0;
    int fail_command = 0;
    int fail_disconnect = 0;
    std::string answer = "Y";
};

class FakeTransport : public CProtocol {
public:
    explicit FakeTransport(FakeLog* log) : log_(log) {}
    ~FakeTransport() override { ++log_->destroyed; }
    void Begin() override {
        ++log_->begins;
        if (log_->fail_begin)
            NV_RAISE(log_->fail_begin, "begin failed");
    }
    void CommandAnswer(const char*, int, char* answer, int size) override {
        ++log_->commands;
        answer[0] = '\0';
        if (log_->fail_command)
            NV_RAISE(log_->fail_command, "command failed");
        std::snprintf(answer, static_cast<std::size_t>(size), "%s", log_->answer.c_str());
    }
    void End() override {
        ++log_->ends;
        if (log_->fail_end)
            NV_RAISE(log_->fail_end, "end failed");
    }
    void Disconnect() override {
        ++log_->disconnects;
        if (log_->fail_disconnect)
            NV_RAISE(log_->fail_disconnect, "disconnect failed");
    }

private:
    FakeLog* log_;
};

class ExportsTest : public ApiTest {
protected:
    void install_fake() {
        ApiInstallTransport(std::make_unique<FakeTransport>(&log_));
        ApiSetTraceSwitch(1);
    }
    // The error lines of the trace, without the file and line.
    std::vector<std::string> errors() {
        std::vector<std::string> found;
        for (const std::string& line : trace()) {
            if (line.rfind("Error:\t", 0) != 0)
                continue;
            std::size_t paren = line.find(" (");
            found.push_back(paren == std::string::npos ? line : line.substr(paren + 1));
        }
        return found;
    }

    FakeLog log_;
};

using Lines = std::vector<std::string>;

TEST_F(ExportsTest, CommandAnswerWithoutBeginOpensAndClosesASession) {
    apitest::FakeHost host(apitest::echo_handler());
    write_settings("TCP_IP,127.0.0.1," + std::to_string(host.port()) + ",0");
    char answer[100];
    ASSERT_EQ(NuvraCommandAnswer("GV", 3, answer, sizeof answer), 1);
    EXPECT_STREQ(answer, "A:GV");
    ASSERT_EQ(NuvraCommandAnswer("SS", 3, answer, sizeof answer), 1);
    EXPECT_EQ(trace(), (Lines{"NuvraBegin", "NuvraCommandAnswer cmd 0:\tGV", "NuvraCommandAnswer ans 0:\tA:GV",
                              "NuvraEnd", "", "NuvraBegin", "NuvraCommandAnswer cmd 1:\tSS",
                              "NuvraCommandAnswer ans 1:\tA:SS", "NuvraEnd", ""}));
    EXPECT_EQ(ApiSessionCount(), 0);
    EXPECT_EQ(host.connections(), 1); // the connection is kept between sessions
}

TEST_F(ExportsTest, SecondBeginDoesNotCallTheTransport) {
    install_fake();
    EXPECT_EQ(NuvraBegin(), 1);
    EXPECT_EQ(NuvraBegin(), 1);
    EXPECT_EQ(log_.begins, 1);
    EXPECT_EQ(NuvraEnd(), 1);
    EXPECT_EQ(NuvraEnd(), 0);
    EXPECT_EQ(log_.ends, 1);
    EXPECT_EQ(trace(), (Lines{"NuvraBegin", "NuvraEnd", ""}));
}

TEST_F(ExportsTest, CommandInsideASessionIsNotBracketed) {
    install_fake();
    char answer[10];
    ASSERT_EQ(NuvraBegin(), 1);
    EXPECT_EQ(NuvraCommandAnswer("GVxxxx", 2, answer, sizeof answer), 1);
    EXPECT_EQ(log_.begins, 1);
    EXPECT_EQ(log_.ends, 0);
    // Only the command's length is traced: it need not end in a zero.
    EXPECT_EQ(trace(), (Lines{"NuvraBegin", "NuvraCommandAnswer cmd 0:\tGV", "NuvraCommandAnswer ans 0:\tY"}));
}

TEST_F(ExportsTest, FailedBeginLeavesNoSession) {
    install_fake();
    log_.fail_begin = 2044;
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_EQ(ApiSessionCount(), 0);
    EXPECT_EQ(errors(), (Lines{"(2044)\tbegin failed"}));
}

TEST_F(ExportsTest, FailedEndKeepsTheSession) {
    install_fake();
    ASSERT_EQ(NuvraBegin(), 1);
    log_.fail_end = 2000;
    EXPECT_EQ(NuvraEnd(), 0);
    EXPECT_EQ(ApiSessionCount(), 1);
    EXPECT_EQ(errors(), (Lines{"(2000)\tend failed"}));
}

TEST_F(ExportsTest, FailedCommandIsReportedAndItsSessionClosed) {
    install_fake();
    log_.fail_command = 3011;
    char answer[10] = "old";
    EXPECT_EQ(NuvraCommandAnswer("GV", 3, answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(log_.ends, 1);
    EXPECT_EQ(ApiSessionCount(), 0);
    EXPECT_EQ(errors(), (Lines{"(3011)\tcommand failed"}));
}

TEST_F(ExportsTest, FailedDisconnectIsReportedAndTheTransportDeleted) {
    install_fake();
    log_.fail_disconnect = 2000;
    EXPECT_EQ(NuvraDisconnect(), 1);
    EXPECT_EQ(log_.destroyed, 1);
    EXPECT_EQ(ApiTransport(), nullptr);
    EXPECT_EQ(trace().front(), "NuvraDisconnect");
    EXPECT_EQ(errors(), (Lines{"(2000)\tdisconnect failed"}));
}

TEST_F(ExportsTest, CommandWithoutRoomForTheAnswerIsRefused) {
    install_fake();
    char answer[4];
    EXPECT_EQ(NuvraCommandAnswer("GV", 3, nullptr, 10), 0);
    EXPECT_EQ(NuvraCommandAnswer("GV", 3, answer, 0), 0);
    EXPECT_EQ(NuvraCommandAnswer(nullptr, 3, answer, sizeof answer), 0);
    EXPECT_EQ(NuvraCommandAnswer("GV", -1, answer, sizeof answer), 0);
    EXPECT_EQ(log_.commands, 0);
    EXPECT_EQ(errors().size(), 4u);
}

TEST_F(ExportsTest, SessionSurvivesDisconnect) {
    install_fake();
    ASSERT_EQ(NuvraBegin(), 1);
    NuvraDisconnect();
    FakeLog second;
    ApiInstallTransport(std::make_unique<FakeTransport>(&second));
    EXPECT_EQ(NuvraBegin(), 1);
    EXPECT_EQ(second.begins, 0);
    EXPECT_EQ(NuvraEnd(), 1);
    EXPECT_EQ(second.ends, 1);
}

TEST_F(ExportsTest, ConnectEndsTheTransportThereWas) {
    install_fake();
    EXPECT_EQ(NuvraConnect("FILE"), 1);
    EXPECT_EQ(log_.disconnects, 1);
    EXPECT_EQ(log_.destroyed, 1);
    EXPECT_NE(dynamic_cast<CProtocol_no_connection*>(ApiTransport()), nullptr);
}

TEST_F(ExportsTest, ConnectDoesNotReadTheSetupKeys) {
    write_file("NUVRAAPI.INI", "[SETUP]\r\nSAVE_LOG=1\r\nCONNECTION=FILE\r\n");
    restart_library();
    EXPECT_EQ(NuvraConnect("NET"), 1);
    EXPECT_EQ(ApiTransport(), nullptr);
    EXPECT_FALSE(fs::exists("nvapi.log")); // SAVE_LOG was not read
    EXPECT_STREQ(ApiConnectionText(), "");
}

// ---- the implicit path ----

TEST_F(ExportsTest, WithoutSettingsTheConnectionIsNetBiosAndTheTraceOff) {
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_STREQ(ApiConnectionText(), "NET,ZADOZIV,ZDLL");
    EXPECT_EQ(ApiTransport(), nullptr);
    EXPECT_FALSE(fs::exists("nvapi.log"));
    EXPECT_TRUE(apitest::message_boxes().empty());
}

TEST_F(ExportsTest, SettingsOfTheWindowsFolderAreFoundWithoutRegardToCase) {
    write_file(windows_folder_ + "/nuvraapi.ini", "[setup]\r\nsave_log=1\r\nConnection=FILE,x\r\n");
    EXPECT_STREQ(ApiSettingsPath(), "NUVRAAPI.INI");
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_STREQ(ApiConnectionText(), "FILE,x");
    EXPECT_EQ(errors(), (Lines{"(2044)\tNo connection, check type of connection"}));
}

TEST_F(ExportsTest, SettingsOfTheCurrentFolderWinWhenPresentAtStart) {
    write_file(windows_folder_ + "/NUVRAAPI.INI", "[SETUP]\r\nCONNECTION=FILE,windows\r\n");
    write_file("NuvraApi.ini", "[SETUP]\r\nCONNECTION=FILE,current\r\n");
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_STREQ(ApiConnectionText(), "FILE,windows"); // the file came after the library's start
    NuvraDisconnect();
    restart_library();
    EXPECT_EQ(ApiSettingsPath(), folder_ + "/NuvraApi.ini");
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_STREQ(ApiConnectionText(), "FILE,current");
}

TEST_F(ExportsTest, FailedBuildIsRetriedWithTheSettingsReadAgain) {
    write_file("NUVRAAPI.INI", "[SETUP]\r\nSAVE_LOG=1\r\nCONNECTION=NET,ZADOZIV,ZDLL\r\n");
    restart_library();
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_EQ(ApiTransport(), nullptr);
    write_file("NUVRAAPI.INI", "[SETUP]\r\nSAVE_LOG=1\r\nCONNECTION=DIRECT\r\n");
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_NE(dynamic_cast<CProtocol_no_connection*>(ApiTransport()), nullptr);
    EXPECT_EQ(errors(), (Lines{"(2000)\tNetBIOS connections (\"NET,ZADOZIV,ZDLL\") are not available yet; set [SETUP] "
                               "CONNECTION=TCP_IP,host in NUVRAAPI.INI",
                               "(2044)\tNo connection, check type of connection"}));
}

TEST_F(ExportsTest, NoConnectionAnswersEmptyAfterReportingItsSession) {
    write_settings("FILE");
    char answer[10] = "old";
    EXPECT_EQ(NuvraCommandAnswer("GV", 3, answer, sizeof answer), 1);
    EXPECT_STREQ(answer, "");
    Lines lines = trace();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "NuvraBegin");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("Error:\tapi/transport\\.cpp, line: [0-9]+ \\(2044\\)\t"
                                                      "No connection, check type of connection")))
        << lines[1];
    EXPECT_EQ(lines[2], "NuvraCommandAnswer cmd 0:\tGV");
    EXPECT_EQ(lines[3], "NuvraCommandAnswer ans 0:\t");
}

// ---- the transport factory ----

struct KindCase {
    const char* connection;
    TransportKind kind;
};

class KindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindTest, ChosenByPrefix) { EXPECT_EQ(TransportKindOf(GetParam().connection), GetParam().kind); }

INSTANTIATE_TEST_SUITE_P(Factory, KindTest,
                         ::testing::Values(KindCase{"COM_MODEM,1", TransportKind::no_connection},
                                           KindCase{"COM1", TransportKind::com},
                                           KindCase{"COMX,2", TransportKind::com},
                                           KindCase{"IO,1", TransportKind::io},
                                           KindCase{"FILE,x", TransportKind::no_connection},
                                           KindCase{"NET,ZADOZIV,ZDLL", TransportKind::netbios},
                                           KindCase{"TCP_IP,host", TransportKind::tcp_ip},
                                           KindCase{"tcp_ip,host", TransportKind::no_connection},
                                           KindCase{"DDE", TransportKind::dde},
                                           KindCase{"DIRECT", TransportKind::no_connection},
                                           KindCase{"RPC,x", TransportKind::rpc},
                                           KindCase{"SERIAL", TransportKind::no_connection},
                                           KindCase{"", TransportKind::no_connection}));

struct UnavailableCase {
    const char* connection;
    const char* text;
};

class UnavailableTest : public ::testing::TestWithParam<UnavailableCase> {};

TEST_P(UnavailableTest, ConstructionFailsSayingSo) {
    try {
        CreateTransport(GetParam().connection);
        ADD_FAILURE() << "built a transport";
    } catch (const CXNuvraError& e) {
        EXPECT_EQ(e.number, 2000);
        EXPECT_EQ(e.text, GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Factory, UnavailableTest,
    ::testing::Values(UnavailableCase{"NET,A,B", "NetBIOS connections (\"NET,A,B\") are not available yet; set "
                                                 "[SETUP] CONNECTION=TCP_IP,host in NUVRAAPI.INI"},
                      UnavailableCase{"RPC,h", "RPC connections (\"RPC,h\") are not available yet"},
                      UnavailableCase{"DDE", "DDE connections (\"DDE\") are not available yet"}));

// ---- the API lock ----

struct LockCase {
    const char* name;
    std::function<int()> call;
    const char* line;
};

class LockTest : public ExportsTest, public ::testing::WithParamInterface<LockCase> {
protected:
    // Runs `call` while another thread holds the API lock.
    void while_locked(const std::function<void()>& call) {
        std::mutex m;
        std::condition_variable cv;
        bool held = false;
        bool release = false;
        std::thread holder([&] {
            std::lock_guard<std::recursive_timed_mutex> lock(ApiLock());
            std::unique_lock<std::mutex> guard(m);
            held = true;
            cv.notify_all();
            cv.wait(guard, [&] { return release; });
        });
        {
            std::unique_lock<std::mutex> guard(m);
            cv.wait(guard, [&] { return held; });
        }
        call();
        {
            std::lock_guard<std::mutex> guard(m);
            release = true;
        }
        cv.notify_all();
        holder.join();
    }
};

TEST_P(LockTest, BusyLockFailsTheCallWithoutTouchingTheTransport) {
    install_fake();
    ApiSetLockWaitMs(10);
    while_locked([this] { EXPECT_EQ(GetParam().call(), 0); });
    EXPECT_EQ(trace(), (Lines{GetParam().line}));
    EXPECT_EQ(log_.begins + log_.commands + log_.disconnects, 0);
    EXPECT_EQ(ApiSessionCount(), 0);
}

char lock_answer[10];

INSTANTIATE_TEST_SUITE_P(
    Exports, LockTest,
    ::testing::Values(LockCase{"Begin", [] { return int{NuvraBegin()}; }, "NuvraBegin mutex error, can't take ownership."},
                      LockCase{"End", [] { return int{NuvraEnd()}; }, "NuvraEnd mutex error, can't take ownership."},
                      LockCase{"CommandAnswer",
                               [] { return int{NuvraCommandAnswer("GV", 3, lock_answer, sizeof lock_answer)}; },
                               "NuvraCommandAnswer mutex error"},
                      LockCase{"Connect", [] { return int{NuvraConnect("FILE")}; },
                               "NuvraConnect mutex error, can't take ownership."}),
    [](const auto& row) { return std::string(row.param.name); });

using CommandNumberTest = LockTest;

TEST_F(CommandNumberTest, RefusedCommandsTakeANumberToo) {
    install_fake();
    ApiSetLockWaitMs(10);
    char answer[10];
    while_locked([&] { EXPECT_EQ(NuvraCommandAnswer("A", 2, answer, sizeof answer), 0); });
    ASSERT_EQ(NuvraBegin(), 1);
    ASSERT_EQ(NuvraCommandAnswer("B", 2, answer, sizeof answer), 1);
    EXPECT_EQ(trace(), (Lines{"NuvraCommandAnswer mutex error", "NuvraBegin", "NuvraCommandAnswer cmd 1:\tB",
                              "NuvraCommandAnswer ans 1:\tY"}));
}

// ---- reports and message boxes ----

TEST_F(ExportsTest, MessageBoxOnlyWithTheSwitchOn) {
    ApiSetTraceSwitch(1);
    NuvraTcpIpEvent(1, 2);
    NuvraConnect("NET,A");
    EXPECT_TRUE(apitest::message_boxes().empty());
    NuvraErrorShowMsgBox(1);
    NuvraTcpIpEvent(1, 2);
    NuvraConnect("NET,A");
    EXPECT_EQ(apitest::message_boxes(),
              (Lines{"Nuvra API|Deprecated function",
                     "Nuvra API|NetBIOS connections (\"NET,A\") are not available yet; set [SETUP] "
                     "CONNECTION=TCP_IP,host in NUVRAAPI.INI"}));
    EXPECT_EQ(errors().size(), 2u); // traced with and without the box
}

TEST_F(ExportsTest, SettersTraceTheirCalls) {
    ApiSetTraceSwitch(1);
    NuvraSetHwnd(0);
    NuvraSetEventHandler(nullptr);
    NuvraErrorShowMsgBox(0);
    Lines lines = trace();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "NuvraSetHwnd");
    EXPECT_EQ(lines[1].rfind("NuvraSetEventHandler ", 0), 0u);
}

// ---- event delivery ----

TEST_F(ExportsTest, EventWithoutReceiverIsTracedAndDropped) {
    ApiSetTraceSwitch(1);
    ApiDeliverEvent(3, 0, "Hello");
    EXPECT_EQ(trace(), (Lines{"No Event- handler/window registered"}));
}

TEST_F(ExportsTest, CallbackGetsEventTimes256PlusUnit) {
    NuvraSetEventHandler(apitest::record_event);
    ApiDeliverEvent(3, 1, "ticket 17");
    auto seen = apitest::wait_events(1, 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, 3 * 256 + 1);
    EXPECT_EQ(seen[0].text, "ticket 17");
}

TEST_F(ExportsTest, RingWrapsAfterTwentyEvents) {
    NuvraSetEventHandler(apitest::record_event);
    for (int i = 1; i <= 21; ++i)
        ApiDeliverEvent(1, 0, ("text " + std::to_string(i)).c_str());
    auto seen = apitest::wait_events(21, 0);
    ASSERT_EQ(seen.size(), 21u);
    EXPECT_EQ(seen[0].slot, ApiEventRing().Slot(1)); // the first event goes to slot 1
    EXPECT_EQ(seen[19].slot, ApiEventRing().Slot(0));
    EXPECT_EQ(seen[20].slot, seen[0].slot);
    EXPECT_STREQ(seen[0].slot, "text 21");
    EXPECT_STREQ(seen[1].slot, "text 2");
}

TEST_F(ExportsTest, LongEventTextIsCutTo499Characters) {
    NuvraSetEventHandler(apitest::record_event);
    std::string text(600, 'e');
    ApiDeliverEvent(1, 0, text.c_str());
    auto seen = apitest::wait_events(1, 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, std::string(499, 'e'));
}

// A window of the test's own: its loop runs on the test thread until the message came.
class WindowTest : public ExportsTest {
protected:
    void SetUp() override {
        ExportsTest::SetUp();
        setenv("NUVRA_WINDOW_NAMESPACE", ("api-test-" + std::to_string(getpid())).c_str(), 1);
        window_ = std::make_unique<platform::WindowEndpoint>(loop_, [this](const platform::Message& m, std::string*) {
            received_.push_back(m);
            return std::int64_t{0};
        });
        ASSERT_EQ(window_->open(""), platform::EndpointStatus::ok);
    }
    void TearDown() override {
        window_.reset();
        unsetenv("NUVRA_WINDOW_NAMESPACE");
        ExportsTest::TearDown();
    }
    void run_until(std::size_t n) {
        for (int i = 0; i < 500 && received_.size() < n; ++i)
            loop_.run_once(10);
    }

    platform::EventLoop loop_;
    std::unique_ptr<platform::WindowEndpoint> window_;
    std::vector<platform::Message> received_;
};

TEST_F(WindowTest, CallbackAndWindowEachGetTheirOwnSlot) {
    NuvraSetEventHandler(apitest::record_event);
    NuvraSetHwnd(window_->handle());
    ApiDeliverEvent(5, 2, "card 1234");
    run_until(1);
    ASSERT_EQ(received_.size(), 1u);
    const platform::Message& m = received_[0];
    EXPECT_EQ(m.msg, 1029u);
    EXPECT_EQ(m.wparam, 5u * 256 + 2);
    EXPECT_EQ(m.payload, "card 1234");
    auto seen = apitest::wait_events(1, 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].slot, ApiEventRing().Slot(1));
    EXPECT_EQ(m.lparam, reinterpret_cast<std::intptr_t>(ApiEventRing().Slot(2)));
    EXPECT_STREQ(ApiEventRing().Slot(2), "card 1234");
}

TEST_F(WindowTest, CodeOf0x8000AndMoreReachesTheWindowNegative) {
    NuvraSetEventHandler(apitest::record_event);
    NuvraSetHwnd(window_->handle());
    ApiDeliverEvent(0x80, 1, "high");
    run_until(1);
    ASSERT_EQ(received_.size(), 1u);
    EXPECT_EQ(static_cast<std::int64_t>(received_[0].wparam), -32767);
    auto seen = apitest::wait_events(1, 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, 0x8001);
}

TEST_F(WindowTest, RemovedWindowGetsNothing) {
    NuvraSetHwnd(window_->handle());
    NuvraSetHwnd(0);
    ApiSetTraceSwitch(1);
    ApiDeliverEvent(1, 0, "x");
    EXPECT_EQ(trace(), (Lines{"No Event- handler/window registered"})); // nothing was posted
}

} // namespace
