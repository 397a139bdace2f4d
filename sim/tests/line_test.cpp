// The whole line driven with the master's bytes: address bytes, polls, commands, broadcasts,
// faults and the control language.
#include "sim/control.h"
#include "sim/line.h"
#include "sim/tests/support.h"

#include <gtest/gtest.h>

#include <random>

namespace nvsim {
namespace {

using test::command;
using test::hex;
using test::poll;
using test::to_hex;

constexpr std::uint8_t P1 = 0xD8; // printer 1 at the server's default id 89
constexpr std::uint8_t P2 = 0xD9;
constexpr std::uint8_t D1 = 0xD0;      // display 1 at id 81
constexpr std::uint8_t READERS = 0xF7; // all card readers at id 120

class Line : public test::ManualClock {
  protected:
    SimLine line{default_network()};

    std::string control(const std::string& text) { return line.control(text); }
    Bytes send(const std::string& wire) {
        line.receive(hex(wire));
        return line.take_output();
    }
};

TEST_F(Line, DefaultNetworkSitsAtTheServersDefaultIds) {
    ASSERT_NE(line.printer(4), nullptr);
    EXPECT_EQ(line.printer(1)->address_byte(), 0xD8);
    EXPECT_EQ(line.printer(4)->address_byte(), 0xDB);
    EXPECT_EQ(line.display(1)->address_byte(), 0xD0);
    EXPECT_EQ(line.display(4)->address_byte(), 0xD3);
    EXPECT_EQ(line.reader(1)->address_byte(), 0xF7);
    EXPECT_EQ(line.reader(1)->unit(), 1);
    EXPECT_EQ(line.printer(5), nullptr);
    EXPECT_EQ(line.reader(2), nullptr);
}

TEST_F(Line, AddressByteChoosesThePrinter) {
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
    line.printer(2)->press(1);
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
    EXPECT_EQ(to_hex(poll(line, P2, 0)), "84 06");
    // Unit 1 is not a printer's unit; id 64 has no device at all.
    EXPECT_EQ(to_hex(poll(line, P1, 1)), "");
    EXPECT_EQ(to_hex(poll(line, 0xBF, 0)), "");
    EXPECT_EQ(line.stats().unknown_ids, 1);
}

TEST_F(Line, PollClearsLatchedBitsButACommandExchangeDoesNot) {
    line.printer(1)->press(2);
    test::Exchange x = command(line, P1, 0, "QM ");
    EXPECT_EQ(x.status, 0x84);
    EXPECT_EQ(x.answer, "Y");
    // The command's addressing did not count as a poll.
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "84 06");
    // The poll's addressing ends with the next address byte.
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
}

TEST_F(Line, ServerCommandWithItsTerminatingZero) {
    EXPECT_EQ(to_hex(send("D8 04 30 05")), "80 06");
    // "GV" and its zero: 0x47 + 0x56 + 0x00 = 0x9D, AND 0x7F = 0x1D.
    Bytes answer = send("02 47 56 00 03 1D");
    AnswerReader r;
    AnswerReader::Result last = AnswerReader::Result::more;
    for (std::uint8_t b : answer)
        last = r.feed(b);
    EXPECT_EQ(last, AnswerReader::Result::answer);
    EXPECT_EQ(r.text(), "TP 78.14 Z71");
    EXPECT_EQ(to_hex(send("04 10 04")), "");
}

TEST_F(Line, DisplayBroadcastIsShownWithoutAnAnswer) {
    // DLE, EOT "1" ENQ, STX "HELLO" ETX (0x174 AND 0x7F = 0x74), EOT DLE EOT.
    EXPECT_EQ(to_hex(send("D0 10 04 31 05 02 48 45 4C 4C 4F 03 74 04 10 04")), "");
    EXPECT_EQ(line.display(1)->text(), "HELLO");
    EXPECT_EQ(line.display(2)->text(), "");
    // An empty text frame blanks display 2; a text with a high byte (SI 45 = 0xC5) reaches display 3.
    send("D1 10 04 31 05 02 03 00 04 10 04");
    EXPECT_EQ(line.display(2)->frames(), 1);
    send("D2 10 04 31 05 02 0F 45 03 45 04 10 04");
    EXPECT_EQ(line.display(3)->text(), "\xC5");
    // A broken check sum changes nothing and is not answered either.
    EXPECT_EQ(to_hex(send("D0 10 04 31 05 02 41 03 00 04 10 04")), "");
    EXPECT_EQ(line.display(1)->text(), "HELLO");
    EXPECT_EQ(control("SHOW D1"), "OK D1 display id=81 unit=1 frames=1 text=\"HELLO\"");
}

TEST_F(Line, DisplayAddressedWithoutDleAnswersLikeAUnit) {
    test::Exchange x = command(line, D1, 1, "12.50");
    EXPECT_TRUE(x.addressed);
    EXPECT_EQ(x.status, 0x80);
    EXPECT_EQ(x.answer, "Y");
    EXPECT_EQ(line.display(1)->text(), "12.50");
}

TEST_F(Line, CardReaderHandsOutTracksAndClearsTheirBits) {
    ASSERT_EQ(control("SWIPE R1 1234|"), "OK R1 card swiped");
    ASSERT_EQ(control("SWIPE 1 ;111||;333"), "OK R1 card swiped");
    test::Exchange x = command(line, READERS, 1, "GC1");
    EXPECT_EQ(x.status, 0x85);
    EXPECT_EQ(x.answer, ";111");
    x = command(line, READERS, 1, "GC3");
    EXPECT_EQ(x.status, 0x84);
    EXPECT_EQ(x.answer, ";333");
    EXPECT_EQ(to_hex(poll(line, READERS, 1)), "80 06");

    control("VALUE R1 25.00");
    control("GRS R1 CARD 77");
    x = command(line, READERS, 1, "GV");
    EXPECT_EQ(x.status, 0x98);
    EXPECT_EQ(x.answer, "25.00");
    EXPECT_EQ(command(line, READERS, 1, "GRS").answer, "CARD 77");

    EXPECT_EQ(command(line, READERS, 1, "CR").answer, "Y");
    EXPECT_EQ(line.reader(1)->lamp(), CardReader::Lamp::red);
    EXPECT_EQ(command(line, READERS, 1, "CO").answer, "Y");
    EXPECT_EQ(line.reader(1)->ejects(), 1);
    EXPECT_EQ(command(line, READERS, 1, "LO").answer, "Y");
    EXPECT_EQ(line.reader(1)->lamp(), CardReader::Lamp::off);
    EXPECT_EQ(command(line, READERS, 1, "XX").answer, "N");
}

TEST_F(Line, ReadersOnOneIdAnswerByUnitNumber) {
    NetworkConfig network = default_network(1, 0, 2);
    SimLine two(network);
    two.control("SWIPE R2 ;2");
    EXPECT_EQ(to_hex(poll(two, READERS, 1)), "80 06");
    EXPECT_EQ(to_hex(poll(two, READERS, 2)), "81 06");
    EXPECT_EQ(command(two, READERS, 2, "GC1").answer, ";2");
}

TEST_F(Line, SilentFaultSkipsOneExchange) {
    line.printer(1)->press(1);
    EXPECT_EQ(control("FAULT P1 SILENT"), "OK P1 faults: silentx1");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "");
    // The unanswered poll did not use up the ticket bit.
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "84 06");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
    EXPECT_EQ(control("FAULT P1"), "OK P1 faults: none");
}

