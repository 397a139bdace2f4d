// What a blocking socket client needs beside platform/socket.h: name lookup, separate receive and
// send time-outs, and a wake-up that ends a listener thread's wait.
//
// Results follow the Windows Sockets numbering of platform/socket.h: 0 for success, otherwise the
// error number (socket_error_name() names it).
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {

// Name lookup errors (Windows Sockets numbers; they have no name in socket_error_name()).
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;

// The first IPv4 address of a host name, in host byte order.
int client_resolve_ipv4(const char* host, std::uint32_t* address);

// Time-outs of blocking receives / sends; 0 = none.
int client_set_receive_timeout(Socket s, int ms);
int client_set_send_timeout(Socket s, int ms);

// True when the peer of a stream socket has closed its side (bytes it sent may still be unread).
bool client_peer_closed(Socket s);

// A descriptor that one thread signals to end another thread's client_wait_readable().
class SocketWakeup {
public:
    SocketWakeup() = default;
    ~SocketWakeup();
    SocketWakeup(const SocketWakeup&) = delete;
    SocketWakeup& operator=(const SocketWakeup&) = delete;

    int open();
    // Any thread; stays signalled.
    void signal();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

enum class WaitResult { readable, woken, failed };
// Waits without time limit until `s` has something to read or `wakeup` is signalled (the wake-up
// wins when both hold). On failed the error number is in *error.
WaitResult client_wait_readable(Socket s, const SocketWakeup& wakeup, int* error);

} // namespace platform
