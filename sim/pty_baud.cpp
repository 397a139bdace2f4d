// 28800 baud has no Bxxx constant: it needs termios2 with BOTHER, whose header clashes with
// <termios.h>, hence this file of its own.
#include "sim/pty.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

namespace nvsim::sys {

bool set_link_line(int fd, std::string& error) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        error = std::string("line settings: ") + std::strerror(errno);
        return false;
    }
    t.c_cflag &= ~(CBAUD | CSIZE | PARODD | CRTSCTS);
    t.c_cflag |= BOTHER | CS8 | PARENB | CSTOPB | CREAD | CLOCAL;
    t.c_ispeed = 28800;
    t.c_ospeed = 28800;
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        error = std::string("28800 baud 8E2: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace nvsim::sys
