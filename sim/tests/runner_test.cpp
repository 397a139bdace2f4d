// The simulator served on a real pty pair and its control socket, driven the way the server and a
// person would drive them.
#include "sim/control_server.h"
#include "sim/pty.h"
#include "sim/runner.h"
#include "sim/tests/support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

namespace nvsim {
namespace {

using test::hex;
using test::to_hex;

// Reads from fd until `count` bytes came or two seconds passed.
Bytes read_bytes(int fd, std::size_t count) {
    Bytes out;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (out.size() < count && std::chrono::steady_clock::now() < until) {
        std::vector<sys::PollItem> items{{fd, true, false}};
        sys::poll_items(items, 50);
        std::uint8_t buffer[256];
        long n = sys::read_some(fd, buffer, std::min(sizeof buffer, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// Reads an answer frame (through ACK and its sum, or a NAK) from fd.
std::string read_answer(int fd, AnswerReader::Result& result) {
    AnswerReader reader;
    result = AnswerReader::Result::more;
    while (result == AnswerReader::Result::more) {
        Bytes b = read_bytes(fd, 1);
        if (b.empty())
            break;
        result = reader.feed(b[0]);
    }
    return reader.text();
}

void write_bytes(int fd, const Bytes& bytes) {
    ASSERT_TRUE(sys::write_all(fd, std::string(bytes.begin(), bytes.end())));
}

class PtyLine : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sys::open_pty(pty, error)) << error;
        master_side = sys::open_serial(pty.slave_path, error);
        ASSERT_GE(master_side, 0) << error;
    }
    void TearDown() override {
        if (runner)
            runner->stop();
        sys::close_fd(master_side);
        sys::close_pty(pty);
    }
    void start(RunnerOptions options = {}) {
        runner = std::make_unique<LineRunner>(line, pty.master, std::move(options));
        ASSERT_TRUE(runner->start());
    }

    SimLine line{default_network()};
    sys::Pty pty;
    int master_side = -1;   // the server's end of the line: the pty's slave
    std::unique_ptr<LineRunner> runner;
};

TEST_F(PtyLine, HandWrittenMasterBytesGetTheDevicesAnswers) {
    start();
    write_bytes(master_side, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(master_side, 2)), "80 06");
    // "QM " and its zero: 0x51 + 0x4D + 0x20 = 0xBE, AND 0x7F = 0x3E.
    write_bytes(master_side, hex("02 51 4D 20 00 03 3E"));
    EXPECT_EQ(to_hex(read_bytes(master_side, 3)), "59 06 59");
    write_bytes(master_side, hex("04 10 04"));

    // A display broadcast is taken without a word back.
    write_bytes(master_side, hex("D1 10 04 31 05 02 48 49 03 11 04 10 04"));
    write_bytes(master_side, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(master_side, 2)), "80 06");
    EXPECT_EQ(line.control("SHOW D2"), "OK D2 display id=82 unit=1 frames=1 text=\"HI\"");
}

TEST_F(PtyLine, PrintedTicketReachesTheMasterThroughTheBuffer) {
    start();
    ASSERT_EQ(line.control("PRESS 2 7"), "OK P2 ticket 7 record 1");
    write_bytes(master_side, hex("D9 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(master_side, 2)), "84 06");
    write_bytes(master_side, encode_command(std::string("GB 1\0", 5)));
    AnswerReader::Result result;
    EXPECT_EQ(read_answer(master_side, result), "Y 7 1 7.00 1 1 1 1");
    EXPECT_EQ(result, AnswerReader::Result::answer);
}

TEST_F(PtyLine, PacedLineDeliversALongAnswerIntact) {
    RunnerOptions options;
    options.pace_baud = 115200;
    start(options);
    write_bytes(master_side, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(master_side, 2)), "80 06");
    write_bytes(master_side, encode_command(std::string("SX 15\0", 6)));
    AnswerReader::Result result;
    std::string report = read_answer(master_side, result);
    EXPECT_EQ(result, AnswerReader::Result::answer);
    EXPECT_GT(report.size(), 512u);
    EXPECT_EQ(report.rfind("X REPORT ALL TICKETS\n", 0), 0u);
}

TEST_F(PtyLine, MasterThatVanishesMidFrameLeavesTheLineUsable) {
    start();
    write_bytes(master_side, hex("D8 04 30 05 02 47"));
    read_bytes(master_side, 2);
    sys::close_fd(master_side);
    std::string error;
    master_side = sys::open_serial(pty.slave_path, error);
    ASSERT_GE(master_side, 0) << error;
    EXPECT_TRUE(runner->running());
    write_bytes(master_side, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(master_side, 2)), "80 06");
}

TEST_F(PtyLine, RunnerEndsWhenThePtyIsClosedUnderIt) {
    std::atomic<bool> ended{false};
    RunnerOptions options;
    options.on_end = [&] { ended = true; };
    start(options);
    sys::close_fd(master_side);
    master_side = -1;
    sys::close_fd(pty.slave);
    pty.slave = -1;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ended && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ended);
    EXPECT_FALSE(runner->running());
    EXPECT_FALSE(runner->failure().empty());
}