TEST_F(Line, ChecksumFaultSpoilsTheAnswerOnce) {
    control("FAULT P1 CHECKSUM");
    EXPECT_EQ(command(line, P1, 0, "QM ").result, AnswerReader::Result::bad_sum);
    EXPECT_EQ(command(line, P1, 0, "QM ").result, AnswerReader::Result::answer);
}

TEST_F(Line, NakFaultRefusesTheCommandWithItsReason) {
    control("FAULT P1 NAK 4 2");
    for (int i = 0; i < 2; ++i) {
        test::Exchange x = command(line, P1, 0, "PB 1 1");
        EXPECT_EQ(x.result, AnswerReader::Result::nak);
        EXPECT_EQ(x.nak_reason, 0x44);
    }
    EXPECT_EQ(line.printer(1)->last_record(), 0);
    EXPECT_EQ(command(line, P1, 0, "PB 1 1").answer, "Y");
    EXPECT_EQ(line.printer(1)->last_record(), 1);
}

TEST_F(Line, BadFrameFromTheMasterIsRefused) {
    EXPECT_EQ(to_hex(send("D8 04 30 05")), "80 06");
    EXPECT_EQ(to_hex(send("02 51 4D 03 00")), "41 15");
}

TEST_F(Line, GarbageFaultPutsBytesBeforeTheAnswer) {
    control("FAULT P1 GARBAGE");
    Bytes out = poll(line, P1, 0);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(to_hex(Bytes(out.begin() + 3, out.end())), "80 06");
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(out[static_cast<std::size_t>(i)], 0x20);
}

