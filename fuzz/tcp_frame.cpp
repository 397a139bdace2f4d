// The TCP/IP host's receive state machine fed a command stream in chunks, as read notices hand it
// over, with reads that fail now and then. Input: a configuration byte (bit 0: keep header; bits
// 1-7: seed of the chunk sizes), a byte giving the largest chunk (0 = 256), then the stream.
//
// Checks: every command captured is what a plain reading of the whole stream finds (a header is
// "&" at bytes 0, 1, 5, 11, 12 with a non-negative LENGTH from byte 6; the body is min(LENGTH,
// 5000) bytes behind it, or from the header itself with keep header; anything else loses a byte),
// so chunk boundaries and failed reads change nothing; bodies are zero-terminated inside the
// 5030-byte buffer (allocated to its exact size, so any write past it is caught).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/hosts/tcpip.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

struct Command {
    std::string header;
    std::string body;
    bool operator==(const Command&) const = default;
};

bool is_header(const std::string& d, std::size_t at, long* length) {
    for (std::size_t i : {0u, 1u, 5u, 11u, 12u})
        if (d[at + i] != '&')
            return false;
    std::string field = d.substr(at + 6, 7);
    *length = std::strtol(field.c_str(), nullptr, 10);
    return *length >= 0;
}

std::vector<Command> read_whole(const std::string& d, bool keep) {
    std::vector<Command> out;
    std::size_t at = 0;
    while (d.size() - at >= 13) {
        long length = 0;
        if (!is_header(d, at, &length)) {
            ++at;
            continue;
        }
        if (length == 0) {
            at += 13;
            continue;
        }
        std::size_t n = static_cast<std::size_t>(length < 5000 ? length : 5000);
        std::size_t body_at = keep ? at : at + 13;
        if (d.size() - body_at < n)
            break;
        out.push_back(Command{d.substr(at, 13), d.substr(body_at, n)});
        at = body_at + n;
    }
    return out;
}

struct Source {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;
    long chunk_left; // -1: the next read fails
};

long read_source(void* source, char* buffer, long size) {
    auto* s = static_cast<Source*>(source);
    if (s->chunk_left < 0) {
        s->chunk_left = 0;
        return -1;
    }
    long n = size < s->chunk_left ? size : s->chunk_left;
    std::memcpy(buffer, s->data + s->at, static_cast<std::size_t>(n));
    s->at += static_cast<std::size_t>(n);
    s->chunk_left -= n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const bool keep = data[0] & 1;
    std::uint32_t seed = (data[0] >> 1) * 2654435761u + 1;
    const long largest = data[1] == 0 ? 256 : data[1];
    Source source{data + 2, size - 2, 0, 0};

    auto body = std::make_unique<char[]>(TCP_RECEIVE_BUFFER_SIZE);
    TcpReceiver r{};
    r.body = body.get();
    tcp_receiver_reset(&r);

    std::vector<Command> got;
    while (source.at < source.size) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        if (seed % 11 == 0) {
            source.chunk_left = -1;
        } else {
            long rest = static_cast<long>(source.size - source.at);
            long n = 1 + static_cast<long>(seed % static_cast<std::uint32_t>(largest));
            source.chunk_left = n < rest ? n : rest;
        }
        // One read notice per chunk; a command leaves the rest for the notice that follows.
        for (;;) {
            TcpReceiveResult result = tcp_receive(&r, keep, read_source, &source);
            check(r.scan_length >= 0 && r.scan_length <= TCP_HEADER_SIZE);
            check(r.state == 1 || r.state == 2);
            if (result != TCP_RECEIVE_COMMAND)
                break;
            check(r.expected > 0 && r.expected <= TCP_BODY_MAX);
            check(r.body[r.expected] == '\0');
            got.push_back(Command{std::string(r.frame, 13),
                                  std::string(r.body, static_cast<std::size_t>(r.expected))});
        }
        check(source.chunk_left == 0);
    }
    const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    check(got == read_whole(stream, keep));
    return 0;
}
