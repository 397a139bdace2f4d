#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/event_loop.h"
#include "platform/window_endpoint.h"
#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/devices/display.h"
#include "server/devices/printer.h"
#include "server/devices/tests/device_fixture.h"

namespace {

using device_test::DeviceLineTest;
using device_test::display_line;
using device_test::Event;
using device_test::printer_line;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string status_command(const char* printer, int status) {
    char text[64];
    std::snprintf(text, sizeof text, "STATUS %s +%02X -%02X", printer, status, ~status & 0x7F);
    return text;
}

// ---- SETTINGS: ranges of printers and their profile sections ----

struct Profile {
    int unit;
    bool unplug_error;
    bool operator==(const Profile&) const = default;
};

struct SettingsCase {
    const char* name;
    const char* printer_section; // the [PRINTER] keys
    const char* profiles;        // the PRINTER_SETTING_n sections
    int count;                  // printers after the opening
    std::vector<Profile> expected; // profiles of those that have one
    int error;                  // pending after the opening, 0 for none
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

class PrinterSettingsTest : public DeviceLineTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(PrinterSettingsTest, ProfilesFollowTheItemsOfSettings) {
    const SettingsCase& c = GetParam();
    start(std::string("[PRINTER]\n") + c.printer_section + "\n" + c.profiles + "\n[DISPLAY]\nMAX = 0\n\n", {});
    EXPECT_EQ(error_pending(), c.error);
    EXPECT_EQ(printer_count(), c.count);
    std::vector<Profile> profiles;
    for (int i = 0; i < printer_count(); ++i) {
        std::int32_t unit = -1;
        bool unplug = false;
        if (printer_profile_of(i, &unit, &unplug))
            profiles.push_back(Profile{unit, unplug});
    }
    EXPECT_THAT(profiles, ElementsAreArray(c.expected));
}

const char* const TWO_PROFILES = "[PRINTER_SETTING_1]\nUNIT = 5\n\n[PRINTER_SETTING_2]\nUNIT = 7\nUNPLUGG_ERROR = 1\n\n";

INSTANTIATE_TEST_SUITE_P(
    Settings, PrinterSettingsTest,
    ::testing::Values(
        SettingsCase{"two_items_two_profiles", "MAX = 4\nSETTINGS = 1-2=1,3-4=2\n", TWO_PROFILES, 4,
                     {{5, false}, {5, false}, {7, true}, {7, true}}, 0},
        SettingsCase{"uncovered_printer_takes_the_first_profile", "MAX = 3\nSETTINGS = 1-2=5\n",
                     "[PRINTER_SETTING_5]\nUNIT = 9\n\n", 3, {{9, false}, {9, false}, {9, false}}, 0},
        SettingsCase{"later_item_wins_for_its_printers", "MAX = 3\nSETTINGS = 1-3=1,2=2\n", TWO_PROFILES, 3,
                     {{5, false}, {7, true}, {5, false}}, 0},
        SettingsCase{"default_gives_every_printer_profile_1", "MAX = 2\n", TWO_PROFILES, 2, {{5, false}, {5, false}}, 0},
        SettingsCase{"from_zero", "MAX = 4\nSETTINGS = 0-2=1\n", TWO_PROFILES, 0, {}, 39},
        SettingsCase{"to_below_from", "MAX = 4\nSETTINGS = 2-1=1\n", TWO_PROFILES, 0, {}, 39},
        SettingsCase{"to_above_max", "MAX = 4\nSETTINGS = 1-5=1\n", TWO_PROFILES, 0, {}, 39},
        SettingsCase{"second_item_bad", "MAX = 4\nSETTINGS = 1-2=1,3-9=2\n", TWO_PROFILES, 0, {}, 39},
        SettingsCase{"item_without_range_or_value", "MAX = 4\nSETTINGS = 3\n", TWO_PROFILES, 0, {}, 12},
        SettingsCase{"empty_settings_leave_no_profile", "MAX = 2\nSETTINGS =\n", "", 2, {}, 40},
        SettingsCase{"max_above_99_is_corrected_and_stops", "MAX = 100\n", "", 0, {}, 111},
        SettingsCase{"max_zero", "MAX = 0\n", "", 0, {}, 0}),
    [](const ::testing::TestParamInfo<SettingsCase>& p) { return std::string(p.param.name); });

class PrinterTest : public DeviceLineTest {
protected:
    std::uint8_t sim_status(int number) {
        std::uint8_t s = 0;
        with_line([&](nvsim::SimLine& l) { s = l.printer(number)->status(); });
        return s;
    }
    long addressed(int number) {
        long n = 0;
        with_line([&](nvsim::SimLine& l) { n = l.printer(number)->stats().addressed; });
        return n;
    }
};

TEST_F(PrinterTest, Error39NamesTheSettingAndLeavesNoPrinters) {
    start("[PRINTER]\nMAX = 4\nSETTINGS = 1-5=1\n\n[DISPLAY]\nMAX = 0\n\n", {});
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 39);
    EXPECT_EQ(errors[0].text, "<_SOURCE\\printer_a:61> \"INI file, read printer SETTINGS, 'from-to=equal' index out "
                              "of bounds in setting ref.\"");
    EXPECT_EQ(printer_count(), 0);
}

TEST_F(PrinterTest, MissingSettingsAreWrittenWithTheirDefaults) {
    start("[PRINTER]\nMAX = 3\n\n[DISPLAY]\nMAX = 0\n\n", {});
    ASSERT_EQ(error_pending(), 0);
    close_all();
    std::string ini = test_support::read_file(dir_.path() / "ZSYS.INI");
    EXPECT_THAT(ini, HasSubstr("[PRINTER]\r\nMAX = 3\r\nID_NO_START      = 89\r\nSETTINGS         = 1-3=1\r\n"));
    EXPECT_THAT(ini, HasSubstr("[PRINTER_SETTING_1]\r\n\r\nUNIT             = 0\r\nUNPLUGG_ERROR    = 0\r\n"));
}

// ---- status polls and events ----

struct StatusCase {
    const char* name;
    int before;
    int after;
    std::vector<int> events;
};
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class PrinterStatusTest : public PrinterTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(PrinterStatusTest, RisingBitsRaiseTheirEventsInTableOrder) {
    const StatusCase& c = GetParam();
    start("[PRINTER]\nMAX = 2\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89), printer_line(90)});
    control(status_command("P2", c.before));
    printer_run();
    ASSERT_EQ(error_pending(), 0);
    take_events();
    control(status_command("P2", c.after));
    printer_run();
    ASSERT_EQ(error_pending(), 0);
    std::vector<Event> expected;
    for (int e : c.events)
        expected.push_back(Event{e, 1, ""});
    EXPECT_THAT(take_events(), ElementsAreArray(expected));
    EXPECT_EQ(printer_last_status(1) & 0x7F, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Status, PrinterStatusTest,
    ::testing::Values(StatusCase{"ticket_paper_out", 0x00, 0x46, {1, 2, 3}},
                      StatusCase{"every_event_bit", 0x00, 0x7E, {1, 2, 3, 4, 5, 6}},
                      StatusCase{"one_more_bit", 0x02, 0x06, {1}}, StatusCase{"restart_bit", 0x00, 0x08, {6}},
                      StatusCase{"new_roll_and_jam", 0x00, 0x30, {4, 5}}, StatusCase{"same_status", 0x46, 0x46, {}},
                      StatusCase{"falling_bits", 0x46, 0x00, {}}, StatusCase{"swap_rises_only_the_new", 0x04, 0x40, {3}}),
    [](const ::testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

TEST_F(PrinterTest, EventsAreRaisedOnceWhileTheStatusStays) {
    start("[PRINTER]\nMAX = 1\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89)});
    control(status_command("P1", 0x46));
    for (int pass = 0; pass < 3; ++pass)
        printer_run();
    EXPECT_THAT(take_events(), ElementsAre(Event{1, 0, ""}, Event{2, 0, ""}, Event{3, 0, ""}));
    EXPECT_EQ(printer_last_status(0), 0xC6); // the status byte comes with bit 7 set; it is never evaluated
}

TEST_F(PrinterTest, PrinterIdsAndUnitsAddressTheRightDevice) {
    start("[PRINTER]\nID_NO_START = 10\nMAX = 2\nSETTINGS = 1=1,2=2\n\n[PRINTER_SETTING_1]\nUNIT = 3\n\n"
          "[PRINTER_SETTING_2]\nUNIT = 4\n\n[DISPLAY]\nMAX = 0\n\n",
          {printer_line(10, 3), printer_line(11, 4), printer_line(11, 3)});
    control(status_command("P2", 0x04));
    control(status_command("P3", 0x02)); // id 11, but not the unit printer 2 is addressed with
    printer_run();
    EXPECT_THAT(take_events(), ElementsAre(Event{1, 1, ""}));
    EXPECT_EQ(addressed(1), 1);
    EXPECT_EQ(addressed(2), 1);
    EXPECT_EQ(addressed(3), 0);
}

TEST_F(PrinterTest, SilentPrinterWithoutUnplugErrorKeepsItsLastStatus) {
    start("[PRINTER]\nMAX = 1\n\n[PRINTER_SETTING_1]\nUNPLUGG_ERROR = 0\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89)});
    control(status_command("P1", 0x02));
    printer_run();
    EXPECT_THAT(take_events(), ElementsAre(Event{2, 0, ""}));

    control("UNPLUG P1");
    control(status_command("P1", 0x06));
    printer_run();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_THAT(take_events(), IsEmpty());
    EXPECT_EQ(printer_last_status(0) & 0x7F, 0x02);

    control("PLUG P1");
    printer_run();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_THAT(take_events(), ElementsAre(Event{1, 0, ""})); // only the bit beyond the kept status
}

TEST_F(PrinterTest, SilentPrinterWithUnplugErrorLeavesAnErrorAndForgetsItsStatus) {
    start("[PRINTER]\nMAX = 1\n\n[PRINTER_SETTING_1]\nUNPLUGG_ERROR = 1\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89)});
    control(status_command("P1", 0x02));
    printer_run();
    EXPECT_THAT(take_events(), ElementsAre(Event{2, 0, ""}));

    control("UNPLUG P1");
    printer_run();
    EXPECT_NE(error_pending(), 0);
    auto errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_THAT(errors.back().text, HasSubstr("no reply from target"));
    EXPECT_EQ(printer_last_status(0), 0);
    EXPECT_THAT(take_events(), IsEmpty());

    control("PLUG P1");
    printer_run();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_THAT(take_events(), ElementsAre(Event{2, 0, ""})); // raised again
}

TEST_F(PrinterTest, WaitingWindowMessagePollsTheSamePrinterFirstNextPass) {
    start("[PRINTER]\nMAX = 2\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89), printer_line(90)});
    platform::EventLoop loop;
    loop.post(platform::Message{platform::WM_USER + 9, 0, 0, {}});
    server_attach_loop(&loop);
    printer_run();
    printer_run();
    server_attach_loop(nullptr);
    EXPECT_EQ(addressed(1), 2);
    EXPECT_EQ(addressed(2), 0);
    printer_run();
    EXPECT_EQ(addressed(1), 3);
    EXPECT_EQ(addressed(2), 1);
}

// ---- display requests ----

class PrinterDisplayTest : public PrinterTest {
protected:
    // Printers on ids 2 and 3: printer index i owns display indices 7i .. 7i + 6.
    void start_with_displays(int displays) {
        start("[PRINTER]\nID_NO_START = 2\nMAX = 2\n\n[DISPLAY]\nID_NO_START = 81\nMAX = " +
                  std::to_string(displays) + "\n\n",
              {printer_line(2), printer_line(3), display_line(81 + 9), display_line(81 + 6)});
    }
};

TEST_F(PrinterDisplayTest, RequestLandsInTheDisplaySlotOfThePrintersBlock) {
    start_with_displays(14);
    ASSERT_EQ(error_pending(), 0);
    control("DISPREQ P2 3 HELLO WORLD");
    control("DISPREQ P1 7 SEVEN");
    printer_run();
    ASSERT_EQ(error_pending(), 0);
    EXPECT_STREQ(display_text(9), "HELLO WORLD"); // 3 + 7 × (2 + 1 − 2) − 1
    EXPECT_STREQ(display_text(6), "SEVEN");       // 7 + 7 × (2 + 0 − 2) − 1
    for (int i = 0; i < 14; ++i) {
        if (i != 6 && i != 9) {
            EXPECT_STREQ(display_text(i), "") << i;
        }
    }

    display_run();
    ASSERT_TRUE(wait_for([](nvsim::SimLine& l) { return l.display(1)->frames() > 0 && l.display(2)->frames() > 0; }));
    with_line([](nvsim::SimLine& l) {
        EXPECT_EQ(l.display(1)->text(), "HELLO WORLD"); // id 90
        EXPECT_EQ(l.display(2)->text(), "SEVEN");       // id 87
    });
}

TEST_F(PrinterDisplayTest, AnswerNBringsNoText) {
    start_with_displays(14);
    control(status_command("P1", 0x01)); // asks, but holds no text: "GD" answers "N"
    printer_run();
    EXPECT_EQ(error_pending(), 0);
    for (int i = 0; i < 14; ++i)
        EXPECT_STREQ(display_text(i), "") << i;
}

TEST_F(PrinterDisplayTest, RequestOutsideTheDisplayTableIsError10) {
    start_with_displays(5);
    control("DISPREQ P2 3 LOST");
    printer_run();
    EXPECT_EQ(error_pending(), 10);
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0].text, HasSubstr("\"Error, Reference '9' out of bounds at: 'display_command'\""));
}

// ---- forwarded commands ----

TEST_F(PrinterTest, CommandGoesToThatPrinterAndTheCursorStays) {
    start("[PRINTER]\nMAX = 2\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89), printer_line(90)});
    std::string version;
    with_line([&](nvsim::SimLine& l) { version = l.printer(2)->version(); });
    ASSERT_EQ(printer_current(), 0);
    char answer[3000];
    printer_command_answer(1, "GV", 3, answer, sizeof answer);
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(answer, version);
    EXPECT_EQ(printer_current(), 0);
    // The exchange was closed with EOT DLE EOT: the printer is no longer selected.
    ASSERT_TRUE(wait_for([](nvsim::SimLine& l) { return !l.printer(2)->machine().selected(); }));
}

TEST_F(PrinterTest, CommandToAMissingPrinterIsError10Only) {
    start("[PRINTER]\nMAX = 2\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89), printer_line(90)});
    char answer[100] = "old";
    printer_command_answer(2, "GV", 3, answer, sizeof answer);
    EXPECT_STREQ(answer, "");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 10);
    EXPECT_EQ(errors[0].text,
              "<_SOURCE\\printer_a:95> \"Error, Reference '3' out of bounds at: 'Get Ticket Printer's setting adress'\"");
    EXPECT_EQ(printer_current(), 0);
}

TEST_F(PrinterTest, CommandWithNoPrintersConfiguredIsError10) {
    start("[PRINTER]\nMAX = 0\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89)});
    printer_run();
    EXPECT_EQ(error_pending(), 0);
    char answer[100];
    printer_command_answer(0, "GV", 3, answer, sizeof answer);
    EXPECT_EQ(error_pending(), 10);
}

TEST_F(PrinterTest, FailedCommandIsError47WithTheCommandText) {
    start("[PRINTER]\nMAX = 1\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89)});
    control("UNPLUG P1");
    char answer[100];
    printer_command_answer(0, "QM 1", 5, answer, sizeof answer);
    EXPECT_EQ(error_pending(), 47);
    auto errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().text, "<_SOURCE\\printer_a:180> \"Printer Command Answer failed on command: 'QM 1'\"");
    EXPECT_STREQ(answer, "");
}

TEST_F(PrinterTest, AnswerLongerThanTheBufferStaysInsideIt) {
    start("[PRINTER]\nMAX = 1\n\n[DISPLAY]\nMAX = 0\n\n", {printer_line(89)});
    auto answer = std::make_unique<char[]>(4); // the sanitizer sees any write past it
    printer_command_answer(0, "GV", 3, answer.get(), 4);
    EXPECT_EQ(error_pending(), 47);
    std::vector<int> numbers;
    for (const auto& e : take_errors())
        numbers.push_back(e.number);
    EXPECT_THAT(numbers, ::testing::Contains(119)); // too long for the buffer, and not retried

    EXPECT_LE(std::string(answer.get()).size(), 3u);
}

} // namespace
