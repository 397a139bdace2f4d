#include "server/hosts/tcpip.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/socket.h"
#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/core/utils.h"

namespace {

using platform::INVALID_SOCKET;
using platform::Socket;

const char* const SOURCE = "_SOURCE\\host_t";
const char* const FORMAT_TEXT = "HOSTx=TCP_IP,port_number,clients (TCP_IP,500,10)";
const char* const HEADER_TEMPLATE = "&&000&00000&&";

constexpr int DEFAULT_COMMAND_PORT = 500;
constexpr int DEFAULT_EVENT_PORT = 501;
constexpr int DEFAULT_CLIENTS = 5;
constexpr int CLIENTS_MIN = 3;
constexpr int EVENT_ID_MAX = 999;
constexpr int LENGTH_FIELD_MAX = 99999;
constexpr int PORT_MAX = 65535;
constexpr int ADDRESS_TEXT_MAX = 64;

struct TcpClient {
    Socket socket; // INVALID_SOCKET: the record is free
    TcpReceiver receiver;
    // Answer bytes the socket would not take yet; no further command is read from the client
    // until they are gone.
    char* output;
    int output_length;
    int output_capacity;
};

struct TcpTransport {
    bool configured;
    int slot_number; // 1-based once the sockets are open, 0 before
    Socket listener;
    Socket events;
    bool events_connected;
    TcpClient* clients; // TCP_CLIENT_TABLE records, the first client_count used
    int client_count;
    int command_port;
    int event_port;
    bool keep_header;
    std::uint32_t event_address;
    TcpClient* current; // the client whose notice is served: it gets the answer
    int event_counter;
};

TcpTransport tcp = {false, 0, INVALID_SOCKET, INVALID_SOCKET, false, nullptr, 0, 0, 0, false, 0, nullptr, 0};

const char* last_error_name() { return platform::socket_error_name(platform::socket_last_error()); }

// ---- configuration ----

// The numbers as the scan format "%i%*[,]%i%*[,]%i%*[,]%i" reads them (each in decimal, 0x
// hexadecimal or 0 octal; a run of commas between them; the first misfit ends the scan), then an
// optional fifth field, the event address. Returns false for a malformed address.
bool scan_parameters(const char* text, long numbers[4], std::uint32_t* address) {
    const char* p = text;
    int read = 0;
    for (; read < 4; ++read) {
        if (read > 0) {
            if (*p != ',')
                return true;
            while (*p == ',')
                ++p;
        }
        char* end = nullptr;
        long n = std::strtol(p, &end, 0);
        if (end == p)
            return true;
        numbers[read] = n;
        p = end;
    }
    if (*p != ',')
        return true;
    while (*p == ',')
        ++p;
    skip_blanks(&p);
    char field[ADDRESS_TEXT_MAX];
    int length = 0;
    while (p[length] != '\0' && p[length] != ',' && !is_blank(p[length])) {
        if (length == ADDRESS_TEXT_MAX - 1)
            return false;
        field[length] = p[length];
        ++length;
    }
    field[length] = '\0';
    return length == 0 || platform::parse_ipv4(field, address);
}

void poll_op();
void answer_op(const char* text, int length);
void event_op(const EventRecord* record);

void configure(const char* parameters, HostSlot* slot, int) {
    slot->ops = host_ops_nothing;
    slot->transport = nullptr;
    long numbers[4] = {DEFAULT_COMMAND_PORT, DEFAULT_EVENT_PORT, DEFAULT_CLIENTS, 0};
    std::uint32_t address = platform::IPV4_BROADCAST;
    bool address_ok = scan_parameters(parameters, numbers, &address);
    auto valid_port = [](long port) { return port >= 1 && port <= PORT_MAX; };
    // A port outside 1..65535 would be cut to 16 bits by the socket layer: refused with the rest.
    if (numbers[2] >= TCP_CLIENT_TABLE || tcp.configured || !address_ok || !valid_port(numbers[0]) ||
        !valid_port(numbers[1])) {
        error_report(SOURCE, 110, 296, "INI file, host settings for %s has incorrect value(s) in '%s'. Format is '%s'",
                     "TCP_IP", parameters, FORMAT_TEXT);
        return;
    }
    tcp.command_port = static_cast<int>(numbers[0]);
    tcp.event_port = static_cast<int>(numbers[1]);
    tcp.client_count = static_cast<int>(numbers[2] < CLIENTS_MIN ? CLIENTS_MIN : numbers[2]);
    tcp.keep_header = numbers[3] != 0;
    tcp.event_address = address;
    tcp.clients = static_cast<TcpClient*>(mem_alloc_zero(sizeof(TcpClient) * TCP_CLIENT_TABLE));
    if (!tcp.clients)
        return;
    for (int i = 0; i < TCP_CLIENT_TABLE; ++i)
        tcp.clients[i].socket = INVALID_SOCKET;
    tcp.configured = true;
    tcp.current = nullptr;
    tcp.event_counter = 0;
    slot->ops.poll = poll_op;
    slot->ops.answer = answer_op;
    slot->ops.status = host_op_status_state;
    slot->ops.clear_status = host_op_clear_state;
    slot->ops.event = event_op;
    slot->transport = &tcp;
}

// ---- opening ----

void open_listener(platform::EventLoop* loop) {
    Socket s = platform::socket_stream();
    if (s == INVALID_SOCKET) {
        error_report(SOURCE, 160, 481, "Windows Socket error '%s': Couldn't create server socket.", last_error_name());
        return;
    }
    tcp.listener = s;
    // Like a Windows listener, bind even while connections of an earlier run linger in TIME_WAIT.
    if (platform::socket_set_reuse_address(s, true) != 0 ||
        platform::socket_bind(s, platform::IPV4_ANY, tcp.command_port) != 0) {
        error_report(SOURCE, 166, 482, "Windows Socket error '%s':  Couldn't bind the server socket.",
                     last_error_name());
        return;
    }
    if (platform::socket_async_select(s, loop, MSG_TCP_LISTEN_NOTICE, platform::FD_ACCEPT) != 0) {
        error_report(SOURCE, 171, 491, "Windows Socket error '%s':  Couldn't setup Async operation on the server socket.",
                     last_error_name());
        return;
    }
    // A backlog of one more than the client table: a full backlog refuses nothing here, it drops
    // the handshake's last step, and the client then waits seconds for the retransmission.
    if (platform::socket_listen(s, tcp.client_count + 1) != 0)
        error_report(SOURCE, 176, 483, "Windows Socket error '%s':  Couldn't setup the server to listen for Clients.",
                     last_error_name());
}

// Connecting a datagram socket to a broadcast address needs the broadcast permission here.
void open_event_socket() {
    Socket s = platform::socket_datagram();
    if (s == INVALID_SOCKET) {
        error_report(SOURCE, 184, 495, "Windows Socket error '%s': Couldn't create server socket.", last_error_name());
        return;
    }
    tcp.events = s;
    if (platform::socket_set_broadcast(s, true) != 0 ||
        platform::socket_connect(s, tcp.event_address, tcp.event_port) != 0) {
        error_report(SOURCE, 190, 496, "Windows Socket error '%s': Couldn't Connect the event socket.",
                     last_error_name());
        return;
    }
    tcp.events_connected = true;
}

void open_sockets(platform::EventLoop* loop) {
    platform::SocketLayerInfo info{};
    if (platform::socket_startup(1, 1, &info) != 0) {
        error_report(SOURCE, 140, 477, "WinSocket could not be initialized. Please check");
        return;
    }
    if (info.major == 0 || (info.major == 1 && info.minor < 1)) {
        error_report(SOURCE, 144, 478, "Windows Sockets version %d.%d not supported by winsock.dll", info.major,
                     info.minor);
        platform::socket_cleanup();
        return;
    }
    if (info.max_sockets < tcp.client_count + 1) {
        error_report(SOURCE, 150, 479,
                     "This application requires a minimun of %d sockets. Change the number of Clients in "
                     "'HOSTx=TCP_IP,Port No,Clients'",
                     tcp.client_count + 1);
        platform::socket_cleanup();
        return;
    }
    open_listener(loop);
    open_event_socket();
    // Open also when a socket failed: the error is logged, and only RESTART tries again.
    tcp.slot_number = host_current_index() + 1;
}

// The sockets need the main window (the loop their notices go to).
void poll_op() {
    platform::EventLoop* loop = server_loop();
    if (tcp.configured && tcp.slot_number == 0 && loop)
        open_sockets(loop);
}

// ---- clients ----

TcpClient* find_client(Socket s) {
    for (int i = 0; i < tcp.client_count; ++i)
        if (tcp.clients[i].socket == s)
            return &tcp.clients[i];
    return nullptr;
}

// While answer bytes wait, the client's notices are write and close only: its next command is
// read once its answer is out.
void select_client(TcpClient* c) {
    long events = platform::FD_CLOSE | (c->output_length > 0 ? platform::FD_WRITE : platform::FD_READ);
    if (platform::socket_async_select(c->socket, server_loop(), MSG_TCP_CLIENT_NOTICE, events) != 0)
        error_report(SOURCE, 260, 494, "Windows Socket error '%s':  Couldn't setup Async operation on the Client socket.",
                     last_error_name());
}

void drop_output(TcpClient* c) {
    std::free(c->output);
    c->output = nullptr;
    c->output_length = 0;
    c->output_capacity = 0;
}

bool keep_output(TcpClient* c, const char* data, int size) {
    int needed = c->output_length + size;
    if (needed > c->output_capacity) {
        char* grown = static_cast<char*>(std::realloc(c->output, static_cast<std::size_t>(needed)));
        if (!grown)
            return false;
        c->output = grown;
        c->output_capacity = needed;
    }
    std::memcpy(c->output + c->output_length, data, static_cast<std::size_t>(size));
    c->output_length = needed;
    return true;
}

void close_client(TcpClient* c) {
    if (platform::socket_close(c->socket) != 0)
        error_report(SOURCE, 300, 487, "Windows Socket error '%s':  Couldn't close socket.", last_error_name());
    c->socket = INVALID_SOCKET; // the receive buffer stays for the record's next client
    drop_output(c);
    if (tcp.current == c)
        tcp.current = nullptr;
}

void accept_client() {
    TcpClient* c = find_client(INVALID_SOCKET);
    Socket s = platform::socket_accept(tcp.listener);
    if (!c) {
        if (s == INVALID_SOCKET)
            error_report(SOURCE, 220, 486, "Windows Socket error '%s':  Couldn't get accept for a new Client.",
                         last_error_name());
        else if (platform::socket_close(s) != 0)
            error_report(SOURCE, 224, 487, "Windows Socket error '%s':  Couldn't close socket.", last_error_name());
        error_report(SOURCE, 226, 485, "Couldn't accept more Clients now. Try later.");
        return;
    }
    if (s == INVALID_SOCKET) {
        error_report(SOURCE, 230, 486, "Windows Socket error '%s':  Couldn't get accept for a new Client.",
                     last_error_name());
        return;
    }
    c->socket = s;
    if (!c->receiver.body)
        c->receiver.body = static_cast<char*>(mem_alloc(TCP_RECEIVE_BUFFER_SIZE));
    if (!c->receiver.body) {
        close_client(c);
        return;
    }
    std::memset(c->receiver.body, 0, TCP_RECEIVE_BUFFER_SIZE);
    tcp_receiver_reset(&c->receiver);
    drop_output(c);
    // Answers go out in one or two sends: Nagle's wait for the client's delayed ACK would hold
    // the second send of every long answer back by tens of milliseconds.
    if (platform::socket_set_nodelay(s, true) != 0) {
        error_report(SOURCE, 246, 494, "Windows Socket error '%s':  Couldn't setup Async operation on the Client socket.",
                     last_error_name());
        return;
    }
    select_client(c);
}

long read_client(void* source, char* buffer, long size) {
    auto* c = static_cast<TcpClient*>(source);
    long n = platform::socket_recv(c->socket, buffer, static_cast<std::size_t>(size));
    if (n >= 0)
        return n; // 0: the peer closed; its close notice follows
    return platform::socket_last_error() == platform::WSAEWOULDBLOCK ? 0 : -1;
}

void serve_command(TcpClient* c) {
    const int previous = host_current_index();
    host_select(tcp.slot_number - 1);
    if (HostState* state = host_state(tcp.slot_number - 1))
        state->status |= HOST_STATUS_SERVING;
    host_session(c->receiver.body);
    host_select(previous);
}

// One read notice serves at most one command; bytes left in the socket bring the next notice.
void receive_client(TcpClient* c) {
    if (platform::socket_async_select(c->socket, server_loop(), MSG_TCP_CLIENT_NOTICE, platform::FD_CLOSE) != 0) {
        error_report(SOURCE, 270, 494, "Windows Socket error '%s':  Couldn't setup Async operation on the Client socket.",
                     last_error_name());
        return;
    }
    switch (tcp_receive(&c->receiver, tcp.keep_header, read_client, c)) {
    case TCP_RECEIVE_FAILED:
        error_report(SOURCE, 276, 488, "Windows Socket error '%s':  An Error ocurred when reading from the Client.",
                     last_error_name());
        break;
    case TCP_RECEIVE_COMMAND:
        serve_command(c);
        break;
    case TCP_RECEIVE_WAIT:
        break;
    }
    if (c->socket != INVALID_SOCKET)
        select_client(c);
}

// Sends all of data, or keeps what the socket would not take for the client's write notice.
// False when the send failed.
bool send_to_client(TcpClient* c, const char* data, int size) {
    int sent = 0;
    if (c->output_length == 0) {
        while (sent < size) {
            long n = platform::socket_send(c->socket, data + sent, static_cast<std::size_t>(size - sent));
            if (n < 0)
                break;
            sent += static_cast<int>(n);
        }
        if (sent == size)
            return true;
        if (platform::socket_last_error() != platform::WSAEWOULDBLOCK) {
            error_report(SOURCE, 330, 489, "Windows Socket error '%s':  An Error ocurred when sending to the Client.",
                         last_error_name());
            return false;
        }
    }
    if (!keep_output(c, data + sent, size - sent)) {
        error_report(SOURCE, 337, 489, "Windows Socket error '%s':  An Error ocurred when sending to the Client.",
                     platform::socket_error_name(10055));
        return false;
    }
    select_client(c);
    return true;
}

void flush_client(TcpClient* c) {
    int sent = 0;
    while (sent < c->output_length) {
        long n = platform::socket_send(c->socket, c->output + sent, static_cast<std::size_t>(c->output_length - sent));
        if (n < 0)
            break;
        sent += static_cast<int>(n);
    }
    if (sent < c->output_length && platform::socket_last_error() != platform::WSAEWOULDBLOCK) {
        error_report(SOURCE, 350, 489, "Windows Socket error '%s':  An Error ocurred when sending to the Client.",
                     last_error_name());
        sent = c->output_length; // the rest of the answer is lost; the client must resynchronise
    }
    std::memmove(c->output, c->output + sent, static_cast<std::size_t>(c->output_length - sent));
    c->output_length -= sent;
    if (c->output_length == 0)
        drop_output(c);
    select_client(c);
}

// Echoes the command's header with the answer's LENGTH; short answers travel with it in one send.
void answer_op(const char* text, int length) {
    TcpClient* c = tcp.current;
    if (!c || c->socket == INVALID_SOCKET)
        return;
    if (length < 0)
        length = 0;
    if (length > LENGTH_FIELD_MAX)
        length = LENGTH_FIELD_MAX;
    char* frame = c->receiver.frame;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(length));
    std::memcpy(frame + 6, digits, 5);
    if (length <= TCP_SHORT_ANSWER_MAX) {
        std::memcpy(frame + TCP_HEADER_SIZE, text, static_cast<std::size_t>(length));
        send_to_client(c, frame, length + TCP_HEADER_SIZE);
    } else if (send_to_client(c, frame, TCP_HEADER_SIZE)) {
        send_to_client(c, text, length);
    }
}

