#include "server/hosts/tcpip.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/socket.h"
#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/core/tests/test_support.h"
#include "server/core/version.h"
#include "server/hosts/host.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
namespace net = platform;

// Ports of this process: tests of other processes run side by side on their own.
int command_port() { return 20000 + static_cast<int>(getpid() % 4000) * 5; }
int event_port() { return command_port() + 1; }

std::string bytes(const char* text, std::size_t n) { return std::string(text, n); }

// A command frame as a client writes it: header with the body length, then the body.
std::string frame(int id, const std::string& body) {
    char header[32];
    std::snprintf(header, sizeof header, "&&%03d&%05zu&&", id, body.size());
    return header + body;
}
std::string command(int id, const std::string& text) { return frame(id, text + std::string(1, '\0')); }

struct Answer {
    std::string header;
    std::string body;
};

// A client of the command port, non-blocking so the test thread can run the server's loop.
class Client {
public:
    explicit Client(int port) {
        s_ = net::socket_stream();
        if (s_ == net::INVALID_SOCKET || net::socket_connect(s_, net::IPV4_LOOPBACK, port) != 0) {
            close();
            return;
        }
        net::socket_set_nodelay(s_, true);
        net::socket_set_blocking(s_, false);
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return s_ != net::INVALID_SOCKET; }
    void send(const std::string& data) {
        std::size_t sent = 0;
        while (connected() && sent < data.size()) {
            long n = net::socket_send(s_, data.data() + sent, data.size() - sent);
            if (n < 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        ASSERT_EQ(sent, data.size());
    }
    // Takes what has arrived; notes the server's close.
    void poll() {
        char b[4096];
        for (;;) {
            if (!connected())
                return;
            long n = net::socket_recv(s_, b, sizeof b);
            if (n > 0) {
                in_.append(b, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || net::socket_last_error() != net::WSAEWOULDBLOCK)
                closed_ = true;
            return;
        }
    }
    // One whole answer frame from the front of what arrived.
    bool take(Answer* a) {
        poll();
        if (in_.size() < TCP_HEADER_SIZE)
            return false;
        std::size_t length = std::stoul(in_.substr(6, 5));
        if (in_.size() < TCP_HEADER_SIZE + length)
            return false;
        a->header = in_.substr(0, TCP_HEADER_SIZE);
        a->body = in_.substr(TCP_HEADER_SIZE, length);
        in_.erase(0, TCP_HEADER_SIZE + length);
        return true;
    }
    void reset() {
        net::socket_reset_on_close(s_);
        close();
    }
    void close() {
        if (s_ != net::INVALID_SOCKET)
            net::socket_close(s_);
        s_ = net::INVALID_SOCKET;
    }
    std::string& in() { return in_; }
    bool closed() {
        poll();
        return closed_;
    }

private:
    net::Socket s_ = net::INVALID_SOCKET;
    std::string in_;
    bool closed_ = false;
};

// A UDP listener on the event port, bound to the loopback broadcast address: it receives the
// datagrams sent to 127.255.255.255 and nothing from outside the machine.
class EventListener {
public:
    explicit EventListener(int port) {
        s_ = net::socket_datagram();
        net::socket_set_reuse_address(s_, true);
        bound_ = net::socket_bind(s_, 0x7FFFFFFF, port) == 0;
        net::socket_set_blocking(s_, false);
    }
    ~EventListener() { net::socket_close(s_); }
    bool bound() const { return bound_; }
    bool take(std::string* datagram) {
        char b[1024];
        long n = net::socket_recv(s_, b, sizeof b);
        if (n < 0)
            return false;
        datagram->assign(b, static_cast<std::size_t>(n));
        return true;
    }

private:
    net::Socket s_;
    bool bound_ = false;
};

void nothing() {}

// The host manager with one TCP_IP host on the real main loop functions, the loop run on the
// test's own thread.
class TcpHostTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (started_) {
            server_shutdown();
            server_attach_loop(nullptr);
        }
        test_support::reset_server_state();
    }

    void start(const std::string& host_line, int queue_max = 5) {
        test_support::write_file(dir_.path() / "ZSYS.INI",
                                 "[HOST]\r\nMAX = 1\r\nEVENTS = 1-7\r\nEVENT_QUEUE_MAX = " + std::to_string(queue_max) +
                                     "\r\nHOST1 = " + host_line + "\r\n");
        ServerTable table{};
        for (ServerModule& m : table.modules)
            m = ServerModule{"", nothing, nothing, nothing, nothing};
        table.modules[MODULE_HOST] = {"host", host_open, host_run, host_close, nothing};
        table.hooks.host_event_deliver = host_event_deliver;
        table.hooks.tcp_listen_notice = tcp_listen_notice;
        table.hooks.tcp_client_notice = tcp_client_notice;
        server_set_table(table);
        loop_.set_message_handler([](const platform::Message& m) { server_window_procedure(m, nullptr); });
        server_attach_loop(&loop_);
        server_window_setup(1);
        started_ = true;
        ASSERT_TRUE(modules_running) << log();
        server_idle(); // the first cycle polls the host: the sockets open
    }
    void start_default(int clients = 5, int keep = 0) {
        start("TCP_IP," + std::to_string(command_port()) + "," + std::to_string(event_port()) + "," +
              std::to_string(clients) + "," + std::to_string(keep) + ",127.255.255.255");
    }

    // Runs the loop (messages, then an idle call) until done() or 5 s have passed.
    bool pump_until(const std::function<bool()>& done) {
        std::int64_t until = platform::monotonic_ms() + 5000;
        int wait = 0;
        for (;;) {
            loop_.run_once(wait);
            if (done())
                return true;
            if (platform::monotonic_ms() > until)
                return false;
            int idle = server_idle();
            wait = idle == 0 ? 0 : 2;
        }
    }
    void pump_passes(int n) {
        for (int i = 0; i < n; ++i) {
            loop_.run_once(2);
            server_idle();
        }
    }
    Answer answer_of(Client& c) {
        Answer a;
        EXPECT_TRUE(pump_until([&] { return c.take(&a); })) << "no answer; received " << c.in().size() << " bytes";
        return a;
    }
    std::unique_ptr<Client> served_client() {
        auto c = std::make_unique<Client>(command_port());
        EXPECT_TRUE(c->connected());
        c->send(command(1, "EVENT ON 1"));
        EXPECT_EQ(answer_of(*c).body, bytes("Y\0", 2));
        return c;
    }
    std::string log() {
        error_flush();
        return test_support::read_file(dir_.path() / "LOG" / "ERROR.LOG");
    }

    test_support::ScratchDir dir_;
    platform::EventLoop loop_;
    bool started_ = false;
};

// ---- answers ----

TEST_F(TcpHostTest, AnswerYIsTheFifteenByteFrame) {
    start_default();
    Client c(command_port());
    c.send("&&042&00011&&EVENT ON 2" + std::string(1, '\0'));
    ASSERT_TRUE(pump_until([&] { return c.closed() || c.in().size() >= 15; })) << log() << " clients " << tcp_connected_clients();
    EXPECT_EQ(c.in(), bytes("&&042&00002&&Y\0", 15));
}

TEST_F(TcpHostTest, GvAnswerEchoesTheHeaderWithTheVersionLength) {
    start_default();
    Client c(command_port());
    c.send(bytes("&&042&00003&&GV\0", 16));
    Answer a = answer_of(c);
    std::string version = server_version();
    char length[8];
    std::snprintf(length, sizeof length, "%05zu", version.size() + 1);
    EXPECT_EQ(a.header, "&&042&" + std::string(length) + "&&");
    EXPECT_EQ(a.body, version + std::string(1, '\0'));
}

TEST_F(TcpHostTest, LengthZeroGetsNoAnswer) {
    start_default();
    Client c(command_port());
    c.send("&&007&00000&&" + command(8, "EVENT ON 2"));
    Answer a = answer_of(c);
    EXPECT_EQ(a.header, "&&008&00002&&");
    pump_passes(5);
    EXPECT_EQ(c.in(), "");
}

TEST_F(TcpHostTest, TwoCommandsInOneSegmentAreServedInOrder) {
    start_default();
    Client c(command_port());
    c.send(command(1, "GV") + command(2, "EVENT ON 9"));
    EXPECT_EQ(answer_of(c).header.substr(0, 6), "&&001&");
    Answer second = answer_of(c);
    EXPECT_EQ(second.header, "&&002&00002&&");
    EXPECT_EQ(second.body, bytes("N\0", 2));
}

TEST_F(TcpHostTest, StrayBytesBeforeAHeaderAreDropped) {
    start_default();
    Client c(command_port());
    c.send("x" + command(3, "EVENT ON 2") + "&&&junk&&" + command(4, "EVENT ON 3"));
    EXPECT_EQ(answer_of(c).header, "&&003&00002&&");
    EXPECT_EQ(answer_of(c).header, "&&004&00002&&");
}

// A header split over two reads is kept, not cut by its first byte.
TEST_F(TcpHostTest, SplitHeaderIsServedWhole) {
    start_default();
    Client c(command_port());
    std::string whole = command(5, "EVENT ON 2");
    c.send(whole.substr(0, 6));
    pump_passes(10);
    c.send(whole.substr(6));
    EXPECT_EQ(answer_of(c).header, "&&005&00002&&");
}

TEST_F(TcpHostTest, NegativeLengthIsNoHeader) {
    start_default();
    Client c(command_port());
    c.send("&&001&-0001&&" + command(2, "EVENT ON 2"));
    EXPECT_EQ(answer_of(c).header, "&&002&00002&&");
}

// A body above 5000 bytes is served cut; the rest is dropped by the header search.
TEST_F(TcpHostTest, OversizeBodyIsCutAndItsRestDropped) {
    start_default();
    Client c(command_port());
    c.send(frame(1, "GV" + std::string(5998, 'x')) + command(2, "EVENT ON 2"));
    Answer first = answer_of(c);
    EXPECT_EQ(first.header.substr(0, 6), "&&001&");
    EXPECT_EQ(first.body, bytes("Syntax Error\0", 13));
    EXPECT_EQ(answer_of(c).header, "&&002&00002&&");
}

TEST_F(TcpHostTest, GarbageThenACommandIsServed) {
    start_default();
    Client c(command_port());
    std::string garbage;
    std::uint32_t x = 12345;
    for (int i = 0; i < 3000; ++i) {
        x = x * 1103515245u + 12345u;
        garbage += static_cast<char>((x >> 16) & 0xFF);
    }
    c.send(garbage + std::string(13, '\0') + command(77, "EVENT ON 2"));
    Answer a;
    ASSERT_TRUE(pump_until([&] {
        if (!c.take(&a))
            return false;
        return a.header == "&&077&00002&&"; // garbage may hold a header by chance: its answer goes first
    }));
    EXPECT_EQ(a.body, bytes("Y\0", 2));
}

struct LongAnswerCase {
    const char* name;
    std::size_t value_length; // answer = value + zero
};
void PrintTo(const LongAnswerCase& c, std::ostream* os) { *os << c.name; }

class TcpLongAnswerTest : public TcpHostTest, public ::testing::WithParamInterface<LongAnswerCase> {};

TEST_P(TcpLongAnswerTest, AnswerArrivesWholeBehindItsHeader) {
    start_default();
    Client c(command_port());
    std::string value;
    for (std::size_t i = 0; i < GetParam().value_length; ++i)
        value += static_cast<char>('a' + i % 26);
    c.send(command(10, "SETS TEST VALUE " + value));
    ASSERT_EQ(answer_of(c).body, bytes("Y\0", 2));
    c.send(command(11, "SETG TEST VALUE 1000"));
    Answer a = answer_of(c);
    char header[16];
    std::snprintf(header, sizeof header, "&&011&%05zu&&", value.size() + 1);
    EXPECT_EQ(a.header, header);
    EXPECT_EQ(a.body, value + std::string(1, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Lengths, TcpLongAnswerTest,
                         ::testing::Values(LongAnswerCase{"one_send_185", 185}, LongAnswerCase{"two_sends_186", 186},
                                           LongAnswerCase{"long_450", 450}),
                         [](const ::testing::TestParamInfo<LongAnswerCase>& p) { return std::string(p.param.name); });

// A client that reads its answers late gets every one of them, whole and in order, however full
// its connection got meanwhile.
TEST_F(TcpHostTest, AnswersToAClientThatReadsLateArriveWholeInOrder) {
    start_default();
    Client c(command_port());
    const std::string value(400, 'v');
    c.send(command(1, "SETS TEST VALUE " + value));
    ASSERT_EQ(answer_of(c).body, bytes("Y\0", 2));
    constexpr int COUNT = 600; // about 250 KB of answers
    std::string batch;
    for (int id = 0; id < COUNT; ++id)
        batch += command(id % 1000, "SETG TEST VALUE 1000");
    // Sent in pieces while the server runs, so neither side's buffers need to hold it all.
    for (std::size_t at = 0; at < batch.size(); at += 4000) {
        c.send(batch.substr(at, 4000));
        pump_passes(3);
    }
    std::vector<Answer> answers;
    ASSERT_TRUE(pump_until([&] {
        Answer a;
        while (c.take(&a))
            answers.push_back(a);
        return answers.size() == COUNT;
    })) << answers.size();
    for (int id = 0; id < COUNT; ++id) {
        char header[16];
        std::snprintf(header, sizeof header, "&&%03d&00401&&", id % 1000);
        ASSERT_EQ(answers[static_cast<std::size_t>(id)].header, header);
        ASSERT_EQ(answers[static_cast<std::size_t>(id)].body, value + std::string(1, '\0'));
    }
}

// With the keep-header flag the session's command begins with the header.
TEST_F(TcpHostTest, KeepHeaderPassesTheHeaderToTheSession) {
    start_default(5, 1);
    Client c(command_port());
    c.send("&&001&00016&&GV" + std::string(1, '\0') + "&&002&00000&&" + "&&003&00016&&GV" + std::string(1, '\0'));
    Answer a = answer_of(c);
    EXPECT_EQ(a.header, "&&001&00013&&");
    EXPECT_EQ(a.body, bytes("Syntax Error\0", 13));
    EXPECT_EQ(answer_of(c).header, "&&003&00013&&") << "a kept LENGTH 0 header is taken out, not found forever";
}

// ---- clients ----

TEST_F(TcpHostTest, SixthClientIsRefusedWithError485) {
    start_default(5);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 5; ++i)
        clients.push_back(served_client());
    EXPECT_EQ(tcp_connected_clients(), 5);
    Client sixth(command_port());
    ASSERT_TRUE(sixth.connected());
    ASSERT_TRUE(pump_until([&] { return sixth.closed(); }));
    EXPECT_THAT(log(), HasSubstr("485:0000000001"));
    EXPECT_THAT(log(), HasSubstr("<_SOURCE\\host_t:226> \"Couldn't accept more Clients now. Try later.\""));

    clients[2].reset();
    ASSERT_TRUE(pump_until([&] { return tcp_connected_clients() == 4; }));
    auto again = served_client();
    EXPECT_EQ(tcp_connected_clients(), 5);
}

TEST_F(TcpHostTest, ClientsGoneMidFrameFreeTheirRecords) {
    start_default(3);
    for (int round = 0; round < 4; ++round) {
        auto c = served_client();
        c->send(command(9, "EVENT ON 2").substr(0, 15)); // the header and two body bytes
        pump_passes(3);
        if (round % 2)
            c->reset();
        else
            c->close();
        ASSERT_TRUE(pump_until([&] { return tcp_connected_clients() == 0; })) << "round " << round;
    }
    auto last = served_client();
    EXPECT_EQ(tcp_connected_clients(), 1);
    EXPECT_THAT(log(), HasSubstr("\"Windows Socket error 'WSAECONNRESET':  On Client Message.\""));
    EXPECT_THAT(log(), Not(HasSubstr("485:")));
}

// ---- events ----

TEST_F(TcpHostTest, QueuedEventReachesTheListenerAsADatagram) {
    EventListener listener(event_port());
    ASSERT_TRUE(listener.bound());
    start_default();
    Client c(command_port());
    c.send(command(1, "EVENT SEND 2 5 HELLO"));
    EXPECT_EQ(answer_of(c).body, bytes("Y\0", 2));
    c.send(command(2, "EVENT SEND 7 1"));
    EXPECT_EQ(answer_of(c).body, bytes("Y\0", 2));
    std::vector<std::string> datagrams;
    ASSERT_TRUE(pump_until([&] {
        std::string d;
        while (listener.take(&d))
            datagrams.push_back(d);
        return datagrams.size() >= 2;
    }));
    EXPECT_EQ(datagrams[0], bytes("&&000&00029&&EVENT 2 5 HELLO\0", 29));
    EXPECT_EQ(datagrams[1], bytes("&&001&00024&&EVENT 7 1 \0", 24));
}

TEST_F(TcpHostTest, EventIdWrapsFrom999To0) {
    EventListener listener(event_port());
    ASSERT_TRUE(listener.bound());
    start_default();
    EventRecord record{};
    record.event = 3;
    record.unit = 0;
    std::vector<std::string> ids;
    for (int i = 0; i < 1002; ++i) {
        host_slot(0)->ops.event(&record);
        std::string d;
        ASSERT_TRUE(pump_until([&] { return listener.take(&d); })) << i;
        ids.push_back(d.substr(0, 6));
    }
    EXPECT_EQ(ids[0], "&&000&");
    EXPECT_EQ(ids[999], "&&999&");
    EXPECT_EQ(ids[1000], "&&000&");
    EXPECT_EQ(ids[1001], "&&001&");
}

// ---- parameters ----

struct ParameterCase {
    const char* name;
    const char* parameters;
    TcpSettings expected;
};
void PrintTo(const ParameterCase& c, std::ostream* os) { *os << c.name; }

class TcpParameterTest : public ::testing::TestWithParam<ParameterCase> {
protected:
    void TearDown() override {
        host_transport_tcp_ip.close(&slot_);
        test_support::reset_server_state();
    }
    HostSlot slot_{};
};

TEST_P(TcpParameterTest, NumbersAndAddressAreRead) {
    const ParameterCase& c = GetParam();
    host_transport_tcp_ip.configure(c.parameters, &slot_, 1);
    ASSERT_EQ(error_pending(), 0);
    TcpSettings s{};
    ASSERT_TRUE(tcp_settings(&s));
    EXPECT_EQ(s.command_port, c.expected.command_port);
    EXPECT_EQ(s.event_port, c.expected.event_port);
    EXPECT_EQ(s.clients, c.expected.clients);
    EXPECT_EQ(s.keep_header, c.expected.keep_header);
    EXPECT_EQ(s.event_address, c.expected.event_address);
    EXPECT_NE(slot_.ops.poll, host_ops_nothing.poll);
    EXPECT_NE(slot_.ops.event, host_ops_nothing.event);
}

INSTANTIATE_TEST_SUITE_P(
    Hostlines, TcpParameterTest,
    ::testing::Values(ParameterCase{"empty_takes_the_defaults", "", {500, 501, 5, false, 0xFFFFFFFF}},
                      ParameterCase{"three_numbers", "600,601,10", {600, 601, 10, false, 0xFFFFFFFF}},
                      ParameterCase{"second_number_is_the_event_port", "500,10", {500, 10, 5, false, 0xFFFFFFFF}},
                      ParameterCase{"hex_octal_and_clients_raised_to_3", "0x1F4,0764,2", {500, 500, 3, false, 0xFFFFFFFF}},
                      ParameterCase{"63_clients", "1,2,63", {1, 2, 63, false, 0xFFFFFFFF}},
                      ParameterCase{"keep_header_and_address", "700,701,4,1,127.255.255.255", {700, 701, 4, true, 0x7FFFFFFF}},
                      ParameterCase{"run_of_commas", "700,,701", {700, 701, 5, false, 0xFFFFFFFF}},
                      ParameterCase{"blank_before_comma_ends_the_scan", "700 ,701", {700, 501, 5, false, 0xFFFFFFFF}}),
    [](const ::testing::TestParamInfo<ParameterCase>& p) { return std::string(p.param.name); });

class TcpParameterErrorTest : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override {
        host_transport_tcp_ip.close(&slot_);
        test_support::reset_server_state();
    }
    HostSlot slot_{};
};

TEST_P(TcpParameterErrorTest, Error296NamesTheParametersAndTheFormat) {
    host_transport_tcp_ip.configure(GetParam(), &slot_, 1);
    ASSERT_EQ(error_pending(), 296);
    ASSERT_EQ(error_recorded_count(), 1);
    EXPECT_EQ(std::string(error_recorded_text(0)),
              std::string("<_SOURCE\\host_t:110> \"INI file, host settings for TCP_IP has incorrect value(s) in '") +
                  GetParam() + "'. Format is 'HOSTx=TCP_IP,port_number,clients (TCP_IP,500,10)'\"");
    TcpSettings s{};
    EXPECT_FALSE(tcp_settings(&s));
    EXPECT_EQ(slot_.ops.poll, host_ops_nothing.poll);
}

INSTANTIATE_TEST_SUITE_P(Hostlines, TcpParameterErrorTest,
                         ::testing::Values("500,501,64", "500,501,0x40", "500,501,5,0,127.1", "500,501,5,0,nowhere",
                                           "70000,501", "500,0"));

TEST(TcpParameters, SecondTcpIpHostIsRefused) {
    HostSlot first{}, second{};
    host_transport_tcp_ip.configure("600", &first, 1);
    ASSERT_EQ(error_pending(), 0);
    host_transport_tcp_ip.configure("700", &second, 2);
    EXPECT_EQ(error_pending(), 296);
    host_transport_tcp_ip.close(&second); // the refused slot's close leaves the first host alone
    TcpSettings s{};
    ASSERT_TRUE(tcp_settings(&s));
    EXPECT_EQ(s.command_port, 600);
    host_transport_tcp_ip.close(&first);
    EXPECT_FALSE(tcp_settings(&s));
    test_support::reset_server_state();
}

// ---- the receive state machine ----

// A stream handed out in the chunks a test chose; a chunk of -1 is a failed read.
struct ChunkSource {
    std::string data;
    std::vector<int> chunks;
    std::size_t at = 0;
    std::size_t chunk = 0;
    int left_in_chunk = 0;
    bool open_chunk() {
        if (left_in_chunk > 0 || chunk >= chunks.size())
            return left_in_chunk > 0;
        left_in_chunk = chunks[chunk++];
        return true;
    }
};

long read_chunks(void* source, char* buffer, long size) {
    auto* s = static_cast<ChunkSource*>(source);
    if (s->left_in_chunk == -1) {
        s->left_in_chunk = 0;
        return -1;
    }
    long n = std::min<long>(size, s->left_in_chunk);
    n = std::min<long>(n, static_cast<long>(s->data.size() - s->at));
    std::memcpy(buffer, s->data.data() + s->at, static_cast<std::size_t>(n));
    s->at += static_cast<std::size_t>(n);
    s->left_in_chunk -= static_cast<int>(n);
    if (s->at == s->data.size()) {
        s->left_in_chunk = 0;
        s->chunk = s->chunks.size(); // the stream has ended
    }
    return n;
}

// Feeds the stream chunk by chunk, as read notices would, and lists "ID:body" of every command.
std::vector<std::string> commands_of(const std::string& data, const std::vector<int>& chunks, bool keep,
                                     int* failures = nullptr) {
    std::vector<char> body(TCP_RECEIVE_BUFFER_SIZE);
    TcpReceiver r{};
    r.body = body.data();
    tcp_receiver_reset(&r);
    ChunkSource s{data, chunks};
    std::vector<std::string> out;
    while (s.open_chunk()) {
        TcpReceiveResult result = tcp_receive(&r, keep, read_chunks, &s);
        if (result == TCP_RECEIVE_COMMAND)
            out.push_back(std::string(r.frame + 2, 3) + ":" + std::string(r.body, static_cast<std::size_t>(r.expected)));
        if (result == TCP_RECEIVE_FAILED && failures)
            ++*failures;
    }
    return out;
}

TEST(TcpReceiver, HeaderSplitAtAnyByteIsKept) {
    const std::string data = command(42, "GV");
    for (int split = 1; split < static_cast<int>(data.size()); ++split) {
        EXPECT_EQ(commands_of(data, {split, 100}, false), std::vector<std::string>{bytes("042:GV\0", 7)})
            << "split after " << split;
    }
}

TEST(TcpReceiver, ByteByByteStreamGivesTheSameCommands) {
    const std::string data = "zz" + command(1, "A") + "&&&" + command(2, "BB") + "&&009&00000&&" + command(3, "C");
    std::vector<int> ones(data.size(), 1);
    std::vector<std::string> expected = {bytes("001:A\0", 6), bytes("002:BB\0", 7), bytes("003:C\0", 6)};
    EXPECT_EQ(commands_of(data, {1000}, false), expected);
    EXPECT_EQ(commands_of(data, ones, false), expected);
}

TEST(TcpReceiver, FailedReadTakesNothing) {
    const std::string data = command(5, "GV");
    int failures = 0;
    EXPECT_EQ(commands_of(data, {4, -1, 8, -1, 2, -1, 100}, false, &failures),
              std::vector<std::string>{bytes("005:GV\0", 7)});
    EXPECT_EQ(failures, 3);
}

TEST(TcpReceiver, KeepHeaderWithShortLengthLeavesTheRestToTheSearch) {
    // LENGTH 5: the body is the first five header bytes; the other eight are searched again and
    // dropped up to the next header, whose LENGTH 2 takes its own first two bytes.
    const std::string data = "&&001&00005&&" + command(2, "X");
    EXPECT_EQ(commands_of(data, {1000}, true), (std::vector<std::string>{"001:&&001", "002:&&"}));
}

} // namespace
