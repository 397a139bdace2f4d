#include "platform/socket.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

using namespace platform;

constexpr std::uint32_t MSG_NOTICE = 0x403;

struct NameCase {
    int errno_value;
    int code;
    const char* name;
};

TEST(SocketErrorNames, ErrnoMapsToTheWindowsNumberAndName) {
    const NameCase cases[] = {
        {ECONNRESET, 10054, "WSAECONNRESET"},   {EPIPE, 10054, "WSAECONNRESET"},
        {EAGAIN, 10035, "WSAEWOULDBLOCK"},      {EADDRINUSE, 10048, "WSAEADDRINUSE"},
        {ECONNREFUSED, 10061, "WSAECONNREFUSED"}, {ENOTSOCK, 10038, "WSAENOTSOCK"},
        {EBADF, 10009, "WSAEBADF"},             {ETIMEDOUT, 10060, "WSAETIMEDOUT"},
        {EREMOTE, 10071, "WSAEREMOTE"},         {EACCES, 10013, "WSAEACCES"},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(socket_error_from_errno(c.errno_value), c.code) << std::strerror(c.errno_value);
        EXPECT_STREQ(socket_error_name(c.code), c.name);
    }
}

TEST(SocketErrorNames, NumbersOutsideTheTableHaveNoName) {
    EXPECT_STREQ(socket_error_name(10101), "WSAEDISCON");
    EXPECT_STREQ(socket_error_name(10093), "WSANOTINITIALISED");
    EXPECT_STREQ(socket_error_name(10000), "No listed errror");
    EXPECT_STREQ(socket_error_name(10072), "No listed errror");
    EXPECT_STREQ(socket_error_name(0), "No listed errror");
    EXPECT_EQ(socket_error_from_errno(ENOEXEC), ENOEXEC); // no Windows number: unchanged, unnamed
}

TEST(SocketAddresses, OnlyDottedDecimalParses) {
    std::uint32_t a = 0;
    EXPECT_TRUE(parse_ipv4("127.255.255.255", &a));
    EXPECT_EQ(a, 0x7FFFFFFFu);
    EXPECT_TRUE(parse_ipv4("255.255.255.255", &a));
    EXPECT_EQ(a, IPV4_BROADCAST);
    EXPECT_FALSE(parse_ipv4("127.1", &a));
    EXPECT_FALSE(parse_ipv4("localhost", &a));
    EXPECT_FALSE(parse_ipv4("256.0.0.1", &a));
    EXPECT_FALSE(parse_ipv4("", &a));
}

// A listener with notices on a loop, and a connected pair of client and accepted sockets.
class SocketNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop_.set_message_handler([this](const Message& m) { notices_.push_back(m); });
        listener_ = socket_stream();
        ASSERT_NE(listener_, INVALID_SOCKET);
        ASSERT_EQ(socket_bind(listener_, IPV4_LOOPBACK, 0), 0);
        ASSERT_EQ(socket_listen(listener_, 2), 0);
        port_ = socket_local_port(listener_);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        for (Socket s : {client_, server_, listener_})
            if (s != INVALID_SOCKET)
                socket_close(s);
    }
    void connect_pair() {
        client_ = socket_stream();
        ASSERT_EQ(socket_connect(client_, IPV4_LOOPBACK, port_), 0);
        server_ = socket_accept(listener_);
        ASSERT_NE(server_, INVALID_SOCKET);
        ASSERT_EQ(socket_async_select(server_, &loop_, MSG_NOTICE, FD_READ | FD_CLOSE), 0);
    }
    // Runs loop passes until `count` notices are there or the time is up (2 s).
    std::vector<Message> notices_after(std::size_t count) {
        std::int64_t until = monotonic_ms() + 2000;
        while (notices_.size() < count && monotonic_ms() < until)
            loop_.run_once(5);
        return notices_;
    }
    // Runs a few passes and answers whether anything was posted.
    bool quiet() {
        std::size_t before = notices_.size();
        for (int i = 0; i < 5; ++i)
            loop_.run_once(2);
        return notices_.size() == before;
    }
    static long event_of(const Message& m) { return m.lparam & 0xFFFF; }
    static int error_of(const Message& m) { return static_cast<int>((m.lparam >> 16) & 0xFFFF); }

    EventLoop loop_;
    std::vector<Message> notices_;
    Socket listener_ = INVALID_SOCKET;
    Socket client_ = INVALID_SOCKET;
    Socket server_ = INVALID_SOCKET;
    int port_ = 0;
};

TEST_F(SocketNoticeTest, AcceptNoticeCarriesTheListeningSocket) {
    ASSERT_EQ(socket_async_select(listener_, &loop_, MSG_NOTICE - 1, FD_ACCEPT), 0);
    client_ = socket_stream();
    ASSERT_EQ(socket_connect(client_, IPV4_LOOPBACK, port_), 0);
    auto n = notices_after(1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].msg, MSG_NOTICE - 1);
    EXPECT_EQ(n[0].wparam, static_cast<std::uint64_t>(listener_));
    EXPECT_EQ(n[0].lparam, FD_ACCEPT);
    EXPECT_TRUE(quiet()) << "no second accept notice before the accept";
    server_ = socket_accept(listener_);
    EXPECT_NE(server_, INVALID_SOCKET);
    EXPECT_TRUE(quiet());
}