TEST_F(Line, SlowFaultDelaysTheAnswer) {
    control("FAULT P1 SLOW 500 *");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "");
    EXPECT_EQ(line.next_output_due(), now() + 500);
    advance(499);
    EXPECT_EQ(to_hex(line.take_output()), "");
    advance(1);
    EXPECT_EQ(to_hex(line.take_output()), "80 06");
    EXPECT_EQ(control("FAULT P1 CLEAR"), "OK P1 faults cleared");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
}

TEST_F(Line, UnpluggedDeviceIsSilentUntilPluggedIn) {
    EXPECT_EQ(control("UNPLUG P1"), "OK P1 unplugged");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "");
    EXPECT_EQ(command(line, P1, 0, "QM ").addressed, false);
    EXPECT_EQ(control("PLUG P1"), "OK P1 plugged in");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
}

TEST_F(Line, RestartedPrinterComesBackWithAnEmptyBuffer) {
    line.printer(1)->press(5);
    EXPECT_EQ(control("RESTART P1 1000"), "OK P1 restarting for 1000 ms");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "");
    EXPECT_EQ(control("PRESS 1 1"), "ERR P1 is restarting");
    advance(1000);
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "88 06");
    EXPECT_EQ(command(line, P1, 0, "GB 1").answer, "Y 0 0 0.00 1 0 0 0");
}

TEST_F(Line, OutOfTicketsAndNewRollShowInThePolls) {
    EXPECT_EQ(control("EMPTY P3"), "OK P3 out of tickets");
    EXPECT_EQ(to_hex(poll(line, 0xDA, 0)), "C0 06");
    EXPECT_EQ(control("PRESS P3 1"), "ERR P3 is out of tickets");
    EXPECT_EQ(control("ROLL P3 50"), "OK P3 new roll of 50 tickets");
    EXPECT_EQ(to_hex(poll(line, 0xDA, 0)), "A0 06");
    EXPECT_EQ(to_hex(poll(line, 0xDA, 0)), "80 06");
}

TEST_F(Line, DisplayRequestReachesTheServerThroughGd) {
    EXPECT_EQ(control("DISPREQ P1 2 NEXT 17"), "OK P1 display 2 text waits");
    test::Exchange x = command(line, P1, 0, "GD");
    EXPECT_EQ(x.status, 0x81);
    EXPECT_EQ(x.answer, "2 NEXT 17");
    EXPECT_EQ(to_hex(poll(line, P1, 0)), "80 06");
}

TEST_F(Line, SelectionDropsAfterFiveSecondsWithoutTraffic) {
    poll(line, P1, 0);
    EXPECT_TRUE(line.printer(1)->machine().selected());
    for (int i = 0; i < 6; ++i) {
        advance(1000);
        line.tick();
    }
    EXPECT_FALSE(line.printer(1)->machine().selected());
}

TEST_F(Line, NoiseReachesTheMaster) {
    EXPECT_EQ(control("NOISE 10"), "OK 10 noise bytes sent");
    EXPECT_EQ(line.take_output().size(), 10u);
}

TEST_F(Line, CustomersPressTheFirstButtonsNowAndThen) {
    EXPECT_EQ(control("CUSTOMERS 2"), "OK customers every 2 s on average");
    for (int i = 0; i < 600; ++i) {
        advance(100);
        line.tick();
    }
    int records = 0;
    for (int p = 1; p <= 4; ++p) {
        for (int r = 1; r <= line.printer(p)->last_record(); ++r) {
            ++records;
            EXPECT_LE(line.printer(p)->record(r).ticket, 4);
        }
    }
    EXPECT_GT(records, 5);
    EXPECT_LT(records, 200);
    EXPECT_EQ(control("CUSTOMERS 0"), "OK customers stopped");
    for (int i = 0; i < 600; ++i) {
        advance(100);
        line.tick();
    }
    int after = 0;
    for (int p = 1; p <= 4; ++p)
        after += line.printer(p)->last_record();
    EXPECT_EQ(after, records);
}

