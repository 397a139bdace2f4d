#include "api/tcpip.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "api/nuvra_error.h"
#include "api/nvapi_state.h"
#include "api/profile.h"
#include "platform/client_socket.h"

using platform::INVALID_SOCKET;
using platform::Socket;
using platform::socket_error_name;

namespace {

constexpr int WSAETIMEDOUT = 10060;
// Commands up to this length travel in one send with their header.
constexpr int ONE_SEND_LIMIT = 5000;
constexpr int USABILITY_POLL_MS = 10;
// Pause of the listener after a failed wait, so that a broken socket cannot make it spin.
constexpr int LISTENER_BACKOFF_MS = 100;

std::atomic<unsigned> frame_id{0};

// A receive or send that ran into the socket's time-out reports WSAETIMEDOUT, as Windows does.
int last_error() {
    int e = platform::socket_last_error();
    return e == platform::WSAEWOULDBLOCK ? WSAETIMEDOUT : e;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class CSocketStream : public CTcpStream {
public:
    explicit CSocketStream(Socket s) : s_(s) {}
    long Peek(char* buffer, std::size_t size) override { return platform::socket_recv(s_, buffer, size, true); }
    long Receive(char* buffer, std::size_t size) override { return platform::socket_recv(s_, buffer, size); }
    bool Pause() override {
        if (platform::client_peer_closed(s_))
            return false;
        sleep_ms(1);
        return true;
    }
    int Error() override { return last_error(); }

private:
    Socket s_;
};

// Closes a socket unless released, for the error paths of set-up code.
class SocketGuard {
public:
    explicit SocketGuard(Socket s) : s_(s) {}
    ~SocketGuard() {
        if (s_ != INVALID_SOCKET)
            platform::socket_close(s_);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    Socket release() {
        Socket s = s_;
        s_ = INVALID_SOCKET;
        return s;
    }

private:
    Socket s_;
};

} // namespace

// The listener: one thread that waits for event datagrams (or for the wake-up that ends it) and
// hands each valid one to the application. Nothing it meets goes back to the application; its
// failures are traced.
class CTcpEventListener {
public:
    explicit CTcpEventListener(int port);
    ~CTcpEventListener();
    CTcpEventListener(const CTcpEventListener&) = delete;
    CTcpEventListener& operator=(const CTcpEventListener&) = delete;

private:
    void Run();
    void ReadDatagram();

    Socket socket_ = INVALID_SOCKET;
    platform::SocketWakeup wakeup_;
    std::thread thread_;
    char buffer_[TCP_EVENT_DATAGRAM_MAX + 1] = {};
};

CTcpEventListener::CTcpEventListener(int port) {
    Socket s = platform::socket_datagram();
    if (s == INVALID_SOCKET)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  Couldn't create event socket.",
                 socket_error_name(platform::socket_last_error()));
    SocketGuard guard(s);
    if (platform::socket_bind(s, platform::IPV4_ANY, port) != 0)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  Couldn't bind the event socket.",
                 socket_error_name(platform::socket_last_error()));
    if (int e = wakeup_.open(); e != 0)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  Couldn't setup Async/Event operation on the event socket.",
                 socket_error_name(e));
    socket_ = s;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        socket_ = INVALID_SOCKET;
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  Couldn't create event socket.",
                 socket_error_name(platform::socket_error_from_errno(e.code().value())));
    }
    guard.release();
}

CTcpEventListener::~CTcpEventListener() {
    wakeup_.signal();
    if (thread_.joinable())
        thread_.join();
    platform::socket_shutdown(socket_); // a datagram socket has no connection to shut down
    if (platform::socket_close(socket_) != 0) {
        CXNuvraError e(__FILE__, __LINE__, ERROR_GENERIC, "Windows Socket error '%s': Couldn't close the event Socket.",
                       socket_error_name(platform::socket_last_error()));
        ApiMessageBox(e.text.c_str());
    }
}

void CTcpEventListener::Run() {
    for (;;) {
        int error = 0;
        platform::WaitResult r = platform::client_wait_readable(socket_, wakeup_, &error);
        if (r == platform::WaitResult::woken)
            return;
        try {
            if (r == platform::WaitResult::failed)
                NV_RAISE(ERROR_TCP, "Windows Socket error '%s': Couldn't Connect Socket.", socket_error_name(error));
            ReadDatagram();
        } catch (const CXNuvraError& e) {
            ApiErrorTrace(e);
            sleep_ms(LISTENER_BACKOFF_MS);
        } catch (...) {
            // An application callback that threw: the listener keeps serving.
        }
    }
}

void CTcpEventListener::ReadDatagram() {
    long n = platform::socket_recv_from(socket_, buffer_, TCP_EVENT_DATAGRAM_MAX, nullptr);
    if (n < 0)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  An Error ocurred when reading the event from the server.",
                 socket_error_name(platform::socket_last_error()));
    TcpEvent event;
    if (TcpParseEvent(buffer_, static_cast<std::size_t>(n), &event))
        ApiDeliverEvent(event.high, event.low, event.text);
}

