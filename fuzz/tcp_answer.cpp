// The client's answer reader fed with an arbitrary byte stream. Input: a mode byte, then the
// stream; 0xFF 0xFE splits the stream into the pieces in which it arrives (a read of an empty
// stream takes the next piece, as a blocking receive waits for data).
//   mode bits 0-5: the answer buffer's size 1..64; bit 6: keep header; bit 7: a receive error
//   instead of the peer's close once the stream is used up.
// The buffer is allocated to its exact size, so any write past it is caught; the clock moves 1 ms
// at every reading, so a reader that waits for bytes that never come meets its deadline at once.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/nuvra_error.h"
#include "api/tcp_frame.h"
#include "api/tests/memory_stream.h"
#include "fuzz/scratch_file.h"
#include "platform/clock.h"

namespace {

std::atomic<std::int64_t> now{0};
std::int64_t stepping_clock() { return ++now; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static const bool clock_set = [] {
        platform::set_monotonic_source(stepping_clock);
        return true;
    }();
    (void)clock_set;
    const int answer_size = (data[0] & 0x3F) + 1;
    const bool keep_header = (data[0] & 0x40) != 0;
    const int end_error = (data[0] & 0x80) ? 10054 : 0;

    std::vector<std::string> pieces(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
            pieces.emplace_back();
            ++i;
        } else {
            pieces.back().push_back(static_cast<char>(data[i]));
        }
    }
    apitest::MemoryStream stream(pieces, end_error);
    std::unique_ptr<char[]> answer(new char[static_cast<std::size_t>(answer_size)]);
    TcpFailure failure = TcpFailure::retry;
    try {
        TcpReadAnswer(stream, 7, keep_header, 50, answer.get(), answer_size, &failure);
        fuzz_check(failure == TcpFailure::retry);
    } catch (const CXNuvraError& e) {
        fuzz_check(e.number == ERROR_TCP || e.number == ERROR_GENERIC || e.number == ERROR_TCP_ID_MISMATCH);
        fuzz_check(e.number != ERROR_TCP || failure == TcpFailure::retry);
        fuzz_check(e.number == ERROR_TCP || failure != TcpFailure::retry);
    }
    // Whatever happened, the caller holds a zero-terminated text.
    fuzz_check(strnlen(answer.get(), static_cast<std::size_t>(answer_size)) < static_cast<std::size_t>(answer_size));
    return 0;
}
