// The IO/COM transport and its serial port: the line settings, the frames and answers against
// hand-worked bytes, every numbered failure, and whole sessions over a pty with a thread playing
// the server's unit side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "api/io_nt.h"
#include "api/nuvra_error.h"
#include "api/nvapi32.h"
#include "api/protocol_1745.h"
#include "api/tests/support.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/serial_fake.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/pty_line.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::atomic<int> sleeps{0};
void count_sleep(int) { ++sleeps; }

// The error a call throws: "number|text".
template <typename F> std::string error_of(F f) {
    try {
        f();
    } catch (const CXNuvraError& e) {
        return std::to_string(e.number) + "|" + e.text;
    }
    return "no error";
}

class IoTest : public apitest::ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        sleeps = 0;
        CProtocol_1745::SetSleep(count_sleep);
    }
    void TearDown() override {
        CProtocol_1745::SetSleep(nullptr);
        ApiTest::TearDown();
    }
    // NUVRAAPI.INI with the trace on, short time-outs, the [PROTOCOL] keys given and COM1 = path.
    void settings(const std::string& connection, const std::string& protocol_keys, const std::string& com1 = "") {
        write_file(folder_ + "/NUVRAAPI.INI",
                   "[SETUP]\r\nSAVE_LOG=1\r\nCONNECTION=" + connection + "\r\n[PROTOCOL]\r\n" + protocol_keys +
                       "CONNECT_TIME_OUT=50\r\nANSWER_TIME_OUT=50\r\n[PORTS]\r\nCOM1=" + com1 + "\r\n");
        restart_library();
        ApiSetTraceSwitch(1);
    }
    // A transport on an in-memory line whose far end answers each written block with `respond`.
    std::unique_ptr<CProtocol_1745> on_fake(const char* parameters, IoKind kind,
                                            platform::FakeSerialLine::Responder respond) {
        line_ = platform::FakeSerialLine::create();
        line_->set_instant_timeouts(true);
        line_->set_responder(std::move(respond));
        const IoParameters p = IoParseParameters(parameters, kind);
        auto port = std::make_unique<CIo_nt>(line_->make_device(), p.port - 1, p.baud, p.data_bits, p.parity,
                                             p.stop_bits, 100);
        return std::make_unique<CProtocol_1745>(parameters, kind, std::move(port));
    }
    // Trace lines of the failed attempts, as "(number)".
    std::vector<int> attempt_errors() {
        std::vector<int> numbers;
        for (const std::string& l : trace()) {
            auto open = l.find(": ");
            auto at = l.find(" (", open == std::string::npos ? 0 : open);
            if (l.rfind("Error:", 0) == 0 && at != std::string::npos)
                numbers.push_back(std::atoi(l.c_str() + at + 2));
        }
        return numbers;
    }

    std::shared_ptr<platform::FakeSerialLine> line_;
};

// ---- connection fields ----

struct ParseCase {
    const char* name;
    const char* parameters;
    IoKind kind;
    IoParameters expected;
};

class IoParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(IoParseTest, FieldsAndDefaults) {
    const ParseCase& c = GetParam();
    IoParameters p = IoParseParameters(c.parameters, c.kind);
    const IoParameters& e = c.expected;
    EXPECT_EQ(p.port, e.port);
    EXPECT_EQ(p.baud, e.baud);
    EXPECT_EQ(p.data_bits, e.data_bits);
    EXPECT_EQ(p.parity, e.parity);
    EXPECT_EQ(p.stop_bits, e.stop_bits);
    EXPECT_EQ(p.character_bits, e.character_bits);
    EXPECT_EQ(p.unit_id, e.unit_id);
    EXPECT_EQ(p.sub_id, e.sub_id);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, IoParseTest,
    ::testing::Values(ParseCase{"io_alone", nullptr, IoKind::io, {1, 28800, 8, 'E', 2, 7, 128, 1}},
                      ParseCase{"io_hex_and_octal", "2,0x10,010", IoKind::io, {2, 28800, 8, 'E', 2, 7, 16, 8}},
                      ParseCase{"io_unreadable_id", "3,x,5", IoKind::io, {3, 28800, 8, 'E', 2, 7, 128, 1}},
                      ParseCase{"com_alone", nullptr, IoKind::com, {1, 28800, 8, 'E', 2, 8, 0, 0}},
                      ParseCase{"com_all", "2,9600,7,E,1", IoKind::com, {2, 9600, 7, 'E', 1, 7, 0, 0}},
                      ParseCase{"com_parity_any_letter", "1,1200,8,N,1; x", IoKind::com, {1, 1200, 8, 'N', 1, 8, 0, 0}},
                      ParseCase{"com_stops_at_bad_field", "4,fast,7,O,1", IoKind::com, {4, 28800, 8, 'E', 2, 8, 0, 0}},
                      ParseCase{"com_huge_port_clamped", "99999999999999999999", IoKind::com,
                                {2147483647, 28800, 8, 'E', 2, 8, 0, 0}}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- the serial port ----

struct TimeCase {
    long baud;
    int data_bits;
    char parity;
    int stop_bits;
    int correction;
    int expected;
};

class IoCharacterTimeTest : public ::testing::TestWithParam<TimeCase> {};

// 2369 × bits / baud, worked by hand: 28800 8E2 = 12 bits -> 0 -> minimum 2.
TEST_P(IoCharacterTimeTest, Formula) {
    const TimeCase& c = GetParam();
    EXPECT_EQ(IoCharacterTime(c.baud, c.data_bits, c.parity, c.stop_bits, c.correction), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, IoCharacterTimeTest,
                         ::testing::Values(TimeCase{28800, 8, 'E', 2, 100, 2}, TimeCase{28800, 8, 'E', 2, 250, 5},
                                           TimeCase{1200, 8, 'N', 1, 100, 19}, TimeCase{1200, 8, 'N', 1, 200, 38},
                                           TimeCase{300, 7, 'E', 1, 100, 78}));

TEST(IoStatusText, FlagWords) {
    EXPECT_STREQ(IoStatusText(0), "No Error");
    EXPECT_STREQ(IoStatusText(4), "The hardware detected a parity error.");
    EXPECT_STREQ(IoStatusText(1024), "An I/O error occurred during communications with the device.");
    EXPECT_STREQ(IoStatusText(4 | 8), "Multi error. Break(0x10),Framing(0x08),Parity(0x04).");
}

// Linux drivers report no receive queue size (-1): only a reported size other than 8292 fails.
TEST(IoReceiveQueue, WarningOnlyForAReportedOtherSize) {
    EXPECT_EQ(error_of([] { IoCheckReceiveQueue(4096); }),
              "2000|Com Port Warning: Receiver queue is only '4096' bytes, should be '8292'");
    EXPECT_EQ(error_of([] { IoCheckReceiveQueue(8292); }), "no error");
    EXPECT_EQ(error_of([] { IoCheckReceiveQueue(-1); }), "no error");
}

struct SetupCase {
    int data_bits;
    char parity;
    int stop_bits;
    long baud;
};

class IoSetupTest : public ::testing::TestWithParam<SetupCase> {};

TEST_P(IoSetupTest, BadSettingsRaise2001BeforeTheDeviceIsUsed) {
    const SetupCase& c = GetParam();
    auto line = platform::FakeSerialLine::create();
    EXPECT_EQ(error_of([&] { CIo_nt port(line->make_device(), 2, c.baud, c.data_bits, c.parity, c.stop_bits, 100); }),
              "2001|Setup values are incorrect for Io/COM: port '3'.");
    EXPECT_EQ(line->settings().baud, 0u);
}

INSTANTIATE_TEST_SUITE_P(Values, IoSetupTest,
                         ::testing::Values(SetupCase{4, 'E', 1, 9600}, SetupCase{9, 'E', 1, 9600},
                                           SetupCase{8, 'E', 0, 9600}, SetupCase{8, 'E', 3, 9600},
                                           SetupCase{8, 'X', 1, 9600}, SetupCase{8, 'e', 1, 9600},
                                           SetupCase{8, 'N', 1, 0}, SetupCase{8, 'N', 1, -9600}));

TEST_F(IoTest, PortsOutsideOneToNineCannotBeOpened) {
    settings("COM,10", "");
    std::string e = error_of([] { CIo_nt port(9, 9600, 8, 'N', 1, 100); });
    EXPECT_EQ(e.substr(0, 16), "2002|API error '") << e;
    EXPECT_NE(e.find("' at Io/COM: port '10'"), std::string::npos) << e;
}

TEST_F(IoTest, MissingDeviceRaises2002) {
    settings("COM", "", folder_ + "/no-such-tty");
    EXPECT_EQ(error_of([] { CIo_nt port(0, 9600, 8, 'N', 1, 100); }),
              "2002|API error 'No such file or directory' at Io/COM: port '1'");
}

TEST_F(IoTest, PortsSectionNamesTheDevice) {
    settings("COM", "", "/dev/ttyUSB7");
    EXPECT_EQ(IoDevicePath(1), "/dev/ttyUSB7");
    EXPECT_EQ(IoDevicePath(3), "/dev/ttyS2");
}

TEST(IoPort, ReceiveTimeOutAndLineErrors) {
    auto line = platform::FakeSerialLine::create();
    line->set_instant_timeouts(true);
    CIo_nt port(line->make_device(), 0, 28800, 8, 'E', 2, 100);
    EXPECT_EQ(line->settings().baud, 28800u);
    EXPECT_EQ(line->settings().parity, 'E');
    EXPECT_EQ(error_of([&] { port.ReceiveByte(); }),
              "2000|Receive Time Out of '2ms', Should receive '1', Did receive '0', at Port '1'");
    port.SetTimeOut(40);
    EXPECT_EQ(error_of([&] { port.ReceiveByte(); }),
              "2000|Receive Time Out of '40ms', Should receive '1', Did receive '0', at Port '1'");
    line->raise_line_status(platform::SERIAL_PARITY);
    EXPECT_EQ(error_of([&] { port.TransmitByte(0x41); }),
              "2012|Status error 'The hardware detected a parity error.(4)' from system at Io/COM: port '1', can be a "
              "bad unit or poor cabling");
    EXPECT_TRUE(line->take_output().empty());
}

// A burst is read in one go and handed out byte by byte; a purge forgets what was buffered.
TEST(IoPort, BufferedBytesUntilPurge) {
    auto line = platform::FakeSerialLine::create();
    line->set_instant_timeouts(true);
    CIo_nt port(line->make_device(), 0, 9600, 8, 'N', 1, 100);
    line->feed("abc");
    EXPECT_EQ(port.ReceiveByte(), 'a');
    EXPECT_EQ(line->input_left(), 0u);
    EXPECT_EQ(port.ReceiveByte(), 'b');
    port.PurgeReceiver();
    EXPECT_NE(error_of([&] { port.ReceiveByte(); }), "no error");
}

std::int64_t fake_now = 0;
std::int64_t stepping_clock() { return fake_now += 4000; }

TEST(IoPort, WaitForByteGivesUpAfterTenSeconds) {
    auto line = platform::FakeSerialLine::create();
    line->set_instant_timeouts(true);
    CIo_nt port(line->make_device(), 4, 9600, 8, 'N', 1, 100);
    line->feed("xxxxxxxZ");
    platform::set_monotonic_source(stepping_clock);
    std::string e = error_of([&] { port.WaitForByte('Z'); });
    platform::set_monotonic_source(nullptr);
    EXPECT_EQ(e, "2015|Receive Error: Wait for data failed. Time out on IO/COM: port '5', can be a bad unit or poor "
                 "cabling");
    line->feed("Z");
    port.PurgeReceiver();
    line->feed("qZ");
    EXPECT_EQ(error_of([&] { port.WaitForByte('Z'); }), "no error");
}

// ---- the transport on an in-memory line ----

constexpr std::uint8_t STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, SO = 0x0E, SI = 0x0F, DLE = 0x10,
                       NAK = 0x15;

// Answers EOT ENQ with ACK and every frame with `answer`; counts the frames.
platform::FakeSerialLine::Responder unit(Bytes answer, std::atomic<int>* frames) {
    return [answer, frames](const Bytes& written) -> Bytes {
        if (written == Bytes{EOT, ENQ})
            return {ACK};
        if (!written.empty() && written[0] == STX) {
            ++*frames;
            return answer;
        }
        return {};
    };
}

TEST_F(IoTest, EightBitCommandFrameAndAnswer) {
    settings("COM", "");
    std::atomic<int> frames{0};
    // 0x82 and 'x' bare on an 8-bit line; the sum 0x82 + 0x78 = 0xFA keeps all eight bits.
    auto t = on_fake("1,9600,8,N,1", IoKind::com, unit({0x82, 'x', ACK, 0xFA}, &frames));
    t->Begin();
    EXPECT_EQ(line_->take_output(), (Bytes{EOT, ENQ}));
    // 0x05 goes as SO 0x25, 0x00 and 0xE9 bare; sum 0x05 + 0xE9 + 0x41 = 0x12F -> 0x2F.
    const char command[] = {0x05, 0x00, static_cast<char>(0xE9), 'A'};
    char answer[16] = "junk";
    t->CommandAnswer(command, 4, answer, sizeof answer);
    EXPECT_EQ(line_->take_output(), (Bytes{STX, SO, 0x25, 0x00, 0xE9, 0x41, ETX, 0x2F}));
    EXPECT_EQ(std::string(answer), "\x82x");
    t->End();
    EXPECT_EQ(line_->take_output(), (Bytes{EOT, DLE, EOT}));
}

TEST_F(IoTest, SevenBitCommandFrameAndAnswer) {
    settings("COM", "");
    std::atomic<int> frames{0};
    // SI SO 0x22 = 0x82, SO 0x23 = 0x03; sum 0x85 modulo 128 = 0x05.
    auto t = on_fake("2,9600,7,E,1", IoKind::com, unit({SI, SO, 0x22, SO, 0x23, ACK, 0x05}, &frames));
    const char command[] = {static_cast<char>(0xE9), 0x05, 0x00};
    char answer[16];
    t->CommandAnswer(command, 3, answer, sizeof answer);
    // 0xE9 -> SI 0x69; 0x05 -> SO 0x25; sum 0xEE -> 0x6E.
    EXPECT_EQ(line_->take_output(), (Bytes{STX, SI, 0x69, SO, 0x25, 0x00, ETX, 0x6E}));
    EXPECT_EQ(line_->settings().data_bits, 7);
    EXPECT_EQ(line_->settings().stop_bits, 1);
    EXPECT_EQ(line_->settings().baud, 9600u);
    EXPECT_EQ(std::string(answer), "\x82\x03");
}

TEST_F(IoTest, LongCommandGoesOutInSeveralWrites) {
    settings("COM", "");
    std::atomic<int> frames{0};
    auto t = on_fake("1,9600,8,N,1", IoKind::com, unit({'Y', ACK, 'Y'}, &frames));
    std::string command(1200, 'a');
    char answer[8];
    t->CommandAnswer(command.data(), static_cast<int>(command.size()), answer, sizeof answer);
    Bytes out = line_->take_output();
    ASSERT_EQ(out.size(), 1203u);
    EXPECT_EQ(out.back(), static_cast<std::uint8_t>((1200 * 'a') & 0x7F));
    EXPECT_GE(line_->write_calls(), 3);
    EXPECT_EQ(std::string(answer), "Y");
}

struct AnswerCase {
    const char* name;
    Bytes reply;
    int inner;    // the error of each attempt
    int attempts; // frames sent before 2082
    int size = 16;
};

class IoAnswerErrorTest : public IoTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(IoAnswerErrorTest, AttemptsAndFinalError) {
    const AnswerCase& c = GetParam();
    settings("COM", "COMMAND_TRYS=4\r\n");
    std::atomic<int> frames{0};
    auto t = on_fake("1,9600,8,N,1", IoKind::com, unit(c.reply, &frames));
    std::vector<char> answer(c.size);
    std::string e = error_of([&] { t->CommandAnswer("GV", 2, answer.data(), c.size); });
    EXPECT_EQ(e, "2082|Error Io, Command Answer, '" + std::to_string(c.attempts) +
                     "' attempts done, no responce from target, check cabling or target is busy");
    EXPECT_EQ(frames.load(), c.attempts);
    EXPECT_EQ(sleeps.load(), c.attempts - 1);
    EXPECT_EQ(attempt_errors(), std::vector<int>(c.attempts, c.inner));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IoAnswerErrorTest,
    ::testing::Values(AnswerCase{"nak_buffer_tested_before_overrun", {'Y', 0x46, NAK}, 2085, 4},
                      AnswerCase{"nak_overrun_not_retried", {0x44, NAK}, 2086, 1},
                      AnswerCase{"nak_check_sum", {0x41, NAK}, 2087, 4},
                      AnswerCase{"nak_without_reason", {NAK}, 2088, 4},
                      AnswerCase{"nak_unlisted_reason", {0x40, NAK}, 2088, 4},
                      AnswerCase{"nak_reason_escaped", {SO, 0x22, NAK}, 2085, 4},
                      AnswerCase{"eot", {'Y', EOT}, 2084, 4},
                      AnswerCase{"silent", {}, 2083, 4},
                      AnswerCase{"no_check_sum", {'Y', ACK}, 2090, 4},
                      AnswerCase{"bad_check_sum", {'Y', ACK, 'Z'}, 2091, 4},
                      AnswerCase{"answer_too_long_not_retried", {'Y', 'E', 'S', ACK, 0}, 2089, 1, 3}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(IoTest, SilentServerTextNamesTimeOutAndBytesSoFar) {
    settings("COM", "COMMAND_TRYS=1\r\n");
    std::atomic<int> frames{0};
    auto t = on_fake("1,9600,8,N,1", IoKind::com, unit({'a', SO}, &frames));
    char answer[8];
    EXPECT_NE(error_of([&] { t->CommandAnswer("GV", 2, answer, sizeof answer); }), "no error");
    EXPECT_NE(trace_text().find("(2083)\tError Io, Command Answer, time out of 0.05 seconds, only '1' bytes received "
                                "from target, check cabling or target is busy"),
              std::string::npos)
        << trace_text();
    EXPECT_EQ(std::string(answer), "a");
}

struct ConnectCase {
    const char* name;
    Bytes reply;
    int inner;
    int attempts;
};

class IoConnectErrorTest : public IoTest, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(IoConnectErrorTest, AttemptsAndFinalError) {
    const ConnectCase& c = GetParam();
    settings("COM", "CONNECT_TRYS=3\r\n");
    std::atomic<int> addressings{0};
    Bytes reply = c.reply;
    auto t = on_fake("1,9600,8,N,1", IoKind::com, [&](const Bytes& written) -> Bytes {
        if (written == Bytes{EOT, ENQ}) {
            ++addressings;
            return reply;
        }
        return {};
    });
    EXPECT_EQ(error_of([&] { t->Begin(); }),
              "2078|Error Io, Connect Answer, '" + std::to_string(c.attempts) +
                  "' attempts done, no response from target, check cabling or target is busy");
    EXPECT_EQ(addressings.load(), c.attempts);
    EXPECT_EQ(attempt_errors(), std::vector<int>(c.attempts, c.inner));
    // Between attempts the line is reset with EOT.
    Bytes expected;
    for (int i = 0; i < c.attempts; ++i) {
        if (i > 0)
            expected.push_back(EOT);
        expected.insert(expected.end(), {EOT, ENQ});
    }
    EXPECT_EQ(line_->take_output(), expected);
}

INSTANTIATE_TEST_SUITE_P(Replies, IoConnectErrorTest,
                         ::testing::Values(ConnectCase{"nak_not_retried", {NAK}, 2080, 1},
                                           ConnectCase{"other_byte", {'X'}, 2081, 3},
                                           ConnectCase{"silent", {}, 2079, 3}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(IoTest, ConnectAnswerTextShowsTheByteInHex) {
    settings("COM", "CONNECT_TRYS=1\r\n");
    auto t = on_fake("1,9600,8,N,1", IoKind::com, [](const Bytes&) -> Bytes { return {0x3A}; });
    EXPECT_NE(error_of([&] { t->Begin(); }), "no error");
    EXPECT_NE(trace_text().find("(2081)\tError Io, Connect Answer, Incorrect status answer '3a'"), std::string::npos)
        << trace_text();
}

// ---- whole sessions over a pty, with a thread as the server's unit ----

// The unit side: for each step, reads `expect` byte for byte from the line and writes `reply`.
// Before the first step an IO unit announces itself every few ms until something arrives.
class PtyUnit {
public:
    struct Step {
        Bytes expect;
        Bytes reply;
    };
    PtyUnit(platform::PtyPair& pty, std::vector<Step> steps, Bytes announcement = {})
        : thread_([this, &pty, steps = std::move(steps), announcement] { Run(pty, steps, announcement); }) {}
    ~PtyUnit() { Join(); }
    void Join() {
        if (thread_.joinable())
            thread_.join();
    }
    Bytes received;
    std::string failure;

private:
    void Run(platform::PtyPair& pty, const std::vector<Step>& steps, const Bytes& announcement) {
        std::uint8_t b = 0;
        if (!announcement.empty()) {
            for (int i = 0; i < 150; ++i) {
                pty.write_master(announcement.data(), announcement.size());
                if (pty.read_master(&b, 1, 20) == 1) {
                    received.push_back(b);
                    break;
                }
            }
        }
        for (const Step& s : steps) {
            while (received.size() < s.expect.size()) {
                if (pty.read_master(&b, 1, 3000) != 1) {
                    failure = "line went quiet";
                    return;
                }
                received.push_back(b);
            }
            if (received != s.expect) {
                failure = "unexpected bytes:";
                for (std::uint8_t x : received)
                    failure += " " + std::to_string(x);
                return;
            }
            if (!s.reply.empty())
                pty.write_master(s.reply.data(), s.reply.size());
            received.clear();
        }
    }
    std::thread thread_;
};

TEST_F(IoTest, IoSessionWaitsForTheAnnouncementThroughTheExports) {
    auto pty = platform::PtyPair::open();
    ASSERT_NE(pty, nullptr);
    settings("IO", "CONNECT_TIME_OUT=200\r\n", pty->slave_path());
    {
        // "GV" and its zero: sum 0x47 + 0x56 = 0x9D, bit 7 cleared 0x1D. Answer "Y": sum 0x59.
        PtyUnit unit(*pty,
                     {{{EOT, ENQ}, {ACK}},
                      {{STX, 'G', 'V', 0x00, ETX, 0x1D}, {'Y', ACK, 0x59}},
                      {{EOT, DLE, EOT}, {}}},
                     {0x12, 0xFF, 0x01});
        char answer[32] = "";
        EXPECT_EQ(NuvraCommandAnswer("GV", 3, answer, sizeof answer), 1) << trace_text();
        EXPECT_STREQ(answer, "Y");
        EXPECT_EQ(pty->slave_baud(), 28800u);
        unit.Join();
        EXPECT_EQ(unit.failure, "");
    }
}

TEST_F(IoTest, WrongSubIdIsGivenUpAfter26Announcements) {
    auto pty = platform::PtyPair::open();
    ASSERT_NE(pty, nullptr);
    settings("IO,1,128,1", "CONNECT_TRYS=1\r\nCONNECT_TIME_OUT=200\r\n", pty->slave_path());
    auto t = CreateTransport("IO,1,128,1");
    std::atomic<bool> stop{false};
    std::thread announcer([&] {
        const std::uint8_t wrong[] = {0xFF, 0x02};
        for (int i = 0; i < 2000 && !stop; ++i) {
            pty->write_master(wrong, 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::string e = error_of([&] { t->Begin(); });
    stop = true;
    announcer.join();
    EXPECT_EQ(e, "2078|Error Io, Connect Answer, '1' attempts done, no response from target, check cabling or "
                 "target is busy");
    EXPECT_NE(trace_text().find("(2000)\tError Io, Connect Answer, No correct Sub No ID received, check Server "
                                "setting IO,128,1 and Manager settings IO,1,128,1."),
              std::string::npos)
        << trace_text();
    std::uint8_t rest[64];
    while (pty->read_master(rest, sizeof rest, 20) > 0) {
    }
}

TEST_F(IoTest, ComSessionOverAPty) {
    auto pty = platform::PtyPair::open();
    ASSERT_NE(pty, nullptr);
    settings("COM,1,9600,7,E,1", "", pty->slave_path());
    // 0xE9 0x05 0x00 'Q': SI 0x69, SO 0x25, 0x00, 'Q'; sum 0xE9 + 0x05 + 0x51 = 0x13F -> 0x3F.
    // Answer SI SO 0x22 (0x82) 'N': sum 0x82 + 0x4E = 0xD0 -> 0x50.
    PtyUnit unit(*pty, {{{EOT, ENQ}, {ACK}},
                        {{STX, SI, 0x69, SO, 0x25, 0x00, 'Q', ETX, 0x3F}, {SI, SO, 0x22, 'N', ACK, 0x50}},
                        {{EOT, DLE, EOT}, {}}});
    const char command[] = {static_cast<char>(0xE9), 0x05, 0x00, 'Q'};
    char answer[32] = "";
    EXPECT_EQ(NuvraCommandAnswer(command, 4, answer, sizeof answer), 1) << trace_text();
    EXPECT_STREQ(answer, "\x82N");
    unit.Join();
    EXPECT_EQ(unit.failure, "");
}


// ---- end to end: the real orvsrv32 with COM hosts on ptys ----

namespace e2e {

namespace fs = std::filesystem;

// The server's link port runs the device line simulator (one printer); HOST1 is an 8-bit COM host
// and HOST2 a 7-bit one, each on a pty whose master the test's transport uses as its port.
class IoSystemTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        CProtocol_1745::SetSleep(nullptr);
        program_ = fs::path(NUVRA_BIN_DIR) / "server" / "orvsrv32";
        ASSERT_TRUE(fs::exists(program_)) << program_;
        link_ = nvsim::PtyLine::open(nvsim::default_network(1, 0, 0));
        com8_ = platform::PtyPair::open();
        com7_ = platform::PtyPair::open();
        ASSERT_TRUE(link_ && com8_ && com7_);
        fs::create_directories(folder_ + "/data");
        write_file(folder_ + "/data/ZSYS.INI",
                   "[PORTS]\r\nCOM1 = " + link_->slave_path() + "\r\nCOM2 = " + com8_->slave_path() +
                       "\r\nCOM3 = " + com7_->slave_path() +
                       "\r\n\r\n[IO]\r\nPORT = 1\r\n\r\n[PRINTER]\r\nMAX = 1\r\n\r\n[DISPLAY]\r\nMAX = 0\r\n\r\n"
                       "[CARD_READER]\r\nMAX = 0\r\n\r\n[HOST]\r\nMAX = 2\r\nHOST1 = COM,2,28800,8,E,2\r\n"
                       "HOST2 = COM,3,28800,7,E,2\r\n");
        std::string ns = "NUVRA_WINDOW_NAMESPACE=api-io-" + std::to_string(getpid());
        ASSERT_TRUE(server_.start({program_.string(), "--data", folder_ + "/data"}, {ns}, folder_ + "/server.out"));
        settings("COM", "CONNECT_TIME_OUT=1000\r\nANSWER_TIME_OUT=1500\r\nCOMMAND_TRYS=2\r\n");
    }
    void TearDown() override {
        server_.send_signal(SIGTERM);
        EXPECT_EQ(server_.wait(20000), 0);
        link_.reset();
        IoTest::TearDown();
    }
    // A transport on the pty's master. The server may take a command and lose it while it is
    // still starting: the first whole session (addressing and a command) is repeated, bounded,
    // until the host answers.
    std::unique_ptr<CProtocol_1745> client(platform::PtyPair& pty, const char* parameters) {
        IoParameters p = IoParseParameters(parameters, IoKind::com);
        auto port = std::make_unique<CIo_nt>(pty.take_master(), p.port - 1, p.baud, p.data_bits, p.parity,
                                             p.stop_bits, 100);
        auto t = std::make_unique<CProtocol_1745>(parameters, IoKind::com, std::move(port));
        for (int i = 0; i < 50; ++i) {
            try {
                t->Begin();
                command(*t, "GV");
                t->End();
                t->Begin();
                return t;
            } catch (const CXNuvraError&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        ADD_FAILURE() << "the server's COM host never answered";
        return t;
    }
    std::string command(CProtocol_1745& t, const std::string& text) {
        char answer[500];
        t.CommandAnswer(text.c_str(), static_cast<int>(text.size() + 1), answer, sizeof answer);
        return answer;
    }
    // A value with an escaped control byte and a byte with bit 7 set, written and read back.
    void round_trip(CProtocol_1745& t) {
        EXPECT_EQ(command(t, "FPRN 1 GV"), "TP 78.14 Z71");
        EXPECT_EQ(command(t, "SETS LINKTEST VALUE a\x05z\xE9!"), "Y");
        EXPECT_EQ(command(t, "SETG LINKTEST VALUE 50"), "a\x05z\xE9!");
        t.End();
    }

    std::string server_log() {
        std::string text;
        for (const char* f : {"/server.out", "/data/ERROR.LOG"}) {
            std::ifstream in(folder_ + f, std::ios::binary);
            text += std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        }
        return text;
    }

    fs::path program_;
    std::unique_ptr<nvsim::PtyLine> link_;
    std::unique_ptr<platform::PtyPair> com8_, com7_;
    platform::ChildProcess server_;
};

TEST_F(IoSystemTest, EightBitComHost) {
    auto t = client(*com8_, "2,28800,8,E,2");
    EXPECT_EQ(error_of([&] { round_trip(*t); }), "no error") << trace_text() << server_log();
}

TEST_F(IoSystemTest, SevenBitComHost) {
    auto t = client(*com7_, "3,28800,7,E,2");
    EXPECT_EQ(error_of([&] { round_trip(*t); }), "no error") << trace_text() << server_log();
    // A second session on the same line after the release.
    t->Begin();
    EXPECT_EQ(command(*t, "SETG LINKTEST VALUE 50"), "a\x05z\xE9!");
    t->End();
}

} // namespace e2e

} // namespace
