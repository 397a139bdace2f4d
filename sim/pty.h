// The simulator's few system calls, kept in one place: pty pairs and serial devices, polling,
// non-blocking reads and writes, a wake-up pipe, Unix control sockets and the stop signals.
// Failures return -1 or false with a message in `error` where one is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvsim::sys {

// A pty pair for the line: the simulator serves `master`; the server opens `slave_path`.
// `slave` stays open in the simulator so that the master never reports a hang-up while no
// program holds the slave; it is never read.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};
bool open_pty(Pty& pty, std::string& error);
void close_pty(Pty& pty);

// Opens a serial device (or a pty slave) raw, non-blocking, at the link's 28800 baud 8E2.
int open_serial(const std::string& path, std::string& error);
// Sets 28800 baud, 8 data bits, even parity, 2 stop bits (termios2; a pty ignores it).
bool set_link_line(int fd, std::string& error);

struct PollItem {
    int fd;
    bool want_read;
    bool want_write;
    bool readable = false;
    bool writable = false;
    bool failed = false;   // hang-up or error on the descriptor
};
// Waits for the items at most timeout_ms (-1 = no limit); false only on a failure of poll itself.
bool poll_items(std::vector<PollItem>& items, int timeout_ms);

// Non-blocking transfers: the count, 0 for end of file, -1 for nothing now (would block), -2 for
// a failure.
long read_some(int fd, std::uint8_t* data, std::size_t size);
long write_some(int fd, const std::uint8_t* data, std::size_t size);
// Writes everything, waiting as needed (for control answers); false on failure.
bool write_all(int fd, const std::string& text);
void close_fd(int fd);

// A pipe that wakes a poll loop; safe to trigger from a signal handler.
struct WakePipe {
    int read_fd = -1;
    int write_fd = -1;
};
bool open_wake(WakePipe& pipe);
void wake(const WakePipe& pipe);
void drain_wake(const WakePipe& pipe);
void close_wake(WakePipe& pipe);

// A listening Unix stream socket at path (an old socket file there is replaced).
int listen_unix(const std::string& path, std::string& error);
int accept_client(int listener);
int connect_unix(const std::string& path);
void remove_path(const std::string& path);

// SIGINT and SIGTERM wake this pipe and set the flag that stop_signalled() reads; SIGPIPE is
// ignored so that a vanished control client cannot end the process.
void catch_stop_signals(const WakePipe& pipe);
bool stop_signalled();

} // namespace nvsim::sys
