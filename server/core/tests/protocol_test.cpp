// The link protocol on the wire. Expected bytes are hand-worked from the link's rules and its
// worked example (the command "S" to unit 12).
#include "server/core/protocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/serial_fake.h"
#include "server/core/errorsys.h"
#include "server/core/port.h"
#include "server/core/tests/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Unit side: bytes in through prot_slave_byte, bytes out through the send callback.

Bytes sent;
int sent_port = -1;

void capture_send(int port_index, std::uint8_t byte) {
    sent_port = port_index;
    sent.push_back(byte);
}

Bytes bytes(std::initializer_list<int> list) {
    Bytes b;
    for (int v : list)
        b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Unit : public testing::Test {
protected:
    void SetUp() override {
        sent.clear();
        sent_port = -1;
        unit = ProtUnit{};
        unit.address = 12;
        unit.status = 0x01;
        unit.command = command_buffer;
        unit.command_capacity = 16;
        unit.selection_time = 5;
    }
    void use_name() {
        unit.name = name_buffer;
        unit.name_capacity = 10;
    }
    // Feeds the bytes and returns what the unit sent meanwhile.
    Bytes feed(const Bytes& in) {
        sent.clear();
        for (std::uint8_t b : in)
            prot_slave_byte(&unit, b, capture_send, 3);
        return sent;
    }
    void select() {
        ASSERT_EQ(feed(bytes({EOT, '1', '2', ENQ})), bytes({0x81, ACK}));
    }
    bool selected() const { return unit.flags & UNIT_SELECTED; }
    bool held() const { return unit.flags & UNIT_COMMAND_HELD; }

    ProtUnit unit{};
    char command_buffer[17] = {};
    char name_buffer[10] = {};
};

TEST_F(Unit, WorkedExampleCommandSToUnit12) {
    EXPECT_EQ(feed(bytes({0x04, 0x31, 0x32, 0x05})), bytes({0x81, 0x06}));
    EXPECT_EQ(sent_port, 3);
    EXPECT_TRUE(selected());
    EXPECT_EQ(unit.state, 3);
    EXPECT_EQ(unit.selection_countdown, 5u);

    EXPECT_EQ(feed(bytes({0x02, 0x53, 0x03, 0x53})), Bytes{}); // the owner answers, not the unit
    EXPECT_TRUE(held());
    EXPECT_STREQ(unit.command, "S");
    EXPECT_EQ(unit.received_length, 1u);

    EXPECT_EQ(feed(bytes({0x04, 0x10, 0x04})), Bytes{});
    EXPECT_FALSE(selected());
    EXPECT_EQ(unit.state, 0);
    EXPECT_EQ(unit.selection_countdown, 0u);
}

struct AddressCase {
    const char* name;
    std::uint32_t address;
    Bytes wire;
    bool matches;
};

const AddressCase address_cases[] = {
    {"twelve", 12, bytes({EOT, '1', '2', ENQ}), true},
    {"leading_zero", 12, bytes({EOT, '0', '1', '2', ENQ}), true},
    {"other_unit", 13, bytes({EOT, '1', '2', ENQ}), false},
    {"no_digits_is_zero", 0, bytes({EOT, ENQ}), true},
    {"largest", 255, bytes({EOT, '2', '5', '5', ENQ}), true},
    {"268_as_sent_never_matches", 268, bytes({EOT, '2', '6', '8', ENQ}), false},
    {"268_not_even_by_its_low_byte", 268, bytes({EOT, '1', '2', ENQ}), false},
    {"eot_inside_keeps_digits", 12, bytes({EOT, '1', EOT, '2', ENQ}), true},
};

class UnitAddress : public Unit, public testing::WithParamInterface<AddressCase> {};

TEST_P(UnitAddress, AnswersOnlyItsOwnAddress) {
    const AddressCase& c = GetParam();
    unit.address = c.address;
    Bytes got = feed(c.wire);
    if (c.matches) {
        EXPECT_EQ(got, bytes({0x81, ACK}));
        EXPECT_EQ(unit.state, 3);
        EXPECT_TRUE(selected());
    } else {
        EXPECT_EQ(got, Bytes{});
        EXPECT_EQ(unit.state, 0);
        EXPECT_FALSE(selected());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, UnitAddress, testing::ValuesIn(address_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Unit, RefusingUnitSendsStatusThenNak) {
    unit.flags = UNIT_REFUSE;
    EXPECT_EQ(feed(bytes({EOT, '1', '2', ENQ})), bytes({0x81, NAK}));
    EXPECT_EQ(unit.state, 0);
    EXPECT_FALSE(selected());
}

struct NameCase {
    const char* name;
    std::uint32_t capacity;
    Bytes wire;
    Bytes answer; // empty: ignored
};

const NameCase name_cases[] = {
    {"no_name_selects_without_echo", 10, bytes({EOT, ENQ}), bytes({ACK})},
    {"velkor_echoes", 10, bytes({EOT}) + text("VELKOR") + bytes({ENQ}), text("VELKOR") + bytes({ACK})},
    {"other_name_ignored", 10, bytes({EOT}) + text("PRINTER") + bytes({ENQ}), {}},
    {"longer_name_ignored", 10, bytes({EOT}) + text("VELKORAB") + bytes({ENQ}), {}},
    {"extra_letters_dropped_at_capacity", 6, bytes({EOT}) + text("VELKORXY") + bytes({ENQ}),
     text("VELKOR") + bytes({ACK})},
    {"too_small_for_velkor", 5, bytes({EOT}) + text("VELKOR") + bytes({ENQ}), {}},
    {"digits_put_it_out_of_phase", 10, bytes({EOT, '1', '2', ENQ}), {}},
};

class UnitName : public Unit, public testing::WithParamInterface<NameCase> {};

TEST_P(UnitName, SelectsByName) {
    const NameCase& c = GetParam();
    use_name();
    unit.name_capacity = c.capacity;
    EXPECT_EQ(feed(c.wire), c.answer);
    EXPECT_EQ(selected(), !c.answer.empty());
    EXPECT_EQ(unit.state, c.answer.empty() ? (c.wire[1] == '1' ? 99 : 0) : 3);
}

INSTANTIATE_TEST_SUITE_P(Table, UnitName, testing::ValuesIn(name_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Unit, NamedUnitRefusingSendsEchoThenNak) {
    use_name();
    unit.flags = UNIT_REFUSE;
    EXPECT_EQ(feed(bytes({EOT}) + text("VELKOR") + bytes({ENQ})), text("VELKOR") + bytes({NAK}));
    EXPECT_FALSE(selected());
}

struct FrameCase {
    const char* name;
    Bytes frame;
    Bytes answer;        // what the unit sends: nothing for a good frame
    const char* command; // held command, null when none is held
};

const FrameCase frame_cases[] = {
    {"escaped_high_byte", bytes({STX, 0x41, SI, SO, 0x22, 0x42, ETX, 0x05}), {}, "A\x82" "B"},
    {"soh_starts_a_frame", bytes({SOH, 0x53, ETX, 0x53}), {}, "S"},
    {"so_control_byte", bytes({STX, SO, 0x23, ETX, 0x03}), {}, "\x03"},
    {"si_high_printable", bytes({STX, SI, 0x69, ETX, 0x69}), {}, "\xE9"},
    {"sum_wraps_to_7_bits", bytes({STX, 'O', 'K', ETX, 0x1A}), {}, "OK"},
    {"empty_frame", bytes({STX, ETX, 0x00}), {}, ""},
    {"bad_sum", bytes({STX, 0x53, ETX, 0x54}), bytes({0x41, NAK}), nullptr},
    {"sum_with_bit7_never_matches", bytes({STX, 'O', 'K', ETX, 0x9A}), bytes({0x41, NAK}), nullptr},
    {"sixteen_fit", bytes({STX}) + text("ABCDEFGHIJKLMNOP") + bytes({ETX, 0x08}), {}, "ABCDEFGHIJKLMNOP"},
    {"seventeen_overflow", bytes({STX}) + text("ABCDEFGHIJKLMNOPQ") + bytes({ETX, 0x08}), bytes({0x42, NAK}),
     nullptr},
};

class UnitFrame : public Unit, public testing::WithParamInterface<FrameCase> {};

TEST_P(UnitFrame, TakesOrRefusesTheFrame) {
    const FrameCase& c = GetParam();
    select();
    EXPECT_EQ(feed(c.frame), c.answer);
    EXPECT_EQ(unit.state, 3);
    EXPECT_EQ(held(), c.command != nullptr);
    if (c.command) {
        EXPECT_EQ(std::string(unit.command, unit.received_length), std::string(c.command));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, UnitFrame, testing::ValuesIn(frame_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Unit, FrameWhileACommandIsHeldIsBusyAndLeavesTheCommand) {
    select();
    feed(bytes({STX, 'S', ETX, 'S'}));
    ASSERT_TRUE(held());
    EXPECT_EQ(feed(bytes({STX, 'T', ETX, 'T'})), bytes({0x44, NAK}));
    EXPECT_EQ(feed(bytes({STX, ETX, 0x00})), bytes({0x44, NAK}));
    EXPECT_STREQ(unit.command, "S");
    EXPECT_EQ(unit.received_length, 1u);

    unit.flags &= static_cast<std::uint8_t>(~UNIT_COMMAND_HELD); // the owner takes it
    EXPECT_EQ(feed(bytes({STX, 'T', ETX, 'T'})), Bytes{});
    EXPECT_STREQ(unit.command, "T");
}

TEST_F(Unit, NextFrameForgetsAnEarlierOverflow) {
    unit.command_capacity = 1;
    select();
    EXPECT_EQ(feed(bytes({STX, 'A', 'B', ETX, 0x03})), bytes({0x42, NAK}));
    EXPECT_EQ(feed(bytes({STX, 'S', ETX, 'S'})), Bytes{});
    EXPECT_STREQ(unit.command, "S");
}

TEST_F(Unit, ControlMessageAfterDc2) {
    select();
    EXPECT_EQ(feed(bytes({DC2, 0x37})), Bytes{});
    EXPECT_EQ(unit.control_byte, 0x37);
    EXPECT_TRUE(unit.flags & UNIT_CONTROL_HELD);
    EXPECT_EQ(unit.state, 3);
}

TEST_F(Unit, ReleaseClearsSelectionOwnerMarkAndControlButNotTheHeldCommand) {
    select();
    feed(bytes({DC2, 0x37, STX, 'S', ETX, 'S'}));
    unit.flags |= UNIT_OWNER_MARK;
    feed(bytes({EOT, DLE, EOT}));
    EXPECT_EQ(unit.flags, UNIT_COMMAND_HELD);
    EXPECT_EQ(unit.state, 0);
}

TEST_F(Unit, EotInsideAFrameStartsAnAddressing) {
    select();
    feed(bytes({STX, 'A', SI}));
    EXPECT_EQ(feed(bytes({EOT, '1', '2', ENQ})), bytes({0x81, ACK}));
    EXPECT_FALSE(held());
}

// From out of phase: the 11th stray byte is answered with EOT, the ones before and after it are not.
TEST_F(Unit, EleventhStrayByteIsAnsweredWithEot) {
    feed(bytes({EOT, 'x'}));
    ASSERT_EQ(unit.state, 99);
    EXPECT_EQ(feed(Bytes(10, 'y')), Bytes{});
    EXPECT_EQ(feed(bytes({'y'})), bytes({EOT}));
    EXPECT_EQ(feed(Bytes(50, 'y')), Bytes{});
    EXPECT_EQ(unit.state, 99);
    feed(bytes({EOT}));
    EXPECT_EQ(unit.state, 1);
    EXPECT_EQ(unit.stray_count, 0);
}

TEST_F(Unit, SelectedUnitOutOfPhaseTakesTheNextFrame) {
    select();
    feed(bytes({'x', 'y'}));
    ASSERT_EQ(unit.state, 99);
    EXPECT_EQ(feed(bytes({STX, 'S', ETX, 'S'})), Bytes{});
    EXPECT_TRUE(held());
    EXPECT_EQ(unit.stray_count, 0);
}

// On a shared line a named unit goes out of phase on another unit's numeric addressing; the frame
// that follows is not its own.
TEST_F(Unit, UnselectedUnitOutOfPhaseIgnoresAFrame) {
    use_name();
    feed(bytes({EOT, '1', '2', ENQ}));
    ASSERT_EQ(unit.state, 99);
    EXPECT_EQ(feed(bytes({STX, 'S', ETX, 'S'})), Bytes{});
    EXPECT_FALSE(held());
    EXPECT_EQ(unit.state, 99);
}

TEST_F(Unit, IdleUnitIgnoresEverythingButEot) {
    Bytes noise;
    for (int b = 0; b < 256; ++b)
        if (b != EOT)
            noise.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(feed(noise), Bytes{});
    EXPECT_EQ(unit.state, 0);
}

TEST_F(Unit, SelectionTimerReleasesAfterTheSelectionTimeWithoutTraffic) {
    select();
    for (int i = 0; i < 4; ++i)
        prot_slave_second(&unit);
    EXPECT_TRUE(selected());
    feed(bytes({STX, 'A'})); // every frame byte reloads the countdown
    for (int i = 0; i < 4; ++i)
        prot_slave_second(&unit);
    EXPECT_TRUE(selected());
    EXPECT_EQ(unit.state, 4);

    unit.flags |= UNIT_COMMAND_HELD | UNIT_CONTROL_HELD | UNIT_OWNER_MARK | UNIT_BUSY | UNIT_REFUSE;
    prot_slave_second(&unit);
    EXPECT_FALSE(selected());
    EXPECT_EQ(unit.state, 0);
    EXPECT_EQ(unit.flags, UNIT_BUSY | UNIT_REFUSE);
    prot_slave_second(&unit); // stays at 0
    EXPECT_EQ(unit.selection_countdown, 0u);
}

// ---------------------------------------------------------------------------------------------
// Master side on the link port. The unit is a scripted far end of an in-memory line: each block
// the master writes is answered with the next scripted reply. Time-outs cost no time there.

std::vector<int> recorded_numbers() {
    std::vector<int> numbers;
    for (int i = 0; i < error_recorded_count(); ++i)
        numbers.push_back(error_recorded_number(i));
    return numbers;
}

std::string recorded_text(int number) {
    for (int i = 0; i < error_recorded_count(); ++i)
        if (error_recorded_number(i) == number)
            return error_recorded_text(i);
    return "";
}

class Master : public testing::Test {
protected:
    void SetUp() override {
        test_support::reset_server_state();
        write_settings("");
    }
    void TearDown() override {
        io_close();
        test_support::reset_server_state();
    }
    // ZSYS.INI with the given PROTOCOL lines; the link port is the in-memory line.
    void write_settings(const std::string& protocol_lines) {
        io_close();
        ini_reset();
        test_support::write_file("ZSYS.INI", "[PROTOCOL]\n" + protocol_lines + "\n");
        prot_open();
        ASSERT_EQ(error_pending(), 0);
        line = platform::FakeSerialLine::create();
        line->set_instant_timeouts(true);
        line->set_responder([this](const Bytes& written) { return respond(written); });
        io_open_device(0, line->make_device());
        ASSERT_EQ(error_pending(), 0);
    }
    void ini_reset() { test_support::reset_server_state(); }

    // Replies in order, one per written block; a block with no reply left gets silence.
    Bytes respond(const Bytes& written) {
        std::lock_guard<std::mutex> lock(script_mutex);
        blocks.push_back(written);
        if (written.size() >= 2 && written[0] == STX)
            ++frames;
        if (script.empty())
            return {};
        Bytes reply = script.front();
        script.pop_front();
        return reply;
    }
    void reply(std::initializer_list<Bytes> replies) { script.insert(script.end(), replies); }
    Bytes wire() {
        Bytes all;
        for (const Bytes& b : blocks)
            all.insert(all.end(), b.begin(), b.end());
        return all;
    }

    test_support::ScratchDir dir;
    std::shared_ptr<platform::FakeSerialLine> line;
    std::mutex script_mutex;
    std::deque<Bytes> script;
    std::vector<Bytes> blocks;
    int frames = 0;
    char answer[64] = {};
};

TEST_F(Master, WorkedExampleCommandSToUnit12) {
    reply({bytes({0x81, 0x06}), bytes({0x4F, 0x4B, 0x06, 0x9A})});
    std::uint8_t status = 0;
    prot_connect(12, &status);
    ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
    EXPECT_EQ(status, 0x81);
    EXPECT_EQ(prot_command_answer("S", answer, 10), 1);
    EXPECT_STREQ(answer, "OK");
    prot_end();
    EXPECT_EQ(wire(), bytes({0x04, 0x31, 0x32, 0x05, 0x02, 0x53, 0x03, 0x53, 0x04, 0x10, 0x04}));
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Master, CommandWithHighByteIsEscaped) {
    const char command[] = {'A', static_cast<char>(0x82), 'B', 0};
    prot_send_frame(command);
    EXPECT_EQ(wire(), bytes({0x02, 0x41, 0x0F, 0x0E, 0x22, 0x42, 0x03, 0x05}));
}

TEST_F(Master, CountedCommandCarriesZeroBytesBare) {
    prot_send_frame_len("A\0B", 3);
    EXPECT_EQ(wire(), bytes({0x02, 0x41, 0x00, 0x42, 0x03, 0x03}));
}

// The check sum byte follows ETX unescaped even when it is a control value: 'H' + 'I' = 0x91 -> 0x11.
TEST_F(Master, DisplayBroadcast) {
    prot_dle();
    prot_address(1);
    prot_send_frame("HI");
    prot_end();
    EXPECT_EQ(wire(), bytes({0x10, 0x04, 0x31, 0x05, 0x02, 0x48, 0x49, 0x03, 0x11, 0x04, 0x10, 0x04}));
}

TEST_F(Master, AddressingWithoutAndWithLargeAddress) {
    prot_address(-1);
    prot_address(268);
    EXPECT_EQ(wire(), bytes({0x04, 0x05, 0x04, '2', '6', '8', 0x05}));
}

TEST_F(Master, NamedUnitAnswersAddressingWithAckAlone) {
    reply({bytes({ACK})});
    std::uint8_t status = 0x55;
    prot_connect(-1, &status);
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(status, 0);
}

TEST_F(Master, LongFramesGoOutInBlocks) {
    std::string command(1000, 'a');
    prot_send_frame(command.c_str());
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].size(), 494u);
    prot_send_frame_len(command.c_str(), 200);
    // 200 'a' framed: STX + 93 'a' -> 94, then 94 'a', then 13 'a' ETX sum.
    ASSERT_EQ(blocks.size(), 6u);
    EXPECT_EQ(blocks[3].size(), 94u);
    EXPECT_EQ(blocks[4].size(), 94u);
    EXPECT_EQ(blocks[5].size(), 15u);
}

struct AnswerCase {
    const char* name;
    Bytes unit_answer;
    std::string expected;
};

const AnswerCase answer_cases[] = {
    {"so_control", bytes({SO, 0x23, ACK, 0x03}), "\x03"},
    {"si_so_high_control", bytes({SI, SO, 0x22, ACK, 0x82}), "\x82"},
    {"plain_high_byte", bytes({0x82, ACK, 0x82}), "\x82"},
    {"full_eight_bit_sum", bytes({0xFF, 0xFF, ACK, 0xFE}), "\xFF\xFF"},
    {"empty", bytes({ACK, 0x00}), ""},
    {"exactly_size", bytes({'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', ACK, 0x0D}), "1234567890"},
};

class MasterAnswer : public Master, public testing::WithParamInterface<AnswerCase> {};

TEST_P(MasterAnswer, DecodesTheAnswer) {
    reply({GetParam().unit_answer});
    EXPECT_EQ(prot_command_answer("S", answer, 10), 1);
    EXPECT_EQ(error_pending(), 0) << error_recorded_text(0);
    EXPECT_EQ(std::string(answer), GetParam().expected);
    EXPECT_EQ(frames, 1);
}

INSTANTIATE_TEST_SUITE_P(Table, MasterAnswer, testing::ValuesIn(answer_cases),
                         [](const auto& row) { return std::string(row.param.name); });

struct FailureCase {
    const char* name;
    Bytes unit_answer; // to every attempt
    int error;         // the last attempt's error, recorded beside 118 (0: none)
    int attempts;      // 5 = COMMAND_TRYS, retried
};

const FailureCase failure_cases[] = {
    {"nak_buffer_too_small", bytes({0x42, NAK}), 309, 5},
    {"nak_busy_not_retried", bytes({0x44, NAK}), 310, 1},
    {"nak_busy_and_small_reports_small", bytes({0x46, NAK}), 309, 5},
    {"nak_check_sum", bytes({0x41, NAK}), 311, 5},
    {"nak_without_reason", bytes({NAK}), 0, 5},
    {"nak_unknown_reason", bytes({0x40, NAK}), 0, 5},
    {"check_sum_wrong", bytes({'O', 'K', ACK, 0x1A}), 121, 5},
    {"eot_interrupts", bytes({'O', EOT}), 286, 5},
    {"silent", {}, 116, 5},
    {"stops_after_data", bytes({'O', 'K'}), 117, 5},
    {"answer_too_long_not_retried", bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'X', ACK, 0}), 119, 1},
};

class MasterFailure : public Master, public testing::WithParamInterface<FailureCase> {};

TEST_P(MasterFailure, EndsIn118WithTheLastAttemptsError) {
    const FailureCase& c = GetParam();
    for (int i = 0; i < 5; ++i)
        reply({c.unit_answer});
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    EXPECT_EQ(frames, c.attempts);
    EXPECT_EQ(error_pending(), 118);
    std::vector<int> numbers = recorded_numbers();
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), 118);
    if (c.error)
        EXPECT_EQ(numbers[numbers.size() - 2], c.error);
    else
        EXPECT_EQ(numbers.size(), 1u);
    EXPECT_EQ(recorded_text(118), "<_SOURCE\\protocol_b:170> \"Error Io, Command Answer, '" +
                                      std::to_string(c.attempts) +
                                      "' attempts done, all with an NAK (Negative) responce from target, check "
                                      "cabling or target is busy\"");
}

