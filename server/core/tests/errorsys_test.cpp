#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/tests/test_support.h"

using test_support::read_file;
using test_support::write_file;

namespace {

const char* const STEP_PROTOCOL = "Open Protocol: ";
const char* const STEP_PRINTER = "Ticket Printer: ";

class ErrorSystem : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::reset_server_state();
        test_support::use_fixed_clock();
    }
    void TearDown() override {
        test_support::reset_server_state();
        test_support::use_system_clock();
    }
    // Opens the error system with the given ERROR section lines.
    void open_with(const std::string& error_section) {
        write_file("ZSYS.INI", "[ERROR]\n" + error_section + "\n");
        error_open();
        ASSERT_EQ(error_pending(), 0) << error_recorded_text(0);
        ini_close();
    }
    std::string log() { return read_file(dir.path() / "LOG" / "ERROR.LOG"); }
    std::string header() { return "< 2004-02-16 10:22:33.045 76.01j >\r\n"; }

    test_support::ScratchDir dir;
};

TEST_F(ErrorSystem, RecordedTextsHaveTheirFormats) {
    open_with("");
    error_report("_SOURCE\\protocol_b", 66, 113, "Error Io, %s", "Connect Answer");
    EXPECT_EQ(error_pending(), 113);
    errno = ENOENT;
    error_api("_SOURCE\\nt_io_c", 19, 520, "Open Io/COM: port '%d'", 3);
    EXPECT_EQ(error_pending(), 520);
    ASSERT_EQ(error_recorded_count(), 2);
    EXPECT_STREQ(error_recorded_text(0), "<_SOURCE\\protocol_b:66> \"Error Io, Connect Answer\"");
    std::string api = error_recorded_text(1);
    std::string expected_head = std::string("<_SOURCE\\nt_io_c:19> \"API error '") + std::strerror(ENOENT) + "(2)' at ";
    EXPECT_EQ(api, expected_head + "Open Io/COM: port '3'\"");
}

TEST_F(ErrorSystem, GroupIsWrittenByteForByte) {
    open_with("");
    while (error_cycle() != 42)
        error_next_cycle();
    error_set_step(STEP_PROTOCOL, 0);
    error_report("_SOURCE\\protocol_b", 66, 113,
                 "Error Io, Connect Answer, receive time out from target, check cabling or target is busy");
    error_set_step(STEP_PRINTER, 3);
    error_report("_SOURCE\\printer_a", 10, 200, "first");
    error_report("_SOURCE\\printer_a", 11, 200, "second");
    error_flush();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(log(), header() +
                         "Open Protocol: \r\n"
                         "   113:0000000001(0042) <_SOURCE\\protocol_b:66> \"Error Io, Connect Answer, receive time out "
                         "from target, check cabling or target is busy\"\r\n"
                         "Ticket Printer:   3\r\n"
                         "   200:0000000002(0042) <_SOURCE\\printer_a:10> \"first\"\r\n"
                         "   200:0000000002(0042) <_SOURCE\\printer_a:11> \"second\"\r\n"
                         "-----\r\n");
}

TEST_F(ErrorSystem, MessageIsWrittenAtOnceAndLeavesPendingAsItWas) {
    open_with("");
    error_set_step("", 0);
    error_message("_source\\run", 128, 271, "Log on");
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(log(), header() + "\r\n   271:0000000001(" + std::string(4 - std::to_string(error_cycle()).size(), '0') +
                         std::to_string(error_cycle()) + ") <_source\\run:128> Message: Log on\r\n-----\r\n");

    error_report("_SOURCE\\host_a", 1, 300, "pending");
    error_message("_source\\run", 148, 272, "Log off");
    EXPECT_EQ(error_pending(), 300);
    EXPECT_EQ(error_recorded_count(), 1);
}

TEST_F(ErrorSystem, OffErrorStopsTheStepButWritesOnlyHeaderAndTrailer) {
    open_with("OFF = 113,271");
    error_report("_SOURCE\\protocol_b", 66, 113, "x");
    EXPECT_EQ(error_pending(), 113);
    EXPECT_EQ(error_count(113), 1);
    EXPECT_EQ(error_recorded_count(), 0);
    error_flush();
    EXPECT_EQ(log(), header() + "-----\r\n");

    // A switched-off message writes nothing and leaves nothing pending.
    std::filesystem::remove(dir.path() / "LOG" / "ERROR.LOG");
    error_message("_source\\run", 128, 271, "Log on");
    EXPECT_EQ(error_pending(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "LOG" / "ERROR.LOG"));
}

TEST_F(ErrorSystem, BunchSuppressesTheFirstOccurrences) {
    open_with("BUNCH = 1-530=0,50=3");
    int written = 0;
    for (int i = 0; i < 5; ++i) {
        std::filesystem::remove(dir.path() / "LOG" / "ERROR.LOG");
        error_report("_SOURCE\\x_a", 1, 50, "bunch");
        error_flush();
        if (log().find("bunch") != std::string::npos)
            ++written;
        EXPECT_EQ(log().find("bunch") != std::string::npos, i >= 3) << "occurrence " << i + 1;
    }
    EXPECT_EQ(written, 2);
}

