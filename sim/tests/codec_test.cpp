// Framing vectors worked out by hand from the link rules, and the unit state machine as a device
// runs it.
#include "sim/codec.h"
#include "sim/device.h"
#include "sim/tests/support.h"

#include <gtest/gtest.h>

namespace nvsim {
namespace {

using test::hex;
using test::to_hex;

struct EscapeCase {
    const char* name;
    std::uint8_t data;
    const char* wire;
};

class EscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, EncodesAndDecodesBack) {
    const EscapeCase& c = GetParam();
    Bytes out;
    encode_byte(c.data, out);
    EXPECT_EQ(to_hex(out), c.wire);

    EscapeDecoder decoder;
    int data = -1;
    for (std::uint8_t b : hex(c.wire))
        data = decoder.feed(b);
    EXPECT_EQ(data, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, EscapeTable,
    ::testing::Values(EscapeCase{"plain_letter", 0x41, "41"}, EscapeCase{"nul_unchanged", 0x00, "00"},
                      EscapeCase{"bel_unchanged", 0x07, "07"}, EscapeCase{"dc3_unchanged", 0x13, "13"},
                      EscapeCase{"can_unchanged", 0x18, "18"}, EscapeCase{"soh", 0x01, "0E 21"},
                      EscapeCase{"stx", 0x02, "0E 22"}, EscapeCase{"ack", 0x06, "0E 26"},
                      EscapeCase{"so", 0x0E, "0E 2E"}, EscapeCase{"si", 0x0F, "0E 2F"},
                      EscapeCase{"dle", 0x10, "0E 30"}, EscapeCase{"dc1", 0x11, "0E 31"},
                      EscapeCase{"dc2", 0x12, "0E 32"}, EscapeCase{"nak", 0x15, "0E 35"},
                      EscapeCase{"etb", 0x17, "0E 37"}, EscapeCase{"high_plain", 0xC1, "0F 41"},
                      EscapeCase{"high_zero", 0x80, "0F 00"}, EscapeCase{"high_stx", 0x82, "0F 0E 22"},
                      EscapeCase{"high_dle", 0x90, "0F 0E 30"}, EscapeCase{"all_ones", 0xFF, "0F 7F"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Frames, CommandFrameWithAHighByte) {
    // "A", 0x82, "B": STX 41 SI SO 22 42 ETX, then (0x41 + 0x82 + 0x42) AND 0x7F = 0x05.
    EXPECT_EQ(to_hex(encode_command("A\x82"
                                    "B")),
              "02 41 0F 0E 22 42 03 05");
}

TEST(Frames, AnswerFrameCarriesTheEightBitSum) {
    // "OK": 4F 4B, ACK, 0x4F + 0x4B = 0x9A.
    EXPECT_EQ(to_hex(encode_answer("OK")), "4F 4B 06 9A");
    EXPECT_EQ(to_hex(encode_answer("")), "06 00");
    // 0xFF + 0x02 = 0x101: the sum wraps to 0x01.
    EXPECT_EQ(to_hex(encode_answer("\xFF\x02")), "0F 7F 0E 22 06 01");
}

TEST(Frames, CommandSumDropsBitSeven) {
    EXPECT_EQ(command_sum("S"), 0x53);
    EXPECT_EQ(command_sum("OK"), 0x1A);
    EXPECT_EQ(answer_sum("OK"), 0x9A);
}

TEST(AnswerReaderTest, ReadsAnswerNakAndBadSum) {
    AnswerReader r;
    Bytes ok = hex("4F 4B 06 9A");
    AnswerReader::Result last = AnswerReader::Result::more;
    for (std::uint8_t b : ok)
        last = r.feed(b);
    EXPECT_EQ(last, AnswerReader::Result::answer);
    EXPECT_EQ(r.text(), "OK");

    r.reset();
    EXPECT_EQ(r.feed(0x44), AnswerReader::Result::more);
    EXPECT_EQ(r.feed(NAK), AnswerReader::Result::nak);
    EXPECT_EQ(r.nak_reason(), 0x44);

    r.reset();
    for (std::uint8_t b : hex("4F 4B 06"))
        r.feed(b);
    EXPECT_EQ(r.feed(0x9B), AnswerReader::Result::bad_sum);
}

// The unit machine fed byte by byte; events are recorded in order.
std::vector<UnitEvent> feed(UnitMachine& m, const Bytes& bytes) {
    std::vector<UnitEvent> events;
    for (std::uint8_t b : bytes) {
        UnitEvent e = m.feed(b);
        if (e != UnitEvent::none && e != UnitEvent::eot) events.push_back(e);
    }
    return events;
}

TEST(UnitMachineTest, AddressTwelveIsSelectedAndTakesTheCommand) {
    UnitMachine m(12, 255, false);
    EXPECT_EQ(feed(m, hex("04 31 32 05")), std::vector<UnitEvent>{UnitEvent::addressed});
    EXPECT_TRUE(m.selected());
    EXPECT_EQ(feed(m, hex("02 53 03 53")), std::vector<UnitEvent>{UnitEvent::command});
    EXPECT_EQ(m.command(), "S");
    EXPECT_EQ(feed(m, hex("04 10 04")), std::vector<UnitEvent>{UnitEvent::released});
    EXPECT_FALSE(m.selected());
    EXPECT_EQ(m.state(), 0);
}

struct AddressCase {
    const char* name;
    int address;
    const char* wire;
    bool selected;
    int state_after;
};

class AddressTable : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressTable, SelectsOnlyItsOwnAddress) {
    const AddressCase& c = GetParam();
    UnitMachine m(c.address, 255, false);
    feed(m, hex(c.wire));
    EXPECT_EQ(m.selected(), c.selected);
    EXPECT_EQ(m.state(), c.state_after);
}

INSTANTIATE_TEST_SUITE_P(
    Addressing, AddressTable,
    ::testing::Values(AddressCase{"match", 12, "04 31 32 05", true, 3},
                      AddressCase{"other_unit", 13, "04 31 32 05", false, 0},
                      AddressCase{"leading_zero", 12, "04 30 31 32 05", true, 3},
                      // 268 wraps to 12 in the 8-bit accumulator, but 268 itself never matches.
                      AddressCase{"beyond_a_byte", 268, "04 32 36 38 05", false, 0},
                      AddressCase{"wrapped_digits_reach_12", 12, "04 32 36 38 05", true, 3},
                      AddressCase{"repeated_eot_keeps_digits", 12, "04 31 04 32 05", true, 3},
                      AddressCase{"letters_put_it_out_of_phase", 12, "04 41 05", false, 99},
                      AddressCase{"no_digits_is_zero", 0, "04 05", true, 3}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(UnitMachineTest, DecodesEscapesInsideAFrame) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05"));
    EXPECT_EQ(feed(m, hex("02 41 0F 0E 22 42 03 05")), std::vector<UnitEvent>{UnitEvent::command});
    EXPECT_EQ(m.command(), std::string("A\x82"
                                       "B"));
}

TEST(UnitMachineTest, BadSumIsRefusedWithReason41) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05"));
    EXPECT_EQ(feed(m, hex("02 53 03 54")), std::vector<UnitEvent>{UnitEvent::bad_frame});
    EXPECT_EQ(m.nak_reason(), 0x41);
    // Still selected: the master may send the frame again.
    EXPECT_EQ(feed(m, hex("02 53 03 53")), std::vector<UnitEvent>{UnitEvent::command});
}

TEST(UnitMachineTest, SumWithBitSevenNeverMatches) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05"));
    // "OK" sums to 0x9A; the right byte is 0x1A, and 0x9A as a signed byte is not 0x1A.
    EXPECT_EQ(feed(m, hex("02 4F 4B 03 9A")), std::vector<UnitEvent>{UnitEvent::bad_frame});
    EXPECT_EQ(feed(m, hex("02 4F 4B 03 1A")), std::vector<UnitEvent>{UnitEvent::command});
}

TEST(UnitMachineTest, FrameLongerThanTheBufferIsRefusedWithReason42) {
    UnitMachine m(1, 4, false);
    feed(m, hex("04 31 05"));
    // "ABCDE": five bytes into a four-byte buffer.
    EXPECT_EQ(feed(m, hex("02 41 42 43 44 45 03 4F")), std::vector<UnitEvent>{UnitEvent::bad_frame});
    EXPECT_EQ(m.nak_reason(), 0x42);
    EXPECT_EQ(feed(m, hex("02 41 42 43 44 03 0A")), std::vector<UnitEvent>{UnitEvent::command});
}

TEST(UnitMachineTest, EotInsideAFrameStartsANewAddressing) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05 02 41 42"));
    EXPECT_EQ(feed(m, hex("04 31 05")), std::vector<UnitEvent>{UnitEvent::addressed});
    EXPECT_EQ(feed(m, hex("02 53 03 53")), std::vector<UnitEvent>{UnitEvent::command});
    EXPECT_EQ(m.command(), "S");
}

TEST(UnitMachineTest, EotAsCheckSumIsData) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05"));
    // 0x84 (sent as SI SO 0x24) AND 0x7F = 0x04: the sum byte happens to be EOT.
    EXPECT_EQ(feed(m, hex("02 0F 0E 24 03 04")), std::vector<UnitEvent>{UnitEvent::command});
    EXPECT_EQ(m.command(), "\x84");
}

