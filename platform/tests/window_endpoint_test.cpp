#include "platform/window_endpoint.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using platform::FrameParse;

// Little-endian bytes written out by hand, independent of the codec under test.
std::string le32(std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}
std::string le64(std::uint64_t v) {
    return le32(static_cast<std::uint32_t>(v)) + le32(static_cast<std::uint32_t>(v >> 32));
}

std::string request_bytes(std::uint32_t kind, std::uint32_t msg, std::uint64_t w, std::uint64_t l,
                          const std::string& payload) {
    return "NVWM" + le32(kind) + le32(msg) + le64(w) + le64(l) + le32(static_cast<std::uint32_t>(payload.size())) +
           payload;
}

TEST(WindowFrames, RequestParsesFromHandMadeBytes) {
    std::string bytes = request_bytes(2, 0x401, 0x0102030405060708ull, 0xFFFFFFFFFFFFFFFEull, "abc");
    ASSERT_EQ(bytes.size(), 35u);
    platform::Request r;
    std::size_t used = 0;
    ASSERT_EQ(platform::parse_request(bytes + "NVWM", &r, &used), FrameParse::complete);
    EXPECT_EQ(used, 35u);
    EXPECT_EQ(r.kind, 2u);
    EXPECT_EQ(r.message.msg, 0x401u);
    EXPECT_EQ(r.message.wparam, 0x0102030405060708ull);
    EXPECT_EQ(r.message.lparam, -2);
    EXPECT_EQ(r.message.payload, "abc");
    EXPECT_EQ(platform::encode_request(2, 0x401, 0x0102030405060708ull, -2, "abc"), bytes);
}

TEST(WindowFrames, RequestErrorsAndShortInput) {
    struct Case {
        const char* name;
        std::string bytes;
        FrameParse expected;
    };
    std::string good = request_bytes(1, 5, 0, 0, "xy");
    std::vector<Case> cases = {
        {"empty", "", FrameParse::need_more},
        {"magic only", "NVW", FrameParse::need_more},
        {"header cut", good.substr(0, 31), FrameParse::need_more},
        {"payload cut", good.substr(0, 33), FrameParse::need_more},
        {"wrong magic at once", "X", FrameParse::bad},
        {"wrong magic later", "NVWX", FrameParse::bad},
        {"kind 0", request_bytes(0, 5, 0, 0, ""), FrameParse::bad},
        {"kind 4", request_bytes(4, 5, 0, 0, ""), FrameParse::bad},
        {"largest payload announced", request_bytes(1, 5, 0, 0, "").substr(0, 28) + le32(65536),
         FrameParse::need_more},
        {"payload above the limit", request_bytes(1, 5, 0, 0, "").substr(0, 28) + le32(65537), FrameParse::bad},
        {"length near 4 GiB", request_bytes(1, 5, 0, 0, "").substr(0, 28) + le32(0xFFFFFFFFu), FrameParse::bad},
    };
    for (const Case& c : cases) {
        platform::Request r;
        std::size_t used = 0;
        EXPECT_EQ(platform::parse_request(c.bytes, &r, &used), c.expected) << c.name;
    }
}

TEST(WindowFrames, ReplyParsesFromHandMadeBytes) {
    std::string bytes = "NVWR" + le64(0xFFFFFFFFFFFFFFFFull) + le32(2) + std::string("Y\0", 2);
    platform::SendReply reply;
    std::size_t used = 0;
    ASSERT_EQ(platform::parse_reply(bytes, &reply, &used), FrameParse::complete);
    EXPECT_EQ(reply.result, -1);
    EXPECT_EQ(reply.payload, std::string("Y\0", 2));
    EXPECT_EQ(used, 18u);
    EXPECT_EQ(platform::parse_reply(bytes.substr(0, 17), &reply, &used), FrameParse::need_more);
    EXPECT_EQ(platform::parse_reply("NVWM", &reply, &used), FrameParse::bad);
    EXPECT_EQ(platform::parse_reply("NVWR" + le64(1) + le32(70000), &reply, &used), FrameParse::bad);
}