// Runs inside server_yield without server_mutex: touches the event socket and counter only.
void event_op(const EventRecord* record) {
    if (tcp.slot_number == 0 || tcp.events == INVALID_SOCKET)
        return;
    char buffer[TCP_EVENT_BUFFER_SIZE] = {};
    std::memcpy(buffer, HEADER_TEMPLATE, TCP_HEADER_SIZE);
    constexpr int body_room = TCP_EVENT_BUFFER_SIZE - TCP_HEADER_SIZE;
    int body = std::snprintf(buffer + TCP_HEADER_SIZE, body_room, "EVENT %d %lld %.*s", record->event,
                             static_cast<long long>(record->unit) + 1, EVENT_TEXT_SIZE - 1, record->text);
    if (body < 0 || body > body_room - 1)
        body = body_room - 1; // cut (only absurd numbers can make it that long)
    const int length = TCP_HEADER_SIZE + body + 1;
    char header[32];
    std::snprintf(header, sizeof header, "&&%03u&%05u", static_cast<unsigned>(tcp.event_counter),
                  static_cast<unsigned>(length));
    std::memcpy(buffer, header, 11); // bytes 11 and 12 stay "&&"
    if (platform::socket_send(tcp.events, buffer, static_cast<std::size_t>(length)) < 0)
        error_report(SOURCE, 400, 476,
                     "Windows Socket error '%s': An Error ocurred when sending the event to the Client.",
                     last_error_name());
    tcp.event_counter = tcp.event_counter >= EVENT_ID_MAX ? 0 : tcp.event_counter + 1;
}

