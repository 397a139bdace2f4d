// End to end on a shared line: the library's IO transport talks to orvsrv32's IO host on the
// server's link port, while the server keeps driving the simulated devices on the same line.
// A serial line is a bus: a hub thread copies every byte one party sends to the other two.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "api/nuvra_error.h"
#include "api/nvapi32.h"
#include "api/protocol.h"
#include "api/tests/support.h"
#include "platform/child_process.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "sim/config.h"
#include "sim/line.h"
#include "sim/runner.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Three parties on one wire, each behind the master of its pty pair. Every byte read from one
// master is written to the other two; what each party sent is kept for inspection.
class LineHub {
  public:
    static constexpr int PARTIES = 3;
    explicit LineHub(std::vector<platform::PtyPair*> parties) : parties_(std::move(parties)) {}
    ~LineHub() { stop(); }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    Bytes sent_by(int party) {
        std::lock_guard<std::mutex> lock(mutex_);
        Bytes bytes;
        for (const auto& [from, b] : timeline_)
            if (from == party) bytes.push_back(b);
        return bytes;
    }
    // Every byte on the wire with its sender, in the order the hub passed it on.
    std::vector<std::pair<int, std::uint8_t>> timeline() {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeline_;
    }

  private:
    void run() {
        std::uint8_t buffer[512];
        while (!stop_) {
            bool moved = false;
            for (int from = 0; from < PARTIES; ++from) {
                // A zero time-out takes only what is waiting.
                const int n = parties_[from]->read_master(buffer, sizeof buffer, 0);
                if (n <= 0) continue;
                moved = true;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    for (int i = 0; i < n; ++i)
                        timeline_.emplace_back(from, buffer[i]);
                }
                for (int to = 0; to < PARTIES; ++to)
                    if (to != from) parties_[to]->write_master(buffer, static_cast<std::size_t>(n));
            }
            if (!moved) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::vector<platform::PtyPair*> parties_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::pair<int, std::uint8_t>> timeline_;
};

std::size_t count_of(const Bytes& bytes, const Bytes& pattern) {
    std::size_t n = 0;
    for (auto at = bytes.begin();
         (at = std::search(at, bytes.end(), pattern.begin(), pattern.end())) != bytes.end(); ++at)
        ++n;
    return n;
}

enum Party { SERVER = 0, SIMULATOR = 1, CLIENT = 2 };

// orvsrv32 with one simulated printer (link id 89, address byte 0xD8) and HOST1 = IO,128,1 on the
// link port; the library's "IO" connection on a third pty of the same line.
class IoHostLineTest : public apitest::ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        program_ = fs::path(NUVRA_BIN_DIR) / "server" / "orvsrv32";
        ASSERT_TRUE(fs::exists(program_)) << program_;
        for (auto& p : pairs_) {
            p = platform::PtyPair::open();
            ASSERT_NE(p, nullptr);
        }
        sim_line_ = std::make_unique<nvsim::SimLine>(nvsim::default_network(1, 0, 0));
        sim_port_ = platform::serial_open(pairs_[SIMULATOR]->slave_path().c_str());
        ASSERT_NE(sim_port_, nullptr);
        runner_ = std::make_unique<nvsim::LineRunner>(*sim_line_, *sim_port_);
        ASSERT_TRUE(runner_->start());
        hub_ = std::make_unique<LineHub>(std::vector<platform::PtyPair*>{
            pairs_[SERVER].get(), pairs_[SIMULATOR].get(), pairs_[CLIENT].get()});
        hub_->start();

        fs::create_directories(folder_ + "/data");
        // A hook time of 100 ms instead of 15 leaves room for the hub and the sanitizers between
        // the announcement and the client's addressing.
        write_file(
            folder_ + "/data/ZSYS.INI",
            "[PORTS]\r\nCOM1 = " + pairs_[SERVER]->slave_path() +
                "\r\n\r\n[IO]\r\nPORT = 1\r\n\r\n[PRINTER]\r\nMAX = 1\r\n\r\n[DISPLAY]\r\nMAX = 0\r\n\r\n"
                "[CARD_READER]\r\nMAX = 0\r\n\r\n[HOST]\r\nMAX = 1\r\nHOST1 = IO,128,1,100\r\n");
        std::string ns = "NUVRA_WINDOW_NAMESPACE=api-iohost-" + std::to_string(getpid());
        server_started_ =
            server_.start({program_.string(), "--data", folder_ + "/data"}, {ns}, folder_ + "/server.out");
        ASSERT_TRUE(server_started_);

