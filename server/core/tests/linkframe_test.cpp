// Expected bytes are worked out by hand from the link's escaping and check sum rules.
#include "server/core/linkframe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(std::uint8_t byte, bool use_si) {
    std::uint8_t out[LINK_ENCODED_MAX];
    int n = link_encode_byte(byte, use_si, out);
    return Bytes(out, out + n);
}

struct Capture {
    std::vector<Bytes> writes;
    Bytes all() const {
        Bytes joined;
        for (const Bytes& w : writes)
            joined.insert(joined.end(), w.begin(), w.end());
        return joined;
    }
};

void capture(void* context, const std::uint8_t* data, int length) {
    static_cast<Capture*>(context)->writes.emplace_back(data, data + length);
}

Capture command_frame(const Bytes& data, bool use_si, int chunk = 493) {
    Capture c;
    link_write_command(data.data(), static_cast<int>(data.size()), use_si, chunk, capture, &c);
    return c;
}

Capture answer_frame(const Bytes& data, bool use_si, int chunk = 93) {
    Capture c;
    link_write_answer(data.data(), static_cast<int>(data.size()), use_si, chunk, capture, &c);
    return c;
}

struct EncodeCase {
    const char* name;
    std::uint8_t byte;
    bool use_si;
    Bytes expected;
};

const EncodeCase encode_cases[] = {
    {"printable_bare", 0x41, true, {0x41}},
    {"zero_bare", 0x00, true, {0x00}},
    {"bel_bare", 0x07, true, {0x07}},
    {"dc3_bare", 0x13, true, {0x13}},
    {"can_bare", 0x18, true, {0x18}},
    {"us_bare", 0x1F, true, {0x1F}},
    {"soh_escaped", 0x01, true, {0x0E, 0x21}},
    {"stx_escaped", 0x02, true, {0x0E, 0x22}},
    {"enq_escaped", 0x05, true, {0x0E, 0x25}},
    {"ack_escaped", 0x06, true, {0x0E, 0x26}},
    {"so_escaped", 0x0E, true, {0x0E, 0x2E}},
    {"si_escaped", 0x0F, true, {0x0E, 0x2F}},
    {"dle_escaped", 0x10, true, {0x0E, 0x30}},
    {"dc1_escaped", 0x11, true, {0x0E, 0x31}},
    {"dc2_escaped", 0x12, true, {0x0E, 0x32}},
    {"nak_escaped", 0x15, true, {0x0E, 0x35}},
    {"syn_escaped", 0x16, true, {0x0E, 0x36}},
    {"etb_escaped", 0x17, true, {0x0E, 0x37}},
    {"high_stx_si_so", 0x82, true, {0x0F, 0x0E, 0x22}},
    {"high_so_si_so", 0x8E, true, {0x0F, 0x0E, 0x2E}},
    {"high_printable_si", 0xE9, true, {0x0F, 0x69}},
    {"high_zero_si", 0x80, true, {0x0F, 0x00}},
    {"high_max_si", 0xFF, true, {0x0F, 0x7F}},
    {"plain_high_bare", 0x82, false, {0x82}},
    {"plain_high_ack_bare", 0x86, false, {0x86}},
    {"plain_enq_escaped", 0x05, false, {0x0E, 0x25}},
    {"plain_si_escaped", 0x0F, false, {0x0E, 0x2F}},
};

class LinkEncode : public testing::TestWithParam<EncodeCase> {};

