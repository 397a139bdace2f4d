// BSD sockets in the shape the server's and the client's socket code expects: integer sockets,
// SOCKET_ERROR results with the failure kept per thread as a Windows Sockets error number
// (ECONNRESET -> 10054 "WSAECONNRESET"), and asynchronous notices: socket readiness becomes a
// message posted to an EventLoop, with the socket as wparam and (event | error << 16) as lparam.
//
// Notice semantics (as the transports rely on them):
// - Only the events of the last socket_async_select() are posted; selecting again replaces them,
//   and an event whose condition already holds is posted at once (on the loop's next pass).
// - After an event is posted it stays quiet until its re-enabling call: socket_recv() for
//   FD_READ, socket_accept() for FD_ACCEPT, a socket_send() that would block for FD_WRITE. So
//   one FD_READ is posted per receive, however many bytes wait.
// - FD_CLOSE is posted once, after the bytes that came before the peer's close have been read;
//   a connection reset posts it at once with the error (WSAECONNRESET) in the high word.
// - A socket with notices is non-blocking. Notices are the business of the loop's own thread:
//   select, receive, accept and send on such a socket from that thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event_loop.h"

namespace platform {

using Socket = int;
constexpr Socket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Notice events (the Windows Sockets values).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CLOSE = 0x20;

// Windows Sockets error numbers this layer reports itself.
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEINVAL = 10022;

// The Windows Sockets number for an errno value; values without one are returned unchanged
// (they are below 10000 and have no name).
int socket_error_from_errno(int errno_value);
// The symbolic name of a Windows Sockets error number; "No listed errror" for any other number.
const char* socket_error_name(int code);
// The error number of this thread's last failed call of this layer (0 after none).
int socket_last_error();

// Socket layer start-up: reports the version granted (the one asked for, 1.1 or later) and how
// many sockets the process may hold. Returns 0, or an error number.
struct SocketLayerInfo {
    int major;
    int minor;
    long max_sockets;
};
int socket_startup(int major, int minor, SocketLayerInfo* info);
void socket_cleanup();

// IPv4 addresses are in host byte order: 0x7F000001 is 127.0.0.1.
constexpr std::uint32_t IPV4_ANY = 0;
constexpr std::uint32_t IPV4_LOOPBACK = 0x7F000001;
constexpr std::uint32_t IPV4_BROADCAST = 0xFFFFFFFF;
// Dotted decimal a.b.c.d only; false for anything else.
bool parse_ipv4(const char* text, std::uint32_t* address);

// Every call returns SOCKET_ERROR / INVALID_SOCKET on failure and keeps the error number.
Socket socket_stream();   // TCP
Socket socket_datagram(); // UDP
int socket_bind(Socket s, std::uint32_t address, int port);
int socket_listen(Socket s, int backlog);
// A new connection, non-blocking when the listener is. Re-enables FD_ACCEPT.
Socket socket_accept(Socket listener);
// Blocking sockets wait for the connection; non-blocking ones fail with WSAEWOULDBLOCK while it
// is under way (wait for writability, then socket_pending_error()).
int socket_connect(Socket s, std::uint32_t address, int port);
// Never raises SIGPIPE: a broken connection is an error number. Would block: SOCKET_ERROR with
// WSAEWOULDBLOCK (and FD_WRITE is re-enabled). Returns the bytes sent.
long socket_send(Socket s, const void* data, std::size_t size);
// Returns the bytes received, 0 when the peer has closed; re-enables FD_READ (also when peeking).
long socket_recv(Socket s, void* buffer, std::size_t size, bool peek = false);
// Datagram receive that also tells the sender's port.
long socket_recv_from(Socket s, void* buffer, std::size_t size, int* port);
int socket_shutdown(Socket s); // both directions
// Ends the socket's notices too. Never fails for a valid socket.
int socket_close(Socket s);

int socket_set_nodelay(Socket s, bool on);
int socket_set_broadcast(Socket s, bool on);
int socket_set_reuse_address(Socket s, bool on);
int socket_set_blocking(Socket s, bool blocking);
int socket_set_receive_buffer(Socket s, int bytes);
// Closing then resets the connection (the peer sees WSAECONNRESET) instead of ending it.
int socket_reset_on_close(Socket s);
// Time-outs of blocking receives and sends; 0 = none.
int socket_set_timeouts(Socket s, int receive_ms, int send_ms);
// The error a non-blocking connect ended with (0: connected).
int socket_pending_error(Socket s);
// The local port the socket is bound to, or SOCKET_ERROR.
int socket_local_port(Socket s);
// Waits up to timeout_ms for FD_READ / FD_WRITE readiness (a closed or failed connection counts as
// readable). Returns the ready subset, 0 on time-out, SOCKET_ERROR on failure.
long socket_wait(Socket s, long events, int timeout_ms);

// Asks for notices of `events` (0: none) as message `msg` on `loop`. Makes the socket
// non-blocking. Returns 0 or SOCKET_ERROR.
int socket_async_select(Socket s, EventLoop* loop, std::uint32_t msg, long events);

} // namespace platform