        write_file(folder_ + "/NUVRAAPI.INI",
                   "[SETUP]\r\nSAVE_LOG=1\r\nCONNECTION=IO\r\n[PROTOCOL]\r\nCONNECT_TIME_OUT=500\r\n"
                   "ANSWER_TIME_OUT=1500\r\nCONNECT_TRYS=2\r\nCOMMAND_TRYS=2\r\n[PORTS]\r\nCOM1=" +
                       pairs_[CLIENT]->slave_path() + "\r\n");
        restart_library();
        ApiSetTraceSwitch(1);
    }
    void TearDown() override {
        transport_.reset();
        if (server_started_) {
            server_.send_signal(SIGTERM);
            EXPECT_EQ(server_.wait(20000), 0);
        }
        if (hub_) hub_->stop();
        if (runner_) runner_->stop();
        ApiTest::TearDown();
    }

    std::string command(const std::string& text) {
        char answer[500] = "";
        transport_->CommandAnswer(text.c_str(), static_cast<int>(text.size() + 1), answer, sizeof answer);
        return answer;
    }
    // The first session is repeated, bounded, until the server is up and its IO host answers.
    bool first_session() {
        for (int i = 0; i < 40; ++i) {
            try {
                transport_->Begin();
                first_answer_ = command("GV");
                transport_->End();
                return true;
            } catch (const CXNuvraError&) {
                transport_->End();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        return false;
    }
    // The wire as "S:", "D:" (simulator) and "C:" runs of hex bytes.
    std::string wire_text() {
        std::string text;
        int last = -1;
        char hex[4];
        for (const auto& [from, b] : hub_->timeline()) {
            if (from != last) text += std::string("\n") + "SDC"[from] + ":";
            last = from;
            std::snprintf(hex, sizeof hex, " %02x", b);
            text += hex;
        }
        return text + "\n";
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
    std::unique_ptr<platform::PtyPair> pairs_[3];
    std::unique_ptr<nvsim::SimLine> sim_line_;
    std::unique_ptr<platform::SerialDevice> sim_port_;
    std::unique_ptr<nvsim::LineRunner> runner_;
    std::unique_ptr<LineHub> hub_;
    platform::ChildProcess server_;
    bool server_started_ = false;
    std::unique_ptr<CProtocol> transport_;
    std::string first_answer_;
};

TEST_F(IoHostLineTest, ClientIsServedBetweenDevicePolls) {
    transport_ = CreateTransport("IO");
    ASSERT_NE(transport_, nullptr) << trace_text();
    ASSERT_TRUE(first_session()) << trace_text() << server_log();
    EXPECT_EQ(first_answer_.rfind("Orvik System Server Ver ", 0), 0u) << first_answer_;

    const Bytes printer_address{0xD8};
    const std::size_t polls_before = count_of(hub_->sent_by(SERVER), printer_address);
    std::string stored;
    std::string e;
    std::size_t session_end = 0;
    try {
        // 7-bit characters: 0x05 travels as SO 0x25 and 0xE9 as SI 0x69, both ways.
        transport_->Begin();
        EXPECT_EQ(command("SETS LINKTEST VALUE a\x05z\xE9!"), "Y");
        stored = command("SETG LINKTEST VALUE 50");
        transport_->End();
        session_end = hub_->timeline().size();
    } catch (const CXNuvraError& error) {
        e = std::to_string(error.number) + "|" + error.text;
    }
    EXPECT_EQ(e, "") << trace_text() << server_log() << wire_text();
    EXPECT_EQ(stored, "a\x05z\xE9!");

    // The server keeps addressing the printer after serving the client.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count_of(hub_->sent_by(SERVER), printer_address) < polls_before + 3 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(count_of(hub_->sent_by(SERVER), printer_address), polls_before + 3);

    // "GV" and its zero: sum 0x9D, sent as 0x1D.
    const Bytes frame{0x02, 'G', 'V', 0x00, 0x03, 0x1D};
    EXPECT_GE(count_of(hub_->sent_by(CLIENT), frame), 1u);
    // Each addressing (EOT ENQ) of the client follows the IO host's announcement 0xFF 0x01: the
    // last bytes the server put on the line before it.
    const auto wire = hub_->timeline();
    int addressings = 0;
    std::size_t last_addressing = 0;
    for (std::size_t i = 1; i < wire.size(); ++i) {
        if (wire[i - 1] != std::make_pair(int{CLIENT}, std::uint8_t{0x04}) ||
            wire[i] != std::make_pair(int{CLIENT}, std::uint8_t{0x05}))
            continue;
        ++addressings;
        if (i < session_end) last_addressing = i;
        Bytes last;
        for (std::size_t k = i - 1; k-- > 0 && last.size() < 2;)
            if (wire[k].first == SERVER) last.insert(last.begin(), wire[k].second);
        EXPECT_EQ(last, (Bytes{0xFF, 0x01})) << "addressing at byte " << i;
    }
    EXPECT_GE(addressings, 2);
    // From the addressing that opened the SETS/SETG session to its release only the client and the
    // IO host speak: the simulator must take none of it for its devices.
    std::size_t device_bytes = 0;
    for (std::size_t i = last_addressing; i < session_end; ++i)
        device_bytes += wire[i].first == SIMULATOR;
    EXPECT_GT(last_addressing, 0u);
    EXPECT_EQ(device_bytes, 0u) << wire_text();
    EXPECT_TRUE(runner_->running()) << runner_->failure();
}

} // namespace