TEST(UnitMachineTest, EleventhStrayByteSendsEotOnce) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 41")); // out of phase
    std::vector<UnitEvent> events = feed(m, Bytes(30, 0x58));
    EXPECT_EQ(events, std::vector<UnitEvent>{UnitEvent::out_of_phase});
    // "A" only put it out of phase; ten stray bytes pass, the 11th brings the EOT.
    UnitMachine n(1, 255, false);
    feed(n, hex("04 41"));
    EXPECT_TRUE(feed(n, Bytes(10, 0x58)).empty());
    EXPECT_EQ(feed(n, Bytes(1, 0x58)), std::vector<UnitEvent>{UnitEvent::out_of_phase});
}

TEST(UnitMachineTest, OutOfPhaseUnitAnswersNoFrameUnlessSelected) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 41")); // garbage while addressing: not selected
    EXPECT_TRUE(feed(m, hex("02 53 03 53")).empty());

    UnitMachine s(1, 255, false);
    feed(s, hex("04 31 05 41")); // garbage after its own selection
    EXPECT_EQ(feed(s, hex("02 53 03 53")), std::vector<UnitEvent>{UnitEvent::command});
}

TEST(UnitMachineTest, SelectionEndsAfterFiveQuietSeconds) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05"));
    for (int i = 0; i < 4; ++i)
        m.second();
    EXPECT_TRUE(m.selected());
    feed(m, hex("02 41")); // a frame byte reloads the countdown
    for (int i = 0; i < 4; ++i)
        m.second();
    EXPECT_TRUE(m.selected());
    m.second();
    EXPECT_FALSE(m.selected());
    EXPECT_EQ(m.state(), 0);
}

