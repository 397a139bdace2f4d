#include "server/devices/clock.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/hosts/host.h"

namespace {

platform::LocalTime now{2004, 2, 16, 10, 22, 33, 450, 1};
platform::LocalTime manual_time() { return now; }

std::vector<std::string> ticks;
void tick_a() { ticks.push_back("a"); }
void tick_b() { ticks.push_back("b"); }
void tick_failing() {
    ticks.push_back("failing");
    error_report("_SOURCE\\test_a", 1, 1, "tick failed");
}
const ClockTick TWO_TICKS[] = {tick_a, tick_b};
const ClockTick FAILING_FIRST[] = {tick_failing, tick_b};

std::vector<platform::LocalTime> applied;
bool record_setter(const platform::LocalTime& when) {
    applied.push_back(when);
    return true;
}

class Clock : public ::testing::Test {
protected:
    void SetUp() override {
        now = platform::LocalTime{2004, 2, 16, 10, 22, 33, 450, 1};
        platform::set_local_time_source(manual_time);
        error_discard();
        ticks.clear();
        applied.clear();
        clock_set_setter(record_setter);
        clock_apply(); // no requests left from another test
        applied.clear();
    }
    void TearDown() override {
        clock_set_second_list(nullptr, 0);
        clock_set_setter(nullptr);
        platform::set_local_time_source(nullptr);
        error_discard();
    }
};

TEST_F(Clock, TimeTexts) {
    struct Case {
        const char* text;
        std::int32_t number;
        int error;
    };
    const Case cases[] = {
        {"12:30", 22500, 0},
        {"12:30:45", 22522, 0},
        {"23:59:59", 43199, 0},
        {"0:0", 0, 0},
        {"12::30", 22500, 0},       // a run of colons separates too
        {" 7:05", 7 * 1800 + 5 * 30, 0},
        {"12:30:75", 22500, 0},     // seconds out of range: read as hours and minutes
        {"24:00", 0, 386},
        {"12:60", 0, 386},
        {"-1:30", 0, 386},
        {"12", 0, 386},
        {"12.30", 0, 386},
        {"", 0, 386},
        {"abc", 0, 386},
        {"99999999999999999999:1", 0, 386},
    };
    for (const Case& c : cases) {
        error_discard();
        EXPECT_EQ(clock_parse_time(c.text), c.number) << c.text;
        EXPECT_EQ(error_pending(), c.error) << c.text;
    }
}

TEST_F(Clock, DateTexts) {
    struct Case {
        const char* text;
        std::int32_t number;
        int error;
    };
    const Case cases[] = {
        {"16/2 2004", 5525, 0},
        {"1/1 89", 1, 0},
        {"1/3 2004", 5539, 0},
        {"31/2 2004", 5540, 0}, // the day is not checked against the month
        {"31/12 2099", 40542, 0},
        {"1/1 1989", 1, 0},
        {"31/12 99", 4017, 0},  // 3652 days of 1989..1998 + 365
        {"16//2   2004", 5525, 0},
        {"1/1 2100", 0, 387},
        {"1/1 88", 0, 387},
        {"1/1 1988", 0, 387},
        {"1/1 100", 0, 387},
        {"0/1 2000", 0, 387},
        {"32/1 2000", 0, 387},
        {"1/0 2000", 0, 387},
        {"1/13 2000", 0, 387},
        {"16/2", 0, 387},
        {"16-2 2004", 0, 387},
        {"", 0, 387},
    };
    for (const Case& c : cases) {
        error_discard();
        EXPECT_EQ(clock_parse_date(c.text), c.number) << c.text;
        EXPECT_EQ(error_pending(), c.error) << c.text;
    }
}

TEST_F(Clock, FormatErrorsNameTheTextAndTheSource) {
    clock_parse_time("24:00");
    ASSERT_EQ(error_recorded_count(), 1);
    EXPECT_NE(std::string(error_recorded_text(0)).find("Get time number failed, wrong format in '24:00'."),
              std::string::npos);
    EXPECT_NE(std::string(error_recorded_text(0)).find("_SOURCE\\clock_a"), std::string::npos);
    error_discard();
    clock_parse_date("1/1 88");
    ASSERT_EQ(error_recorded_count(), 1);
    EXPECT_NE(std::string(error_recorded_text(0)).find("Get date number failed, wrong format in '1/1 88'."),
              std::string::npos);
}

TEST_F(Clock, CurrentTimeAsNumbersAndParts) {
    EXPECT_EQ(clock_time_number(), 10 * 1800 + 22 * 30 + 16);
    EXPECT_EQ(clock_hour(), 10);
    EXPECT_EQ(clock_minute(), 22);
    EXPECT_EQ(clock_second(), 33);
    EXPECT_EQ(clock_hundredth(), 45);
    EXPECT_EQ(clock_day(), 16);
    EXPECT_EQ(clock_month(), 2);
    EXPECT_EQ(clock_year(), 2004);
}

TEST_F(Clock, PerSecondListRunsOnceForEachNewSecondSeen) {
    clock_set_second_list(TWO_TICKS, 2);
    clock_run();
    clock_run();
    EXPECT_EQ(ticks, (std::vector<std::string>{"a", "b"}));
    now.second += 3; // a loop held up for three seconds
    clock_run();
    EXPECT_EQ(ticks, (std::vector<std::string>{"a", "b", "a", "b"}));
}

TEST_F(Clock, PendingErrorStopsTheRunAndTheSecondStaysUnseen) {
    clock_set_second_list(TWO_TICKS, 2);
    clock_run();
    ticks.clear();
    now.second += 1;
    error_report("_SOURCE\\test_a", 1, 1, "pending");
    clock_run();
    EXPECT_TRUE(ticks.empty());
    error_discard();
    clock_run();
    EXPECT_EQ(ticks, (std::vector<std::string>{"a", "b"}));
}

TEST_F(Clock, ListStopsWhenAnErrorBecomesPending) {
    clock_set_second_list(FAILING_FIRST, 2);
    now.second = 5;
    clock_run();
    EXPECT_EQ(ticks, std::vector<std::string>{"failing"});
}

TEST_F(Clock, DefaultListSavesSettingsThenTicksHosts) {
    const ClockTick* list = nullptr;
    ASSERT_EQ(clock_second_list(&list), 2);
    EXPECT_EQ(list[0], &ini_second_tick);
    EXPECT_EQ(list[1], &host_tick);
}

TEST_F(Clock, RequestsStartEmptyAndZeroIsARequest) {
    EXPECT_FALSE(clock_requested_time().has_value());
    EXPECT_FALSE(clock_requested_date().has_value());
    clock_request_time(0);
    clock_request_date(0);
    ASSERT_TRUE(clock_requested_time().has_value());
    EXPECT_EQ(*clock_requested_time(), 0);
    EXPECT_EQ(*clock_requested_date(), 0);
}

TEST_F(Clock, ApplySetsTheRequestedTimeAndDateThenForgetsThem) {
    clock_request_time(22522); // 12 × 1800 + 30 × 30 + 22
    clock_request_date(5539);  // 1 March 2004
    EXPECT_TRUE(clock_apply());
    ASSERT_EQ(applied.size(), 1u);
    const platform::LocalTime& t = applied[0];
    EXPECT_EQ(t.hour, 12);
    EXPECT_EQ(t.minute, 30);
    EXPECT_EQ(t.second, 44);
    EXPECT_EQ(t.millisecond, 0);
    EXPECT_EQ(t.day, 1);
    EXPECT_EQ(t.month, 3);
    EXPECT_EQ(t.year, 2004);
    EXPECT_FALSE(clock_requested_time().has_value());
    EXPECT_FALSE(clock_requested_date().has_value());
}

TEST_F(Clock, ApplyConvertsDayNumbersBackToDates) {
    struct Case {
        std::int32_t number;
        int day, month, year;
    };
    const Case cases[] = {
        {1, 1, 1, 1989},   {365, 31, 12, 1989}, {366, 1, 1, 1990},   {1155, 29, 2, 1992},
        {5525, 16, 2, 2004}, {5540, 2, 3, 2004}, {40542, 31, 12, 2099},
    };
    for (const Case& c : cases) {
        applied.clear();
        clock_request_date(c.number);
        ASSERT_TRUE(clock_apply());
        ASSERT_EQ(applied.size(), 1u) << c.number;
        EXPECT_EQ(applied[0].day, c.day) << c.number;
        EXPECT_EQ(applied[0].month, c.month) << c.number;
        EXPECT_EQ(applied[0].year, c.year) << c.number;
        EXPECT_EQ(applied[0].hour, 10) << "the time of day is kept";
    }
}

TEST_F(Clock, ApplyDropsRequestsOutsideTheirRange) {
    clock_request_time(43200);
    clock_request_date(0);
    EXPECT_TRUE(clock_apply());
    EXPECT_TRUE(applied.empty());
    EXPECT_FALSE(clock_requested_time().has_value());
    EXPECT_FALSE(clock_requested_date().has_value());
}

} // namespace
