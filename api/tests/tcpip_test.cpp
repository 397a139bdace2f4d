// The TCP/IP transport through the exports, against a fake host on 127.0.0.1 that misbehaves on
// purpose, and event datagrams sent to 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/nuvra_error.h"
#include "api/nvapi32.h"
#include "api/nvapi_state.h"
#include "api/tcpip.h"
#include "api/tests/support.h"

using apitest::FakeHost;
using apitest::Frame;
using namespace std::string_literals;

namespace {

using Lines = std::vector<std::string>;

class TcpTest : public apitest::ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        CProtocol_tcp_ip::SetFrameId(0);
    }
    void use(int port, int event_port = 0, const std::string& keys = "") {
        write_settings("TCP_IP,127.0.0.1," + std::to_string(port) + "," + std::to_string(event_port), keys);
    }
    // Sends "text" with its zero; the answer, or "FAILED".
    std::string command(const std::string& text, int size = 200) {
        std::vector<char> answer(static_cast<std::size_t>(size));
        if (NuvraCommandAnswer(text.c_str(), static_cast<int32_t>(text.size() + 1), answer.data(), size) != 1)
            return "FAILED";
        return answer.data();
    }
    Lines errors() {
        Lines found;
        for (const std::string& line : trace()) {
            std::size_t paren = line.find(" (");
            if (line.rfind("Error:\t", 0) == 0 && paren != std::string::npos)
                found.push_back(line.substr(paren + 1));
        }
        return found;
    }
};

// Waits (bounded) until the condition holds.
template <class Condition> bool eventually(Condition condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST_F(TcpTest, RequestIsHeaderAndCommandWithItsZero) {
    FakeHost host(apitest::echo_handler());
    use(host.port());
    EXPECT_EQ(command("GV"), "A:GV");
    EXPECT_EQ(command("FPRN 1 GV"), "A:FPRN 1 GV");
    NuvraDisconnect();
    EXPECT_EQ(command("SS"), "A:SS"); // the frame ID outlives the transport
    std::vector<Frame> frames = host.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].header + frames[0].body, "&&000&00003&&GV\0"s);
    EXPECT_EQ(frames[1].header + frames[1].body, "&&001&00010&&FPRN 1 GV\0"s);
    EXPECT_EQ(frames[2].header, "&&002&00003&&");
    EXPECT_EQ(frames[2].connection, 2);
}

TEST_F(TcpTest, FrameIdsWrapAfter999) {
    FakeHost host(apitest::echo_handler());
    use(host.port());
    CProtocol_tcp_ip::SetFrameId(998);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(command("GV"), "A:GV");
    std::vector<Frame> frames = host.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].header.substr(0, 6), "&&998&");
    EXPECT_EQ(frames[1].header.substr(0, 6), "&&999&");
    EXPECT_EQ(frames[2].header.substr(0, 6), "&&000&");
}

TEST_F(TcpTest, LongCommandsArriveWhole) {
    FakeHost host(apitest::echo_handler());
    use(host.port());
    for (int length : {4999, 5000, 12000}) {
        std::string text(static_cast<std::size_t>(length - 1), 'c');
        text[0] = 'L';
        char answer[20000];
        ASSERT_EQ(NuvraCommandAnswer(text.c_str(), length, answer, sizeof answer), 1) << length;
        EXPECT_EQ(std::string(answer), "A:" + text);
    }
    std::vector<Frame> frames = host.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].header, "&&000&04999&&");
    EXPECT_EQ(frames[1].header, "&&001&05000&&");
    EXPECT_EQ(frames[2].header, "&&002&12000&&");
}

TEST_F(TcpTest, EmptyAnswerAndNoiseBeforeAnAnswer) {
    FakeHost host([](FakeHost& h, platform::Socket client, const Frame& frame) {
        if (frame.body == "EMPTY\0"s)
            h.send(client, "&&777&00000&&"); // no ID check for an empty answer
        else
            h.send(client, "noise&&&" + FakeHost::answer(frame, "after noise"));
    });
    use(host.port());
    EXPECT_EQ(command("EMPTY"), "");
    EXPECT_EQ(command("X"), "after noise");
    EXPECT_EQ(host.frames().at(1).id, 1u); // the empty answer advanced the ID
    EXPECT_EQ(host.connections(), 1);
}

TEST_F(TcpTest, AnswerOfAnotherIdIsNotRetriedAndDropsTheConnection) {
    FakeHost host([](FakeHost& h, platform::Socket client, const Frame& frame) {
        if (frame.body == "WRONG\0"s)
            h.send(client, FakeHost::answer_with_id(frame.id + 5, "stale"));
        else
            h.send(client, FakeHost::answer(frame, "fine"));
    });
    use(host.port());
    EXPECT_EQ(command("WRONG"), "FAILED");
    EXPECT_EQ(host.frames().size(), 1u);
    EXPECT_EQ(errors(), (Lines{"(2061)\tWindows Socket error: Send ID '0' is not equal to Receive ID '5'"}));
    EXPECT_TRUE(eventually([&] { return host.closed_connections() == 1; }));
    EXPECT_EQ(command("OK"), "fine");
    EXPECT_EQ(host.frames().back().connection, 2);
    EXPECT_EQ(host.frames().back().id, 0u); // the failed exchange did not use up its ID
}