TEST(UnitMachineTest, DcTwoMessageIsTakenWhileSelected) {
    UnitMachine m(1, 255, false);
    feed(m, hex("04 31 05"));
    EXPECT_EQ(feed(m, hex("12 37")), std::vector<UnitEvent>{UnitEvent::control_byte});
    EXPECT_EQ(m.control_byte(), 0x37);
    EXPECT_EQ(m.state(), 3);
}

TEST(UnitMachineTest, BroadcastAddressingIsMarkedOnlyForDisplays) {
    UnitMachine display(1, 255, true);
    feed(display, hex("10 04 31 05"));
    EXPECT_TRUE(display.broadcast());
    feed(display, hex("02 48 49 03 11 04 10 04"));
    EXPECT_FALSE(display.broadcast());

    UnitMachine printer(1, 255, false);
    feed(printer, hex("10 04 31 05"));
    EXPECT_FALSE(printer.broadcast());
}

// A unit that answers "OK" with status 0x01: the worked exchange of the link rules.
class OkUnit : public Device {
  public:
    explicit OkUnit(const DeviceConfig& c) : Device("T1", c, false) {}
    std::uint8_t status() const override { return 0x01; }
    std::string command(std::string_view text, std::int64_t) override {
        last = std::string(text);
        return "OK";
    }
    std::string describe() const override { return "ok unit"; }
    std::string last;
};

TEST(DeviceExchange, CommandSToUnitTwelve) {
    DeviceConfig c;
    c.id = 1;
    c.unit = 12;
    OkUnit unit(c);
    std::vector<Output> out;
    auto send = [&](const char* wire) {
        out.clear();
        for (std::uint8_t b : hex(wire))
            unit.hear(b, 0, out);
        Bytes all;
        for (const Output& o : out)
            all.insert(all.end(), o.bytes.begin(), o.bytes.end());
        return to_hex(all);
    };
    EXPECT_EQ(send("04 31 32 05"), "81 06");
    EXPECT_EQ(send("02 53 03 53"), "4F 4B 06 9A");
    EXPECT_EQ(unit.last, "S");
    EXPECT_EQ(send("04 10 04"), "");
    // Unit 13 would have stayed silent.
    c.unit = 13;
    OkUnit other(c);
    out.clear();
    for (std::uint8_t b : hex("04 31 32 05 02 53 03 53"))
        other.hear(b, 0, out);
    EXPECT_TRUE(out.empty());
}

} // namespace
} // namespace nvsim