TEST(WindowFrames, CommandRecordLayout) {
    std::string payload = le32(9) + le32(300) + "SYST";
    platform::CommandRecord record;
    ASSERT_TRUE(platform::decode_command_record(payload, &record));
    EXPECT_EQ(record.command, "SYST");
    EXPECT_EQ(record.second_word, 9u);
    EXPECT_EQ(record.answer_size, 300u);
    EXPECT_EQ(platform::encode_command_record(record), payload);
    // The command ends at a zero byte, as a C text would.
    ASSERT_TRUE(platform::decode_command_record(le32(0) + le32(1) + std::string("AB\0CD", 5), &record));
    EXPECT_EQ(record.command, "AB");
    EXPECT_FALSE(platform::decode_command_record(le32(0) + "abc", &record));
}

// A window served by a loop on its own thread; every message it gets is recorded.
class LiveWindow : public ::testing::Test {
protected:
    void SetUp() override {
        std::string ns = "test" + std::to_string(getpid());
        setenv("NUVRA_WINDOW_NAMESPACE", ns.c_str(), 1);
    }
    void TearDown() override { stop(); }

    void start(const std::string& title) {
        window = std::make_unique<platform::WindowEndpoint>(
            loop, [this](const platform::Message& m, std::string* reply) -> std::int64_t {
                std::lock_guard<std::mutex> guard(lock);
                received.push_back(m);
                if (reply)
                    *reply = "answer to " + m.payload;
                return static_cast<std::int64_t>(m.wparam) + 1;
            });
        ASSERT_EQ(window->open(title), platform::EndpointStatus::ok) << window->error_text();
        thread = std::thread([this] { loop.run(); });
    }
    void stop() {
        if (thread.joinable()) {
            loop.post_quit(0);
            thread.join();
        }
        window.reset();
    }
    std::vector<platform::Message> messages() {
        std::lock_guard<std::mutex> guard(lock);
        return received;
    }
    // Waits (bounded) until the window has seen n messages.
    bool wait_for(std::size_t n) {
        for (int i = 0; i < 500; ++i) {
            if (messages().size() >= n)
                return true;
            poll(nullptr, 0, 10);
        }
        return false;
    }
    int connect_raw() {
        char hex[24];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(window->handle()));
        std::string name = std::string("nuvra-window.") + std::getenv("NUVRA_WINDOW_NAMESPACE") + "/handle/" + hex;
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path + 1, name.data(), name.size());
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }
    // One reply frame; bytes of the next stay in `unread`.
    std::string read_reply(int fd) {
        char buffer[256];
        for (;;) {
            platform::SendReply r;
            std::size_t used = 0;
            if (platform::parse_reply(unread, &r, &used) != FrameParse::need_more) {
                std::string frame = unread.substr(0, used);
                unread.erase(0, used);
                return frame;
            }
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return std::exchange(unread, "");
            unread.append(buffer, static_cast<std::size_t>(n));
        }
    }

    platform::EventLoop loop;
    std::unique_ptr<platform::WindowEndpoint> window;
    std::thread thread;
    std::mutex lock;
    std::vector<platform::Message> received;
    std::string unread;
};

TEST_F(LiveWindow, FoundByTitleAndAnswersSentMessages) {
    start("Test Window");
    EXPECT_EQ(platform::find_window("Test Window"), window->handle());
    EXPECT_EQ(platform::find_window("No Such Window"), 0u);

    auto reply = platform::send_message(window->handle(), 0x401, 41, 7, "SYST");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 42);
    EXPECT_EQ(reply->payload, "answer to SYST");
    auto seen = messages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].msg, 0x401u);
    EXPECT_EQ(seen[0].lparam, 7);
}

