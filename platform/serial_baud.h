// Line speeds outside the B* constants (the link runs at 28800) need the termios2 ioctls, whose
// header cannot share a translation unit with <termios.h>.
#pragma once

#include <cstdint>

namespace platform::detail {

// Sets input and output speed to any rate the driver accepts.
bool serial_set_custom_baud(int fd, std::uint32_t baud);
// The output speed in baud as the driver holds it; for a pty master, that of its slave.
bool serial_get_baud(int fd, std::uint32_t* baud);

} // namespace platform::detail
