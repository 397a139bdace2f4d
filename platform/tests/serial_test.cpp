#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/serial_fake.h"

namespace {

using platform::FakeSerialLine;
using platform::PtyPair;
using platform::SerialDevice;
using platform::SerialLine;
using Bytes = std::vector<std::uint8_t>;

// A pty pair whose slave is opened through serial_open, as the port driver opens a COM port.
class PtyDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        pair = PtyPair::open();
        ASSERT_NE(pair, nullptr) << "openpty: " << std::strerror(errno);
        device = platform::serial_open(pair->slave_path().c_str());
        ASSERT_NE(device, nullptr) << std::strerror(errno);
        pair->close_slave();
    }
    std::unique_ptr<PtyPair> pair;
    std::unique_ptr<SerialDevice> device;
};

struct BaudCase {
    std::uint32_t baud;
    const char* name;
};

class PtyBaud : public PtyDevice, public ::testing::WithParamInterface<BaudCase> {};

// 28800 is no B* constant: it goes through termios2; the driver's own record is read back
// through the master.
TEST_P(PtyBaud, DriverHoldsTheRate) {
    ASSERT_TRUE(device->configure(SerialLine{GetParam().baud, 8, 'E', 2})) << std::strerror(errno);
    EXPECT_EQ(pair->slave_baud(), GetParam().baud);
}

