// The host command language on a slot with the capturing transport: one answer per line, checked
// exactly, and what each command did.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/run.h"
#include "server/core/version.h"
#include "server/devices/clock.h"
#include "server/devices/display.h"
#include "server/hosts/hostslot.h"
#include "server/hosts/tests/host_fixture.h"

namespace host_test {
namespace {

using ::testing::HasSubstr;

const std::string VERSION = "Orvik System Server Ver 76.01j\n" __DATE__ " / NV";

class Session : public HostTest {
  protected:
    void SetUp() override {
        open("[HOST]\nMAX = 1\nEVENTS = 1\n\n[DISPLAY]\nMAX = 3\n\n"
             "[PRINTER]\nMAX = 2\n\n[TEST]\nNAME = abc ; a comment\nEMPTY =\n\n");
        ASSERT_EQ(error_pending(), 0);
        capture_slot(0);
        display_open();
        // The range the printer module declares when it reads its settings.
        ini_get_number("PRINTER", "MAX", 1, 0, 99, INI_FILE);
        ASSERT_EQ(error_pending(), 0);
    }
    void TearDown() override {
        display_close();
        HostTest::TearDown();
    }
};

struct LineCase {
    const char* line;
    std::string answer;
};

TEST_F(Session, KeywordsAndAbbreviations) {
    const std::vector<LineCase> cases = {
        {"GV", VERSION},
        {"G", "Syntax Error"}, // an abbreviation at the end of the line matches nothing
        {"G ", VERSION},       // followed by a blank it abbreviates "GV"
        {"GVX", "Syntax Error"},
        {"GV extra words", VERSION},
        {"   GV", VERSION},
        {"gv", "Syntax Error"},   // case counts
        {"GV\t", "Syntax Error"}, // only the blank separates words
        {"CARD 1", "Syntax Error"},
        {"CARD", "Syntax Error"},
        {"C 1", "Syntax Error"}, // "CARD", reserved
        {"XYZ 1 2", "Syntax Error"},
        {"DISPX 1 A", "Syntax Error"},
        {"E ON 3", "Y"}, // "EVENT"
        {"EV OFF 3", "Y"},
        {"EX DISPTEST 12", "Y"},   // "EXE", not "EVENT"
        {"D 1 abbreviated", "Y"},  // "DISP"
        {"S TEST KEY1 one", "Y"},  // "SETS"
        {"SE TEST KEY2 two", "Y"}, // "SETS"
        {"SET TEST KEY3 three", "Y"},
        {"SETR TEST KEY4 four", "Y"},
        {"SEG TEST KEY1 10", "one 0 0"}, // "SEGR"
        {"SETG TEST KEY2 10", "two"},
        {"F 9 GV", "N Error"}, // "FPRN" (no printer is open)
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
        error_discard();
    }
    EXPECT_EQ(host_session_display_test(), 12);
    EXPECT_EQ(display_text(0), std::string("abbreviated"));
}

TEST_F(Session, EmptyLinesAndLinesWithoutTheServingFlagAreNotAnswered) {
    for (const char* line : {"", " ", "     "}) {
        EXPECT_TRUE(serve(line).empty()) << "'" << line << "'";
        EXPECT_EQ(host_state(0)->status & HOST_STATUS_SERVING, HOST_STATUS_SERVING) << "the flag stays set";
    }
    ask("GV");
    EXPECT_EQ(host_state(0)->status & HOST_STATUS_SERVING, 0u) << "cleared once answered";
    EXPECT_TRUE(serve("GV", 0, false).empty()) << "no complete command on the slot";
}

TEST_F(Session, DisplayNumbers) {
    const std::vector<LineCase> cases = {
        {"DISP 3 HELLO", "Y"},
        {"DISP 1 two  blanks kept ", "Y"},
        {"DISP 2 ", "Y"},
        {"DISP 0 HELLO", "Syntax Error: Display out of range"},
        {"DISP 100 HELLO", "Syntax Error: Display out of range"},
        {"DISP 3", "Syntax Error: Display out of range"}, // no blank after the number
        {"DISP 3x HELLO", "Syntax Error: Display out of range"},
        {"DISP -1 HELLO", "Syntax Error: Display out of range"},
        {"DISP", "Syntax Error: Display out of range"},
        {"DISP 99999999999999999999 X", "Syntax Error: Display out of range"},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
        EXPECT_EQ(error_pending(), 0) << c.line;
    }
    EXPECT_EQ(display_text(2), std::string("HELLO"));
    EXPECT_EQ(display_text(0), std::string("two  blanks kept "));
    EXPECT_EQ(display_text(1), std::string(""));

    std::string long_text(150, 'x');
    EXPECT_EQ(ask("DISP 2 " + long_text), "Y");
    EXPECT_EQ(display_text(1), std::string(99, 'x')) << "a display keeps 99 characters";
}

TEST_F(Session, DisplayOutsideTheTableAnswersNErrorAndLeavesTheErrorForTheLog) {
    EXPECT_EQ(ask("DISP 9 HELLO"), "N Error");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 10);
}

TEST_F(Session, PrinterNumbers) {
    const std::vector<LineCase> cases = {
        {"FPRN 0 GV", "Syntax Error: Printer out of range"},
        {"FPRN 100 GV", "Syntax Error: Printer out of range"},
        {"FPRN 1", "Syntax Error: Printer out of range"},
        {"FPRN 1GV", "Syntax Error: Printer out of range"},
        {"FPRN", "Syntax Error: Printer out of range"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
    EXPECT_EQ(error_pending(), 0);
    // In range but no such printer: the printer module's error.
    EXPECT_EQ(ask("FPRN 1 GV"), "N Error");
    auto errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].number, 10);
}

TEST_F(Session, EventOnAndOff) {
    const std::vector<LineCase> cases = {
        {"EVENT ON 8", "N"},
        {"EVENT ON 0", "N"},
        {"EVENT ON x", "N"},
        {"EVENT ON 7", "Y"},
        {"EVENT OFF 8", "N"},
        {"EVENT OFF 1", "Y"},
        {"EVENT ON", "Syntax Error"},
        {"EVENT", "Syntax Error"},
        {"EVENT on 2", "Syntax Error"},
        {"EVENT SENDX", "Syntax Error"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
    EXPECT_TRUE(host_event_enabled(7));
    EXPECT_FALSE(host_event_enabled(1));
    EXPECT_FALSE(host_event_enabled(8));
}

TEST_F(Session, EventSendQueuesWhateverTheEnableTableSays) {
    ASSERT_FALSE(host_event_enabled(2));
    const std::vector<LineCase> cases = {
        {"EVENT SEND 2 5 paper low", "Y"}, {"EVENT SEND 0 1", "Y"}, // event 0 is allowed; no blank after the
                                                                    // unit: no text
        {"EVENT SEND 7 3x text", "Y"},                              // the text starts only after a blank
        {"EVENT SEND  6   12  two", "Y"},                           // blanks before the numbers are skipped
        {"EVENT SEND 8 1 x", "N"},         {"EVENT SEND 2", "N"},   {"EVENT SEND x 1", "N"},
        {"EVENT SEND -1 1 x", "N"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
    EXPECT_EQ(host_event_queued(), 4);
    host_event_deliver();
    std::vector<Delivered> expected = {
        {0, 2, 4, "paper low"},
        {0, 0, 0, ""},
        {0, 7, 2, ""},
        {0, 6, 11, " two"},
    };
    EXPECT_EQ(take_delivered(), expected);
}

TEST_F(Session, EventSendTextIsCutTo499Characters) {
    EXPECT_EQ(ask("EVENT SEND 1 1 " + std::string(600, 'a')), "Y");
    host_event_deliver();
    auto got = take_delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, std::string(499, 'a'));
}

TEST_F(Session, EventSendOnAFullQueueAnswersYAndLeaves291) {
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(ask("EVENT SEND 3 " + std::to_string(i) + " t"), "Y");
    EXPECT_EQ(ask("EVENT SEND 3 6 t"), "Y");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 291);
    EXPECT_THAT(errors[0].text, HasSubstr("\"Host event failed, queue full. Event='3', Unit='6'.\""));
    EXPECT_EQ(host_event_queued(), 5);
}

TEST_F(Session, ExeForms) {
    const std::vector<LineCase> cases = {
        {"EXE SET_TIME 10:22", "Y"},
        {"EXE SET_DATE 16/2 2004", "Y"},
        {"EXE DISPTEST 5", "Y"},
        {"EXE IDTEST 6", "Y"},
        {"EXE quit", "Syntax Error"},
        {"EXE QUIT ", "Syntax Error"}, // QUIT must be the whole argument
        {"EXE", "Syntax Error"},
        {"EXE SET_DATE", "Syntax Error"},
        {"EXE SET_TIMEX 1", "Syntax Error"},
        {"EXE SHUTDOWN", "Syntax Error"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
    EXPECT_EQ(clock_requested_time(), 10 * 1800 + 22 * 30);
    EXPECT_EQ(clock_requested_date(), 5525) << "16 Feb 2004, counted from 1 Jan 1989 = 1";
    EXPECT_EQ(host_session_display_test(), 5);
    EXPECT_EQ(host_session_id_test(), 6);

    EXPECT_EQ(ask("EXE SET_DATE_NO 1234"), "Y");
    EXPECT_EQ(clock_requested_date(), 1234);
    EXPECT_EQ(ask("EXE SET_TIME_NO 99"), "Y");
    EXPECT_EQ(clock_requested_time(), 99);
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Session, ExeBadTimeAndDateAnswerNWithTheirErrors) {
    EXPECT_EQ(ask("EXE SET_TIME half past ten"), "N");
    EXPECT_EQ(take_errors().at(0).number, 386);
    EXPECT_EQ(ask("EXE SET_DATE 31/13 2004"), "N");
    EXPECT_EQ(take_errors().at(0).number, 387);
}

TEST_F(Session, ExeRequestsReachTheMainLoop) {
    EXPECT_EQ(ask("EXE RESET"), "Y");
    EXPECT_EQ(ask("EXE RESTART"), "Y");
    EXPECT_EQ(ask("EXE QUIT"), "Y");
    ServerRequests r = server_requests();
    EXPECT_TRUE(r.reset);
    EXPECT_TRUE(r.restart);
    EXPECT_TRUE(r.quit);
    // The idle call (no loop attached, empty module table) takes them; the reset goes with a cycle.
    server_idle();
    server_run_cycle();
    error_discard();
    r = server_requests();
    EXPECT_FALSE(r.reset || r.restart || r.quit);
    modules_running = false; // the restart opened the (empty) module table
}

TEST_F(Session, SettingsWriteAndRead) {
    const std::vector<LineCase> cases = {
        {"SETS TEST COLOUR dark blue", "Y"}, // the value may hold blanks
        {"SETS TEST BLANK ", "Y"},           // and may be empty
        {"SETS NEWSECTION KEY 1", "Y"},
        {"SETS PRINTER", "N"}, // fewer than two blanks follow
        {"SETS PRINTER MAX", "N"},
        {"SETR PRINTER MAX 150", "0 - 99"},
        {"SETG PRINTER MAX 10", "2"}, // left as it was
        {"SETR PRINTER MAX 4", "Y"},
        {"SETR TEST FREE 123456", "Y"}, // no range declared
        {"SETR PRINTER", "N"},
        {"SETG TEST COLOUR 100", "dark blue"},
        {"SETG TEST NAME 100", "abc"},
        {"SETG TEST NAME 3", "ab"},
        {"SETG TEST NAME 0", ""},
        {"SETG TEST NAME -4", ""},
        {"SETG TEST NAME 20001", ""},
        {"SETG TEST NAME", "N"},
        {"SETG PRINTER MAX 10", "4"},
        {"SEGR PRINTER MAX 10", "4 0 99"},
        {"SEGR PRINTER MAX 0", "0 0 99"}, // empty value reads "0"
        {"SEGR TEST EMPTY 10", "0 0 0"},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(ask(c.line), c.answer) << c.line;
        EXPECT_EQ(error_pending(), 0) << c.line;
    }
    std::string ini = settings_file();
    EXPECT_THAT(ini, HasSubstr("[PRINTER]\nMAX = 4\n"));
    EXPECT_THAT(ini, HasSubstr("NAME = abc ; a comment\n"));
    EXPECT_THAT(ini, HasSubstr("COLOUR           = dark blue\n"));
    EXPECT_THAT(ini, HasSubstr("BLANK            = \n"));
    EXPECT_THAT(ini, HasSubstr("[NEWSECTION]\n\nKEY              = 1\n"));
    EXPECT_THAT(ini, HasSubstr("FREE             = 123456\n"));
}

TEST_F(Session, SettingsReadOfAMissingKeyCostsNoError) {
    EXPECT_EQ(ask("SETG TEST MISSING 10"), "");
    EXPECT_EQ(ask("SETG NOSUCHSECTION KEY 10"), "");
    EXPECT_EQ(ask("SEGR TEST MISSING 10"), "0 0 0");
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(error_recorded_count(), 0);
}

TEST_F(Session, SegrWithoutADeclaredRangeAppendsZeroZero) {
    EXPECT_EQ(ask("SEGR TEST NAME 10"), "abc 0 0");
}

// Writes that would break the file's lines or sections, or end the server, are refused with "N"
// and leave the file as it was.
TEST_F(Session, SettingsWritesThatWouldCorruptTheFileAreRefused) {
    const std::string before = settings_file();
    const std::string long_app(90, 'A');
    const std::vector<std::string> lines = {
        "SETS TEST KEY a\nb",
        "SETS TEST KEY a\rb",
        "SETS TE\nST KEY v",
        "SETS TEST KE\nY v",
        "SETS TE]ST KEY v",
        "SETS TEST [OTHER] v",
        "SETS TEST A=B v",
        "SETS TEST ;KEY v",
        "SETS TEST  v", // empty key
        "SETS  KEY v",  // empty section
        "SETS " + long_app + " KEY v",
        "SETR TEST KEY a\nb",
        "SETR TE]ST KEY 1",
        "SETR " + long_app + " KEY 1",
        "SETG " + long_app + " KEY 10",
        "SEGR " + long_app + " KEY 10",
        "SETG TE]ST KEY 10",
    };
    for (const std::string& line : lines) {
        EXPECT_EQ(ask(line), "N") << line;
        EXPECT_EQ(error_pending(), 0) << line;
    }
    EXPECT_EQ(settings_file(), before);
    // 89 characters are a name the settings file takes.
    EXPECT_EQ(ask("SETS " + std::string(89, 'B') + " KEY v"), "Y");
}

TEST_F(Session, SettingsWriteThatFailsAnswersN) {
    EXPECT_EQ(ask("SETS TEST KEY_NAME_OF_17_CHARS v"), "N");
    EXPECT_EQ(take_errors().at(0).number, 313);
}

TEST_F(Session, PendingErrorIsSetAsideAndComesBackUnlessTheCommandRaisedItsOwn) {
    error_report("_SOURCE\\test_a", 1, 50, "earlier");
    EXPECT_EQ(ask("GV"), VERSION) << "served although an error was pending";
    EXPECT_EQ(error_pending(), 50);
    EXPECT_EQ(ask("SETG TEST MISSING 10"), "");
    EXPECT_EQ(error_pending(), 50) << "the read's own error is forgotten, the earlier one kept";
    EXPECT_EQ(ask("DISP 9 x"), "N Error");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].number, 50);
    EXPECT_EQ(errors[1].number, 10);
}

} // namespace
} // namespace host_test
