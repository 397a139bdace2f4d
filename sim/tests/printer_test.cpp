// The printer's answers to the commands the server and the monitor send, checked against what
// those programs rely on.
#include "sim/printer.h"
#include "sim/tests/support.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace nvsim {
namespace {

DeviceConfig printer_config(const char* firmware, int roll = 200) {
    DeviceConfig c;
    c.kind = DeviceKind::printer;
    c.id = 89;
    c.unit = 0;
    c.firmware = firmware;
    c.roll = roll;
    return c;
}

std::string ask(Printer& p, const std::string& text) {
    return p.command(text, 0);
}

// Fields after "Y" and one character, split at single blanks, as the monitor reads them.
std::vector<std::string> fields(const std::string& answer) {
    std::vector<std::string> out;
    std::size_t y = answer.find('Y');
    if (y == std::string::npos) return out;
    std::string rest = answer.substr(std::min(answer.size(), y + 2));
    std::size_t start = 0;
    for (;;) {
        std::size_t blank = rest.find(' ', start);
        out.push_back(rest.substr(start, blank == std::string::npos ? std::string::npos : blank - start));
        if (blank == std::string::npos) break;
        start = blank + 1;
    }
    return out;
}

// The monitor's reading of a buffer answer: field 4 printer sequence, field 5 record sequence.
bool carries_ticket(const std::string& answer) {
    std::vector<std::string> f = fields(answer);
    if (f.size() < 5) return false;
    int printer_seq = std::stoi(f[3]);
    int record_seq = std::stoi(f[4]);
    return !(printer_seq - record_seq == 1 || (printer_seq == 1 && record_seq == 99) || record_seq == 0);
}

struct GenerationCase {
    const char* version;
    int generation;
};

class GenerationTable : public ::testing::TestWithParam<GenerationCase> {};

TEST_P(GenerationTable, FollowsTheDigitPairAfterZ) {
    EXPECT_EQ(generation_of(GetParam().version), GetParam().generation) << GetParam().version;
}

INSTANTIATE_TEST_SUITE_P(Versions, GenerationTable,
                         ::testing::Values(GenerationCase{"TP 78.14 Z71", 2},
                                           GenerationCase{"TP 85.06 Z81", 3},
                                           GenerationCase{"TP 85.40 Z91", 4},
                                           GenerationCase{"Z 8 then 81", 3}, GenerationCase{"Z9.1", 0},
                                           GenerationCase{"TP 85.06", 0}, GenerationCase{"Z08", 0},
                                           GenerationCase{"Z51", 0}));

TEST(PrinterFirmware, VersionTextsCarryWhatTheServerAndMonitorLookFor) {
    Printer p78("P1", printer_config("78"));
    Printer p85("P2", printer_config("85"));
    Printer doz("P3", printer_config("doz"));
    Printer mk4("P4", printer_config("mk4"));
    EXPECT_NE(ask(p78, "GV").find("78."), std::string::npos);
    EXPECT_NE(ask(p85, "GV ").find("85."), std::string::npos);
    EXPECT_NE(ask(doz, "GV").find("DOZ"), std::string::npos);
    EXPECT_EQ(p78.generation(), 2);
    EXPECT_EQ(p85.generation(), 3);
    EXPECT_EQ(doz.generation(), 3);
    EXPECT_EQ(mk4.generation(), 4);
    // The server sends "GV" with its terminating zero.
    EXPECT_EQ(p78.command(std::string("GV\0", 3), 0), ask(p78, "GV"));
}

TEST(PrinterCommands, PresenceAndUnknownCommands) {
    Printer p("P1", printer_config("85"));
    EXPECT_EQ(ask(p, "QM "), "Y");
    EXPECT_EQ(ask(p, "XYZ 1"), "N");
    EXPECT_EQ(ask(p, ""), "N");
}

TEST(EventBuffer, EmptyBufferAnswersNoTicket) {
    Printer p("P1", printer_config("85"));
    std::string a = ask(p, "GB 1");
    EXPECT_EQ(a, "Y 0 0 0.00 1 0 0 0");
    EXPECT_FALSE(carries_ticket(a));
}

TEST(EventBuffer, PrintedTicketIsReadOnceAsTheMonitorReadsIt) {
    Printer p("P1", printer_config("85"));
    ASSERT_EQ(p.press(3), Printer::Press::printed);
    std::string a = ask(p, "GB 1");
    EXPECT_EQ(a, "Y 3 1 3.00 1 1 1 1");
    EXPECT_TRUE(carries_ticket(a));
    std::string next = ask(p, "GB 2");
    EXPECT_FALSE(carries_ticket(next)) << next;
}

// The monitor's loop: sync with record 1, then read its next record on every poll and move on
// only when a record carries a ticket. Every ticket must arrive once, across the wrap at 99.
TEST(EventBuffer, MonitorSeesEveryTicketAcrossTheWrap) {
    Printer p("P1", printer_config("85", 1000));
    std::string sync = ask(p, "GB 1");
    int next = std::stoi(fields(sync)[4]) + 1;
    if (next > 99) next = 1;
    std::vector<int> seen;
    int printed = 0;
    for (int round = 0; round < 120; ++round) {
        int burst = round % 4; // 0..3 tickets between two polls
        for (int i = 0; i < burst; ++i) {
            ASSERT_EQ(p.press(1 + printed % 15), Printer::Press::printed);
            ++printed;
        }
        for (;;) {
            std::string a = ask(p, "GB " + std::to_string(next));
            if (!carries_ticket(a)) break;
            seen.push_back(std::stoi(fields(a)[0]));
            next = next % 99 + 1;
        }
    }
    ASSERT_GT(printed, 99);
    ASSERT_EQ(static_cast<int>(seen.size()), printed);
    for (int i = 0; i < printed; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], 1 + i % 15);
}