INSTANTIATE_TEST_SUITE_P(Rates, PtyBaud,
                         ::testing::Values(BaudCase{28800, "link_28800"}, BaudCase{9600, "standard_9600"},
                                           BaudCase{115200, "standard_115200"},
                                           BaudCase{250000, "custom_250000"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(PtyDevice, RejectsDataBitsOutsideFiveToEight) {
    errno = 0;
    EXPECT_FALSE(device->configure(SerialLine{9600, 9, 'N', 1}));
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(PtyDevice, BytesTravelBothWays) {
    device->set_timeouts(2000, 2000);
    const std::uint8_t out[] = {0x04, '1', '2', 0x05, 0x00, 0xFF};
    ASSERT_EQ(device->write(out, sizeof out), 6);
    std::uint8_t seen[6] = {};
    ASSERT_EQ(pair->read_master(seen, 6, 2000), 6);
    EXPECT_EQ(Bytes(seen, seen + 6), Bytes(out, out + 6));

    const std::uint8_t in[] = {0x81, 0x06, 0x00};
    ASSERT_EQ(pair->write_master(in, sizeof in), 3);
    std::uint8_t got[3] = {};
    ASSERT_EQ(device->read(got, 3), 3);
    EXPECT_EQ(Bytes(got, got + 3), Bytes(in, in + 3));
}

TEST_F(PtyDevice, ReadWithNothingArrivingEndsWithNoBytes) {
    device->set_timeouts(5, 5);
    std::uint8_t byte = 0;
    EXPECT_EQ(device->read(&byte, 1), 0);
}

TEST_F(PtyDevice, ReadReturnsWhatCameWhenTheLineFallsSilent) {
    device->set_timeouts(50, 2000);
    const std::uint8_t in[] = {'A', 'B'};
    ASSERT_EQ(pair->write_master(in, 2), 2);
    std::uint8_t got[10] = {};
    EXPECT_EQ(device->read(got, 10), 2);
    EXPECT_EQ(got[0], 'A');
    EXPECT_EQ(got[1], 'B');
}

TEST_F(PtyDevice, PtyHasNoLineErrors) {
    std::uint32_t bits = 123;
    EXPECT_TRUE(device->line_status(&bits));
    EXPECT_EQ(bits, 0u);
}

TEST_F(PtyDevice, QueuedCountsWaitingBytesAndPurgeDropsThem) {
    device->set_timeouts(2000, 2000);
    const std::uint8_t in[] = {1, 2, 3, 4};
    ASSERT_EQ(pair->write_master(in, 4), 4);
    std::uint8_t first = 0;
    ASSERT_EQ(device->read(&first, 1), 1); // the pty hands bytes over asynchronously
    EXPECT_EQ(device->queued(), 3);
    EXPECT_TRUE(device->purge_input());
    EXPECT_EQ(device->queued(), 0);
}

TEST_F(PtyDevice, HangUpFailsTheRead) {
    device->set_timeouts(2000, 2000);
    pair->close_master();
    std::uint8_t byte = 0;
    EXPECT_EQ(device->read(&byte, 1), -1);
}

TEST_F(PtyDevice, CancelEndsABlockedRead) {
    device->set_timeouts(600000, 600000);
    auto reading = std::async(std::launch::async, [&] {
        std::uint8_t byte = 0;
        const int rc = device->read(&byte, 1);
        return rc < 0 ? errno : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    device->cancel();
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(reading.get(), ECANCELED);
}

TEST_F(PtyDevice, SecondOpenOfTheSamePortIsRefused) {
    errno = 0;
    EXPECT_EQ(platform::serial_open(pair->slave_path().c_str()), nullptr);
    EXPECT_EQ(errno, EBUSY);
}

TEST(SerialOpen, MissingDeviceFails) {
    errno = 0;
    EXPECT_EQ(platform::serial_open("/nonexistent/ttyS99"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(SerialOpen, RegularFileIsNoSerialDevice) {
    EXPECT_EQ(platform::serial_open("/proc/self/status"), nullptr);
}

TEST(PtyPairLink, StableNameLeadsToTheSlave) {
    auto pair = PtyPair::open();
    ASSERT_NE(pair, nullptr);
    const std::string link = ::testing::TempDir() + "nuvra-pty-link-" + std::to_string(::getpid());
    ASSERT_TRUE(pair->link(link));
    auto device = platform::serial_open(link.c_str());
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    device->set_timeouts(2000, 2000);
    const std::uint8_t byte = 0x42;
    ASSERT_EQ(pair->write_master(&byte, 1), 1);
    std::uint8_t got = 0;
    EXPECT_EQ(device->read(&got, 1), 1);
    EXPECT_EQ(got, 0x42);
}

TEST(PtyPairMaster, TakenMasterIsTheFarEnd) {
    auto pair = PtyPair::open();
    ASSERT_NE(pair, nullptr);
    auto slave = platform::serial_open(pair->slave_path().c_str());
    ASSERT_NE(slave, nullptr);
    auto master = pair->take_master();
    ASSERT_NE(master, nullptr);
    master->set_timeouts(2000, 2000);
    const std::uint8_t out[] = {0x4F, 0x4B, 0x06, 0x9A};
    ASSERT_EQ(slave->write(out, 4), 4);
    std::uint8_t got[4] = {};
    ASSERT_EQ(master->read(got, 4), 4);
    EXPECT_EQ(Bytes(got, got + 4), Bytes(out, out + 4));
}

class FakeLine : public ::testing::Test {
  protected:
    void SetUp() override {
        line = FakeSerialLine::create();
        device = line->make_device();
    }
    std::shared_ptr<FakeSerialLine> line;
    std::unique_ptr<SerialDevice> device;
};

TEST_F(FakeLine, InstantTimeOutsReturnWhatIsThere) {
    line->set_instant_timeouts(true);
    device->set_timeouts(600000, 600000);
    line->feed("AB");
    std::uint8_t got[5] = {};
    EXPECT_EQ(device->read(got, 5), 2);
    EXPECT_EQ(device->read(got, 1), 0);
}

TEST_F(FakeLine, InterByteGapEndsTheRead) {
    device->set_timeouts(10, 600000);
    line->feed("ABC");
    std::uint8_t got[8] = {};
    EXPECT_EQ(device->read(got, 8), 3);
}

TEST_F(FakeLine, ResponderAnswersEachBlock) {
    line->set_instant_timeouts(true);
    line->set_responder([](const Bytes& written) {
        return written.size() == 4 ? Bytes{0x81, 0x06} : Bytes{};
    });
    const std::uint8_t address[] = {0x04, '1', '2', 0x05};
    ASSERT_EQ(device->write(address, 4), 4);
    std::uint8_t got[2] = {};
    ASSERT_EQ(device->read(got, 2), 2);
    EXPECT_EQ(got[0], 0x81);
    EXPECT_EQ(got[1], 0x06);
    EXPECT_EQ(line->take_output(), Bytes(address, address + 4));
}

TEST_F(FakeLine, LineStatusIsReadAndCleared) {
    line->raise_line_status(platform::SERIAL_PARITY | platform::SERIAL_FRAMING);
    std::uint32_t bits = 0;
    ASSERT_TRUE(device->line_status(&bits));
    EXPECT_EQ(bits, platform::SERIAL_PARITY | platform::SERIAL_FRAMING);
    ASSERT_TRUE(device->line_status(&bits));
    EXPECT_EQ(bits, 0u);
}

TEST_F(FakeLine, HangUpAndInjectedFailures) {
    line->fail(FakeSerialLine::Op::queued, EIO);
    errno = 0;
    EXPECT_EQ(device->queued(), -1);
    EXPECT_EQ(errno, EIO);
    line->fail(FakeSerialLine::Op::queued, 0);
    EXPECT_EQ(device->queued(), 0);

    device->set_timeouts(600000, 600000);
    line->hang_up();
    std::uint8_t byte = 0;
    errno = 0;
    EXPECT_EQ(device->read(&byte, 1), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(FakeLine, CancelEndsABlockedRead) {
    device->set_timeouts(600000, 600000);
    auto reading = std::async(std::launch::async, [&] {
        std::uint8_t byte = 0;
        return device->read(&byte, 1) < 0 ? errno : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    device->cancel();
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(reading.get(), ECANCELED);
}

} // namespace
