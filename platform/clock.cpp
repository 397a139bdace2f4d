#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace platform {
namespace {

LocalTime system_local_time() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,        parts.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000),
                     parts.tm_wday};
}

std::int64_t system_monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<LocalTimeSource> local_source{system_local_time};
std::atomic<MonotonicSource> mono_source{system_monotonic_ms};

} // namespace

LocalTime local_time() { return local_source.load()(); }
std::int64_t monotonic_ms() { return mono_source.load()(); }

void set_local_time_source(LocalTimeSource source) {
    local_source.store(source ? source : system_local_time);
}
void set_monotonic_source(MonotonicSource source) {
    mono_source.store(source ? source : system_monotonic_ms);
}

} // namespace platform