TEST_P(LinkEncode, EncodesOneByte) {
    const EncodeCase& c = GetParam();
    EXPECT_EQ(encode(c.byte, c.use_si), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LinkEncode, testing::ValuesIn(encode_cases),
                         [](const auto& row) { return std::string(row.param.name); });

struct DecodeCase {
    const char* name;
    Bytes wire;
    Bytes expected;
};

const DecodeCase decode_cases[] = {
    {"bare", {0x4F, 0x4B}, {0x4F, 0x4B}},
    {"so_control", {0x0E, 0x23}, {0x03}},
    {"si_so_high_control", {0x0F, 0x0E, 0x22}, {0x82}},
    {"si_high_printable", {0x0F, 0x69}, {0xE9}},
    {"so_then_so_is_data", {0x0E, 0x0E}, {0xEE}},
    {"si_then_si_is_data", {0x0F, 0x0F}, {0x8F}},
    {"si_so_then_so_is_data", {0x0F, 0x0E, 0x0E}, {0x6E}},
    {"so_wraps_below_0x20", {0x0E, 0x10}, {0xF0}},
    {"bytes_with_bit7_bare", {0x82, 0xFF}, {0x82, 0xFF}},
    {"escape_at_end_is_nothing", {0x41, 0x0F}, {0x41}},
};

class LinkDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(LinkDecode, DecodesWireBytes) {
    const DecodeCase& c = GetParam();
    std::uint8_t state = LINK_DECODE_PLAIN;
    Bytes got;
    for (std::uint8_t b : c.wire) {
        int data = link_decode(&state, b);
        if (data != LINK_DECODE_ESCAPE)
            got.push_back(static_cast<std::uint8_t>(data));
    }
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LinkDecode, testing::ValuesIn(decode_cases),
                         [](const auto& row) { return std::string(row.param.name); });

// Whatever arrives, at most two escapes in a row: an endless stream of escapes still fills an
// answer buffer.
TEST(LinkDecode, NeverSwallowsMoreThanTwoBytesInARow) {
    for (int state = 0; state < 4; ++state) {
        for (int a = 0; a < 256; ++a) {
            for (int b = 0; b < 256; ++b) {
                std::uint8_t s = static_cast<std::uint8_t>(state);
                bool escape1 = link_decode(&s, static_cast<std::uint8_t>(a)) == LINK_DECODE_ESCAPE;
                bool escape2 = link_decode(&s, static_cast<std::uint8_t>(b)) == LINK_DECODE_ESCAPE;
                bool escape3 = link_decode(&s, 0x0E) == LINK_DECODE_ESCAPE;
                ASSERT_FALSE(escape1 && escape2 && escape3) << state << " " << a << " " << b;
            }
        }
    }
}

TEST(LinkDecode, ReversesBothEncodingsForEveryValue) {
    for (bool use_si : {true, false}) {
        for (int v = 0; v < 256; ++v) {
            std::uint8_t state = LINK_DECODE_PLAIN;
            int last = LINK_DECODE_ESCAPE;
            for (std::uint8_t b : encode(static_cast<std::uint8_t>(v), use_si))
                last = link_decode(&state, b);
            EXPECT_EQ(last, v) << "use_si " << use_si;
            EXPECT_EQ(state, LINK_DECODE_PLAIN);
        }
    }
}

TEST(LinkSum, CommandSumClearsBit7AnswerSumKeepsIt) {
    const Bytes abx = {0x41, 0x82, 0x42};
    EXPECT_EQ(link_sum(abx.data(), 3), 0x05);
    EXPECT_EQ(link_command_sum(abx.data(), 3), 0x05);
    const Bytes ok = {0x4F, 0x4B};
    EXPECT_EQ(link_sum(ok.data(), 2), 0x9A);
    EXPECT_EQ(link_command_sum(ok.data(), 2), 0x1A);
    EXPECT_EQ(link_sum(nullptr, 0), 0x00);
}

struct FrameCase {
    const char* name;
    bool command;
    bool use_si;
    Bytes data;
    Bytes expected;
};

const FrameCase frame_cases[] = {
    {"command_S", true, true, {0x53}, {0x02, 0x53, 0x03, 0x53}},
    {"command_A_82_B", true, true, {0x41, 0x82, 0x42}, {0x02, 0x41, 0x0F, 0x0E, 0x22, 0x42, 0x03, 0x05}},
    {"command_empty", true, true, {}, {0x02, 0x03, 0x00}},
    {"command_zero_travels_bare", true, true, {0x41, 0x00}, {0x02, 0x41, 0x00, 0x03, 0x41}},
    {"command_8bit_line_high_bare", true, false, {0xE9}, {0x02, 0xE9, 0x03, 0x69}},
    {"command_sum_of_escaped_byte", true, true, {0x05}, {0x02, 0x0E, 0x25, 0x03, 0x05}},
    {"answer_plain_OK", false, false, {0x4F, 0x4B}, {0x4F, 0x4B, 0x06, 0x9A}},
    {"answer_si_OK_sum_7bit", false, true, {0x4F, 0x4B}, {0x4F, 0x4B, 0x06, 0x1A}},
    {"answer_si_high", false, true, {0x82}, {0x0F, 0x0E, 0x22, 0x06, 0x02}},
    {"answer_plain_high", false, false, {0x82}, {0x82, 0x06, 0x82}},
    {"answer_plain_control_escaped", false, false, {0x03}, {0x0E, 0x23, 0x06, 0x03}},
    {"answer_empty", false, true, {}, {0x06, 0x00}},
};

class LinkFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(LinkFrame, WritesWholeFrame) {
    const FrameCase& c = GetParam();
    Capture got = c.command ? command_frame(c.data, c.use_si) : answer_frame(c.data, c.use_si);
    ASSERT_EQ(got.writes.size(), 1u);
    EXPECT_EQ(got.all(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LinkFrame, testing::ValuesIn(frame_cases),
                         [](const auto& row) { return std::string(row.param.name); });

// 1000 'a': STX and 493 'a' make the first block of 494, then 494 'a', then 13 'a', ETX, sum.
TEST(LinkFrameChunks, CommandGoesOutOnceMoreThan493BytesAreCollected) {
    Capture got = command_frame(Bytes(1000, 'a'), true, 493);
    ASSERT_EQ(got.writes.size(), 3u);
    EXPECT_EQ(got.writes[0].size(), 494u);
    EXPECT_EQ(got.writes[1].size(), 494u);
    EXPECT_EQ(got.writes[2].size(), 15u);
    EXPECT_EQ(got.writes[0].front(), 0x02);
    // 1000 * 0x61 = 97000 = 0x17AE8: low byte 0xE8, bit 7 cleared 0x68.
    EXPECT_EQ(got.writes[2], Bytes({'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 0x03, 0x68}));
}

// 200 bytes of 0x82 are three bytes each: 32 of them (96 bytes) pass 93 and go out together; the
// last 8 go with ACK and the sum 200 * 0x82 = 0x6590 -> 0x90, bit 7 cleared 0x10.
TEST(LinkFrameChunks, AnswerGoesOutOnceMoreThan93BytesAreCollectedAndFitsA100ByteBuffer) {
    Capture got = answer_frame(Bytes(200, 0x82), true, 93);
    ASSERT_EQ(got.writes.size(), 7u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(got.writes[i].size(), 96u);
    ASSERT_EQ(got.writes[6].size(), 26u);
    EXPECT_EQ(got.writes[6][24], 0x06);
    EXPECT_EQ(got.writes[6][25], 0x10);
}

} // namespace