TEST_F(SocketNoticeTest, OneReadNoticePerReceive) {
    connect_pair();
    ASSERT_EQ(socket_send(client_, "abcdef", 6), 6);
    auto n = notices_after(1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(event_of(n[0]), FD_READ);
    EXPECT_EQ(n[0].wparam, static_cast<std::uint64_t>(server_));
    EXPECT_TRUE(quiet()) << "bytes still wait, but their notice was not answered by a receive yet";
    char b[4];
    ASSERT_EQ(socket_recv(server_, b, 2), 2);
    EXPECT_EQ(event_of(notices_after(2).at(1)), FD_READ) << "four bytes left: the receive re-enabled the notice";
    ASSERT_EQ(socket_recv(server_, b, 4), 4);
    EXPECT_TRUE(quiet()) << "nothing left to read";
}

TEST_F(SocketNoticeTest, CloseNoticeComesAfterTheLastBytesAreRead) {
    connect_pair();
    ASSERT_EQ(socket_send(client_, "xyz", 3), 3);
    socket_close(client_);
    client_ = INVALID_SOCKET;
    auto n = notices_after(1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(event_of(n[0]), FD_READ);
    EXPECT_TRUE(quiet());
    char b[8];
    ASSERT_EQ(socket_recv(server_, b, sizeof b), 3);
    n = notices_after(2);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(event_of(n[1]), FD_CLOSE);
    EXPECT_EQ(error_of(n[1]), 0);
    EXPECT_TRUE(quiet()) << "the close is posted once";
}

TEST_F(SocketNoticeTest, ResetPostsCloseWithWsaeconnreset) {
    connect_pair();
    ASSERT_EQ(socket_reset_on_close(client_), 0);
    socket_close(client_);
    client_ = INVALID_SOCKET;
    auto n = notices_after(1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(event_of(n[0]), FD_CLOSE);
    EXPECT_EQ(error_of(n[0]), 10054);
    EXPECT_TRUE(quiet());
}

TEST_F(SocketNoticeTest, SelectingAgainPostsAtOnceWhenBytesWait) {
    connect_pair();
    ASSERT_EQ(socket_async_select(server_, &loop_, MSG_NOTICE, FD_CLOSE), 0);
    ASSERT_EQ(socket_send(client_, "abc", 3), 3);
    EXPECT_TRUE(quiet()) << "read notices were not asked for";
    ASSERT_EQ(socket_async_select(server_, &loop_, MSG_NOTICE, FD_READ | FD_CLOSE), 0);
    auto n = notices_after(1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(event_of(n[0]), FD_READ);
}

// The yields' cheap check: within the interval since the last poll of the descriptors, a socket
// that became ready is not looked at (a posted message still is); past it, it is.
TEST_F(SocketNoticeTest, IntervalCheckPollsDescriptorsOnlyWhenTheIntervalIsOver) {
    connect_pair();
    constexpr int HOUR_US = 2000000000;
    loop_.run_once(0);
    ASSERT_EQ(socket_send(client_, "a", 1), 1);
    ASSERT_EQ(socket_wait(server_, FD_READ, 2000), FD_READ);
    EXPECT_FALSE(loop_.message_waiting(HOUR_US));
    EXPECT_TRUE(loop_.message_waiting(0));
    EXPECT_TRUE(loop_.message_waiting());
    loop_.post(Message{MSG_NOTICE + 1, 0, 0, {}});
    EXPECT_TRUE(loop_.message_waiting(HOUR_US));
}

TEST_F(SocketNoticeTest, SendToAGoneClientIsAnErrorNotASignal) {
    connect_pair();
    ASSERT_EQ(socket_reset_on_close(client_), 0);
    socket_close(client_);
    client_ = INVALID_SOCKET;
    notices_after(1);
    std::string big(4096, 'x');
    long result = 0;
    for (int i = 0; i < 4 && result >= 0; ++i)
        result = socket_send(server_, big.data(), big.size());
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(socket_last_error(), 10054);
}

TEST_F(SocketNoticeTest, WriteNoticeFollowsASendThatWouldBlock) {
    connect_pair();
    ASSERT_EQ(socket_async_select(server_, &loop_, MSG_NOTICE, FD_CLOSE | FD_WRITE), 0);
    auto n = notices_after(1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(event_of(n[0]), FD_WRITE) << "writable when selected";
    std::string chunk(65536, 'y');
    while (socket_send(server_, chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(socket_last_error(), WSAEWOULDBLOCK);
    EXPECT_TRUE(quiet()) << "full until the client reads";
    std::vector<char> sink(1 << 20);
    ASSERT_EQ(socket_set_blocking(client_, false), 0);
    std::int64_t until = monotonic_ms() + 2000;
    while (notices_.size() < 2 && monotonic_ms() < until) {
        socket_wait(client_, FD_READ, 5);
        socket_recv(client_, sink.data(), sink.size());
        loop_.run_once(0);
    }
    ASSERT_EQ(notices_.size(), 2u);
    EXPECT_EQ(event_of(notices_[1]), FD_WRITE);
}

} // namespace