// ---- closing ----

// A slot whose configuration was refused (a second TCP_IP host) holds no transport: its close
// leaves the configured one alone.
void close_transport(HostSlot* slot) {
    if (slot && slot->transport != &tcp)
        return;
    if (tcp.clients) {
        for (int i = 0; i < tcp.client_count; ++i) {
            TcpClient* c = &tcp.clients[i];
            if (c->socket != INVALID_SOCKET) {
                if (platform::socket_shutdown(c->socket) != 0)
                    error_report(SOURCE, 420, 493, "Windows Socket error '%s':  During shut Down of socket '%d'.",
                                 last_error_name(), c->socket);
                if (platform::socket_close(c->socket) != 0)
                    error_report(SOURCE, 423, 492, "Windows Socket error '%s':  During close of socket '%d'.",
                                 last_error_name(), c->socket);
                c->socket = INVALID_SOCKET;
            }
        }
        for (int i = 0; i < TCP_CLIENT_TABLE; ++i) {
            mem_free(&tcp.clients[i].receiver.body);
            drop_output(&tcp.clients[i]);
        }
    }
    if (tcp.listener != INVALID_SOCKET && platform::socket_close(tcp.listener) != 0)
        error_report(SOURCE, 432, 492, "Windows Socket error '%s':  During close of socket '%d'.", last_error_name(),
                     tcp.listener);
    if (tcp.events != INVALID_SOCKET) {
        if ((tcp.events_connected && platform::socket_shutdown(tcp.events) != 0) ||
            platform::socket_close(tcp.events) != 0)
            error_report(SOURCE, 437, 492, "Windows Socket error '%s':  During close of socket '%d'.",
                         last_error_name(), tcp.events);
    }
    if (tcp.slot_number != 0)
        platform::socket_cleanup();
    mem_free(&tcp.clients);
    tcp = TcpTransport{false, 0, INVALID_SOCKET, INVALID_SOCKET, false, nullptr, 0, 0, 0, false, 0, nullptr, 0};
    if (slot)
        slot->transport = nullptr;
}

