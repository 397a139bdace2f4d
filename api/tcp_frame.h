// The client's side of the TCP/IP framing: connection parameters, the 13-byte frame header, the
// answer reader and the event datagram parser. No sockets here: the reader works on a CTcpStream.
//
// Frame header (ASCII): "&&" ID(3 digits) "&" LENGTH(5 digits) "&&". A request carries LENGTH
// command bytes; the answer echoes the request's header with LENGTH = answer bytes including the
// answer's terminating zero. An event datagram is a header whose LENGTH is the length of the
// whole datagram (header included) plus one, then "EVENT <event> <unit + 1> <text>" and a zero.
#pragma once

#include <cstddef>
#include <string>

constexpr int TCP_HEADER_SIZE = 13;
constexpr int TCP_EVENT_DATAGRAM_MAX = 532;
constexpr int TCP_FRAME_ID_LIMIT = 1000; // IDs run 0 .. 999
constexpr int TCP_LENGTH_MAX = 99999;    // what the five digits hold

struct TcpIpParameters {
    std::string host = "ZADOZIV";
    int port = 500;
    int event_port = 501; // 0 = no events
    int keep_header = 0;  // non-zero: the answer's header is handed on as the start of the answer
};

// Reads the text after "TCP_IP," (null: none): leading blanks skipped, the host up to the next
// comma, then up to three integers after commas (decimal, 0x hexadecimal, 0 octal: port, event
// port, keep header). Scanning stops at the first thing that is not such an integer; values not
// read keep their defaults, text after the last integer is ignored.
TcpIpParameters TcpParseParameters(const char* text);

// Writes "&&%03u&%05u&&" (13 characters and a zero).
void TcpWriteHeader(char* out, unsigned id, int length);
// True when bytes 0, 1, 5, 11 and 12 of the 13 bytes are "&".
bool TcpHeaderFound(const char* bytes);
// The decimal digits of a header field; -1 when a byte of it is not a digit.
int TcpHeaderId(const char* header);
int TcpHeaderLength(const char* header);

// A byte stream the answer reader takes bytes from. Each call returns the count, 0 when the peer
// has closed the stream, or a negative value with the error number in Error().
class CTcpStream {
public:
    virtual ~CTcpStream() = default;
    virtual long Peek(char* buffer, std::size_t size) = 0;
    virtual long Receive(char* buffer, std::size_t size) = 0;
    // Gives more bytes a moment to arrive (a header seen only in part); false when none can come
    // any more because the peer has closed the stream.
    virtual bool Pause() = 0;
    virtual int Error() = 0;
};

// How a failed read leaves the stream.
enum class TcpFailure {
    retry,          // send the command again on a new connection
    final_in_sync,  // do not retry; the stream stands at a frame boundary and may be used again
    final,          // do not retry; the stream is lost
};

// Reads the answer to the request with frame ID `id` into answer[0 .. size - 1] (size > 0): finds
// the header (dropping any byte that does not start one), reads LENGTH bytes, checks the ID, and
// leaves a zero-terminated answer. Each phase ends after `time_out_ms` (platform::monotonic_ms).
// Throws CXNuvraError and sets *failure:
// - 3011 receive failures, time-outs and a stream closed by the peer: retry;
// - 2000 "Receive buffer too small", after the rest of the answer has been read and dropped:
//   final_in_sync (final when the rest did not come);
// - 2061 an answer of another ID (LENGTH not 0): final.
void TcpReadAnswer(CTcpStream& stream, unsigned id, bool keep_header, int time_out_ms, char* answer, int size,
                   TcpFailure* failure);

struct TcpEvent {
    int high;         // the first number: the event
    int low;          // the second number minus one: the unit index
    const char* text; // inside the datagram
};

// Parses a datagram of n bytes held in a buffer of at least n + 1 bytes (a zero is put at n).
// False for anything that is not an event datagram: n <= 13, no header, LENGTH not equal to the
// length of the zero-terminated text plus one, a missing blank-separated field, a unit of 0.
bool TcpParseEvent(char* datagram, std::size_t n, TcpEvent* event);
