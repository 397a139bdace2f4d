// The TCP/IP framing of the client: parameters, headers, the answer reader on a byte stream and
// the event datagram parser. Expected bytes are written out by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "api/nuvra_error.h"
#include "api/tcp_frame.h"
#include "api/tests/memory_stream.h"
#include "platform/clock.h"

using apitest::MemoryStream;

namespace {

using namespace std::string_literals;

// ---- connection parameters ----

struct ParametersCase {
    const char* name;
    const char* text; // after "TCP_IP,"; null: none
    const char* host;
    int port;
    int event_port;
    int keep_header;
};

class ParametersTest : public ::testing::TestWithParam<ParametersCase> {};

TEST_P(ParametersTest, Reads) {
    const ParametersCase& c = GetParam();
    TcpIpParameters p = TcpParseParameters(c.text);
    EXPECT_EQ(p.host, c.host);
    EXPECT_EQ(p.port, c.port);
    EXPECT_EQ(p.event_port, c.event_port);
    EXPECT_EQ(p.keep_header, c.keep_header);
}

const ParametersCase PARAMETERS[] = {
    {"none", nullptr, "ZADOZIV", 500, 501, 0},
    {"empty", "", "ZADOZIV", 500, 501, 0},
    {"blanks_only", "   ", "ZADOZIV", 500, 501, 0},
    {"host_only", "server7", "server7", 500, 501, 0},
    {"leading_blanks", "  server7,600", "server7", 600, 501, 0},
    {"dotted_port_no_events", "192.168.10.4,600,0", "192.168.10.4", 600, 0, 0},
    {"hexadecimal", "h,0x1F4", "h", 500, 501, 0},
    {"octal", "h,0764", "h", 500, 501, 0},
    {"keep_header", "h,500,501,30", "h", 500, 501, 30},
    {"monitor_comment", "h,500,0; Events not suported from Nuvra", "h", 500, 0, 0},
    {"stops_at_non_number", "h,abc,7", "h", 500, 501, 0},
    {"stops_at_empty_field", "h,600,,5", "h", 600, 501, 0},
};

INSTANTIATE_TEST_SUITE_P(Tcp, ParametersTest, ::testing::ValuesIn(PARAMETERS),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(TcpHeader, WrittenAsThreeDigitIdAndFiveDigitLength) {
    char header[TCP_HEADER_SIZE + 1];
    TcpWriteHeader(header, 42, 3);
    EXPECT_STREQ(header, "&&042&00003&&");
    TcpWriteHeader(header, 999, 4999);
    EXPECT_STREQ(header, "&&999&04999&&");
    TcpWriteHeader(header, 0, 0);
    EXPECT_STREQ(header, "&&000&00000&&");
}

// ---- the answer reader ----

// A clock that moves 1 ms at every reading, so that a reader waiting for bytes that never come
// meets its deadline without waiting.
std::atomic<std::int64_t> racing_now{0};
std::int64_t racing_clock() { return ++racing_now; }

struct AnswerCase {
    const char* name;
    std::vector<std::string> chunks;
    int size;
    bool keep_header;
    int end_error;   // reported once the chunks are used up; 0: the peer closed
    int number;      // 0: answered
    const char* text; // answer, or the error text
    TcpFailure failure;
    std::string rest; // left in the stream
    int time_out = 5000;
};

class AnswerTest : public ::testing::TestWithParam<AnswerCase> {
protected:
    void SetUp() override { platform::set_monotonic_source(racing_clock); }
    void TearDown() override { platform::set_monotonic_source(nullptr); }
};

TEST_P(AnswerTest, Reads) {
    const AnswerCase& c = GetParam();
    MemoryStream stream(c.chunks, c.end_error);
    std::vector<char> answer(static_cast<std::size_t>(c.size), 'X');
    TcpFailure failure = TcpFailure::retry;
    int number = 0;
    std::string text;
    try {
        TcpReadAnswer(stream, 7, c.keep_header, c.time_out, answer.data(), c.size, &failure);
        text = std::string(answer.data(), strnlen(answer.data(), answer.size()));
    } catch (const CXNuvraError& e) {
        number = e.number;
        text = e.text;
        EXPECT_EQ(failure, c.failure);
    }
    EXPECT_EQ(number, c.number);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(stream.Rest(), c.rest);
    // Whatever happened, the buffer holds a zero-terminated text.
    EXPECT_LT(strnlen(answer.data(), answer.size()), answer.size());
}

const TcpFailure RETRY = TcpFailure::retry;

const AnswerCase ANSWERS[] = {
    {"plain", {"&&007&00002&&Y\0"s}, 100, false, 0, 0, "Y", RETRY, ""},
    {"leaves_the_next_frame", {"&&007&00002&&Y\0&&008&00002&&Z\0"s}, 100, false, 0, 0, "Y", RETRY,
     "&&008&00002&&Z\0"s},
    {"noise_dropped_byte_by_byte", {"ab&&0&&&&007&00003&&GV\0"s}, 100, false, 0, 0, "GV", RETRY, ""},
    {"header_in_pieces", {"&&0", "07&00", "003&&G", "V\0"s}, 100, false, 0, 0, "GV", RETRY, ""},
    {"length_zero_skips_id_check", {"&&123&00000&&"}, 100, false, 0, 0, "", RETRY, ""},
    {"fills_buffer_exactly", {"&&007&00004&&ABC\0"s}, 4, false, 0, 0, "ABC", RETRY, ""},
    {"keep_header_hands_on_header", {"&&007&00002&&Y\0&&"s}, 100, true, 0, 0, "&&007&00002&&Y", RETRY, "&&"},
    {"too_small_drains_the_rest", {"&&007&00006&&ABCDE\0&&008&00002&&Z\0"s}, 4, false, 0, 2000,
     "Windows Socket error: Receive buffer too small. Need '2' extra space in the answer buffer",
     TcpFailure::final_in_sync, "&&008&00002&&Z\0"s},
    {"too_small_rest_never_comes", {"&&007&00006&&ABCD"}, 4, false, 0, 2000,
     "Windows Socket error: Receive buffer too small. Need '2' extra space in the answer buffer", TcpFailure::final,
     ""},
    {"full_buffer_without_zero", {"&&007&00003&&ABC"}, 3, false, 0, 2000,
     "Windows Socket error: Receive buffer too small. Need '1' extra space in the answer buffer",
     TcpFailure::final_in_sync, ""},
    {"other_id", {"&&006&00002&&Y\0"s}, 100, false, 0, 2061,
     "Windows Socket error: Send ID '7' is not equal to Receive ID '6'", TcpFailure::final, ""},
    {"closed_before_header", {}, 100, false, 0, 3011,
     "Windows Socket error 'WSAEDISCON':  Couldn't receive len of command_answer.", RETRY, ""},
    {"closed_inside_header", {"&&007&0"}, 100, false, 0, 3011,
     "Windows Socket error 'WSAEDISCON':  Couldn't receive len of command_answer.", RETRY, "&&007&0"},
    {"closed_inside_answer", {"&&007&00010&&ABC"}, 100, false, 0, 3011,
     "Windows Socket error 'WSAEDISCON':  Couldn't receive answer of command_answer.", RETRY, ""},
    {"reset", {"&&007&00010&&ABC"}, 100, false, 10054, 3011,
     "Windows Socket error 'WSAECONNRESET':  Couldn't receive answer of command_answer.", RETRY, ""},
    {"receive_time_out", {}, 100, false, 10060, 3011,
     "Windows Socket error 'WSAETIMEDOUT':  Couldn't receive len of command_answer.", RETRY, ""},
    // Thirteen "&" would be a header; noise of other bytes keeps coming until the deadline (3 ms:
    // the fourth clock reading after the first, one per dropped byte).
    {"noise_until_deadline", {std::string(25, 'x')}, 100, false, 0, 3011, "Windows Socket error:  Time Out.", RETRY,
     std::string(21, 'x'), 3},
};

INSTANTIATE_TEST_SUITE_P(Tcp, AnswerTest, ::testing::ValuesIn(ANSWERS),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- event datagrams ----

struct EventCase {
    const char* name;
    std::string datagram;
    bool accepted;
    int high;
    int low;
    const char* text;
};

class EventTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventTest, Parses) {
    const EventCase& c = GetParam();
    // Stale bytes of a longer datagram behind this one must not count.
    std::vector<char> buffer(TCP_EVENT_DATAGRAM_MAX + 1, 'S');
    std::memcpy(buffer.data(), c.datagram.data(), c.datagram.size());
    TcpEvent event{};
    ASSERT_EQ(TcpParseEvent(buffer.data(), c.datagram.size(), &event), c.accepted);
    if (!c.accepted)
        return;
    EXPECT_EQ(event.high, c.high);
    EXPECT_EQ(event.low, c.low);
    EXPECT_STREQ(event.text, c.text);
}

// Lengths worked out by hand: header 13 + body + 1 for the zero.
const EventCase EVENTS[] = {
    {"printer_event", "&&000&00029&&EVENT 3 1 Hello\0"s, true, 3, 0, "Hello"},
    {"unit_twelve_event_seven", "&&999&00034&&EVENT 7 12 two words\0"s, true, 7, 11, "two words"},
    {"empty_text", "&&001&00024&&EVENT 3 1 \0"s, true, 3, 0, ""},
    {"no_zero_sent", "&&000&00029&&EVENT 3 1 Hello"s, true, 3, 0, "Hello"},
    {"id_not_checked", "&&abc&00029&&EVENT 3 1 Hello\0"s, true, 3, 0, "Hello"},
    {"length_one_short", "&&000&00028&&EVENT 3 1 Hello\0"s, false, 0, 0, ""},
    {"length_one_long", "&&000&00030&&EVENT 3 1 Hello\0"s, false, 0, 0, ""},
    {"zero_inside", "&&000&00029&&EVENT 3\0001 Hello\0"s, false, 0, 0, ""},
    {"unit_zero", "&&000&00029&&EVENT 3 0 Hello\0"s, false, 0, 0, ""},
    {"no_text_field", "&&000&00023&&EVENT 3 1\0"s, false, 0, 0, ""},
    {"no_blank_at_all", "&&000&00021&&EVENT31\0"s, false, 0, 0, ""},
    {"header_only", "&&000&00014&&"s, false, 0, 0, ""},
    {"bad_header", "&&000&00029&-EVENT 3 1 Hello\0"s, false, 0, 0, ""},
    {"empty", ""s, false, 0, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Tcp, EventTest, ::testing::ValuesIn(EVENTS),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
