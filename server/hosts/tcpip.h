// The TCP/IP host transport: commands over TCP behind 13-byte frame headers, events as UDP
// datagrams.
//
// Host line: "TCP_IP,<command port>,<event port>,<clients>,<keep header>,<event address>", every
// field optional (500, 501, 5, 0, 255.255.255.255); numbers in decimal, 0x hexadecimal or 0 octal.
//
// Frame header, commands, answers and events alike: "&&" ID(3 digits) "&" LENGTH(5 digits) "&&".
// An answer echoes its command's header with LENGTH = answer bytes including the terminating
// zero, which is sent. An event datagram is a header (ID = event counter 0..999, LENGTH = the whole
// datagram including the header and the zero) and "EVENT <event> <unit + 1> <text>" with its zero.
#pragma once

#include <cstdint>

#include "server/hosts/hostslot.h"

extern const HostTransport host_transport_tcp_ip;

// The main window's socket notices: WM_USER+2 for the listening socket, WM_USER+3 for client
// sockets; wparam the socket, lparam the event in the low word and the error number in the high
// word. Both take server_mutex first; they return 0 when it cannot be had or the transport is not
// open (the notice is dropped), 1 otherwise.
std::int64_t tcp_listen_notice(std::uint64_t wparam, std::int64_t lparam);
std::int64_t tcp_client_notice(std::uint64_t wparam, std::int64_t lparam);

constexpr int TCP_HEADER_SIZE = 13;
constexpr int TCP_FRAME_SIZE = 200;           // the last command's header; short answers are built behind it
constexpr int TCP_BODY_MAX = 5000;            // longer command bodies are cut
constexpr int TCP_RECEIVE_BUFFER_SIZE = 5030; // a body, its terminating zero and room to spare
constexpr int TCP_SHORT_ANSWER_MAX = 186;     // longer answers go out as header send + body send
constexpr int TCP_EVENT_BUFFER_SIZE = 532;
constexpr int TCP_CLIENT_TABLE = 64;

// The settings of the configured TCP_IP host (for inspection).
struct TcpSettings {
    int command_port;
    int event_port;
    int clients;
    bool keep_header;
    std::uint32_t event_address; // host byte order
};
// False when no TCP_IP host is configured.
bool tcp_settings(TcpSettings* settings);
// Client records holding a connection now.
int tcp_connected_clients();

// The receive side of one command connection, apart from its socket.
struct TcpReceiver {
    int state;                  // 1 waiting for a header, 2 reading a body
    char scan[TCP_HEADER_SIZE]; // stream bytes taken while looking for a header
    int scan_length;
    char frame[TCP_FRAME_SIZE]; // bytes 0-12: the header of the last command
    char* body;                 // TCP_RECEIVE_BUFFER_SIZE bytes, owned by the caller
    int write_position;
    int expected;
};

// Reads up to `size` bytes of the connection's stream into buffer. Returns the count; 0 when no
// byte is there now (or the peer has closed); -1 on failure, having taken nothing.
using TcpRead = long (*)(void* source, char* buffer, long size);

enum TcpReceiveResult {
    TCP_RECEIVE_WAIT,    // every byte available was taken; call again when more arrive
    TCP_RECEIVE_COMMAND, // body[0 .. expected) holds a command, zero-terminated; its header is in frame
    TCP_RECEIVE_FAILED,  // the read failed; the state is as before it
};

void tcp_receiver_reset(TcpReceiver* receiver); // waiting for a header, nothing held
// Takes bytes until one command is complete, no byte is left, or a read fails. A complete command
// leaves the receiver waiting for the next header. With keep_header, a command's header stays in
// the stream and is read as the first bytes of its body.
TcpReceiveResult tcp_receive(TcpReceiver* receiver, bool keep_header, TcpRead read, void* source);
