#include "platform/system_time.h"

#include <cerrno>
#include <ctime>

namespace platform {

bool set_system_local_time(const LocalTime& when) {
    tm parts{};
    parts.tm_year = when.year - 1900;
    parts.tm_mon = when.month - 1;
    parts.tm_mday = when.day;
    parts.tm_hour = when.hour;
    parts.tm_min = when.minute;
    parts.tm_sec = when.second;
    parts.tm_isdst = -1;
    time_t seconds = mktime(&parts);
    if (seconds == static_cast<time_t>(-1)) {
        errno = EINVAL;
        return false;
    }
    timespec ts{seconds, static_cast<long>(when.millisecond) * 1000000L};
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

} // namespace platform
