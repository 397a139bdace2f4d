#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/serial_fake.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/core/tests/test_support.h"

namespace {

using platform::FakeSerialLine;
using Bytes = std::vector<std::uint8_t>;

constexpr PortSettings LINK{28800, 8, 'E', 2};
constexpr PortSettings COM_9600{9600, 8, 'N', 1};

Bytes bytes(std::initializer_list<int> list) {
    Bytes b;
    for (int v : list)
        b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

std::string recorded(int i) {
    const char* text = error_recorded_text(i);
    return text ? text : "";
}

// Waits (real time, bounded) until the condition holds; the reader thread works on its own pace.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

class Port : public ::testing::Test {
  protected:
    void SetUp() override {
        test_support::reset_server_state();
        // Long hand-over waits: a test that relies on a release must not pass by a time-out.
        const PortWaits waits{60000, 60000, 5};
        port_set_waits(&waits);
        line = FakeSerialLine::create();
        unit = ProtUnit{};
        unit.address = 12;
        unit.status = 0x01;
        unit.command = command_buffer;
        unit.command_capacity = sizeof command_buffer - 1;
        unit.selection_time = 5;
    }
    void TearDown() override {
        io_close();
        for (int i = 0; i < PORT_MAX; ++i)
            port_close(i);
        port_set_waits(nullptr);
        platform::set_monotonic_source(nullptr);
        test_support::reset_server_state();
    }
    void open_fake(int index, const PortSettings& settings) {
        port_open_device(index, &settings, line->make_device());
    }
    // A new pty pair whose slave is COM(index + 1) in [PORTS]; `ini` goes before that section.
    std::unique_ptr<platform::PtyPair> pty_as_com(int index, const std::string& ini = "") {
        auto pair = platform::PtyPair::open();
        if (pair)
            test_support::write_file("ZSYS.INI", ini + "[PORTS]\r\nCOM" + std::to_string(index + 1) + "=" +
                                                     pair->slave_path() + "\r\n");
        return pair;
    }

    test_support::ScratchDir dir;
    std::shared_ptr<FakeSerialLine> line;
    ProtUnit unit{};
    char command_buffer[101] = {};
};

TEST_F(Port, IoPortZeroOpensNothingAndReadsReturnZero) {
    test_support::write_file("ZSYS.INI", "[IO]\r\nPORT=0\r\n");
    io_open();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(io_port_index(), -1);
    EXPECT_EQ(io_get_byte(), 0);
    io_put_byte('x');
    io_wait_sent();
    EXPECT_EQ(io_unit_state(), 0);
    EXPECT_EQ(io_serve_unit(nullptr, &unit, 10), 0);
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Port, MissingDeviceIs520AndThePortStaysClosed) {
    const std::string missing = (dir.path() / "no-such-tty").string();
    test_support::write_file("ZSYS.INI", "[IO]\r\nPORT=3\r\n[PORTS]\r\nCOM3=" + missing + "\r\n");
    io_open();
    EXPECT_EQ(error_pending(), 520);
    ASSERT_EQ(error_recorded_count(), 1);
    const std::string text = recorded(0);
    EXPECT_EQ(text.rfind("<_SOURCE\\nt_io_c:19> \"API error '", 0), 0u) << text;
    EXPECT_NE(text.find(std::string(std::strerror(ENOENT)) + "(2)' at Open Io/COM: port '3'\""),
              std::string::npos)
        << text;
    EXPECT_EQ(io_port_index(), -1);
}

TEST_F(Port, UnconfiguredComPortDefaultsToTtyS) {
    port_open(7, &COM_9600);
    port_close(7);
    error_discard();
    ini_close();
    const std::string ini = test_support::read_file("ZSYS.INI");
    EXPECT_TRUE(std::regex_search(ini, std::regex("\\[PORTS\\]\r\n(.*\r\n)*COM8 *= */dev/ttyS7\r\n"))) << ini;
}

struct TimeOutCase {
    const char* name;
    PortSettings settings;
    std::function<void(int)> set;
    long expected_ms;
};

class PortTimeOut : public Port, public ::testing::WithParamInterface<TimeOutCase> {};

// Nothing arrives: the read asks for one byte and gives up after one per-byte time-out, whose
// value the text names. The base time is one character time: (parity + data + stop + 1) × 2369 / baud.
TEST_P(PortTimeOut, ReadWithNothingArrivingIs525) {
    const TimeOutCase& c = GetParam();
    line->set_instant_timeouts(true);
    open_fake(1, c.settings);
    ASSERT_EQ(error_pending(), 0);
    c.set(1);
    EXPECT_EQ(port_get_byte(1), 0);
    EXPECT_EQ(error_pending(), 525);
    ASSERT_EQ(error_recorded_count(), 1);
    EXPECT_EQ(recorded(0), "<_SOURCE\\nt_io_c:177> \"Receive Time Out of '" + std::to_string(c.expected_ms) +
                               "ms', Should receive '1', Did receive '0', at Port '2'\"");
}

const TimeOutCase time_out_cases[] = {
    {"link_normal_1ms", LINK, port_timeout_normal, 1},
    {"link_long_25ms", LINK, port_timeout_long, 25},
    {"explicit_ms", LINK, [](int i) { port_timeout_ms(i, 40); }, 40},
    {"base_9600_8N1", COM_9600, port_timeout_normal, 2},
    {"base_1200_7E1", {1200, 7, 'E', 1}, port_timeout_normal, 19},
    {"base_300_8N2", {300, 8, 'N', 2}, port_timeout_normal, 86},
    {"long_300_8N2", {300, 8, 'N', 2}, port_timeout_long, 86 * 25},
};
INSTANTIATE_TEST_SUITE_P(Table, PortTimeOut, ::testing::ValuesIn(time_out_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Port, ReadHandsOutBufferedBytesInOrder) {
    line->set_instant_timeouts(true);
    open_fake(0, LINK);
    line->feed("\x81\x06OK");
    EXPECT_EQ(port_get_byte(0), 0x81);
    EXPECT_EQ(port_get_byte(0), 0x06);
    EXPECT_EQ(port_get_byte(0), 'O');
    EXPECT_EQ(port_get_byte(0), 'K');
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(line->input_left(), 0u);
}

TEST_F(Port, PurgeDropsTheRecordsBufferToo) {
    line->set_instant_timeouts(true);
    open_fake(0, LINK);
    line->feed("AB");
    EXPECT_EQ(port_get_byte(0), 'A');
    port_purge_input(0);
    EXPECT_EQ(port_get_byte(0), 0);
    EXPECT_EQ(error_pending(), 525);
}

struct StatusCase {
    std::uint32_t bits;
    const char* text;
};

class PortStatusText : public ::testing::TestWithParam<StatusCase> {};

TEST_P(PortStatusText, TextForTheValue) {
    EXPECT_STREQ(port_status_text(GetParam().bits), GetParam().text);
}

const StatusCase status_cases[] = {
    {1, "Input buffer overflow. Buffer full or a character was received after the EOF character."},
    {2, "A character-buffer overrun has occurred. The next character is lost."},
    {4, "The hardware detected a parity error."},
    {8, "The hardware detected a framing error."},
    {16, "The hardware detected a break condition."},
    {256, "The application tried to transmit a character, but the output buffer was full."},
    {512, "Windows 95 only: A time-out occurred on a parallel device."},
    {1024, "An I/O error occurred during communications with the device."},
    {2048, "Windows 95 only: A parallel device is not selected."},
    {4096, "Windows 95 only: A parallel device signaled that it is out of paper."},
    {32768, "The requested mode is not supported, or the hFile parameter is invalid. If this value is "
            "specified, it is the only valid error."},
    {4 | 8, "Non listed."},
    {0, "Non listed."},
    {32, "Non listed."},
};
INSTANTIATE_TEST_SUITE_P(Table, PortStatusText, ::testing::ValuesIn(status_cases));

TEST_F(Port, LineErrorIs522WithItsText) {
    open_fake(0, LINK);
    line->raise_line_status(platform::SERIAL_PARITY);
    line->feed("A");
    EXPECT_EQ(port_queued(0), 1);
    EXPECT_EQ(error_pending(), 522);
    EXPECT_EQ(recorded(0),
              "<_SOURCE\\nt_io_c:232> \"Status error 'The hardware detected a parity error.' from system "
              "at Io/COM: port '1', can be a bad unit or poor cabling\"");
    error_discard();
    line->raise_line_status(platform::SERIAL_PARITY | platform::SERIAL_FRAMING);
    port_queued(0);
    EXPECT_NE(recorded(0).find("Status error 'Non listed.'"), std::string::npos) << recorded(0);
    error_discard();
    EXPECT_EQ(port_queued(0), 1);
    EXPECT_EQ(error_pending(), 0);
}

struct SetupCase {
    const char* name;
    int index;
    PortSettings settings;
    bool opened;
    int second_error; // raised after 298, 0 for none
};

class PortSetup : public Port, public ::testing::WithParamInterface<SetupCase> {};

// Bad line values are reported and the opening goes on; a bad index stops it.
TEST_P(PortSetup, BadValuesAre298) {
    const SetupCase& c = GetParam();
    line->set_instant_timeouts(true);
    port_open_device(c.index, &c.settings, line->make_device());
    EXPECT_EQ(error_recorded_number(0), 298);
    EXPECT_EQ(recorded(0), "<_SOURCE\\nt_io_c:11> \"Setup values are incorrect for Io/COM: port. '" +
                               std::to_string(c.index + 1) + "'.\"");
    EXPECT_EQ(error_recorded_number(1), c.second_error);
    error_discard();
    if (c.index < 0 || c.index >= PORT_MAX) return;
    line->feed("Z");
    EXPECT_EQ(port_get_byte(c.index), c.opened ? 'Z' : 0);
    EXPECT_EQ(error_pending(), c.opened ? 0 : 520);
}

const SetupCase setup_cases[] = {
    {"parity_letter", 1, {9600, 8, 'X', 1}, true, 0},  {"stop_bits_3", 2, {9600, 8, 'N', 3}, true, 0},
    {"data_bits_9", 3, {9600, 9, 'N', 1}, false, 520}, {"index_8", 8, COM_9600, false, 0},
    {"index_minus_1", -1, COM_9600, false, 0},
};
INSTANTIATE_TEST_SUITE_P(Table, PortSetup, ::testing::ValuesIn(setup_cases),
                         [](const auto& row) { return std::string(row.param.name); });

// The path comes from [PORTS] even though 298 is pending when the port is opened.
TEST_F(Port, BadParityOnAConfiguredPathStillOpensThatPath) {
    const PortSettings bad{9600, 8, 'Q', 1};
    auto pair = pty_as_com(3);
    ASSERT_NE(pair, nullptr);
    port_open(3, &bad);
    EXPECT_EQ(error_pending(), 298);
    EXPECT_EQ(error_recorded_count(), 1);
    error_discard();
    port_timeout_ms(3, 2000);
    const std::uint8_t byte = 0x55;
    ASSERT_EQ(pair->write_master(&byte, 1), 1);
    EXPECT_EQ(port_get_byte(3), 0x55);
    EXPECT_EQ(error_pending(), 0);
}

struct FailureCase {
    const char* name;
    FakeSerialLine::Op op;
    std::function<void()> run; // on port 0 (COM1), opened
    int line;
    const char* text;
};

class PortFailure : public Port, public ::testing::WithParamInterface<FailureCase> {};

// Every failing system call is 520 with errno's text, the caller's text and the fixed line.
TEST_P(PortFailure, FailingCallIs520) {
    const FailureCase& c = GetParam();
    line->set_instant_timeouts(true);
    line->set_unsent(5);
    open_fake(0, COM_9600);
    ASSERT_EQ(error_pending(), 0);
    line->fail(c.op, EIO);
    c.run();
    EXPECT_EQ(error_pending(), 520);
    ASSERT_EQ(error_recorded_count(), 1);
    const std::string text = recorded(0);
    EXPECT_EQ(text.rfind("<_SOURCE\\nt_io_c:" + std::to_string(c.line) + "> \"API error '", 0), 0u) << text;
    EXPECT_NE(text.find(std::string(std::strerror(EIO)) + "(5)' at " + c.text + "\""), std::string::npos)
        << text;
}

const FailureCase failure_cases[] = {
    {"get_byte_read", FakeSerialLine::Op::read, [] { port_get_byte(0); }, 170, "Receive at Io/COM: port '1'"},
    {"put_byte_status", FakeSerialLine::Op::line_status, [] { port_put_byte(0, 1); }, 196,
     "ClearCommError at Io/COM: port '1'"},
    {"put_byte_write", FakeSerialLine::Op::write, [] { port_put_byte(0, 1); }, 199,
     "Transmit at Io/COM: port '1'"},
    {"put_block_status", FakeSerialLine::Op::line_status, [] { port_put_block(0, "ab", 2); }, 209,
     "ClearCommError at Io/COM: port '1'"},
    {"put_block_write", FakeSerialLine::Op::write, [] { port_put_block(0, "ab", 2); }, 214,
     "Transmit at Io/COM: port '1'"},
    {"queued_status", FakeSerialLine::Op::line_status, [] { port_queued(0); }, 229,
     "ClearCommError at Io/COM: port '1'"},
    {"purge", FakeSerialLine::Op::purge, [] { port_purge_input(0); }, 248, "Io/COM: port '1'"},
    {"purge_status", FakeSerialLine::Op::line_status, [] { port_purge_input(0); }, 248,
     "ClearCommError at Io/COM: port '1'"},
    {"wait_sent_status", FakeSerialLine::Op::output_queued, [] { port_wait_sent(0); }, 260,
     "ClearCommError at Io/COM: port '1'"},
};
INSTANTIATE_TEST_SUITE_P(Table, PortFailure, ::testing::ValuesIn(failure_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Port, OpeningFailuresCloseThePortAgain) {
    line->fail(FakeSerialLine::Op::configure, EIO);
    open_fake(0, COM_9600);
    EXPECT_EQ(error_pending(), 520);
    EXPECT_EQ(recorded(0).rfind("<_SOURCE\\nt_io_c:40> ", 0), 0u) << recorded(0);
    EXPECT_NE(recorded(0).find("' at Io/COM: port '1'\""), std::string::npos) << recorded(0);
    error_discard();

    auto other = FakeSerialLine::create();
    other->fail(FakeSerialLine::Op::purge, EIO);
    port_open_device(1, &COM_9600, other->make_device());
    EXPECT_EQ(recorded(0).rfind("<_SOURCE\\nt_io_c:74> ", 0), 0u) << recorded(0);
    error_discard();
    port_put_byte(1, 'x'); // closed again: the port behaves as a closed handle
    EXPECT_EQ(error_pending(), 520);
    EXPECT_TRUE(other->take_output().empty());
}

TEST_F(Port, WaitSentDrainsAndReports300WhenTheWaitFails) {
    open_fake(0, COM_9600);
    line->set_unsent(3);
    port_wait_sent(0);
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(line->drain_count(), 1);
    port_wait_sent(0); // nothing left to send: no wait
    EXPECT_EQ(line->drain_count(), 1);

    line->set_unsent(3);
    line->fail(FakeSerialLine::Op::drain, EIO);
    port_wait_sent(0);
    EXPECT_EQ(error_pending(), 300);
    EXPECT_EQ(recorded(0),
              "<_SOURCE\\nt_io_c:268> \"Wait for an empty transmit queue for Io/COM: port 1 failed, can "
              "be a bad interface or pore cabling\"");
}

// The link port operations that read or wait stand still while an error is pending; the others
// act regardless.
TEST_F(Port, LinkReadsStandStillWhileAnErrorIsPending) {
    line->set_instant_timeouts(true);
    io_open_device(0, line->make_device());
    ASSERT_EQ(io_port_index(), 0);
    line->feed("AB");
    error_report("_SOURCE\\test_a", 1, 1, "pending");
    EXPECT_EQ(io_get_byte(), 0);
    io_purge_input();
    EXPECT_EQ(line->input_left(), 2u);
    io_put_byte('x');
    io_put_block("yz", 2);
    EXPECT_EQ(line->take_output(), bytes({'x', 'y', 'z'}));
    error_discard();
    EXPECT_EQ(io_get_byte(), 'A');
    io_close();
    EXPECT_EQ(io_port_index(), -1);
}

TEST_F(Port, LinkPortRuns28800Baud8E2OnAPty) {
    auto pair = pty_as_com(1, "[IO]\r\nPORT=2\r\n");
    ASSERT_NE(pair, nullptr);
    io_open();
    ASSERT_EQ(error_pending(), 0) << recorded(0);
    EXPECT_EQ(io_port_index(), 1);
    EXPECT_EQ(pair->slave_baud(), 28800u);

    io_put_block("\x04"
                 "12\x05",
                 4);
    std::uint8_t seen[4] = {};
    ASSERT_EQ(pair->read_master(seen, 4, 2000), 4);
    EXPECT_EQ(Bytes(seen, seen + 4), bytes({0x04, '1', '2', 0x05}));

    io_timeout_ms(2000);
    const std::uint8_t answer[] = {0x81, 0x06};
    ASSERT_EQ(pair->write_master(answer, 2), 2);
    EXPECT_EQ(io_get_byte(), 0x81);
    EXPECT_EQ(io_get_byte(), 0x06);
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Port, ReadWithNothingArrivingOnAPtyIs525) {
    auto pair = pty_as_com(0);
    ASSERT_NE(pair, nullptr);
    port_open(0, &LINK);
    ASSERT_EQ(error_pending(), 0) << recorded(0);
    EXPECT_EQ(port_get_byte(0), 0);
    EXPECT_EQ(error_pending(), 525);
    EXPECT_NE(recorded(0).find("Receive Time Out of '1ms', Should receive '1', Did receive '0', at Port '1'"),
              std::string::npos);
}

struct AnswerCase {
    const char* name;
    Bytes data;
    bool plain;
    Bytes wire;
};

class PortAnswer : public Port, public ::testing::WithParamInterface<AnswerCase> {};

// Hand-worked frames: 7-bit answers escape bit 7 with SI and clear bit 7 of the sum; plain
// answers send such bytes bare with the full 8-bit sum.
TEST_P(PortAnswer, FramesTheAnswer) {
    const AnswerCase& c = GetParam();
    open_fake(0, COM_9600);
    if (c.plain)
        port_send_answer_plain(0, c.data.data(), static_cast<int>(c.data.size()));
    else
        port_send_answer(0, c.data.data(), static_cast<int>(c.data.size()));
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(line->take_output(), c.wire);
}

const AnswerCase answer_cases[] = {
    // "OK": 0x4F + 0x4B = 0x9A
    {"ok_seven_bit", bytes({'O', 'K'}), false, bytes({0x4F, 0x4B, 0x06, 0x1A})},
    {"ok_plain", bytes({'O', 'K'}), true, bytes({0x4F, 0x4B, 0x06, 0x9A})},
    // 0x41 + 0x82 + 0x02 = 0xC5; 0x82 is SI then 0x02 escaped as SO 0x22
    {"high_and_control_seven_bit", bytes({0x41, 0x82, 0x02}), false,
     bytes({0x41, 0x0F, 0x0E, 0x22, 0x0E, 0x22, 0x06, 0x45})},
    {"high_and_control_plain", bytes({0x41, 0x82, 0x02}), true, bytes({0x41, 0x82, 0x0E, 0x22, 0x06, 0xC5})},
    // 0x00 and 0x1F travel bare, 0x17 is escaped: sum 0x36
    {"bare_and_escaped_controls", bytes({0x00, 0x17, 0x1F}), true,
     bytes({0x00, 0x0E, 0x37, 0x1F, 0x06, 0x36})},
    {"empty", Bytes{}, false, bytes({0x06, 0x00})},
};
INSTANTIATE_TEST_SUITE_P(Table, PortAnswer, ::testing::ValuesIn(answer_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Port, LongAnswerGoesOutInBlocks) {
    open_fake(0, COM_9600);
    const std::string answer(94, 'A'); // 94 × 0x41 = 0x17DE
    port_send_answer_plain(0, answer.data(), 94);
    Bytes expected(answer.begin(), answer.end());
    expected.push_back(0x06);
    expected.push_back(0xDE);
    EXPECT_EQ(line->take_output(), expected);
    EXPECT_GE(line->write_calls(), 2);
}

// The reader thread feeds the attached unit; a held command stops it until the owner takes the
// command, so a frame that comes meanwhile waits instead of being refused as busy.
TEST_F(Port, ReaderThreadFeedsTheUnitAndWaitsForTheRelease) {
    open_fake(0, COM_9600);
    port_attach_unit(0, &unit);
    line->feed("\x04"
               "12\x05");
    EXPECT_EQ(line->wait_output(2, 10000), bytes({0x81, 0x06}));
    EXPECT_TRUE(eventually([] { return port_unit_state(0) == 1; }));

    line->feed("\x02S\x03S");
    ASSERT_TRUE(eventually([] { return port_unit_state(0) == 3; }));
    EXPECT_STREQ(unit.command, "S");

    line->feed("\x02T\x03T");
    port_unit_clear(0, 2);
    ASSERT_TRUE(eventually([&] { return port_unit_state(0) == 3 && unit.command[0] == 'T'; }));
    EXPECT_TRUE(line->take_output().empty()); // no NAK for a busy unit

    port_unit_clear(0, 1 | 2);
    EXPECT_EQ(port_unit_state(0), 0);
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Port, DetachedUnitIsNoLongerFed) {
    open_fake(0, COM_9600);
    port_attach_unit(0, &unit);
    port_detach_unit(0);
    EXPECT_EQ(port_unit_state(0), 0);
    line->feed("\x04"
               "12\x05");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(line->input_left(), 4u);
    port_attach_unit(0, &unit);
    EXPECT_EQ(line->wait_output(2, 10000), bytes({0x81, 0x06}));
}

// Failures on the reader thread are retried there and never become the main thread's error.
TEST_F(Port, ReaderThreadFailuresStayOffTheErrorSystem) {
    open_fake(0, COM_9600);
    line->fail(FakeSerialLine::Op::write, EIO);
    port_attach_unit(0, &unit);
    line->feed("\x04"
               "12\x05");
    ASSERT_TRUE(eventually([&] { return line->input_left() == 0 && port_unit_state(0) == 1; }));
    EXPECT_EQ(error_pending(), 0);

    line->fail(FakeSerialLine::Op::write, 0);
    line->fail(FakeSerialLine::Op::read, EIO);
    line->feed("\x04\x10\x04"
               "\x04"
               "12\x05");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(error_pending(), 0);
    line->fail(FakeSerialLine::Op::read, 0);
    EXPECT_EQ(line->wait_output(2, 10000), bytes({0x81, 0x06}));
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Port, ReaderThreadOverAPtyPair) {
    auto pair = pty_as_com(1);
    ASSERT_NE(pair, nullptr);
    port_open(1, &COM_9600);
    ASSERT_EQ(error_pending(), 0) << recorded(0);
    pair->close_slave();
    port_attach_unit(1, &unit);
    const std::uint8_t address[] = {0x04, '1', '2', 0x05};
    ASSERT_EQ(pair->write_master(address, 4), 4);
    std::uint8_t answer[2] = {};
    ASSERT_EQ(pair->read_master(answer, 2, 10000), 2);
    EXPECT_EQ(answer[0], 0x81);
    EXPECT_EQ(answer[1], 0x06);
}

void close_within_guard(int index) {
    auto closing = std::async(std::launch::async, [index] { port_close(index); });
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "port_close hangs";
}

TEST_F(Port, CloseEndsAReaderBlockedInARead) {
    open_fake(0, COM_9600);
    port_timeout_ms(0, 600000);
    port_attach_unit(0, &unit);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close_within_guard(0);
    EXPECT_EQ(port_unit_state(0), 0);
}

// A host line's per-byte time-out is 10 s; a detach must not wait for it (two such hosts made the
// server's shutdown take 20 s).
TEST_F(Port, DetachDoesNotWaitForTheReadersPerByteTimeOut) {
    open_fake(0, COM_9600);
    port_timeout_ms(0, 600000);
    port_attach_unit(0, &unit);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto detaching = std::async(std::launch::async, [] { port_detach_unit(0); });
    ASSERT_EQ(detaching.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "port_detach_unit hangs";
    EXPECT_EQ(port_unit_state(0), 0);
}

TEST_F(Port, CloseEndsAReaderWhoseLineHungUp) {
    auto pair = pty_as_com(2);
    ASSERT_NE(pair, nullptr);
    port_open(2, &COM_9600);
    ASSERT_EQ(error_pending(), 0) << recorded(0);
    pair->close_slave();
    port_timeout_ms(2, 600000);
    port_attach_unit(2, &unit);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pair->close_master();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(error_pending(), 0);
    close_within_guard(2);
}

TEST_F(Port, CloseEndsAReaderWaitingForTheRelease) {
    open_fake(0, COM_9600);
    port_attach_unit(0, &unit);
    line->feed("\x04"
               "12\x05\x02S\x03S");
    ASSERT_TRUE(eventually([] { return port_unit_state(0) == 3; }));
    close_within_guard(0);
}

// A master clock that moves 10 ms at every look keeps the serve loops deterministic.
std::int64_t stepping_ms() {
    static std::int64_t now = 0;
    return now += 10;
}

std::vector<std::string> handled;

void take_command(ProtUnit* served, const char* command) {
    handled.emplace_back(command);
    port_send_answer_plain(0, "OK", 2);
    port_unit_clear(0, 2);
    (void)served;
}

// The worked example: EOT "12" ENQ, then "S" framed, answered "OK", then EOT DLE EOT.
TEST_F(Port, ServeUnitAnswersOneCommandUntilReleased) {
    line->set_instant_timeouts(true);
    platform::set_monotonic_source(stepping_ms);
    open_fake(0, COM_9600);
    handled.clear();
    line->feed(std::string("\x04"
                           "12\x05"
                           "\x02S\x03S"
                           "\x04\x10\x04",
                           11));
    EXPECT_EQ(port_serve_unit(0, take_command, &unit, 1000), 1);
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(handled, std::vector<std::string>{"S"});
    EXPECT_EQ(line->take_output(), bytes({0x81, 0x06, 0x4F, 0x4B, 0x06, 0x9A}));
}

TEST_F(Port, ServeUnitGivesUpWhenNotSelectedInTime) {
    line->set_instant_timeouts(true);
    platform::set_monotonic_source(stepping_ms);
    open_fake(0, COM_9600);
    handled.clear();
    line->feed("\x04"
               "1"); // an addressing that never ends: no time-out byte may break into it
    EXPECT_EQ(port_serve_unit(0, take_command, &unit, 100), 0);
    EXPECT_EQ(error_pending(), 0);
    EXPECT_TRUE(handled.empty());
    line->feed("2\x05");
    EXPECT_EQ(port_serve_unit(0, take_command, &unit, 100), 1);
    EXPECT_EQ(line->take_output(), bytes({0x81, 0x06}));
}

TEST_F(Port, ServeUnitLeavesATimeOutWhileSelectedPending) {
    line->set_instant_timeouts(true);
    platform::set_monotonic_source(stepping_ms);
    open_fake(0, COM_9600);
    line->feed("\x04"
               "12\x05");
    EXPECT_EQ(port_serve_unit(0, take_command, &unit, 1000), 1);
    EXPECT_EQ(error_pending(), 525);
    EXPECT_NE(recorded(0).find("Receive Time Out of '50ms'"), std::string::npos) << recorded(0); // 2 ms × 25
}

} // namespace