TEST_F(TcpTest, AnswerLargerThanTheBufferIsNotRetriedAndTheStreamStaysInStep) {
    FakeHost host([](FakeHost& h, platform::Socket client, const Frame& frame) {
        h.send(client, FakeHost::answer(frame, frame.body == "BIG\0"s ? "0123456789" : "small"));
    });
    use(host.port());
    EXPECT_EQ(command("BIG", 5), "FAILED");
    EXPECT_EQ(host.frames().size(), 1u);
    EXPECT_EQ(errors(), (Lines{"(2000)\tWindows Socket error: Receive buffer too small. Need '6' extra space in the "
                               "answer buffer"}));
    EXPECT_EQ(command("NEXT"), "small");
    EXPECT_EQ(host.connections(), 1);
}

TEST_F(TcpTest, AnswerFillingTheBufferExactlyIsAccepted) {
    FakeHost host([](FakeHost& h, platform::Socket client, const Frame& frame) {
        h.send(client, FakeHost::answer(frame, "1234"));
    });
    use(host.port());
    EXPECT_EQ(command("GV", 5), "1234");
}

struct ClosedCase {
    const char* name;
    std::string sent_before_close;
    const char* error;
};

class ClosedTest : public TcpTest, public ::testing::WithParamInterface<ClosedCase> {};

// With one try the first failure is the command's result: a closed connection fails the attempt
// at once instead of waiting for the 30 s answer time-out.
TEST_P(ClosedTest, ServerClosingFailsTheAttemptAtOnce) {
    std::string before = GetParam().sent_before_close;
    FakeHost host([before](FakeHost& h, platform::Socket client, const Frame&) {
        h.send(client, before);
        h.close(client);
    });
    use(host.port(), 0, "COMMAND_TRYS=1\r\nANSWER_TIME_OUT=30000\r\n");
    EXPECT_EQ(command("GV"), "FAILED");
    EXPECT_EQ(errors(), (Lines{GetParam().error}));
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, ClosedTest,
    ::testing::Values(
        ClosedCase{"before_the_header", "", "(3011)\tWindows Socket error 'WSAEDISCON':  Couldn't receive len of command_answer."},
        ClosedCase{"inside_the_header", "&&000&00", "(3011)\tWindows Socket error 'WSAEDISCON':  Couldn't receive len of command_answer."},
        ClosedCase{"inside_the_answer", "&&000&00010&&AB",
                   "(3011)\tWindows Socket error 'WSAEDISCON':  Couldn't receive answer of command_answer."}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TcpTest, ClosedConnectionIsRetriedOnANewOne) {
    FakeHost host([](FakeHost& h, platform::Socket client, const Frame& frame) {
        if (frame.connection == 1) {
            h.send(client, "&&000&00010&&AB");
            h.close(client);
        } else {
            h.send(client, FakeHost::answer(frame, "second try"));
        }
    });
    use(host.port());
    EXPECT_EQ(command("GV"), "second try");
    std::vector<Frame> frames = host.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].header, frames[0].header); // the retry repeats the ID
    EXPECT_EQ(frames[1].connection, 2);
}

TEST_F(TcpTest, LateAnswerIsNeverTakenForTheNextCommand) {
    FakeHost host([](FakeHost& h, platform::Socket client, const Frame& frame) {
        if (frame.body == "FIRST\0"s)
            return; // answered only when the next command comes
        // The late answer carries the ID the next command reuses.
        platform::Socket first = h.client_of(h.frames().front().connection);
        if (first != platform::INVALID_SOCKET)
            h.send(first, FakeHost::answer(h.frames().front(), "late answer to FIRST"));
        h.send(client, FakeHost::answer(frame, "answer to SECOND"));
    });
    use(host.port(), 0, "COMMAND_TRYS=1\r\nANSWER_TIME_OUT=200\r\n");
    EXPECT_EQ(command("FIRST"), "FAILED");
    EXPECT_EQ(errors(), (Lines{"(3011)\tWindows Socket error 'WSAETIMEDOUT':  Couldn't receive len of command_answer."}));
    EXPECT_EQ(command("SECOND"), "answer to SECOND");
    std::vector<Frame> frames = host.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].id, frames[0].id);
    EXPECT_EQ(frames[1].connection, 2);
}

TEST_F(TcpTest, ServerRestartIsSurvived) {
    auto host = std::make_unique<FakeHost>(apitest::echo_handler());
    int port = host->port();
    use(port);
    EXPECT_EQ(command("ONE"), "A:ONE");
    host.reset();
    FakeHost again(apitest::echo_handler(), port);
    EXPECT_EQ(command("TWO"), "A:TWO");
    EXPECT_EQ(again.frames().size(), 1u);
}

