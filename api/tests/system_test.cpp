// End to end: the library over TCP/IP to the real orvsrv32 program, whose link port is a pty pair
// served by the device line simulator (nv_sim, the code of nuvra-sim) in this process.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

#include "api/nvapi32.h"
#include "api/tests/support.h"
#include "platform/child_process.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/pty_line.h"

namespace fs = std::filesystem;

namespace {

int free_tcp_port() {
    platform::Socket s = platform::socket_stream();
    platform::socket_bind(s, platform::IPV4_LOOPBACK, 0);
    int port = platform::socket_local_port(s);
    platform::socket_close(s);
    return port;
}

class SystemTest : public apitest::ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        program_ = fs::path(NUVRA_BIN_DIR) / "server" / "orvsrv32";
        ASSERT_TRUE(fs::exists(program_)) << program_;
        sim_ = nvsim::PtyLine::open(nvsim::default_network(1, 0, 0));
        ASSERT_TRUE(sim_);

        port_ = free_tcp_port();
        event_port_ = apitest::free_udp_port();
        fs::create_directories(folder_ + "/data");
        write_file(folder_ + "/data/ZSYS.INI",
                   "[PORTS]\r\nCOM1 = " + sim_->slave_path() +
                       "\r\n\r\n[IO]\r\nPORT = 1\r\n\r\n[PRINTER]\r\nMAX = 1\r\n\r\n[DISPLAY]\r\nMAX = 0\r\n\r\n"
                       "[CARD_READER]\r\nMAX = 0\r\n\r\n[HOST]\r\nMAX = 1\r\nEVENTS = 1-7\r\nHOST1 = TCP_IP," +
                       std::to_string(port_) + "," + std::to_string(event_port_) + ",5,0,127.255.255.255\r\n");
        std::string ns = "NUVRA_WINDOW_NAMESPACE=api-system-" + std::to_string(getpid());
        ASSERT_TRUE(server_.start({program_.string(), "--data", folder_ + "/data"}, {ns}, folder_ + "/server.out"));
        write_settings("TCP_IP,127.0.0.1," + std::to_string(port_) + "," + std::to_string(event_port_));
        NuvraSetEventHandler(apitest::record_event);
    }
    void TearDown() override {
        NuvraDisconnect();
        server_.send_signal(SIGTERM);
        EXPECT_EQ(server_.wait(20000), 0);
        sim_.reset();
        ApiTest::TearDown();
    }
    // The first command waits (bounded) for the server to open its TCP/IP host.
    std::string first_command(const char* command) {
        char answer[500];
        for (int i = 0; i < 100; ++i) {
            if (NuvraCommandAnswer(command, static_cast<int32_t>(std::strlen(command) + 1), answer, sizeof answer))
                return answer;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return "FAILED";
    }

    fs::path program_;
    std::unique_ptr<nvsim::PtyLine> sim_;
    platform::ChildProcess server_;
    int port_ = 0;
    int event_port_ = 0;
};

TEST_F(SystemTest, PrinterAnswersThroughTheServer) {
    EXPECT_EQ(first_command("FPRN 1 GV"), "TP 78.14 Z71");
    char answer[500];
    ASSERT_EQ(NuvraCommandAnswer("FPRN 1 GS", 10, answer, sizeof answer), 1);
    EXPECT_EQ(std::string(answer).rfind("Y x", 0), 0u) << answer;
}

TEST_F(SystemTest, SimulatedPrinterEventReachesTheCallback) {
    ASSERT_NE(first_command("GV"), "FAILED");
    EXPECT_EQ(sim_->line().control("EMPTY 1").rfind("OK", 0), 0u);
    auto seen = apitest::wait_events(1, 10000);
    ASSERT_EQ(seen.size(), 1u) << "no event within 10 s";
    EXPECT_EQ(seen[0].code, 3 * 256 + 0) << "event 3 (out of tickets) of printer index 0";
}

} // namespace
