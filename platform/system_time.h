// Setting the computer's clock (needs the right to do so, CAP_SYS_TIME).
#pragma once

#include "platform/clock.h"

namespace platform {

// Sets the wall clock to the given local time (the weekday is ignored). False on failure, with
// errno set.
bool set_system_local_time(const LocalTime& when);

} // namespace platform