std::unique_lock<std::recursive_timed_mutex> take_server_mutex() {
    std::unique_lock<std::recursive_timed_mutex> lock(server_mutex, std::defer_lock);
    (void)lock.try_lock_for(std::chrono::milliseconds(server_mutex_timeout_ms()));
    return lock;
}

// ---- receiving ----

// A header: "&" at bytes 0, 1, 5, 11 and 12; LENGTH is the decimal number from byte 6 (read as
// atoi reads it, so it stops at the "&" of byte 11). A negative LENGTH is no header.
bool header_length(const char* h, long* length) {
    if (h[0] != '&' || h[1] != '&' || h[5] != '&' || h[11] != '&' || h[12] != '&')
        return false;
    const char* p = h + 6;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    long n = 0;
    while (is_digit(*p))
        n = n * 10 + (*p++ - '0');
    if (negative && n != 0)
        return false;
    *length = n;
    return true;
}

} // namespace

const HostTransport host_transport_tcp_ip = {
    .word = "TCP_IP",
    .type = HOST_TYPE_TCP_IP,
    .configure = configure,
    .close = close_transport,
};

bool tcp_settings(TcpSettings* settings) {
    if (!tcp.configured)
        return false;
    *settings = TcpSettings{tcp.command_port, tcp.event_port, tcp.client_count, tcp.keep_header, tcp.event_address};
    return true;
}

