#include "sim/tests/support.h"

#include <cstdio>
#include <sstream>

namespace nvsim::test {

namespace {
std::int64_t manual_now = 0;
std::int64_t manual_source() {
    return manual_now;
}
} // namespace

Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

std::string to_hex(const Bytes& bytes) {
    std::string out;
    char part[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(part, sizeof part, "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(part);
    }
    return out;
}

void ManualClock::SetUp() {
    manual_now = 1000000;
    platform::set_monotonic_source(manual_source);
}

void ManualClock::TearDown() {
    platform::set_monotonic_source(nullptr);
}

void ManualClock::advance(std::int64_t ms) {
    manual_now += ms;
}

std::int64_t ManualClock::now() {
    return manual_now;
}

Bytes poll(SimLine& line, std::uint8_t address_byte, int unit) {
    Bytes out{address_byte, EOT};
    for (char c : std::to_string(unit))
        out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(ENQ);
    line.receive(out);
    return line.take_output();
}

Exchange command(SimLine& line, std::uint8_t address_byte, int unit, const std::string& text) {
    Exchange x;
    Bytes status = poll(line, address_byte, unit);
    if (status.size() != 2 || status[1] != ACK) return x;
    x.addressed = true;
    x.status = status[0];
    line.receive(encode_command(text));
    AnswerReader reader;
    for (std::uint8_t b : line.take_output()) {
        x.result = reader.feed(b);
        if (x.result != AnswerReader::Result::more) break;
    }
    x.answer = reader.text();
    x.nak_reason = reader.nak_reason();
    line.receive(hex("04 10 04"));
    return x;
}

} // namespace nvsim::test