TEST(EventBuffer, RestartEmptiesTheBufferAndReportsRecordZero) {
    Printer p("P1", printer_config("85"));
    p.press(1);
    p.press(2);
    p.restart(0, 0);
    std::string a = ask(p, "GB 3");
    EXPECT_EQ(fields(a)[4], "0");
    EXPECT_FALSE(carries_ticket(a));
    EXPECT_EQ(p.next_record(), 1);
    p.press(4);
    EXPECT_TRUE(carries_ticket(ask(p, "GB 1")));
}

TEST(EventBuffer, SequenceNumbersCountPerTicketAndPerPrinter) {
    Printer p("P1", printer_config("85"));
    p.press(2);
    p.press(5);
    p.press(2);
    EXPECT_EQ(ask(p, "GB 3"), "Y 2 1 2.00 3 3 2 3");
}

TEST(StatusQuery, BitSixMeansOutOfTickets) {
    Printer p("P1", printer_config("85", 20));
    EXPECT_EQ(ask(p, "GS "), "Y x00");
    p.press(1, 18); // two left: a tenth of the roll or less is "low"
    EXPECT_EQ(ask(p, "GS "), "Y x06");
    p.status_polled(p.status());
    EXPECT_EQ(ask(p, "GS "), "Y x02");
    p.run_out();
    EXPECT_EQ(ask(p, "GS "), "Y x40");
    EXPECT_EQ(p.press(1), Printer::Press::out_of_tickets);
    p.load_roll(0);
    EXPECT_EQ(p.remaining(), 20);
    EXPECT_EQ(ask(p, "GS "), "Y x20");
}

