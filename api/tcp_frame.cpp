#include "api/tcp_frame.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/nuvra_error.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

// Windows Sockets' number for a gracefully closed connection; our streams report it when the
// peer closes in the middle of a frame.
constexpr int WSAEDISCON = 10101;

int to_int(long v) { return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX)); }

// The leading decimal digits of a fixed-width field (0 when it starts with something else).
int field_number(const char* field, int width) {
    int value = 0;
    for (int i = 0; i < width && field[i] >= '0' && field[i] <= '9'; ++i)
        value = value * 10 + (field[i] - '0');
    return value;
}

int stream_error(CTcpStream& stream, long n) { return n == 0 ? WSAEDISCON : stream.Error(); }

bool deadline_passed(std::int64_t deadline) { return platform::monotonic_ms() > deadline; }

// Reads and drops the rest of an answer that did not fit. True when all of it came.
bool drain(CTcpStream& stream, long remaining, std::int64_t deadline) {
    char scratch[1024];
    while (remaining > 0) {
        long n = stream.Receive(scratch, static_cast<std::size_t>(std::min<long>(remaining, sizeof scratch)));
        if (n <= 0)
            return false;
        remaining -= n;
        if (remaining > 0 && deadline_passed(deadline))
            return false;
    }
    return true;
}

} // namespace

TcpIpParameters TcpParseParameters(const char* text) {
    TcpIpParameters p;
    if (!text)
        return p;
    while (*text == ' ' || *text == '\t')
        ++text;
    if (*text == '\0')
        return p;
    const char* comma = std::strchr(text, ',');
    p.host = comma ? std::string(text, comma) : std::string(text);
    int* fields[] = {&p.port, &p.event_port, &p.keep_header};
    const char* s = comma;
    for (int* field : fields) {
        if (!s || *s != ',')
            break;
        ++s;
        char* end = nullptr;
        long value = std::strtol(s, &end, 0);
        if (end == s)
            break;
        *field = to_int(value);
        s = end;
    }
    return p;
}

void TcpWriteHeader(char* out, unsigned id, int length) {
    std::snprintf(out, TCP_HEADER_SIZE + 1, "&&%03u&%05u&&", id % TCP_FRAME_ID_LIMIT,
                  static_cast<unsigned>(std::clamp(length, 0, TCP_LENGTH_MAX)));
}

bool TcpHeaderFound(const char* b) {
    return b[0] == '&' && b[1] == '&' && b[5] == '&' && b[11] == '&' && b[12] == '&';
}

int TcpHeaderId(const char* header) { return field_number(header + 2, 3); }
int TcpHeaderLength(const char* header) { return field_number(header + 6, 5); }

// Header phase, then answer phase, each with its own deadline. The header is peeked at, so that a
// stream that lost its framing gives up one byte at a time until a header starts it again; a
// header seen only in part waits for the rest. The answer phase reads LENGTH bytes and no more:
// whatever follows belongs to the next frame. With keep_header the header is part of the answer.
void TcpReadAnswer(CTcpStream& stream, unsigned id, bool keep_header, int time_out_ms, char* answer, int size,
                   TcpFailure* failure) {
    *failure = TcpFailure::retry;
    answer[0] = '\0';
    char header[TCP_HEADER_SIZE + 1] = {};

    std::int64_t deadline = platform::monotonic_ms() + time_out_ms;
    for (;;) {
        long n = stream.Peek(header, TCP_HEADER_SIZE);
        if (n <= 0)
            NV_RAISE(ERROR_TCP, "Windows Socket error '%s':  Couldn't receive len of command_answer.",
                     platform::socket_error_name(stream_error(stream, n)));
        if (n == TCP_HEADER_SIZE && TcpHeaderFound(header)) {
            if (!keep_header) {
                char taken[TCP_HEADER_SIZE];
                long r = stream.Receive(taken, TCP_HEADER_SIZE);
                if (r != TCP_HEADER_SIZE)
                    NV_RAISE(ERROR_TCP, "Windows Socket error '%s':  Couldn't receive len of command_answer.",
                             platform::socket_error_name(stream_error(stream, r)));
            }
            break;
        }
        if (n >= TCP_HEADER_SIZE) {
            char dropped;
            long r = stream.Receive(&dropped, 1);
            if (r != 1)
                NV_RAISE(ERROR_TCP, "Windows Socket error '%s':  Couldn't receive len of command_answer.",
                         platform::socket_error_name(stream_error(stream, r)));
        } else if (!stream.Pause()) {
            NV_RAISE(ERROR_TCP, "Windows Socket error '%s':  Couldn't receive len of command_answer.",
                     platform::socket_error_name(WSAEDISCON));
        }
        if (deadline_passed(deadline))
            NV_RAISE(ERROR_TCP, "Windows Socket error:  Time Out.");
    }

    int length = TcpHeaderLength(header);
    long remaining = length + (keep_header ? TCP_HEADER_SIZE : 0);
    int got = 0;
    deadline = platform::monotonic_ms() + time_out_ms;
    while (remaining > 0 && got < size) {
        long n = stream.Receive(answer + got, static_cast<std::size_t>(std::min<long>(size - got, remaining)));
        if (n <= 0)
            NV_RAISE(ERROR_TCP, "Windows Socket error '%s':  Couldn't receive answer of command_answer.",
                     platform::socket_error_name(stream_error(stream, n)));
        got += static_cast<int>(n);
        remaining -= n;
        if (got < size)
            answer[got] = '\0';
        if (remaining > 0 && deadline_passed(deadline))
            NV_RAISE(ERROR_TCP, "Windows Socket error:  Time Out.");
    }

    // The caller always gets a zero-terminated answer; one that fills the buffer without its own
    // zero at the end did not fit either.
    if (remaining > 0 || (got == size && answer[size - 1] != '\0')) {
        long missing = remaining > 0 ? remaining : 1;
        answer[size - 1] = '\0';
        *failure = drain(stream, remaining, deadline) ? TcpFailure::final_in_sync : TcpFailure::final;
        NV_RAISE(ERROR_GENERIC,
                 "Windows Socket error: Receive buffer too small. Need '%d' extra space in the answer buffer",
                 static_cast<int>(missing));
    }
    if (length != 0 && static_cast<unsigned>(TcpHeaderId(header)) != id) {
        *failure = TcpFailure::final;
        NV_RAISE(ERROR_TCP_ID_MISMATCH, "Windows Socket error: Send ID '%u' is not equal to Receive ID '%u'", id,
                 static_cast<unsigned>(TcpHeaderId(header)));
    }
}

bool TcpParseEvent(char* datagram, std::size_t n, TcpEvent* event) {
    if (n <= static_cast<std::size_t>(TCP_HEADER_SIZE))
        return false;
    datagram[n] = '\0';
    if (!TcpHeaderFound(datagram))
        return false;
    if (static_cast<std::size_t>(TcpHeaderLength(datagram)) != std::strlen(datagram) + 1)
        return false;
    char* blank = std::strchr(datagram + TCP_HEADER_SIZE, ' ');
    if (!blank)
        return false;
    long high = std::strtol(blank + 1, nullptr, 10);
    blank = std::strchr(blank + 1, ' ');
    if (!blank)
        return false;
    long unit = std::strtol(blank + 1, nullptr, 10);
    if (unit == 0)
        return false;
    blank = std::strchr(blank + 1, ' ');
    if (!blank)
        return false;
    event->high = to_int(high);
    event->low = static_cast<int>(static_cast<std::uint32_t>(to_int(unit)) - 1u);
    event->text = blank + 1;
    return true;
}