int tcp_connected_clients() {
    int n = 0;
    for (int i = 0; tcp.clients && i < tcp.client_count; ++i)
        n += tcp.clients[i].socket != INVALID_SOCKET;
    return n;
}

std::int64_t tcp_listen_notice(std::uint64_t, std::int64_t lparam) {
    auto lock = take_server_mutex();
    if (!lock.owns_lock() || tcp.slot_number == 0)
        return 0;
    const long event = lparam & 0xFFFF;
    const int error = static_cast<int>((lparam >> 16) & 0xFFFF);
    if (error != 0)
        error_report(SOURCE, 200, 263, "Windows Socket error '%s':  On Server Message.",
                     platform::socket_error_name(error));
    else if (event & platform::FD_ACCEPT)
        accept_client();
    return 1;
}

// A close notice that carries an error (a reset connection) still frees the record: otherwise
// every reset client would hold its record for good and the table would fill up.
std::int64_t tcp_client_notice(std::uint64_t wparam, std::int64_t lparam) {
    auto lock = take_server_mutex();
    if (!lock.owns_lock() || tcp.slot_number == 0)
        return 0;
    const long event = lparam & 0xFFFF;
    const int error = static_cast<int>((lparam >> 16) & 0xFFFF);
    TcpClient* previous = tcp.current;
    TcpClient* c = wparam <= INT_MAX ? find_client(static_cast<Socket>(wparam)) : nullptr;
    if (error != 0)
        error_report(SOURCE, 240, 264, "Windows Socket error '%s':  On Client Message.",
                     platform::socket_error_name(error));
    if (c) {
        tcp.current = c;
        if (error == 0 && (event & platform::FD_READ))
            receive_client(c);
        if (error == 0 && (event & platform::FD_WRITE) && c->socket != INVALID_SOCKET)
            flush_client(c);
        if ((event & platform::FD_CLOSE) && c->socket != INVALID_SOCKET)
            close_client(c);
    }
    tcp.current = previous;
    return 1;
}