TEST_F(LiveWindow, PostedMessagesCarryTheirTextAndGetNoReply) {
    start("");
    ASSERT_TRUE(platform::post_message(window->handle(), 0x405, (2 << 8) | 3, 0, "card text"));
    ASSERT_TRUE(wait_for(1));
    auto seen = messages();
    EXPECT_EQ(seen[0].msg, 0x405u);
    EXPECT_EQ(seen[0].wparam, static_cast<std::uint64_t>((2 << 8) | 3));
    EXPECT_EQ(seen[0].payload, "card text");
}

TEST_F(LiveWindow, MessagesToAWindowThatIsGoneFail) {
    start("");
    platform::WindowHandle gone = window->handle();
    stop();
    EXPECT_FALSE(platform::post_message(gone, 0x405, 0, 0, "x"));
    EXPECT_FALSE(platform::send_message(gone, 0x401, 0, 0, "x", 200));
    EXPECT_FALSE(platform::post_message(0, 0x405, 0, 0, "x"));
}

TEST_F(LiveWindow, SecondWindowWithTheSameTitleDoesNotTakeIt) {
    start("Shared Title");
    platform::EventLoop other_loop;
    platform::WindowEndpoint other(other_loop, [](const platform::Message&, std::string*) { return 0; });
    EXPECT_EQ(other.open("Shared Title"), platform::EndpointStatus::title_taken);
    EXPECT_NE(other.error_text().find("Shared Title"), std::string::npos);
    EXPECT_NE(other.handle(), 0u); // it still works as an untitled window
    EXPECT_EQ(platform::find_window("Shared Title"), window->handle());
}

TEST_F(LiveWindow, BadFrameEndsOnlyItsConnection) {
    start("");
    int fd = connect_raw();
    std::string first = request_bytes(2, 0x401, 1, 0, "one");
    std::string garbage = "GARBAGE GARBAGE GARBAGE GARBAGE GARBAGE";
    std::string both = first + garbage;
    ASSERT_EQ(send(fd, both.data(), both.size(), 0), static_cast<ssize_t>(both.size()));
    std::string reply = read_reply(fd);
    EXPECT_EQ(reply, "NVWR" + le64(2) + le32(13) + "answer to one");
    char c;
    EXPECT_EQ(recv(fd, &c, 1, 0), 0); // closed after the bad frame, no reply to it
    close(fd);

    auto after = platform::send_message(window->handle(), 0x401, 5, 0, "two");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->result, 6);
}

TEST_F(LiveWindow, RequestsSentByteByByteAndPipelinedAreAnsweredInOrder) {
    start("");
    int fd = connect_raw();
    std::string frames = request_bytes(2, 0x401, 10, 0, "a") + request_bytes(1, 0x405, 0, 0, "p") +
                         request_bytes(2, 0x401, 20, 0, "b");
    for (char c : frames) {
        ASSERT_EQ(send(fd, &c, 1, 0), 1);
    }
    EXPECT_EQ(read_reply(fd), "NVWR" + le64(11) + le32(11) + "answer to a");
    EXPECT_EQ(read_reply(fd), "NVWR" + le64(21) + le32(11) + "answer to b");
    close(fd);
    auto seen = messages();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].payload, "p");
}

TEST_F(LiveWindow, TitleEndpointAnswersOnlyHandleQueries) {
    start("Query Only");
    char name[128];
    std::snprintf(name, sizeof name, "nuvra-window.%s/title/Query Only", std::getenv("NUVRA_WINDOW_NAMESPACE"));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name, std::strlen(name));
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(name))),
              0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string post = request_bytes(2, 0x401, 0, 0, "SYST");
    ASSERT_EQ(send(fd, post.data(), post.size(), 0), static_cast<ssize_t>(post.size()));
    char c;
    EXPECT_EQ(recv(fd, &c, 1, 0), 0);
    close(fd);
    EXPECT_TRUE(messages().empty());
}

} // namespace
