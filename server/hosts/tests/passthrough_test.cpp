// "FPRN" against simulated printers on the device line: plain commands, and the "SX"/"SZ" reports
// whose form depends on the printer's version ("78." halves, "85." buffered reports read in
// "RBUFF" pieces).
#include <cstdio>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/devices/display.h"
#include "server/devices/tests/device_fixture.h"
#include "server/hosts/hostslot.h"
#include "server/hosts/tests/host_fixture.h"

namespace host_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A version text of exactly `length` characters that contains "85.".
std::string version_85(std::size_t length) {
    std::string v = "TP 85.06 Z81 ";
    v += std::string(length - v.size(), 'v');
    return v;
}

// The first Z report of a printer, nothing sold, at the fixed clock.
std::string first_z_report(const std::string& version) {
    std::string r = "Z REPORT 0001\nPRINTER 89 UNIT 0\n" + version + "\n2004/02/16 10:22:33\nPERIOD 0001\n" +
                    "TICKET   COUNT        VALUE\n";
    for (int t = 1; t <= 15; ++t) {
        char line[40];
        std::snprintf(line, sizeof line, "%6d       0         0.00\n", t);
        r += line;
    }
    return r + "TOTAL        0         0.00\nEND OF REPORT\n";
}

class PassThrough : public device_test::DeviceLineTest {
  protected:
    void SetUp() override { test_support::use_fixed_clock(); }
    void TearDown() override {
        error_discard();
        host_close();
        DeviceLineTest::TearDown();
        test_support::use_system_clock();
    }
    // The device modules on the simulated line, then the host manager with a capturing slot.
    void start_with(const std::vector<std::string>& devices, int displays = 0) {
        start("[PRINTER]\nMAX = " + std::to_string(devices.size()) +
                  "\n\n[DISPLAY]\nMAX = " + std::to_string(displays) + "\n\n[HOST]\nMAX = 1\n\n",
              devices);
        ASSERT_EQ(error_pending(), 0) << take_errors().at(0).text;
        host_open();
        ASSERT_EQ(error_pending(), 0);
        capture_slot(0);
    }
    long commands(int printer) {
        long n = 0;
        with_line([&](nvsim::SimLine& l) { n = l.printer(printer)->stats().commands; });
        return n;
    }
};

TEST_F(PassThrough, PlainCommandsGoToThePrinterAndBackComesItsAnswer) {
    start_with({device_test::printer_line(89) + " fw=78", device_test::printer_line(90) + " fw=85"});
    EXPECT_EQ(ask("FPRN 1 GV"), "TP 78.14 Z71");
    EXPECT_EQ(ask("FPRN 2 GV"), "TP 85.06 Z81");
    EXPECT_EQ(ask("FPRN 2 SP 3 12.50"), "Y");
    EXPECT_EQ(ask("FPRN 2 GP 3"), "Y 12.50");
    EXPECT_EQ(ask("FPRN 2 NOSUCH"), "N");
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(ask("FPRN 3 GV"), "N Error") << "no third printer";
}

// The X report of ticket 1 as the printer writes it, at the fixed clock, with nothing sold.
const std::string X_REPORT_TICKET_1 = "X REPORT TICKET 1\n"
                                      "PRINTER 89 UNIT 0\n"
                                      "TP 78.14 Z71\n"
                                      "2004/02/16 10:22:33\n"
                                      "PERIOD 0001\n"
                                      "TICKET   COUNT        VALUE\n"
                                      "     1       0         0.00\n"
                                      "TOTAL        0         0.00\n"
                                      "END OF REPORT\n";

TEST_F(PassThrough, SxTo78PrinterSendsBothHalvesAndJoinsThem) {
    start_with({device_test::printer_line(89) + " fw=78"});
    long before = commands(1);
    EXPECT_EQ(ask("FPRN 1 SX 0"), X_REPORT_TICKET_1);
    EXPECT_EQ(commands(1) - before, 3) << "GV, S1X 0, S2X 0";
}