INSTANTIATE_TEST_SUITE_P(Table, MasterFailure, testing::ValuesIn(failure_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Master, FailureTextsAndLines) {
    reply({bytes({0x44, NAK})});
    prot_command_answer_len("S", 1, answer, 10);
    EXPECT_EQ(recorded_text(310), "<_SOURCE\\protocol_b:326> \"Error Io, Command Answer, target response NAK due "
                                  "to over run at input buffer\"");
    EXPECT_EQ(recorded_text(118).substr(0, 25), "<_SOURCE\\protocol_b:240> ");
    EXPECT_STREQ(answer, "");
    error_discard();

    reply({bytes({'A', 'B', 'C', 'D'})});
    prot_command_answer("S", answer, 3);
    EXPECT_EQ(recorded_text(119), "<_SOURCE\\protocol_b:341> \"Error Io, Command Answer, this programs answer "
                                  "string is too short, received string until now is 'ABC'\"");
}

TEST_F(Master, RetriedAttemptsLeaveNoErrorBehind) {
    reply({bytes({0x41, NAK}), {}, bytes({'X', ACK, 0}), bytes({'O', 'K', ACK, 0x9A})});
    EXPECT_EQ(prot_command_answer("S", answer, 10), 1);
    EXPECT_EQ(frames, 4);
    EXPECT_STREQ(answer, "OK");
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(error_recorded_count(), 0);
}

TEST_F(Master, SilentUnitRecordsThePortTimeOutBeforeTheProtocolsMessage) {
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    EXPECT_EQ(recorded_numbers(), (std::vector<int>{525, 116, 118}));
    EXPECT_EQ(recorded_text(116), "<_SOURCE\\protocol_b:306> \"Error Io, Command Answer, time out of 2.000 "
                                  "seconds, no replay from target, check cabling or target is busy\"");
}

// A time-out on the check sum byte counts that byte as 0, which differs from the sum of "OK".
TEST_F(Master, CheckSumTimeOut) {
    line->feed("OK\x06");
    EXPECT_EQ(prot_receive_answer(answer, 10), 0);
    EXPECT_EQ(recorded_numbers(), (std::vector<int>{525, 120, 121}));
    EXPECT_EQ(recorded_text(120), "<_SOURCE\\protocol_b:374> \"Error Io, Command Answer, receive time out from "
                                  "target on check sum, check cabling or target is busy\"");
}

// Endless streams end at the answer buffer: an escape byte never keeps the master from storing.
TEST_F(Master, EndlessStreamsStopAtTheAnswerBuffer) {
    const Bytes patterns[] = {bytes({'A'}), bytes({SO}), bytes({SI}), bytes({SI, SO}), bytes({0x00})};
    for (const Bytes& pattern : patterns) {
        error_discard();
        Bytes stream;
        while (stream.size() < 2000)
            stream.insert(stream.end(), pattern.begin(), pattern.end());
        line->feed(stream.data(), stream.size());
        EXPECT_EQ(prot_receive_answer(answer, 50), 0);
        EXPECT_EQ(error_pending(), 119);
        EXPECT_EQ(std::strlen(answer) <= 50, true);
        io_purge_input();
    }
}

struct ConnectCase {
    const char* name;
    bool no_timeout;
    Bytes unit_answer;
    std::vector<int> recorded;
    std::string text; // of the protocol's error
};

const ConnectCase connect_cases[] = {
    {"silent", false, {}, {525, 280},
     "<_SOURCE\\protocol_b:58> \"Error Io, Connect Answer, time out of 0.100 seconds, no reply from target, "
     "check cabling or target is busy\""},
    {"status_then_silence", false, bytes({0x81}), {525, 113},
     "<_SOURCE\\protocol_b:66> \"Error Io, Connect Answer, receive time out from target, check cabling or target "
     "is busy\""},
    {"nak", false, bytes({0x81, NAK}), {114},
     "<_SOURCE\\protocol_b:69> \"Error Io, Connect Answer, NAK (Negated) responce from target, check cabling or "
     "target is busy\""},
    {"two_status_bytes", false, bytes({0x81, 0x81, ACK}), {115},
     "<_SOURCE\\protocol_b:72> \"Error Io, Connect Answer, status answer more than one byte\""},
    {"no_timeout_silent", true, {}, {525, 395},
     "<_SOURCE\\protocol_b:99> \"Error Io, Connect Answer No Timeout, time out, check cables and target\""},
    {"no_timeout_status_then_silence", true, bytes({0x81}), {525, 113}, "<_SOURCE\\protocol_b:107> \"Error Io, "
     "Connect Answer, receive time out from target, check cabling or target is busy\""},
    {"no_timeout_nak", true, bytes({0x81, NAK}), {114}, "<_SOURCE\\protocol_b:110> \"Error Io, Connect Answer, "
     "NAK (Negated) responce from target, check cabling or target is busy\""},
    {"no_timeout_two_status_bytes", true, bytes({0x81, 0x81}), {115},
     "<_SOURCE\\protocol_b:113> \"Error Io, Connect Answer, status answer more than one byte\""},
};

class MasterConnect : public Master, public testing::WithParamInterface<ConnectCase> {};

TEST_P(MasterConnect, ReportsTheFailure) {
    const ConnectCase& c = GetParam();
    reply({c.unit_answer});
    std::uint8_t status = 0;
    if (c.no_timeout)
        prot_connect_no_timeout(12, &status);
    else
        prot_connect(12, &status);
    EXPECT_EQ(recorded_numbers(), c.recorded);
    EXPECT_EQ(error_recorded_text(error_recorded_count() - 1), c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, MasterConnect, testing::ValuesIn(connect_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Master, NothingIsSentWhileAnErrorIsPendingButTheEnd) {
    error_report("_SOURCE\\test", 1, 1, "pending");
    std::uint8_t status = 0x55;
    prot_connect(12, &status);
    EXPECT_EQ(status, 0);
    prot_send_frame("S");
    prot_dle();
    prot_address(3);
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    prot_end();
    EXPECT_EQ(wire(), bytes({EOT, DLE, EOT}));
    EXPECT_EQ(recorded_numbers(), std::vector<int>{1});
}

TEST_F(Master, SettingsDecideTheAttemptsAndTheTimeOutTexts) {
    write_settings("COMMAND_TRYS=2\nANSWER_TIME_OUT=1500\nCONNECT_TIME_OUT=12345\n");
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    EXPECT_EQ(frames, 2);
    EXPECT_NE(recorded_text(116).find("time out of 1.500 seconds"), std::string::npos);
    error_discard();
    prot_connect(12, nullptr);
    EXPECT_NE(recorded_text(280).find("time out of 12.345 seconds"), std::string::npos);
}

TEST_F(Master, UnitVanishingMidAnswerEndsIn118) {
    line->set_responder([this](const Bytes& written) {
        respond(written);
        line->hang_up();
        return bytes({'O'});
    });
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    EXPECT_EQ(error_pending(), 118);
    EXPECT_EQ(frames, 5);
}

// ---------------------------------------------------------------------------------------------
// The same exchanges over a real line: a pty pair, the unit played by a thread with short
// PROTOCOL time-outs.

class MasterPty : public testing::Test {
protected:
    void SetUp() override {
        test_support::reset_server_state();
        test_support::write_file("ZSYS.INI", "[PROTOCOL]\nANSWER_TIME_OUT=20\nCONNECT_TIME_OUT=20\n"
                                             "COMMAND_TRYS=2\n");
        prot_open();
        pty = platform::PtyPair::open();
        ASSERT_TRUE(pty);
        auto device = platform::serial_open(pty->slave_path().c_str());
        ASSERT_TRUE(device);
        io_open_device(0, std::move(device));
        ASSERT_EQ(error_pending(), 0);
    }
    void TearDown() override {
        if (unit.joinable())
            unit.join();
        io_close();
        test_support::reset_server_state();
    }
    // Reads exactly the expected bytes from the master, then answers.
    void play(std::vector<std::pair<Bytes, Bytes>> steps) {
        unit = std::thread([this, steps] {
            for (const auto& [expect, reply] : steps) {
                Bytes got(expect.size());
                int n = pty->read_master(got.data(), static_cast<int>(got.size()), 2000);
                got.resize(n < 0 ? 0 : n);
                if (got != expect) {
                    mismatch = true;
                    return;
                }
                if (!reply.empty())
                    pty->write_master(reply.data(), reply.size());
            }
        });
    }

    test_support::ScratchDir dir;
    std::unique_ptr<platform::PtyPair> pty;
    std::thread unit;
    std::atomic<bool> mismatch{false};
    char answer[32] = {};
};

TEST_F(MasterPty, WorkedExampleCommandSToUnit12) {
    play({{bytes({0x04, 0x31, 0x32, 0x05}), bytes({0x81, 0x06})},
          {bytes({0x02, 0x53, 0x03, 0x53}), bytes({0x4F, 0x4B, 0x06, 0x9A})},
          {bytes({0x04, 0x10, 0x04}), {}}});
    std::uint8_t status = 0;
    prot_connect(12, &status);
    EXPECT_EQ(error_pending(), 0) << (error_recorded_count() ? error_recorded_text(0) : "");
    EXPECT_EQ(status, 0x81);
    EXPECT_EQ(prot_command_answer("S", answer, 10), 1);
    EXPECT_STREQ(answer, "OK");
    prot_end();
    unit.join();
    EXPECT_FALSE(mismatch);
}

TEST_F(MasterPty, SilentUnitTimesOutOnEveryAttempt) {
    play({{bytes({0x02, 0x53, 0x03, 0x53}), {}}, {bytes({0x02, 0x53, 0x03, 0x53}), {}}});
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    unit.join();
    EXPECT_FALSE(mismatch);
    EXPECT_EQ(recorded_numbers(), (std::vector<int>{525, 116, 118}));
    EXPECT_NE(recorded_text(116).find("time out of 0.020 seconds"), std::string::npos);
}

TEST_F(MasterPty, UnitHangingUpMidAnswerEndsIn118) {
    play({{bytes({0x02, 0x53, 0x03, 0x53}), bytes({'O'})}});
    std::thread closer([this] {
        if (unit.joinable())
            unit.join();
        pty->close_master();
    });
    EXPECT_EQ(prot_command_answer("S", answer, 10), 0);
    closer.join();
    EXPECT_EQ(error_pending(), 118);
}

} // namespace