void tcp_receiver_reset(TcpReceiver* r) {
    r->state = 1;
    r->scan_length = 0;
    r->write_position = 0;
    r->expected = 0;
}

// The receive state machine of one connection.
//
// State 1 looks for a header: it fills `scan` to 13 bytes from the stream (keeping a partial header
// until the rest arrives) and checks it. A header is copied into `frame`; it is then taken out of
// the stream unless keep_header is set, in which case the scan bytes stay as the front of the
// stream and become the first body bytes. LENGTH 0 takes the header out in either case (kept, it
// would be found again and again) and serves nothing. Otherwise state 2 expects min(LENGTH, 5000)
// body bytes. Thirteen bytes that are no header lose their first byte; since a header starts with
// "&", every byte before the next "&" goes at once.
//
// State 2 takes the held scan bytes first, then reads the stream into body until the expected
// count is there, puts the zero behind it and goes back to state 1. Bytes of a body longer than
// 5000 stay in the stream and are dropped by the header search.
//
// Between calls survive: the state, the partial header in scan, the body read so far.
TcpReceiveResult tcp_receive(TcpReceiver* r, bool keep_header, TcpRead read, void* source) {
    for (;;) {
        if (r->state != 2) {
            if (r->scan_length < TCP_HEADER_SIZE) {
                long n = read(source, r->scan + r->scan_length, TCP_HEADER_SIZE - r->scan_length);
                if (n < 0)
                    return TCP_RECEIVE_FAILED;
                if (n == 0)
                    return TCP_RECEIVE_WAIT;
                r->scan_length += static_cast<int>(n);
                continue;
            }
            long length = 0;
            if (!header_length(r->scan, &length)) {
                int drop = 1;
                while (drop < TCP_HEADER_SIZE && r->scan[drop] != '&')
                    ++drop;
                std::memmove(r->scan, r->scan + drop, static_cast<std::size_t>(TCP_HEADER_SIZE - drop));
                r->scan_length -= drop;
                continue;
            }
            std::memcpy(r->frame, r->scan, TCP_HEADER_SIZE);
            if (length == 0 || !keep_header)
                r->scan_length = 0;
            if (length == 0)
                continue;
            r->state = 2;
            r->expected = static_cast<int>(length < TCP_BODY_MAX ? length : TCP_BODY_MAX);
            r->write_position = 0;
            r->body[r->expected] = '\0';
        }
        if (r->scan_length > 0) {
            int take = r->expected - r->write_position;
            if (take > r->scan_length)
                take = r->scan_length;
            std::memcpy(r->body + r->write_position, r->scan, static_cast<std::size_t>(take));
            std::memmove(r->scan, r->scan + take, static_cast<std::size_t>(r->scan_length - take));
            r->scan_length -= take;
            r->write_position += take;
        } else if (r->write_position < r->expected) {
            long n = read(source, r->body + r->write_position, r->expected - r->write_position);
            if (n < 0)
                return TCP_RECEIVE_FAILED;
            if (n == 0)
                return TCP_RECEIVE_WAIT;
            r->write_position += static_cast<int>(n);
        }
        if (r->write_position == r->expected) {
            r->state = 1;
            return TCP_RECEIVE_COMMAND;
        }
    }
}