// ---- the transport ----

unsigned CProtocol_tcp_ip::FrameId() { return frame_id.load(); }
void CProtocol_tcp_ip::SetFrameId(unsigned id) { frame_id.store(id % TCP_FRAME_ID_LIMIT); }

CProtocol_tcp_ip::CProtocol_tcp_ip(const char* parameters) : parameters_(TcpParseParameters(parameters)) {
    const char* file = ApiSettingsPath();
    connect_time_out_ = ProfileGetInt("PROTOCOL", "CONNECT_TIME_OUT", 5000, file);
    connect_trys_ = ProfileGetInt("PROTOCOL", "CONNECT_TRYS", 5, file);
    answer_time_out_ = ProfileGetInt("PROTOCOL", "ANSWER_TIME_OUT", 5000, file);
    command_trys_ = ProfileGetInt("PROTOCOL", "COMMAND_TRYS", 5, file);
    try {
        Connect();
    } catch (const CXNuvraError&) {
        // Not reported: the first Begin or command that needs the connection tries again and
        // reports what it meets then.
    }
}

CProtocol_tcp_ip::~CProtocol_tcp_ip() {
    events_.reset();
    try {
        CloseCommandSocket();
    } catch (const CXNuvraError& e) {
        ApiMessageBox(e.text.c_str());
    }
}

// Connect: a fresh socket with the answer time-out on its receives and sends, no send delay
// (a header and body sent apart would wait for the delayed acknowledgement), and a connect that
// waits at most the connect time-out. A refused connection fails here rather than at the first
// command.
void CProtocol_tcp_ip::Connect() {
    const char* host = parameters_.host.c_str();
    if (socket_ != INVALID_SOCKET) {
        platform::socket_close(socket_);
        socket_ = INVALID_SOCKET;
    }
    established_ = false;
    Socket s = platform::socket_stream();
    if (s == INVALID_SOCKET)
        NV_RAISE(2047, "Windows Socket error '%s':  Couldn't create server socket.",
                 socket_error_name(platform::socket_last_error()));
    SocketGuard guard(s);
    // Zero would mean "no time-out": a silent server would then hold the caller for ever.
    int io_time_out = answer_time_out_ > 0 ? answer_time_out_ : 1;
    if (int e = platform::client_set_receive_timeout(s, io_time_out); e != 0)
        NV_RAISE(2047, "Windows Socket error '%s':  Couldn't set receive timeout on server socket.",
                 socket_error_name(e));
    if (int e = platform::client_set_send_timeout(s, io_time_out); e != 0)
        NV_RAISE(2047, "Windows Socket error '%s':  Couldn't set send timeout on server socket.", socket_error_name(e));
    if (platform::socket_set_nodelay(s, true) != 0)
        NV_RAISE(2047, "Windows Socket error '%s':  Couldn't set no delay on server socket.",
                 socket_error_name(platform::socket_last_error()));

    // A dotted address is used as it is; looking it up by address first would make a server
    // without a reverse name unreachable.
    std::uint32_t address = 0;
    if (!platform::parse_ipv4(host, &address)) {
        if (int e = platform::client_resolve_ipv4(host, &address); e != 0)
            NV_RAISE(2048, "Windows Socket error '%s': Couldn't get hostname or host address '%.100s'.",
                     socket_error_name(e), host);
    }

    if (platform::socket_set_blocking(s, false) != 0)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  Couldn't setup Async operation on the event socket.",
                 socket_error_name(platform::socket_last_error()));
    if (platform::socket_connect(s, address, parameters_.port) != 0) {
        if (platform::socket_last_error() != platform::WSAEWOULDBLOCK)
            NV_RAISE(ERROR_TCP, "Windows Socket error '%s': Couldn't Connect Socket.",
                     socket_error_name(platform::socket_last_error()));
        long ready = platform::socket_wait(s, platform::FD_WRITE, connect_time_out_ > 0 ? connect_time_out_ : 0);
        if (ready < 0)
            NV_RAISE(ERROR_TCP, "Windows Socket error '%s': Couldn't Connect Socket.",
                     socket_error_name(platform::socket_last_error()));
        if (ready == 0)
            NV_RAISE(ERROR_TCP, "No connection with host '%.100s'.", host);
        int pending = platform::socket_pending_error(s);
        if (pending != 0)
            NV_RAISE(ERROR_TCP, "Windows Socket error '%s': Couldn't Connect Socket.",
                     socket_error_name(pending < 0 ? platform::socket_last_error() : pending));
    }
    if (platform::socket_set_blocking(s, true) != 0)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error '%s':  Couldn't setup blocking operation on the socket.",
                 socket_error_name(platform::socket_last_error()));
    socket_ = guard.release();
    established_ = true;
}