TEST(StatusBits, LatchedBitsLastUntilAPollReportsThem) {
    Printer p("P1", printer_config("85"));
    EXPECT_EQ(p.status(), 0x00);
    p.press(1);
    EXPECT_EQ(p.status(), PRN_TICKET);
    p.status_polled(p.status());
    EXPECT_EQ(p.status(), 0x00);
    // A bit latched after the poll read the status stays for the next poll.
    p.press(1);
    p.status_polled(0x00);
    EXPECT_EQ(p.status(), PRN_TICKET);
    p.status_polled(p.status());
    p.set_jam(true);
    EXPECT_EQ(p.press(1), Printer::Press::jammed);
    EXPECT_EQ(p.status(), PRN_JAM);
    p.set_jam(false);
    p.force_bits(0x08, 0x00);
    EXPECT_EQ(p.status(), 0x08);
    p.force_bits(0x00, 0x08);
    EXPECT_EQ(p.status(), 0x00);
}

struct PrintCase {
    const char* name;
    const char* firmware;
    const char* command;
    const char* answer;
    int records;    // records written
    int last_count; // count field of the last record
};

class PrintTable : public ::testing::TestWithParam<PrintCase> {};

TEST_P(PrintTable, PrintCommand) {
    const PrintCase& c = GetParam();
    Printer p("P1", printer_config(c.firmware));
    EXPECT_EQ(ask(p, c.command), c.answer);
    EXPECT_EQ(p.last_record(), c.records);
    if (c.records > 0) {
        EXPECT_EQ(p.record(c.records).count, c.last_count);
    }
}

