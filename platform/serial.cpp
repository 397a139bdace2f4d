#include "platform/serial.h"

#include "platform/serial_baud.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

// Device waits run on the system's steady clock, not the injectable one: they are real I/O waits.
std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void SerialDevice::set_timeouts(int interval_ms, int per_byte_ms) {
    interval_ms_.store(interval_ms < 0 ? 0 : interval_ms);
    per_byte_ms_.store(per_byte_ms < 0 ? 0 : per_byte_ms);
}

// The whole read may last n × per-byte; once a byte has come, each further gap may last at most
// the interval. This is how the port driver's per-byte time-outs behave.
int SerialDevice::read(std::uint8_t* data, int n) {
    if (n <= 0) return 0;
    const int interval = interval_ms_.load();
    const std::int64_t deadline = steady_ms() + static_cast<std::int64_t>(n) * per_byte_ms_.load();
    int got = 0;
    while (got < n) {
        std::int64_t wait = deadline - steady_ms();
        if (got > 0 && interval > 0 && wait > interval) wait = interval;
        if (wait < 0) wait = 0;
        const int ready = wait_ready(false, static_cast<int>(wait));
        if (ready < 0) return got > 0 ? got : -1;
        if (ready == 0) break;
        const int k = read_some(data + got, n - got);
        if (k < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return got > 0 ? got : -1;
        }
        if (k == 0) { // a tty reads nothing only when its other side has gone
            if (got > 0) return got;
            errno = EIO;
            return -1;
        }
        got += k;
    }
    return got;
}