TEST_F(ErrorSystem, SequenceLogsOnlyRepeatsWithinTheWindow) {
    open_with("SEQUENCE = 60=5");
    // The window is measured from the last cycle seen, which starts at 0.
    while (error_cycle() != 0)
        error_next_cycle();
    struct Case {
        int cycles_since_previous;
        bool written;
    } cases[] = {{0, true}, {4, true}, {5, false}, {1, true}, {9, false}};
    for (const auto& c : cases) {
        for (int i = 0; i < c.cycles_since_previous; ++i)
            error_next_cycle();
        std::filesystem::remove(dir.path() / "LOG" / "ERROR.LOG");
        error_report("_SOURCE\\x_a", 1, 60, "seq");
        error_flush();
        EXPECT_EQ(log().find("seq") != std::string::npos, c.written) << "after " << c.cycles_since_previous;
    }
}

TEST_F(ErrorSystem, OneFilteredEntryKeepsTheWholeGroupOut) {
    open_with("BUNCH = 61=1");
    error_report("_SOURCE\\x_a", 1, 62, "passes");
    error_report("_SOURCE\\x_a", 2, 61, "filtered");
    error_flush();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "LOG" / "ERROR.LOG"));
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(ErrorSystem, EleventhErrorIsCountedButItsTextIsLost) {
    open_with("");
    for (int i = 0; i < ERROR_RECORDED_MAX; ++i)
        EXPECT_EQ(error_report("_SOURCE\\x_a", i, 70, "e%d", i), 0);
    EXPECT_EQ(error_report("_SOURCE\\x_a", 99, 71, "lost"), 1);
    EXPECT_EQ(error_pending(), 71);
    EXPECT_EQ(error_count(71), 1);
    EXPECT_EQ(error_recorded_count(), ERROR_RECORDED_MAX);
}

TEST_F(ErrorSystem, DropLastMakesThePreviousEntryPending) {
    open_with("");
    error_report("_SOURCE\\x_a", 1, 80, "a");
    error_report("_SOURCE\\x_a", 2, 81, "b");
    error_drop_last();
    EXPECT_EQ(error_pending(), 80);
    error_drop_last();
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(ErrorSystem, CycleCounterWrapsAfter9999) {
    while (error_cycle() != 9999)
        error_next_cycle();
    error_next_cycle();
    EXPECT_EQ(error_cycle(), 0);
}

TEST_F(ErrorSystem, LongTextsAreCutTo399Characters) {
    open_with("");
    std::string long_value(600, 'x');
    error_report("_SOURCE\\x_a", 1, 90, "%s", long_value.c_str());
    EXPECT_EQ(std::strlen(error_recorded_text(0)), 399u);
}

TEST_F(ErrorSystem, LogAboveFileMaxIsRotatedBeforeTheNextGroup) {
    open_with("FILE_MAX = 500");
    std::string big(600, 'y');
    write_file(dir.path() / "LOG" / "ERROR.LOG", big);
    error_report("_SOURCE\\x_a", 1, 95, "after rotation");
    error_flush();
    EXPECT_EQ(read_file(dir.path() / "LOG" / "ERROR.OLD"), big);
    std::string now = log();
    EXPECT_EQ(now.rfind(header(), 0), 0u);
    EXPECT_NE(now.find("after rotation"), std::string::npos);
    EXPECT_EQ(now.find('y'), std::string::npos);
}

struct BadSetting {
    const char* line;
    int number;
};

void PrintTo(const BadSetting& s, std::ostream* os) { *os << s.line; }

class ErrorSettings : public ErrorSystem, public ::testing::WithParamInterface<BadSetting> {};

TEST_P(ErrorSettings, OutOfBoundsItemsStopTheOpening) {
    write_file("ZSYS.INI", std::string("[ERROR]\n") + GetParam().line + "\n");
    error_open();
    EXPECT_EQ(error_pending(), GetParam().number);
    // Raised while the error system itself works: counted and pending, but no text.
    EXPECT_EQ(error_recorded_count(), 0);
    error_flush();
    EXPECT_EQ(log(), header() + "-----\r\n");
}

INSTANTIATE_TEST_SUITE_P(Items, ErrorSettings,
                         ::testing::Values(BadSetting{"BUNCH = 0-3=1", 138}, BadSetting{"BUNCH = 5-531=1", 138},
                                           BadSetting{"BUNCH = 9-3=1", 138}, BadSetting{"SEQUENCE = 531=2", 234},
                                           BadSetting{"OFF = 600", 137}, BadSetting{"FILE_MAX = 10", 112}));

} // namespace