TEST_F(PassThrough, SzTo78PrinterGoesUnchanged) {
    start_with({device_test::printer_line(89) + " fw=78"});
    long before = commands(1);
    EXPECT_THAT(ask("FPRN 1 SZ"), StartsWith("Z REPORT 0001\nPRINTER 89 UNIT 0\nTP 78.14 Z71\n"));
    EXPECT_EQ(commands(1) - before, 2) << "GV, SZ";
    // "SZ 0" answers a copy of the last report itself; "PRODZ 0" would have answered "Y" and a size.
    before = commands(1);
    EXPECT_THAT(ask("FPRN 1 SZ 0"), StartsWith("Z REPORT 0001\n"));
    EXPECT_EQ(commands(1) - before, 2) << "GV, SZ 0";
}

// A Z report of 1200 bytes: 555 bytes around a version text of 645 characters.
TEST_F(PassThrough, SzTo85PrinterReadsTheBufferedReportIn512BytePieces) {
    start_with({device_test::printer_line(89) + " version=" + version_85(645)});
    // Bare "PRODZ": the printer answers the report itself (and keeps it as the last one).
    const std::string report = first_z_report(version_85(645));
    ASSERT_EQ(report.size(), 1200u);
    EXPECT_EQ(ask("FPRN 1 SZ"), report);

    long before = commands(1);
    EXPECT_EQ(ask("FPRN 1 SZ 0"), report) << "PRODZ 0, then RBUFF 0 512, RBUFF 512 512, RBUFF 1024 176";
    EXPECT_EQ(commands(1) - before, 5) << "GV, PRODZ 0 and three pieces";
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(PassThrough, SxTo85PrinterReadsTheBufferedXReport) {
    start_with({device_test::printer_line(89) + " fw=85"});
    long before = commands(1);
    std::string report = ask("FPRN 1 SX 0");
    EXPECT_THAT(report, StartsWith("X REPORT TICKET 1\nPRINTER 89 UNIT 0\nTP 85.06 Z81\n"));
    EXPECT_THAT(report, HasSubstr("\nEND OF REPORT\n"));
    EXPECT_EQ(commands(1) - before, 3) << "GV, PRODX 0, one piece";
}

TEST_F(PassThrough, ReportLongerThanTheAnswerBufferIsCutWithoutAnError) {
    const std::string version = version_85(2645);
    const std::string report = first_z_report(version);
    ASSERT_EQ(report.size(), 3200u);
    start_with({device_test::printer_line(89) + " version=" + version});
    // Bare "PRODZ" takes the report, but its 3200 bytes do not fit the answer.
    EXPECT_EQ(ask("FPRN 1 SZ"), "N Error");
    error_discard();
    long before = commands(1);
    EXPECT_EQ(ask("FPRN 1 SZ 0"), report.substr(0, 2999));
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(commands(1) - before, 2 + 6) << "GV, PRODZ 0, five pieces of 512 and one of 439";
}

TEST_F(PassThrough, OtherFirmwareAnswersWithItsVersion) {
    start_with({device_test::printer_line(89) + " version=TP 90.01 Z99"});
    long before = commands(1);
    EXPECT_EQ(ask("FPRN 1 SZ 0"), "TP 90.01 Z99");
    EXPECT_EQ(ask("FPRN 1 SX"), "TP 90.01 Z99");
    EXPECT_EQ(commands(1) - before, 2) << "only the version questions";
}

TEST_F(PassThrough, RestTooLongForTheCommandBufferIsRefused) {
    start_with({device_test::printer_line(89) + " fw=85"});
    EXPECT_EQ(ask("FPRN 1 SZ " + std::string(94, '1')), "N");
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(PassThrough, SilentPrinterAnswersNErrorAndTheErrorStaysForTheLog) {
    start_with({device_test::printer_line(89) + " fw=78"});
    control("UNPLUG P1");
    EXPECT_EQ(ask("FPRN 1 SX 0"), "N Error");
    EXPECT_NE(error_pending(), 0);
}

TEST_F(PassThrough, ExeQuitAnswersYAfterTheDisplaysWereEmptied) {
    start_with({device_test::printer_line(89)}, 2);
    EXPECT_EQ(ask("DISP 2 HELLO"), "Y");
    EXPECT_EQ(display_text(1), std::string("HELLO"));
    EXPECT_EQ(ask("EXE QUIT"), "Y");
    EXPECT_EQ(display_text(1), std::string(""));
    EXPECT_TRUE(server_requests().quit);
    server_idle(); // takes the request
}

} // namespace
} // namespace host_test