INSTANTIATE_TEST_SUITE_P(Tickets, PrintTable,
                         ::testing::Values(PrintCase{"one", "85", "PB 3 1", "Y", 1, 1},
                                           PrintCase{"three", "85", "PB 3 3", "Y", 3, 1},
                                           PrintCase{"ticket_zero", "85", "PB 0 1", "N", 0, 0},
                                           PrintCase{"ticket_sixteen", "85", "PB 16 1", "N", 0, 0},
                                           PrintCase{"count_zero", "85", "PB 3 0", "N", 0, 0},
                                           PrintCase{"negative_mk3", "85", "PB 3 -2", "Y", 1, 2},
                                           PrintCase{"negative_mk4", "mk4", "PB 3 -4", "Y", 1, 4},
                                           PrintCase{"negative_mk2", "78", "PB 3 -2", "N", 0, 0},
                                           PrintCase{"no_count", "85", "PB 3", "N", 0, 0},
                                           PrintCase{"trailing_words", "85", "PB 3 1 x", "N", 0, 0}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(PrinterCommands, PrintingStopsWhenTheRollRunsOut) {
    Printer p("P1", printer_config("85", 2));
    EXPECT_EQ(ask(p, "PB 1 5"), "Y");
    EXPECT_EQ(p.last_record(), 2);
    EXPECT_EQ(ask(p, "PB 1 1"), "N");
    EXPECT_EQ(p.status() & PRN_OUT_OF_TICKETS, PRN_OUT_OF_TICKETS);
}

TEST(PrinterCommands, PricesAreReadAndWrittenZeroBased) {
    Printer p("P1", printer_config("85"));
    EXPECT_EQ(ask(p, "GP 0"), "Y 1.00");
    EXPECT_EQ(ask(p, "SP 0 2.5"), "Y");
    EXPECT_EQ(ask(p, "GP 0"), "Y 2.50");
    EXPECT_EQ(ask(p, "SP 14 -0.75"), "Y");
    EXPECT_EQ(ask(p, "GP 14"), "Y -0.75");
    EXPECT_EQ(ask(p, "SP 0 abc"), "N");
    EXPECT_EQ(ask(p, "SP 0 1.234"), "N");
    EXPECT_EQ(ask(p, "SP 15 1.00"), "N");
    EXPECT_EQ(ask(p, "GP -1"), "N");
    // The price goes into the value of the tickets printed afterwards.
    p.press(1, 1, 2);
    EXPECT_EQ(p.record(1).value, 500);
}

TEST(PrinterCommands, TicketLinesTakeTheLengthFormForLeadingDigits) {
    Printer p("P1", printer_config("85"));
    EXPECT_EQ(ask(p, "GT 0 0"), "Y TICKET 1");
    EXPECT_EQ(ask(p, "ST 0 1 Hello world"), "Y");
    EXPECT_EQ(ask(p, "GT 0 1"), "Y Hello world");
    // The monitor sends the length before a text that starts with a digit.
    EXPECT_EQ(ask(p, "ST 2 3 10 12 apples!"), "Y");
    EXPECT_EQ(p.line(3, 4), "12 apples!");
    // A leading blank of the text is kept; clearing writes a single blank.
    EXPECT_EQ(ask(p, "ST 0 2  indented"), "Y");
    EXPECT_EQ(p.line(1, 3), " indented");
    EXPECT_EQ(ask(p, "ST 0 1  "), "Y");
    EXPECT_EQ(ask(p, "GT 0 1"), "Y  ");
    // The monitor's probe: "1" with length 1 reads back without a blank of the printer's own.
    EXPECT_EQ(ask(p, "ST 0 5 1 1"), "Y");
    EXPECT_EQ(ask(p, "GT 0 5").substr(2), "1");
    EXPECT_EQ(ask(p, "ST 15 0 x"), "N");
    EXPECT_EQ(ask(p, "ST 0 56 x"), "N");
    EXPECT_EQ(ask(p, "GT 0 56"), "N");
    ask(p, "ST 0 6 " + std::string(100, 'x'));
    EXPECT_EQ(p.line(1, 7).size(), static_cast<std::size_t>(Printer::LINE_CHARS));
}

TEST(PrinterCommands, DisplayTextIsAskedForWithBitZero) {
    Printer p("P1", printer_config("85"));
    EXPECT_EQ(ask(p, "GD"), "N");
    ASSERT_TRUE(p.queue_display_text(3, "2.50"));
    EXPECT_EQ(p.status() & PRN_DISPLAY_TEXT, PRN_DISPLAY_TEXT);
    EXPECT_EQ(ask(p, "GD"), "3 2.50");
    EXPECT_EQ(p.status() & PRN_DISPLAY_TEXT, 0);
    EXPECT_FALSE(p.queue_display_text(8, "x"));
}

// Reports print the printer's clock: a fixed local time keeps two reports of one period equal.
class PrinterClock : public ::testing::Test {
  protected:
    static platform::LocalTime fixed() { return platform::LocalTime{2026, 12, 11, 9, 30, 0, 0, 5}; }
    void SetUp() override { platform::set_local_time_source(fixed); }
    void TearDown() override { platform::set_local_time_source(nullptr); }
};

// The server reads an "85." report in pieces of at most 512 bytes behind a "Y size" answer.
std::string read_in_pieces(Printer& p, const std::string& first) {
    std::string head = ask(p, first);
    if (head.rfind("Y ", 0) != 0) return head;
    int total = std::stoi(head.substr(2));
    std::string report;
    for (int offset = 0; total > 0;) {
        int piece = std::min(total, 512);
        report += ask(p, "RBUFF " + std::to_string(offset) + " " + std::to_string(piece));
        offset += piece;
        total -= piece;
    }
    return report;
}

TEST_F(PrinterClock, XReportFormsAgree) {
    Printer p("P1", printer_config("78"));
    p.press(2, 3);
    std::string whole = ask(p, "SX 15");
    ASSERT_GE(whole.size(), 40u);
    EXPECT_EQ(ask(p, "S1X 15") + ask(p, "S2X 15"), whole);
    EXPECT_EQ(read_in_pieces(p, "PRODX 15"), whole);
    EXPECT_EQ(ask(p, "SX"), whole);
    std::string one = ask(p, "SX 1");
    EXPECT_NE(one.find("X REPORT TICKET 2"), std::string::npos);
    EXPECT_NE(one.find("     2       3         6.00\n"), std::string::npos) << one;
    EXPECT_NE(whole.find("TOTAL        3         6.00\n"), std::string::npos) << whole;
    EXPECT_EQ(ask(p, "SX x").find("Error"), 0u);
}

TEST_F(PrinterClock, ReportsLongerThanOnePieceComeBackWhole) {
    Printer p("P1", printer_config("85"));
    std::string whole = ask(p, "SX 15");
    ASSERT_GT(whole.size(), 512u);
    EXPECT_EQ(read_in_pieces(p, "PRODX 15"), whole);
    EXPECT_EQ(ask(p, "RBUFF 0 513"), "N");
    EXPECT_EQ(ask(p, "RBUFF 100000 10"), "");
}

TEST_F(PrinterClock, ZReportStartsANewPeriodAndIsKept) {
    Printer p("P1", printer_config("85"));
    EXPECT_EQ(ask(p, "SZ 0 ").find("Error"), 0u);
    p.press(1, 2);
    std::string z1 = ask(p, "SZ ");
    EXPECT_EQ(z1.rfind("Z REPORT 0001\n", 0), 0u) << z1;
    EXPECT_NE(z1.find("TOTAL        2         2.00\n"), std::string::npos) << z1;
    EXPECT_NE(ask(p, "SX").find("TOTAL        0         0.00\n"), std::string::npos);
    EXPECT_EQ(ask(p, "SZ 0 "), z1);
    EXPECT_EQ(ask(p, "SZ 1 "), z1);
    EXPECT_EQ(ask(p, "SZ 7 ").find("Error"), 0u);
    // The server's "85." form goes through the buffer; bare "PRODZ" answers the text itself.
    std::string z2 = read_in_pieces(p, "PRODZ ");
    EXPECT_EQ(z2.rfind("Z REPORT 0002\n", 0), 0u);
    EXPECT_EQ(read_in_pieces(p, "PRODZ 1 "), z1);
    std::string z3 = ask(p, "PRODZ");
    EXPECT_EQ(z3.rfind("Z REPORT 0003\n", 0), 0u);
}

TEST_F(PrinterClock, DateAndTimeAreCheckedAndShownOnReports) {
    Printer p("P1", printer_config("85"));
    EXPECT_NE(ask(p, "SX").find("\n2026/12/11 09:30:00\n"), std::string::npos);
    EXPECT_EQ(ask(p, "DT 2024/02/29 13:45:07"), "Y");
    EXPECT_NE(ask(p, "SX").find("\n2024/02/29 13:45:07\n"), std::string::npos);
    EXPECT_EQ(ask(p, "DT 2023/02/29 13:45:00"), "N");
    EXPECT_EQ(ask(p, "DT 2024/13/01 00:00:00"), "N");
    EXPECT_EQ(ask(p, "DT 2024/01/01 24:00:00"), "N");
    EXPECT_EQ(ask(p, "DT 2024/01/01"), "N");
    EXPECT_EQ(ask(p, "DT 2024/01/01 10:00:00 x"), "N");
}

struct MoneyCase {
    const char* text;
    bool valid;
    long cents;
};

class MoneyTable : public ::testing::TestWithParam<MoneyCase> {};

TEST_P(MoneyTable, Parses) {
    long cents = -12345;
    EXPECT_EQ(parse_money(GetParam().text, cents), GetParam().valid) << GetParam().text;
    if (GetParam().valid) {
        EXPECT_EQ(cents, GetParam().cents);
    }
}

INSTANTIATE_TEST_SUITE_P(Prices, MoneyTable,
                         ::testing::Values(MoneyCase{"12", true, 1200}, MoneyCase{"12.5", true, 1250},
                                           MoneyCase{"12.50", true, 1250}, MoneyCase{"3,25", true, 325},
                                           MoneyCase{"-0.75", true, -75}, MoneyCase{".5", true, 50},
                                           MoneyCase{"", false, 0}, MoneyCase{".", false, 0},
                                           MoneyCase{"1.234", false, 0}, MoneyCase{"1e3", false, 0},
                                           MoneyCase{"1234567890", false, 0}));

} // namespace
} // namespace nvsim