void CProtocol_tcp_ip::CloseCommandSocket() {
    established_ = false;
    if (socket_ == INVALID_SOCKET)
        return;
    Socket s = socket_;
    socket_ = INVALID_SOCKET;
    platform::socket_shutdown(s); // fails harmlessly on a connection the peer has reset
    if (platform::socket_close(s) != 0)
        NV_RAISE(2051, "Windows Socket error '%s': Couldn't close Socket.",
                 socket_error_name(platform::socket_last_error()));
}

// Asks, without waiting, whether the connection takes data; CONNECT_TIME_OUT / 10 times, 10 ms
// apart.
void CProtocol_tcp_ip::UsabilityCheck() {
    int attempts = connect_time_out_ / USABILITY_POLL_MS;
    bool failed_as_error = false;
    for (int i = 0; i < attempts && socket_ != INVALID_SOCKET; ++i) {
        long ready = platform::socket_wait(socket_, platform::FD_WRITE, 0);
        if (ready > 0)
            return;
        failed_as_error = ready < 0;
        if (i + 1 < attempts)
            sleep_ms(USABILITY_POLL_MS);
    }
    if (failed_as_error)
        NV_RAISE(2052, "Windows Socket error '%s':  Couldn't get select for server request.",
                 socket_error_name(platform::socket_last_error()));
    NV_RAISE(ERROR_TCP, "No connetion with host '%.100s'", parameters_.host.c_str());
}

void CProtocol_tcp_ip::Begin() {
    // A transport whose connection failed earlier connects again here; the connect's error goes
    // to the caller.
    if (!established_)
        Connect();
    for (int failures = 0;;) {
        try {
            UsabilityCheck();
            return;
        } catch (const CXNuvraError&) {
            if (++failures >= connect_trys_)
                throw;
        }
        CloseCommandSocket();
        Connect();
    }
}

// Sends all bytes: a send the time-out cut short is continued, so that a frame never goes out in
// part.
void CProtocol_tcp_ip::Send(const char* data, std::size_t size, bool command_part) {
    while (size > 0) {
        long n = platform::socket_send(socket_, data, size);
        if (n < 0 && command_part)
            NV_RAISE(2056, "Windows Socket error '%s':  Couldn't send command_answer.", socket_error_name(last_error()));
        if (n < 0)
            NV_RAISE(2055, "Windows Socket error '%s':  Couldn't send len of command_answer.",
                     socket_error_name(last_error()));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// One attempt: the request (header and command in one send below ONE_SEND_LIMIT bytes, two sends
// from there on), then the answer. The frame ID advances only when the answer came.
void CProtocol_tcp_ip::Exchange(const char* command, int length, char* answer, int size, TcpFailure* failure) {
    *failure = TcpFailure::retry;
    answer[0] = '\0';
    unsigned id = frame_id.load();
    char header[TCP_HEADER_SIZE + 1];
    TcpWriteHeader(header, id, length);
    if (length < ONE_SEND_LIMIT) {
        char request[TCP_HEADER_SIZE + ONE_SEND_LIMIT];
        std::memcpy(request, header, TCP_HEADER_SIZE);
        if (length > 0)
            std::memcpy(request + TCP_HEADER_SIZE, command, static_cast<std::size_t>(length));
        Send(request, TCP_HEADER_SIZE + static_cast<std::size_t>(length), false);
    } else {
        Send(header, TCP_HEADER_SIZE, false);
        Send(command, static_cast<std::size_t>(length), true);
    }
    CSocketStream stream(socket_);
    TcpReadAnswer(stream, id, parameters_.keep_header != 0, answer_time_out_, answer, size, failure);
    frame_id.store(id + 1 >= TCP_FRAME_ID_LIMIT ? 0 : id + 1);
}

void CProtocol_tcp_ip::CommandAnswer(const char* command, int length, char* answer, int size) {
    answer[0] = '\0';
    if (length < 0 || length > TCP_LENGTH_MAX)
        NV_RAISE(ERROR_GENERIC, "Windows Socket error: Command of %d bytes does not fit a frame (at most 99999)", length);
    if (!established_)
        Connect();
    for (int failures = 0;;) {
        TcpFailure failure = TcpFailure::retry;
        try {
            Exchange(command, length, answer, size, &failure);
            return;
        } catch (const CXNuvraError&) {
            bool final = ++failures >= command_trys_ || failure != TcpFailure::retry;
            if (final) {
                if (failure != TcpFailure::final_in_sync) {
                    try {
                        CloseCommandSocket();
                    } catch (const CXNuvraError&) {
                        // The command's own error is the one to report.
                    }
                }
                throw;
            }
        }
        CloseCommandSocket();
        Connect();
    }
}

void CProtocol_tcp_ip::StartEvents() {
    if (parameters_.event_port == 0)
        return;
    events_ = std::make_unique<CTcpEventListener>(parameters_.event_port);
}
