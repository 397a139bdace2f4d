// Time sources of the whole system. Tests replace them with manual clocks so that time-outs,
// countdowns and log time stamps are deterministic.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
    int year;        // four digits
    int month;       // 1..12
    int day;         // 1..31
    int hour;        // 0..23
    int minute;      // 0..59
    int second;      // 0..59
    int millisecond; // 0..999
    int weekday;     // 0 = Sunday
};

using LocalTimeSource = LocalTime (*)();
using MonotonicSource = std::int64_t (*)();

// The wall clock in local time.
LocalTime local_time();
// Milliseconds on a clock that never goes back; its origin is arbitrary.
std::int64_t monotonic_ms();

// A null source restores the system's clock.
void set_local_time_source(LocalTimeSource source);
void set_monotonic_source(MonotonicSource source);

} // namespace platform
