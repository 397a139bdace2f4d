#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/run.h"
#include "server/devices/cardreader.h"
#include "server/devices/tests/device_fixture.h"

namespace {

using device_test::DeviceLineTest;
using device_test::Event;
using device_test::reader_line;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

int beeps = 0;
void count_beep() { ++beeps; }

// Two readers on the shared id 120 (address byte 0xF7), units 1 and 2.
class CardReaderTest : public DeviceLineTest {
protected:
    void SetUp() override {
        beeps = 0;
        card_set_beep(count_beep);
    }
    void TearDown() override {
        card_set_beep(nullptr);
        DeviceLineTest::TearDown();
    }
    void start_readers(const std::string& extra = "") {
        start("[PRINTER]\nMAX = 0\n\n[DISPLAY]\nMAX = 0\n\n[CARD_READER]\nMAX = 2\n" + extra +
                  "\n[CARD_READER_SETTING_1]\nTIME_CARD_LED = 2\n\n",
              {reader_line(120, 1), reader_line(120, 2)});
        ASSERT_EQ(error_pending(), 0);
        ASSERT_EQ(card_count(), 2);
    }
    long commands(int number) {
        long n = 0;
        with_line([&](nvsim::SimLine& l) { n = l.reader(number)->stats().commands; });
        return n;
    }
    std::string last_command(int number) {
        std::string c;
        with_line([&](nvsim::SimLine& l) { c = nvsim::command_text(l.reader(number)->machine().command()); });
        return c;
    }
    CardReaderState state(int index) {
        CardReaderState s{};
        EXPECT_TRUE(card_state(index, &s));
        return s;
    }
};

TEST_F(CardReaderTest, Status05ReadsTracksOneAndThree) {
    start_readers();
    control("SWIPE R1 TRACK-ONE||TRACK-THREE");
    card_run();
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(commands(1), 2); // GC1 and GC3; no GC2
    EXPECT_EQ(last_command(1), "GC3");
    EXPECT_STREQ(card_track(1), "TRACK-ONE");
    EXPECT_STREQ(card_track(2), "");
    EXPECT_STREQ(card_track(3), "TRACK-THREE");
    EXPECT_EQ(state(0).requests & CARD_DATA_READ, CARD_DATA_READ);
    EXPECT_EQ(state(1).requests, 0);
    EXPECT_THAT(take_events(), IsEmpty());
    EXPECT_EQ(commands(2), 0);
}

TEST_F(CardReaderTest, Status10WithAnEmptyGrsAnswerBeepsAndRaisesAnEmptyEvent) {
    start_readers();
    with_line([](nvsim::SimLine& l) { l.reader(2)->set_grs(""); });
    card_run();
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(commands(2), 1);
    EXPECT_EQ(last_command(2), "GRS");
    EXPECT_EQ(beeps, 1);
    EXPECT_THAT(take_events(), ElementsAre(Event{6, 1, ""})); // the 0-based reader index
    EXPECT_EQ(state(1).requests & CARD_DATA_READ, 0);
}

TEST_F(CardReaderTest, Status18SendsGvThenGrsAndTheEventCarriesTheGrsAnswer) {
    start_readers();
    control("VALUE R1 VALUE-TEXT");
    control("GRS R1 1234 5678");
    card_run();
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(commands(1), 2);
    EXPECT_EQ(last_command(1), "GRS");
    EXPECT_EQ(beeps, 0);
    EXPECT_THAT(take_events(), ElementsAre(Event{6, 0, "1234 5678"}));
    EXPECT_STREQ(card_track(1), "1234 5678");
    EXPECT_EQ(state(0).requests & CARD_DATA_READ, CARD_DATA_READ);
}

TEST_F(CardReaderTest, MissingReaderCostsNoError) {
    start("[PRINTER]\nMAX = 0\n\n[DISPLAY]\nMAX = 0\n\n[CARD_READER]\nMAX = 2\n\n", {reader_line(120, 1)});
    control("GRS R1 CARD");
    card_run();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_THAT(take_events(), ElementsAre(Event{6, 0, "CARD"}));
}

TEST_F(CardReaderTest, UnitNoStartShiftsTheUnitsOfAllReaders) {
    start("[PRINTER]\nMAX = 0\n\n[DISPLAY]\nMAX = 0\n\n[CARD_READER]\nMAX = 2\nUNIT_NO_START = 5\n\n",
          {reader_line(120, 5), reader_line(120, 6), reader_line(120, 1)});
    control("GRS R2 SIX");
    control("GRS R3 ONE");
    card_run();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_THAT(take_events(), ElementsAre(Event{6, 1, "SIX"}));
    EXPECT_EQ(commands(3), 0);
}

TEST_F(CardReaderTest, RejectLightsTheLampAndTheCountdownAsksForLampOff) {
    start_readers();
    card_request(0, CARD_REQUEST_REJECT);
    card_run();
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(last_command(1), "CO");
    with_line([](nvsim::SimLine& l) {
        EXPECT_EQ(l.reader(1)->lamp(), nvsim::CardReader::Lamp::red);
        EXPECT_EQ(l.reader(1)->ejects(), 1);
    });
    CardReaderState s = state(0);
    EXPECT_EQ(s.lamp, CARD_LAMP_ON | CARD_LAMP_REJECTED);
    EXPECT_EQ(s.lamp_countdown, 2); // TIME_CARD_LED of the reader's profile
    EXPECT_EQ(s.requests, 0);

    card_lamp_second();
    EXPECT_EQ(state(0).requests, 0);
    card_lamp_second();
    EXPECT_EQ(state(0).requests, CARD_REQUEST_LAMP_OFF);
    card_lamp_second(); // stays at 0
    EXPECT_EQ(state(0).lamp_countdown, 0);

    card_run();
    EXPECT_EQ(last_command(1), "LO");
    with_line([](nvsim::SimLine& l) { EXPECT_EQ(l.reader(1)->lamp(), nvsim::CardReader::Lamp::off); });
    EXPECT_EQ(state(0).requests, 0);
}

TEST_F(CardReaderTest, EjectAcceptsAndPushesTheCardOut) {
    start_readers();
    control("SWIPE R2 DATA");
    card_run();
    EXPECT_EQ(state(1).requests, CARD_DATA_READ);
    card_request(1, CARD_REQUEST_EJECT);
    card_run();
    ASSERT_EQ(error_pending(), 0);
    with_line([](nvsim::SimLine& l) {
        EXPECT_EQ(l.reader(2)->lamp(), nvsim::CardReader::Lamp::green);
        EXPECT_EQ(l.reader(2)->ejects(), 1);
    });
    CardReaderState s = state(1);
    EXPECT_EQ(s.lamp, CARD_LAMP_ON);
    EXPECT_EQ(s.requests, CARD_DATA_READ); // an eject keeps the data; a reject drops it
}

TEST_F(CardReaderTest, ResetClearsEveryReaderState) {
    start_readers();
    control("SWIPE R1 DATA");
    card_request(1, CARD_REQUEST_REJECT);
    card_run();
    card_reset();
    EXPECT_EQ(state(0).requests, 0);
    EXPECT_EQ(state(1).lamp, 0);
    EXPECT_EQ(state(1).lamp_countdown, 0);
}

TEST_F(CardReaderTest, RequestForAReaderOutsideTheTableIsError10) {
    start_readers();
    card_request(2, CARD_REQUEST_EJECT);
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text,
              "<_SOURCE\\cardread_a:77> \"Error, Reference '3' out of bounds at: 'Get setting adress for Card Reader'\"");
}

