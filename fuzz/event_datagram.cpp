// The client's event datagram parser fed with arbitrary datagrams of up to 532 bytes, in a buffer
// that holds stale bytes of an earlier datagram behind them (as the listener's buffer does).
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/tcp_frame.h"
#include "fuzz/scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > TCP_EVENT_DATAGRAM_MAX)
        size = TCP_EVENT_DATAGRAM_MAX;
    std::vector<char> buffer(TCP_EVENT_DATAGRAM_MAX + 1, 'S');
    if (size > 0)
        std::memcpy(buffer.data(), data, size);
    TcpEvent event{};
    if (!TcpParseEvent(buffer.data(), size, &event))
        return 0;
    // An accepted datagram: header, a length that matches, and a text inside the datagram.
    fuzz_check(size > static_cast<std::size_t>(TCP_HEADER_SIZE));
    fuzz_check(event.text > buffer.data() + TCP_HEADER_SIZE && event.text <= buffer.data() + size);
    fuzz_check(static_cast<std::size_t>(TcpHeaderLength(buffer.data())) == std::strlen(buffer.data()) + 1);
    fuzz_check(event.low != -1); // a unit of 0 is refused
    return 0;
}