TEST_F(TcpTest, TransportStartedBeforeTheServerWorksOnceItIsUp) {
    int port = 0;
    {
        FakeHost probe(apitest::echo_handler());
        port = probe.port();
    }
    use(port);
    EXPECT_EQ(command("EARLY"), "FAILED");
    EXPECT_EQ(errors().back(), "(3011)\tWindows Socket error 'WSAECONNREFUSED': Couldn't Connect Socket.");
    ASSERT_NE(ApiTransport(), nullptr); // built all the same, no event port to fail
    FakeHost host(apitest::echo_handler(), port);
    EXPECT_EQ(command("LATER"), "A:LATER");
    ASSERT_EQ(NuvraBegin(), 1);
    EXPECT_EQ(command("INSIDE"), "A:INSIDE");
}

TEST_F(TcpTest, ConnectTimeOutBelowTenMakesTheCheckFailWithoutAttempt) {
    FakeHost host(apitest::echo_handler());
    use(host.port(), 0, "CONNECT_TIME_OUT=5\r\nCONNECT_TRYS=2\r\n");
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_EQ(errors(), (Lines{"(3011)\tNo connetion with host '127.0.0.1'"}));
    EXPECT_TRUE(eventually([&] { return host.connections() == 2; })); // construction, then one reconnection
}

// ---- events ----

class TcpEventTest : public TcpTest {
protected:
    void SetUp() override {
        TcpTest::SetUp();
        event_port_ = apitest::free_udp_port();
    }
    // Settings with the event port; the library restarts, so the callback is registered after.
    void use_events(int port) {
        use(port, event_port_);
        NuvraSetEventHandler(apitest::record_event);
    }
    int event_port_ = 0;
};

TEST_F(TcpEventTest, DatagramBecomesACallbackWithEventTimes256PlusUnitIndex) {
    FakeHost host(apitest::echo_handler());
    use_events(host.port());
    ASSERT_EQ(NuvraBegin(), 1);
    apitest::send_datagram(event_port_, "&&000&00029&&EVENT 3 1 Hello\0"s);
    apitest::send_datagram(event_port_, "&&001&00034&&EVENT 7 12 card 0042\0"s);
    auto seen = apitest::wait_events(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].code, 768);
    EXPECT_EQ(seen[0].text, "Hello");
    EXPECT_EQ(seen[1].code, 7 * 256 + 11);
    EXPECT_EQ(seen[1].text, "card 0042");
}

TEST_F(TcpEventTest, DatagramsNotShapedLikeEventsAreDropped) {
    FakeHost host(apitest::echo_handler());
    use_events(host.port());
    ASSERT_EQ(NuvraBegin(), 1);
    for (const std::string& bad : {"&&000&00028&&EVENT 3 1 Hello\0"s, "&&000&00029&&EVENT 3 0 Hello\0"s,
                                   "&&000&00023&&EVENT 3 1\0"s, "garbage"s, std::string(532, '&')})
        apitest::send_datagram(event_port_, bad);
    apitest::send_datagram(event_port_, "&&000&00028&&EVENT 2 3 last\0"s);
    // Datagrams on loopback arrive in order: a bad one delivered would come before the last.
    auto seen = apitest::wait_events(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, 2 * 256 + 2);
    EXPECT_EQ(seen[0].text, "last");
}

TEST_F(TcpEventTest, ListenerEndsWithTheTransport) {
    FakeHost host(apitest::echo_handler());
    use_events(host.port());
    ASSERT_EQ(NuvraBegin(), 1);
    ASSERT_TRUE(static_cast<CProtocol_tcp_ip*>(ApiTransport())->Listening());
    NuvraDisconnect();
    // The port is free again at once.
    platform::Socket s = platform::socket_datagram();
    EXPECT_EQ(platform::socket_bind(s, platform::IPV4_ANY, event_port_), 0);
    platform::socket_close(s);
}

TEST_F(TcpEventTest, EventPortInUseDropsTheTransport) {
    FakeHost host(apitest::echo_handler());
    platform::Socket taken = platform::socket_datagram();
    ASSERT_EQ(platform::socket_bind(taken, platform::IPV4_ANY, event_port_), 0);
    use_events(host.port());
    EXPECT_EQ(NuvraBegin(), 0);
    EXPECT_EQ(ApiTransport(), nullptr);
    EXPECT_EQ(errors(), (Lines{"(2000)\tWindows Socket error 'WSAEADDRINUSE':  Couldn't bind the event socket."}));
    platform::socket_close(taken);
    EXPECT_EQ(NuvraBegin(), 1); // the next call builds the whole transport again
}

TEST_F(TcpEventTest, EventPortZeroStartsNoListener) {
    FakeHost host(apitest::echo_handler());
    use(host.port(), 0);
    ASSERT_EQ(NuvraBegin(), 1);
    EXPECT_FALSE(static_cast<CProtocol_tcp_ip*>(ApiTransport())->Listening());
}

} // namespace
