// The clock: the server's time base. Its run step notices each new second of the computer clock
// and calls the once-a-second work; it also defines the server's compact time and day numbers,
// parses the time and date texts of "EXE SET_TIME" / "SET_DATE", and keeps the requested new
// time and date.
//
// Time number: time of day in units of 2 seconds, hour × 1800 + minute × 30 + second / 2
// (0 .. 43199). Day number: days counted from 1 January 1989 = 1, every fourth year a leap year
// (no century rule); valid for 1989 .. 2099 (1 .. 40542).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/clock.h"

constexpr std::int32_t CLOCK_TIME_NUMBER_MAX = 43199;
constexpr std::int32_t CLOCK_DAY_NUMBER_MAX = 40542;

void clock_open();
void clock_close();
void clock_reset();
void clock_run();

// The time number of "h:m" or "h:m:s" (24-hour, one or more colons between the parts), or 0
// with error 386 pending.
std::int32_t clock_parse_time(const char* text);
// The day number of "d/m y" (year 89 .. 99 or 1989 .. 2099; the day is not checked against the
// month), or 0 with error 387 pending.
std::int32_t clock_parse_date(const char* text);
// The day number of a date; no range checks.
std::int32_t clock_day_number(int day, int month, int year);

void clock_request_time(std::int32_t time_number);
void clock_request_date(std::int32_t day_number);
// Empty when there is no request (a request of 0 is a request).
std::optional<std::int32_t> clock_requested_time();
std::optional<std::int32_t> clock_requested_date();

// Sets the computer clock from the requests that are there (a request outside its number range
// is dropped) and marks both "none". Returns false when the clock could not be set. Nothing in
// the server calls it: the commands only store the requests.
bool clock_apply();
// Sets the computer clock; the system's own by default. Tests put a recorder here.
using ClockSetter = bool (*)(const platform::LocalTime& when);
void clock_set_setter(ClockSetter setter);

// The current time of day as a time number.
std::int32_t clock_time_number();
// Parts of the current time and date, as the error log's time stamps use them.
int clock_hour();
int clock_minute();
int clock_second();
int clock_hundredth();
int clock_day();
int clock_month();
int clock_year();

// The once-a-second list, in order: ini_second_tick, host_tick. A test may put its own list in
// place (null restores it); the list stops early when an error becomes pending.
using ClockTick = void (*)();
void clock_set_second_list(const ClockTick* list, int count);
int clock_second_list(const ClockTick** list);
