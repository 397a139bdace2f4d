#include "platform/serial_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace platform::detail {

bool serial_set_custom_baud(int fd, std::uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool serial_get_baud(int fd, std::uint32_t* baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    *baud = tio.c_ospeed;
    return true;
}

} // namespace platform::detail