TEST_F(Line, GarbageAndTruncatedFramesLeaveTheLineUsable) {
    std::mt19937 rng(7);
    Bytes junk(20000);
    for (std::uint8_t& b : junk)
        b = static_cast<std::uint8_t>(rng());
    line.receive(junk);
    line.take_output();
    send("D8 04 30 05 02 47"); // a frame cut short
    test::Exchange x = command(line, P1, 0, "QM ");
    EXPECT_EQ(x.result, AnswerReader::Result::answer);
    EXPECT_EQ(x.answer, "Y");
}

// Real exchanges with bytes flipped, dropped and cut short, against every device kind: whatever
// happens, a clean exchange right after works.
TEST_F(Line, DamagedExchangesNeverWedgeADevice) {
    std::mt19937 rng(11);
    const char* commands[] = {"GB 1", "PB 1 1", "SX 15", "ST 0 1 12 twelve chars", "GS ", "GC1", "HELLO"};
    const std::uint8_t addresses[] = {P1, P2, D1, READERS};
    for (int round = 0; round < 500; ++round) {
        std::uint8_t address = addresses[rng() % 4];
        Bytes wire{address, EOT, static_cast<std::uint8_t>(address == P1 || address == P2 ? '0' : '1'), ENQ};
        Bytes frame = encode_command(commands[rng() % 7]);
        wire.insert(wire.end(), frame.begin(), frame.end());
        for (int damage = 1 + static_cast<int>(rng() % 3); damage > 0 && wire.size() > 1; --damage) {
            std::size_t at = 1 + rng() % (wire.size() - 1);
            switch (rng() % 3) {
            case 0:
                wire[at] = static_cast<std::uint8_t>(wire[at] ^ (1u << (rng() % 7)));
                break;
            case 1:
                wire.erase(wire.begin() + static_cast<long>(at));
                break;
            default:
                wire.resize(at);
                break;
            }
        }
        line.receive(wire);
        line.take_output();
    }
    line.receive(hex("04 10 04"));
    line.take_output();
    EXPECT_EQ(command(line, P1, 0, "QM ").answer, "Y");
    EXPECT_EQ(command(line, D1, 1, "OK").answer, "Y");
    EXPECT_EQ(command(line, READERS, 1, "LO").answer, "Y");
}

struct ControlCase {
    const char* name;
    const char* line;
    const char* answer;
};