TEST_F(CardReaderTest, SettingsOutsideTheReadersIsError60) {
    start("[PRINTER]\nMAX = 0\n\n[DISPLAY]\nMAX = 0\n\n[CARD_READER]\nMAX = 2\nSETTINGS = 1-3=1\n\n", {});
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "<_SOURCE\\cardread_a:118> \"INI file, read Card Reader SETTINGS, 'from-to=equal' "
                              "index out of bounds in setting ref.\"");
    EXPECT_EQ(card_count(), 0);
}

TEST_F(CardReaderTest, FailedReaderCommandIsError47AndStillRaisesTheEmptyEvent) {
    start_readers();
    control("GRS R1 CARD");
    control("FAULT R1 NAK 1 2"); // both attempts of "GRS" refused with the check sum reason
    card_run();
    EXPECT_EQ(error_pending(), 47);
    auto errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().text, "<_SOURCE\\cardread_a:160> \"Command Answer failed on command: 'GRS'\"");
    EXPECT_EQ(beeps, 1);
    EXPECT_THAT(take_events(), ElementsAre(Event{6, 0, ""}));
    card_run(); // the error ended the pass after reader 1: this pass serves reader 2
    card_run(); // the data is still there for the next poll of reader 1
    EXPECT_EQ(error_pending(), 0);
    EXPECT_THAT(take_events(), ElementsAre(Event{6, 0, "CARD"}));
}

TEST(CardReaderDefaults, MaxZeroByDefaultNeedsNothingMore) {
    test_support::ScratchDir dir;
    error_open();
    card_open();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(card_count(), 0);
    card_run();
    card_lamp_second();
    card_reset();
    EXPECT_EQ(error_pending(), 0);
    card_close();
    ini_close();
    std::string ini = test_support::read_file(dir.path() / "ZSYS.INI");
    EXPECT_EQ(ini.find("CARD_READER_SETTING"), std::string::npos);
    EXPECT_NE(ini.find("UNIT_NO_START    = 1\r\n"), std::string::npos);
    test_support::reset_server_state();
}

} // namespace