TEST_F(PtyLine, StopEndsAnIdleRunnerAtOnce) {
    start();
    runner->stop();
    EXPECT_FALSE(runner->running());
    EXPECT_EQ(runner->failure(), "");
}

// Reads one line from a connected control socket.
std::string read_line(int fd) {
    std::string text;
    for (;;) {
        Bytes b = read_bytes(fd, 1);
        if (b.empty() || b[0] == '\n')
            return text;
        text.push_back(static_cast<char>(b[0]));
    }
}

class ControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        path = (std::filesystem::temp_directory_path() /
                ("nvsim-" + std::to_string(std::random_device{}()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".sock"))
                   .string();
        std::string error;
        ASSERT_TRUE(server.listen(path, error)) << error;
        thread = std::thread([this] { server.run(); });
    }
    void TearDown() override {
        server.stop();
        if (thread.joinable())
            thread.join();
    }

    SimLine line{default_network()};
    ControlServer server{line};
    std::string path;
    std::thread thread;
};

TEST_F(ControlSocket, EachLineGetsOneAnswerAndQuitEndsTheServer) {
    int fd = sys::connect_unix(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sys::write_all(fd, "PRESS 2 4\nSHOW P2\nQUIT\n"));
    EXPECT_EQ(read_line(fd), "OK P2 ticket 4 record 1");
    EXPECT_EQ(read_line(fd).rfind("OK P2 printer id=90", 0), 0u);
    EXPECT_EQ(read_line(fd), "OK bye");
    thread.join();
    EXPECT_TRUE(line.quit_requested());
    sys::close_fd(fd);
}

TEST_F(ControlSocket, OverlongLineIsRefusedAndTheClientStaysServed) {
    int fd = sys::connect_unix(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sys::write_all(fd, std::string(5000, 'X') + "\nLIST\n"));
    EXPECT_EQ(read_line(fd), "ERR line longer than 4096 characters");
    EXPECT_EQ(read_line(fd).rfind("OK P1 printer", 0), 0u);
    // A client that leaves in the middle of a line costs nothing.
    int other = sys::connect_unix(path);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(sys::write_all(other, "PRESS 1"));
    sys::close_fd(other);
    ASSERT_TRUE(sys::write_all(fd, "STATS\n"));
    EXPECT_EQ(read_line(fd).rfind("OK in=", 0), 0u);
    sys::close_fd(fd);
}

TEST_F(ControlSocket, SocketFileIsRemovedWhenTheServerEnds) {
    EXPECT_TRUE(std::filesystem::exists(path));
    server.stop();
    thread.join();
    {
        ControlServer gone(line);
        std::string error;
        std::string other = path + ".2";
        ASSERT_TRUE(gone.listen(other, error));
        EXPECT_TRUE(std::filesystem::exists(other));
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".2"));
}

} // namespace
} // namespace nvsim