class ControlTable : public test::ManualClock, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTable, AnswersOneLine) {
    SimLine line(default_network());
    EXPECT_EQ(line.control(GetParam().line), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ControlTable,
    ::testing::Values(
        ControlCase{"empty", "", "ERR empty line"}, ControlCase{"blank", "   \r\n", "ERR empty line"},
        ControlCase{"unknown", "FLY", "ERR unknown command 'FLY' (HELP lists them)"},
        ControlCase{"press_lower_case", "press 1 3", "OK P1 ticket 3 record 1"},
        ControlCase{"press_by_name", "PRESS p2 15 2", "OK P2 ticket 15 record 2"},
        ControlCase{"press_ticket_16", "PRESS P2 16", "ERR ticket 1..15 expected"},
        ControlCase{"press_no_ticket", "PRESS P2", "ERR ticket 1..15 expected"},
        ControlCase{"press_many", "PRESS P2 1 100", "ERR 1..99 tickets expected"},
        ControlCase{"press_unknown", "PRESS X1 1", "ERR no device 'X1'"},
        ControlCase{"press_missing", "PRESS 9 1", "ERR no device '9'"},
        ControlCase{"press_display", "PRESS D1 1", "ERR D1 is not the right kind of device"},
        ControlCase{"roll_zero", "ROLL P1 0", "ERR 1..100000 tickets expected"},
        ControlCase{"jam", "JAM 1 on", "OK P1 jammed"},
        ControlCase{"jam_bad", "JAM 1 maybe", "ERR JAM printer ON|OFF"},
        ControlCase{"restart_bad", "RESTART P1 -5", "ERR downtime 0..600000 ms expected"},
        ControlCase{"dispreq_bad", "DISPREQ P1 8 x", "ERR display 1..7 expected"},
        ControlCase{"status", "STATUS P1", "OK P1 status 00"},
        ControlCase{"status_force", "STATUS P1 +41 -01", "OK P1 status 40"},
        ControlCase{"status_bad", "STATUS P1 +80", "ERR status bits as +hex or -hex, 00..7F"},
        ControlCase{"status_display", "STATUS D1 +01", "ERR only printers take forced status bits"},
        ControlCase{"fault_list", "FAULT R1", "OK R1 faults: none"},
        ControlCase{"fault_always", "FAULT P1 SILENT *", "OK P1 faults: silentx*"},
        ControlCase{"fault_nak", "fault d1 nak 2 3", "OK D1 faults: nak(2)x3"},
        ControlCase{"fault_nak_reason", "FAULT P1 NAK 9",
                    "ERR NAK needs a reason 1..7 (1 check sum, 2 too long, 4 busy)"},
        ControlCase{"fault_slow_no_delay", "FAULT P1 SLOW", "ERR SLOW needs a delay of 1..60000 ms"},
        ControlCase{"fault_count", "FAULT P1 GARBAGE 0", "ERR count 1..1000000 or * expected"},
        ControlCase{"fault_kind", "FAULT P1 FIRE",
                    "ERR unknown fault 'FIRE' (SILENT, CHECKSUM, GARBAGE, NAK, SLOW, CLEAR)"},
        ControlCase{"fault_device", "FAULT P9 SILENT", "ERR no device 'P9'"},
        ControlCase{"swipe_empty", "SWIPE R1 ||", "ERR SWIPE needs track data: t1|t2|t3"},
        ControlCase{"noise_zero", "NOISE 0", "ERR 1..4096 bytes expected"},
        ControlCase{"customers_negative", "CUSTOMERS -1", "ERR mean interval 0..86400 seconds expected"},
        ControlCase{"customers_word", "CUSTOMERS often", "ERR mean interval 0..86400 seconds expected"},
        ControlCase{"unplug_unknown", "UNPLUG Q1", "ERR no device 'Q1'"},
        ControlCase{
            "show_reader", "SHOW R1",
            "OK R1 reader id=120 unit=1 status=00 lamp=off ejects=0 track1=\"\" track2=\"\" track3=\"\""},
        ControlCase{"quit", "quit", "OK bye"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Line, QuitIsRequestedOnlyByQuit) {
    control("LIST");
    EXPECT_FALSE(line.quit_requested());
    control("QUIT");
    EXPECT_TRUE(line.quit_requested());
}

TEST(Config, DeviceLines) {
    DeviceConfig d;
    std::string error;
    ASSERT_TRUE(parse_device_line("printer 93 0 fw=78 roll=50", d, error)) << error;
    EXPECT_EQ(d.kind, DeviceKind::printer);
    EXPECT_EQ(d.id, 93);
    EXPECT_EQ(d.firmware, "78");
    EXPECT_EQ(d.roll, 50);
    ASSERT_TRUE(parse_device_line("printer 94 version=MY 85.1 Z81", d, error)) << error;
    EXPECT_EQ(d.unit, 0);
    EXPECT_EQ(d.version, "MY 85.1 Z81");
    ASSERT_TRUE(parse_device_line("display 85", d, error));
    EXPECT_EQ(d.unit, 1);
    EXPECT_FALSE(parse_device_line("printer 129", d, error));
    EXPECT_FALSE(parse_device_line("printer 90 256", d, error));
    EXPECT_FALSE(parse_device_line("printer 90 0 fw=99", d, error));
    EXPECT_FALSE(parse_device_line("display 80 1 fw=78", d, error));
    EXPECT_FALSE(parse_device_line("scanner 80", d, error));

    NetworkConfig network = default_network();
    EXPECT_FALSE(add_device_line(network, "display 89 0", error));
    EXPECT_EQ(error, "id 89 unit 0 is taken already");
    EXPECT_TRUE(add_device_line(network, "display 89 1", error));
}

} // namespace
} // namespace nvsim
