// nvcmd against the fake host: one command, commands from standard input, events, failures.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "api/tests/support.h"
#include "platform/child_process.h"

using apitest::FakeHost;
using namespace std::string_literals;

namespace {

class NvcmdTest : public apitest::ApiTest {
protected:
    std::string read(const std::string& name) {
        std::ifstream in(folder_ + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    int run(const std::string& arguments) {
        std::string line = std::string(NVCMD_PROGRAM) + " " + arguments + " >out.txt 2>err.txt";
        int status = std::system(line.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string tcp(int port, int event_port = 0) {
        return "TCP_IP,127.0.0.1," + std::to_string(port) + "," + std::to_string(event_port);
    }
};

TEST_F(NvcmdTest, SendsItsWordsAsOneCommand) {
    FakeHost host(apitest::echo_handler());
    EXPECT_EQ(run("-c " + tcp(host.port()) + " FPRN 1 GV"), 0) << read("err.txt");
    EXPECT_EQ(read("out.txt"), "A:FPRN 1 GV\n");
    ASSERT_EQ(host.frames().size(), 1u);
    EXPECT_EQ(host.frames()[0].body, "FPRN 1 GV\0"s);
}

TEST_F(NvcmdTest, ReadsCommandsFromStandardInput) {
    FakeHost host(apitest::echo_handler());
    write_file("in.txt", "GV\n\nSS\r\n");
    EXPECT_EQ(run("-c " + tcp(host.port()) + " <in.txt"), 0) << read("err.txt");
    EXPECT_EQ(read("out.txt"), "A:GV\nA:SS\n");
}

TEST_F(NvcmdTest, ConnectionFromTheSettingsFile) {
    FakeHost host(apitest::echo_handler());
    write_file("NUVRAAPI.INI", "[SETUP]\r\nCONNECTION=" + tcp(host.port()) + "\r\n");
    EXPECT_EQ(run("GV"), 0) << read("err.txt");
    EXPECT_EQ(read("out.txt"), "A:GV\n");
}

TEST_F(NvcmdTest, FailureGoesToStandardErrorAndTheExitStatus) {
    int port = 0;
    {
        FakeHost probe(apitest::echo_handler());
        port = probe.port();
    }
    EXPECT_EQ(run("-c " + tcp(port) + " GV"), 1);
    EXPECT_EQ(read("out.txt"), "");
    EXPECT_NE(read("err.txt").find("Nuvra API: Windows Socket error 'WSAECONNREFUSED': Couldn't Connect Socket."),
              std::string::npos)
        << read("err.txt");
}

TEST_F(NvcmdTest, HelpAndUsageErrors) {
    EXPECT_EQ(run("--help"), 0);
    EXPECT_EQ(read("out.txt").rfind("usage: nvcmd", 0), 0u);
    EXPECT_EQ(run("--bogus"), 2);
    EXPECT_EQ(run("-c"), 2);
}

TEST_F(NvcmdTest, PrintsEventsAsTheyArrive) {
    FakeHost host(apitest::echo_handler());
    int event_port = apitest::free_udp_port();
    platform::ChildProcess nvcmd;
    ASSERT_TRUE(nvcmd.start({NVCMD_PROGRAM, "-c", tcp(host.port(), event_port), "--events", "--wait", "20", "GV"}, {},
                            folder_ + "/out.txt"));
    auto output_has = [&](const std::string& text) {
        for (int i = 0; i < 1000; ++i) {
            if (read("out.txt").find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    // The answer comes after the listener started.
    ASSERT_TRUE(output_has("A:GV\n"));
    apitest::send_datagram(event_port, "&&000&00029&&EVENT 3 1 Hello\0"s);
    EXPECT_TRUE(output_has("EVENT 3 1 Hello\n")) << read("out.txt");
    nvcmd.send_signal(SIGTERM);
    EXPECT_EQ(nvcmd.wait(10000), 0);
}

} // namespace
