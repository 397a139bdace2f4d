// Helpers of the simulator's tests: a manual monotonic clock, byte strings written as hex, and a
// master that reads answers off a SimLine.
#pragma once

#include "sim/codec.h"
#include "sim/line.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace nvsim::test {

// "04 31 32 05" -> bytes.
Bytes hex(const std::string& text);
std::string to_hex(const Bytes& bytes);

// Replaces the monotonic clock while a test runs; time moves only with advance().
class ManualClock : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    static void advance(std::int64_t ms);
    static std::int64_t now();
};

// Plays the master on a line: address byte, addressing, command frame, and the answer decoded.
struct Exchange {
    bool addressed = false;
    std::uint8_t status = 0;
    AnswerReader::Result result = AnswerReader::Result::more;
    std::string answer;
    std::uint8_t nak_reason = 0;
};
Exchange command(SimLine& line, std::uint8_t address_byte, int unit, const std::string& text);
// Address byte and addressing only (a status poll); returns the bytes the line answered.
Bytes poll(SimLine& line, std::uint8_t address_byte, int unit);

} // namespace nvsim::test