int SerialDevice::write(const std::uint8_t* data, int n) {
    if (n <= 0) return 0;
    const std::int64_t deadline =
        steady_ms() + static_cast<std::int64_t>(n) * SERIAL_WRITE_MS_PER_BYTE + SERIAL_WRITE_MS_CONSTANT;
    int done = 0;
    while (done < n) {
        const int k = write_some(data + done, n - done);
        if (k > 0) {
            done += k;
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return done > 0 ? done : -1;
        std::int64_t wait = deadline - steady_ms();
        if (wait <= 0) break;
        const int ready = wait_ready(true, static_cast<int>(wait));
        if (ready < 0) return done > 0 ? done : -1;
        if (ready == 0) break;
    }
    return done;
}

namespace {

class TermiosDevice final : public SerialDevice {
  public:
    TermiosDevice(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd) {
        std::uint32_t ignored = 0;
        line_status(&ignored); // the counters so far are history
    }
    ~TermiosDevice() override {
        close(fd_);
        close(wake_fd_);
    }

    bool configure(const SerialLine& line) override {
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return false;
        cfmakeraw(&tio);
        tcflag_t size = 0;
        switch (line.data_bits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            errno = EINVAL;
            return false;
        }
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= size | CLOCAL | CREAD;
        // A byte received with a parity or framing error reads as 0 (INPCK without IGNPAR/PARMRK).
        tio.c_iflag &= ~(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY);
        if (line.parity == 'E' || line.parity == 'O') {
            tio.c_cflag |= PARENB;
            if (line.parity == 'O') tio.c_cflag |= PARODD;
            tio.c_iflag |= INPCK;
        }
        if (line.stop_bits == 2) tio.c_cflag |= CSTOPB;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        const speed_t standard = standard_speed(line.baud);
        // A rate without a B constant still needs a valid one here: a port left at such a rate
        // reads back a speed that tcsetattr() refuses (EINVAL on the next opening).
        if (cfsetspeed(&tio, standard != 0 ? standard : B38400) != 0) return false;
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) return false;
        if (standard == 0) {
            if (line.baud == 0) {
                errno = EINVAL;
                return false;
            }
            if (!detail::serial_set_custom_baud(fd_, line.baud)) return false;
        }
        return true;
    }

    int queued() override {
        int count = 0;
        return ioctl(fd_, FIONREAD, &count) == 0 ? count : -1;
    }

    bool purge_input() override { return tcflush(fd_, TCIFLUSH) == 0; }

    int output_queued() override {
        int count = 0;
        return ioctl(fd_, TIOCOUTQ, &count) == 0 ? count : -1;
    }

    bool drain() override {
        int rc = 0;
        do
            rc = tcdrain(fd_);
        while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    // Line errors come from the driver's counters as differences to the previous call. A pty or
    // any driver without counters (ENOTTY, EINVAL) has no line errors.
    bool line_status(std::uint32_t* bits) override {
        *bits = 0;
        std::lock_guard<std::mutex> lock(status_mutex_);
        if (!has_counters_) return true;
        serial_icounter_struct now{};
        if (ioctl(fd_, TIOCGICOUNT, &now) != 0) {
            if (errno == ENOTTY || errno == EINVAL) {
                has_counters_ = false;
                return true;
            }
            return false;
        }
        if (seen_) {
            if (now.buf_overrun != last_.buf_overrun) *bits |= SERIAL_RX_OVERFLOW;
            if (now.overrun != last_.overrun) *bits |= SERIAL_OVERRUN;
            if (now.parity != last_.parity) *bits |= SERIAL_PARITY;
            if (now.frame != last_.frame) *bits |= SERIAL_FRAMING;
            if (now.brk != last_.brk) *bits |= SERIAL_BREAK;
        }
        last_ = now;
        seen_ = true;
        return true;
    }

    void cancel() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t rc = ::write(wake_fd_, &one, sizeof one);
    }

  protected:
    int wait_ready(bool for_write, int timeout_ms) override {
        const std::int64_t deadline = steady_ms() + timeout_ms;
        for (;;) {
            pollfd fds[2] = {{fd_, static_cast<short>(for_write ? POLLOUT : POLLIN), 0},
                             {wake_fd_, POLLIN, 0}};
            std::int64_t left = deadline - steady_ms();
            if (left < 0) left = 0;
            const int rc = poll(fds, 2, static_cast<int>(left));
            if (rc < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (fds[1].revents != 0) {
                errno = ECANCELED;
                return -1;
            }
            if (fds[0].revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            // POLLHUP and POLLERR count as ready: the transfer then reports the failure itself.
            return fds[0].revents != 0 ? 1 : 0;
        }
    }

    int read_some(std::uint8_t* data, int n) override { return static_cast<int>(::read(fd_, data, n)); }
    int write_some(const std::uint8_t* data, int n) override {
        return static_cast<int>(::write(fd_, data, n));
    }

  private:
    static speed_t standard_speed(std::uint32_t baud) {
        static const struct {
            std::uint32_t baud;
            speed_t code;
        } table[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                     {150, B150},       {200, B200},       {300, B300},       {600, B600},
                     {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                     {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
        for (const auto& row : table)
            if (row.baud == baud) return row.code;
        return 0;
    }

    int fd_;
    int wake_fd_;
    std::mutex status_mutex_;
    bool has_counters_ = true;
    bool seen_ = false;
    serial_icounter_struct last_{};
};

std::unique_ptr<SerialDevice> wrap(int fd) {
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    return std::make_unique<TermiosDevice>(fd, wake);
}

void close_keeping_errno(int fd) {
    const int e = errno;
    close(fd);
    errno = e;
}

} // namespace

std::unique_ptr<SerialDevice> serial_open(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // TIOCEXCL keeps other programs out (though not root); the lock also keeps out a second
    // opener inside this process or a root one that honours it.
    if (ioctl(fd, TIOCEXCL) != 0) {
        close_keeping_errno(fd);
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        close_keeping_errno(fd);
        return nullptr;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        close_keeping_errno(fd);
        return nullptr;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close_keeping_errno(fd);
        return nullptr;
    }
    // DTR and RTS on; a device without modem lines (a pty) refuses, which is no failure.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    return wrap(fd);
}

std::unique_ptr<SerialDevice> serial_adopt(int fd) {
    return wrap(fd);
}

} // namespace platform
