// The COM, COM_MODEM and IO hosts over pty pairs: the host manager serves the slave end, the test
// thread is the master on the other end and writes hand-worked link bytes.
#include "server/hosts/serialhost.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/pty.h"
#include "server/core/errorsys.h"
#include "server/core/port.h"
#include "server/hosts/tests/host_fixture.h"

namespace {

using host_test::take_errors;
using ::testing::HasSubstr;

std::vector<int> sleeps;
void record_sleep(int ms) {
    sleeps.push_back(ms);
}

// A clock that moves `step` milliseconds at every look: the IO host's hook wait ends after a
// bounded number of reads.
int step = 1;
std::int64_t ticking_ms() {
    static std::int64_t now = 0;
    return now += step;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

const std::string EOT_ENQ = bytes({0x04, 0x05});
const std::string RELEASE = bytes({0x04, 0x10, 0x04});

// "SETS T K " 0xC1 0x05 and the terminating zero, as an 8-bit master frames it: 0x05 goes as SO
// 0x25, 0xC1 and 0x00 bare; sum 0x304 AND 0x7F = 0x04.
const std::string SETS_8 = "\x02SETS T K " + bytes({0xC1, 0x0E, 0x25, 0x00, 0x03, 0x04});
// The same from a 7-bit master: 0xC1 goes as SI 0x41.
const std::string SETS_7 = "\x02SETS T K " + bytes({0x0F, 0x41, 0x0E, 0x25, 0x00, 0x03, 0x04});
// "SETG T K 9" and its zero; sum 0x6B.
const std::string SETG = "\x02SETG T K 9" + bytes({0x00, 0x03, 0x6B});
// "SETG T K 9", a zero inside the command, "XYZ" and the zero; sum 0x76. The command ends at the
// first zero.
const std::string SETG_WITH_ZERO = "\x02SETG T K 9" + bytes({0x00}) + "XYZ" + bytes({0x00, 0x03, 0x76});

// Answer "Y" and its zero, then ACK and the sum 0x59 (both widths).
const std::string ANSWER_Y = bytes({0x59, 0x00, 0x06, 0x59});
// Answer 0xC1 0x05 and the zero: on an 8-bit line 0xC1 bare and the 8-bit sum 0xC6; on a 7-bit
// line SI 0x41 and the 7-bit sum 0x46.
const std::string ANSWER_VALUE_8 = bytes({0xC1, 0x0E, 0x25, 0x00, 0x06, 0xC6});
const std::string ANSWER_VALUE_7 = bytes({0x0F, 0x41, 0x0E, 0x25, 0x00, 0x06, 0x46});

class SerialHost : public host_test::HostTest {
  protected:
    void SetUp() override {
        sleeps.clear();
        serialhost_set_sleep(record_sleep);
        pty_ = platform::PtyPair::open();
        ASSERT_NE(pty_, nullptr);
    }
    void TearDown() override {
        HostTest::TearDown();
        io_close();
        serialhost_set_sleep(nullptr);
        platform::set_monotonic_source(nullptr);
    }
    // ZSYS.INI with the pty as COM`port` and the given host lines.
    void open_on_pty(int port, const std::string& host_section, const std::string& more = "") {
        open("[PORTS]\nCOM" + std::to_string(port) + " = " + pty_->slave_path() + "\n" + more + "[HOST]\n" +
             host_section);
    }
    // Writes the master's bytes and runs the host manager until `count` bytes came back (or 10 s).
    std::string exchange(const std::string& sent, std::size_t count) {
        if (!sent.empty()) {
            EXPECT_EQ(pty_->write_master(sent.data(), sent.size()), static_cast<int>(sent.size()));
        }
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            host_run();
            std::uint8_t b[256];
            const int n = pty_->read_master(
                b, static_cast<int>(std::min<std::size_t>(sizeof b, count - got.size())), 5);
            if (n > 0) got.append(reinterpret_cast<char*>(b), static_cast<std::size_t>(n));
        }
        return got;
    }
    // EOT DLE EOT; true once the host's unit is no longer selected (nothing is answered).
    bool release() {
        EXPECT_EQ(pty_->write_master(RELEASE.data(), RELEASE.size()), 3);
        for (int i = 0; i < 2000 && host_slot(0)->ops.status() != 0u; ++i) {
            host_run();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return host_slot(0)->ops.status() == 0u && drain(20).empty();
    }
    // What the master receives within `ms`, at most `limit` bytes (the host manager is not run).
    std::string drain(int ms, int limit = 256) {
        std::uint8_t b[256];
        const int n = pty_->read_master(b, std::min(limit, 256), ms);
        return n > 0 ? std::string(reinterpret_cast<char*>(b), static_cast<std::size_t>(n)) : std::string();
    }

    std::unique_ptr<platform::PtyPair> pty_;
};

TEST_F(SerialHost, ComWithEightDataBitsAnswersPlainWithTheEightBitSum) {
    open_on_pty(2, "MAX = 1\nHOST1 = COM,2,9600,8,N,1\n");
    ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
    EXPECT_EQ(exchange(EOT_ENQ, 1), bytes({0x06})); // addressed by name: ACK, no status byte
    EXPECT_EQ(exchange(SETS_8, ANSWER_Y.size()), ANSWER_Y);
    EXPECT_EQ(exchange(SETG, ANSWER_VALUE_8.size()), ANSWER_VALUE_8);
    EXPECT_EQ(exchange(SETG_WITH_ZERO, ANSWER_VALUE_8.size()), ANSWER_VALUE_8);
    EXPECT_TRUE(release());
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(SerialHost, ComWithSevenDataBitsAnswersWithShiftsAndTheSevenBitSum) {
    open_on_pty(2, "MAX = 1\nHOST1 = COM,2,9600,7,E,1\n");
    ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
    EXPECT_EQ(exchange(EOT_ENQ, 1), bytes({0x06}));
    EXPECT_EQ(exchange(SETS_7, ANSWER_Y.size()), ANSWER_Y);
    EXPECT_EQ(exchange(SETG, ANSWER_VALUE_7.size()), ANSWER_VALUE_7);
    EXPECT_TRUE(release());
}

// A master that keeps the unit selected must not keep the main thread in the host's poll: each
// host run serves what is held and returns, and the unit stays selected for the next command.
TEST_F(SerialHost, ComPollReturnsWhileTheMasterKeepsTheUnitSelected) {
    open_on_pty(1, "MAX = 1\nHOST1 = COM,1,9600,8,N,1\n");
    ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
    ASSERT_EQ(exchange(EOT_ENQ, 1), bytes({0x06}));
    ASSERT_EQ(pty_->write_master(SETG.data(), SETG.size()), static_cast<int>(SETG.size()));
    for (int i = 0; i < 2000 && host_slot(0)->ops.status() != 3u; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(host_slot(0)->ops.status(), 3u); // selected, command held
    auto run = std::async(std::launch::async, [] { host_run(); });
    if (run.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        pty_->write_master(RELEASE.data(), RELEASE.size()); // let the poll go before failing
        run.wait();
        FAIL() << "host_run stays in the poll while the unit is selected";
    }
    EXPECT_EQ(host_slot(0)->ops.status(), 1u);            // served, still selected
    EXPECT_EQ(drain(2000, 3), bytes({0x00, 0x06, 0x00})); // the empty value: its zero, ACK, sum 0
}

// A frame without a word is not answered; its command is given back so the line stays usable.
TEST_F(SerialHost, ComReleasesACommandThatGotNoAnswer) {
    open_on_pty(1, "MAX = 1\nHOST1 = COM,1,9600,8,N,1\n");
    ASSERT_EQ(exchange(EOT_ENQ, 1), bytes({0x06}));
    const std::string empty = bytes({0x02, 0x00, 0x03, 0x00}); // the empty line and its zero
    ASSERT_EQ(pty_->write_master(empty.data(), empty.size()), 4);
    for (int i = 0; i < 2000 && host_slot(0)->ops.status() != 3u; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    host_run();
    EXPECT_EQ(host_slot(0)->ops.status(), 1u);
    EXPECT_EQ(exchange(SETS_8, ANSWER_Y.size()), ANSWER_Y);
}

TEST_F(SerialHost, ComModemSendsItsStringsWithControlCharacters) {
    open_on_pty(2, "MAX = 1\nHOST1 = COM_MODEM,2,9600,8,N,1\nMODEM_HANGUP_END = ATH^J\n");
    ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
    EXPECT_EQ(drain(2000, 15), "AT\rAT &D0 S0=1\r");
    std::vector<int> expected(3, 5);
    expected.push_back(1000);
    expected.insert(expected.end(), 12, 5);
    EXPECT_EQ(sleeps, expected);
    EXPECT_EQ(exchange(EOT_ENQ, 1), bytes({0x06}));
    sleeps.clear();
    // The detach waits for the reader's current read (10 s per byte on this port): line noise from
    // the modem ends it.
    std::atomic<bool> closed{false};
    std::thread noise([&] {
        while (!closed) {
            pty_->write_master("\x00", 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    host_close();
    closed = true;
    noise.join();
    EXPECT_EQ(drain(2000, 7), "+++ATH\n");
    expected = {10, 5, 5, 5, 1000, 5, 5, 5, 5};
    EXPECT_EQ(sleeps, expected);
}

TEST_F(SerialHost, TwoHostsOnOnePortAreRefused) {
    open_on_pty(1, "MAX = 2\nHOST1 = COM,1,9600,8,N,1\nHOST2 = COM,1,9600,8,N,1\n");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 520);
    EXPECT_THAT(errors[0].text, HasSubstr("Open Io/COM: port '1'"));
    EXPECT_EQ(exchange(EOT_ENQ, 1), bytes({0x06})); // the first host keeps the port
}

struct FormatCase {
    const char* line;
    const char* type;
    const char* parameters;
    const char* format;
};

const char* const COM_FORMAT = "HOSTx=COM,port,baud,bits,paritet,stop (COM,1,38400,8,N,1)";
const char* const IO_FORMAT = "HOSTx=IO,id,sub_id,[hook_time],[on_time],[idle_time] (IO,128,1)";

TEST_F(SerialHost, WrongParametersReportTheFormat) {
    const FormatCase cases[] = {
        {"COM,5,9600,8,N,1", "COM/COM_MODEM", "5,9600,8,N,1", COM_FORMAT},
        {"COM,0,9600,8,N,1", "COM/COM_MODEM", "0,9600,8,N,1", COM_FORMAT},
        {"COM_MODEM,9", "COM/COM_MODEM", "9", COM_FORMAT},
        {"COM,x1", "COM/COM_MODEM", "x1", COM_FORMAT}, // an unreadable port reads as 0
        {"IO,0,1", "IO", "0,1", IO_FORMAT},
        {"IO,129,1", "IO", "129,1", IO_FORMAT},
        {"IO,128,128", "IO", "128,128", IO_FORMAT},
        {"IO,128,-1", "IO", "128,-1", IO_FORMAT},
        {"IO", "IO", "", IO_FORMAT}, // id 0
        {"FILE,LINK\\HOST.TXT", "FILE", "LINK\\HOST.TXT", "HOSTx=FILE,..."},
        {"FILE,", "FILE", "", "HOSTx=FILE,..."},
    };
    for (const FormatCase& c : cases) {
        open(std::string("[HOST]\nMAX = 1\nHOST1 = ") + c.line + "\n");
        auto errors = take_errors();
        ASSERT_EQ(errors.size(), 1u) << c.line;
        EXPECT_EQ(errors[0].number, 296) << c.line;
        EXPECT_THAT(errors[0].text, HasSubstr(std::string("\"INI file, host settings for ") + c.type +
                                              " has incorrect value(s) in '" + c.parameters +
                                              "'. Format is '" + c.format + "'\""))
            << c.line;
        EXPECT_EQ(host_slot(0)->ops.tick, nullptr) << c.line;
        EXPECT_EQ(host_slot(0)->ops.status(), 0u) << c.line;
        host_close();
    }
}

class IoHost : public SerialHost {
  protected:
    void open_io(const std::string& host_line, int clock_step = 1) {
        step = clock_step;
        platform::set_monotonic_source(ticking_ms);
        open_on_pty(3, "MAX = 1\nHOST1 = " + host_line + "\n", "[IO]\nPORT = 3\n");
        io_open();
        ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
        ASSERT_EQ(io_port_index(), 2);
    }
    int& idle() { return host_state(0)->idle_counter; }
};

// Traffic of the devices on the shared line comes first (an addressing of unit 3, its status and
// ACK); the master then addresses the host by name, sends two commands and releases it, all in the
// hook time of one announcement.
TEST_F(IoHost, AnnouncesAndServesAMasterOnTheSharedLine) {
    open_io("IO,128,1");
    idle() = 7;
    const std::string master = bytes({0x04, '3', 0x05, 0x81, 0x06}) + EOT_ENQ + SETS_7 + SETG + RELEASE;
    ASSERT_EQ(pty_->write_master(master.data(), master.size()), static_cast<int>(master.size()));
    host_run();
    EXPECT_EQ(error_pending(), 0) << error_recorded_text(0);
    const std::string expected = bytes({0xFF, 0x01, 0x06}) + ANSWER_Y + ANSWER_VALUE_7;
    EXPECT_EQ(drain(2000, static_cast<int>(expected.size())), expected);
    EXPECT_EQ(idle(), 0);
}

TEST_F(IoHost, AnAnnouncementNobodyTakesLeavesTheIdleCounter) {
    open_io("IO,128,1");
    idle() = 7;
    host_run();
    EXPECT_EQ(error_pending(), 0) << error_recorded_text(0);
    EXPECT_EQ(drain(2000, 2), bytes({0xFF, 0x01}));
    EXPECT_EQ(idle(), 7);
    for (int i = 0; i < 3; ++i)
        host_tick();
    EXPECT_EQ(idle(), 10);
}

// On a silent line the host waits its hook time, counted on the injected clock, and gives up.
TEST_F(IoHost, WaitsTheHookTimeForAMaster) {
    const struct {
        const char* line;
        int hook_ms;
    } cases[] = {{"IO,128,1", 15}, {"IO,128,1,0", 15}, {"IO,128,1,40", 40}};
    for (const auto& c : cases) {
        open_io(c.line);
        const std::int64_t before = ticking_ms();
        host_run();
        const std::int64_t waited = ticking_ms() - before; // the look itself adds one step
        EXPECT_GE(waited, c.hook_ms) << c.line;
        EXPECT_LE(waited, c.hook_ms + 5) << c.line;
        EXPECT_EQ(drain(2000, 2), bytes({0xFF, 0x01})) << c.line;
        EXPECT_EQ(error_pending(), 0) << c.line;
        host_close();
        io_close();
    }
}

struct PhaseCase {
    const char* line;
    std::string announcement;
    int on;       // announcing below this count
    int idle_end; // and again from this count on
};

// For each idle count: announce or stay silent, and where a single attempt moves the count.
TEST_F(IoHost, IdlePhaseAfterTheOnTime) {
    const PhaseCase cases[] = {
        {"IO,128,1", bytes({0xFF, 0x01}), 30, 31}, // defaults: idle after 30 s, then once a second
        {"IO,1,0,40,2,3", bytes({0x80, 0x00}), 2, 5},
        {"IO,65,127,0,4,9", bytes({0xC0, 0x7F}), 4, 13},
        {"IO,2,5,0,0,9", bytes({0x81, 0x05}), 30, 31}, // idle time counts only with an on time
    };
    for (const PhaseCase& c : cases) {
        open_io(c.line, 5);
        for (int count = 0; count <= c.idle_end + 2; ++count) {
            idle() = count;
            host_run();
            const bool announces = count < c.on || count >= c.idle_end;
            EXPECT_EQ(drain(announces ? 2000 : 20, 2), announces ? c.announcement : "")
                << c.line << " at " << count;
            const int after = count >= c.idle_end ? c.on : count;
            EXPECT_EQ(idle(), after) << c.line << " at " << count;
        }
        EXPECT_EQ(error_pending(), 0) << error_recorded_text(0);
        host_close();
        io_close();
    }
}

} // namespace
