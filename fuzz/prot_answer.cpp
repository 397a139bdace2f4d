// The master's side of an exchange fed with arbitrary unit bytes over an in-memory line whose
// time-outs cost nothing. Input: a mode byte, then the unit's bytes; 0xFF 0xFE splits them into the
// replies to successive blocks the master writes (an addressing, each attempt's frame).
//   mode bits 0-1: 0 prot_receive_answer, 1 prot_command_answer, 2 prot_command_answer_len,
//   3 prot_connect then prot_command_answer; bits 2-7: the answer size 0..63.
// The answer buffer is allocated to its exact size + 1, so any write past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "platform/serial_fake.h"
#include "server/core/errorsys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int mode = data[0] & 0x03;
    const int answer_size = data[0] >> 2;

    auto replies = std::make_shared<std::deque<Bytes>>(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
            replies->emplace_back();
            ++i;
        } else {
            replies->back().push_back(data[i]);
        }
    }

    // One line for the whole run: opening a port starts its reader thread.
    static std::shared_ptr<platform::FakeSerialLine> line = [] {
        prot_set_retry_pause_ms(0);
        error_discard();
        auto made = platform::FakeSerialLine::create();
        made->set_instant_timeouts(true);
        io_open_device(0, made->make_device());
        check(error_pending() == 0);
        return made;
    }();
    error_discard();
    io_purge_input();
    line->take_output();
    line->set_responder(nullptr);
    if (mode == 0) {
        line->feed(replies->front().data(), replies->front().size());
    } else {
        line->set_responder([replies](const Bytes&) {
            if (replies->empty())
                return Bytes{};
            Bytes reply = replies->front();
            replies->pop_front();
            return reply;
        });
    }

    auto answer = std::make_unique<char[]>(answer_size + 1);
    int result = 0;
    bool retried = true;
    switch (mode) {
    case 0:
        result = prot_receive_answer(answer.get(), answer_size);
        retried = false;
        break;
    case 1:
        result = prot_command_answer("S", answer.get(), answer_size);
        break;
    case 2:
        result = prot_command_answer_len("A\x82\0B", 4, answer.get(), answer_size);
        break;
    default: {
        std::uint8_t status = 0;
        prot_connect(12, &status);
        result = prot_command_answer("S", answer.get(), answer_size);
        check(result == 0 || error_pending() == 0);
        break;
    }
    }
    check(std::strlen(answer.get()) <= static_cast<std::size_t>(answer_size));
    if (result == 1)
        check(error_pending() == 0);
    else if (retried)
        check(error_pending() == 118 || (mode == 3 && error_pending() != 0));
    prot_end();
    line->set_responder(nullptr);
    error_discard();
    return 0;
}
