// The simulator served on a real pty pair and its control socket, driven the way the server and a
// person would drive them.
#include "sim/control_io.h"
#include "sim/control_server.h"
#include "sim/runner.h"
#include "sim/tests/support.h"

#include "platform/pty.h"
#include "platform/serial.h"

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

// Reads `count` bytes from the server's end, waiting at most two seconds for each.
Bytes read_bytes(platform::SerialDevice& port, std::size_t count) {
    Bytes out(count);
    port.set_timeouts(2000, 2000);
    int n = port.read(out.data(), static_cast<int>(count));
    out.resize(static_cast<std::size_t>(std::max(0, n)));
    return out;
}

// Reads an answer frame (through ACK and its sum, or a NAK).
std::string read_answer(platform::SerialDevice& port, AnswerReader::Result& result) {
    AnswerReader reader;
    result = AnswerReader::Result::more;
    while (result == AnswerReader::Result::more) {
        Bytes b = read_bytes(port, 1);
        if (b.empty()) break;
        result = reader.feed(b[0]);
    }
    return reader.text();
}

void write_bytes(platform::SerialDevice& port, const Bytes& bytes) {
    ASSERT_EQ(port.write(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
}

// The simulator on the master side of a pty pair; the test is the server on the slave side,
// opened the way the server opens its port.
class PtyLine : public ::testing::Test {
  protected:
    void SetUp() override {
        pty = platform::PtyPair::open();
        ASSERT_TRUE(pty);
        device = pty->take_master();
        ASSERT_TRUE(device);
        open_port();
    }
    void TearDown() override {
        if (runner) runner->stop();
    }
    void open_port() {
        port = platform::serial_open(pty->slave_path().c_str());
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->configure(platform::SerialLine{28800, 8, 'E', 2}));
    }
    void start(RunnerOptions options = {}) {
        runner = std::make_unique<LineRunner>(line, *device, std::move(options));
        ASSERT_TRUE(runner->start());
    }

    SimLine line{default_network()};
    std::unique_ptr<platform::PtyPair> pty;
    std::unique_ptr<platform::SerialDevice> device; // the simulator's end
    std::unique_ptr<platform::SerialDevice> port;   // the server's end
    std::unique_ptr<LineRunner> runner;
};

TEST_F(PtyLine, HandWrittenMasterBytesGetTheDevicesAnswers) {
    start();
    write_bytes(*port, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(*port, 2)), "80 06");
    // "QM " and its zero: 0x51 + 0x4D + 0x20 = 0xBE, AND 0x7F = 0x3E.
    write_bytes(*port, hex("02 51 4D 20 00 03 3E"));
    EXPECT_EQ(to_hex(read_bytes(*port, 3)), "59 06 59");
    write_bytes(*port, hex("04 10 04"));

    // A display broadcast is taken without a word back.
    write_bytes(*port, hex("D1 10 04 31 05 02 48 49 03 11 04 10 04"));
    write_bytes(*port, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(*port, 2)), "80 06");
    EXPECT_EQ(line.control("SHOW D2"), "OK D2 display id=82 unit=1 frames=1 text=\"HI\"");
}

TEST_F(PtyLine, PrintedTicketReachesTheMasterThroughTheBuffer) {
    start();
    ASSERT_EQ(line.control("PRESS 2 7"), "OK P2 ticket 7 record 1");
    write_bytes(*port, hex("D9 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(*port, 2)), "84 06");
    write_bytes(*port, encode_command(std::string("GB 1\0", 5)));
    AnswerReader::Result result;
    EXPECT_EQ(read_answer(*port, result), "Y 7 1 7.00 1 1 1 1");
    EXPECT_EQ(result, AnswerReader::Result::answer);
}

TEST_F(PtyLine, PacedLineDeliversALongAnswerIntact) {
    RunnerOptions options;
    options.pace_baud = 115200;
    start(options);
    write_bytes(*port, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(*port, 2)), "80 06");
    write_bytes(*port, encode_command(std::string("SX 15\0", 6)));
    AnswerReader::Result result;
    std::string report = read_answer(*port, result);
    EXPECT_EQ(result, AnswerReader::Result::answer);
    EXPECT_GT(report.size(), 512u);
    EXPECT_EQ(report.rfind("X REPORT ALL TICKETS\n", 0), 0u);
}

TEST_F(PtyLine, MasterThatVanishesMidFrameLeavesTheLineUsable) {
    start();
    write_bytes(*port, hex("D8 04 30 05 02 47"));
    read_bytes(*port, 2);
    port.reset();
    open_port();
    EXPECT_TRUE(runner->running());
    write_bytes(*port, hex("D8 04 30 05"));
    EXPECT_EQ(to_hex(read_bytes(*port, 2)), "80 06");
}

TEST_F(PtyLine, RunnerEndsWhenThePtyIsClosedUnderIt) {
    std::atomic<bool> ended{false};
    RunnerOptions options;
    options.on_end = [&] { ended = true; };
    start(options);
    port.reset();
    pty->close_slave();
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

// Reads one line from a connected (blocking) control socket.
std::string read_line(int fd) {
    std::string text;
    char c = 0;
    while (io::read_some(fd, &c, 1) == 1 && c != '\n')
        text.push_back(c);
    return text;
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
        if (thread.joinable()) thread.join();
    }

    SimLine line{default_network()};
    ControlServer server{line};
    std::string path;
    std::thread thread;
};

TEST_F(ControlSocket, EachLineGetsOneAnswerAndQuitEndsTheServer) {
    int fd = io::connect_unix(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(io::write_all(fd, "PRESS 2 4\nSHOW P2\nQUIT\n"));
    EXPECT_EQ(read_line(fd), "OK P2 ticket 4 record 1");
    EXPECT_EQ(read_line(fd).rfind("OK P2 printer id=90", 0), 0u);
    EXPECT_EQ(read_line(fd), "OK bye");
    thread.join();
    EXPECT_TRUE(line.quit_requested());
    io::close_fd(fd);
}

TEST_F(ControlSocket, OverlongLineIsRefusedAndTheClientStaysServed) {
    int fd = io::connect_unix(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(io::write_all(fd, std::string(5000, 'X') + "\nLIST\n"));
    EXPECT_EQ(read_line(fd), "ERR line longer than 4096 characters");
    EXPECT_EQ(read_line(fd).rfind("OK P1 printer", 0), 0u);
    // A client that leaves in the middle of a line costs nothing.
    int other = io::connect_unix(path);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(io::write_all(other, "PRESS 1"));
    io::close_fd(other);
    ASSERT_TRUE(io::write_all(fd, "STATS\n"));
    EXPECT_EQ(read_line(fd).rfind("OK in=", 0), 0u);
    io::close_fd(fd);
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
