// An in-memory serial line for tests and fuzz targets: the far end is driven from code instead of
// a pty. Make the line, hand make_device() to the port driver (port_open_device), keep the line.
#pragma once

#include "platform/serial.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform {

class FakeSerialLine : public std::enable_shared_from_this<FakeSerialLine> {
  public:
    enum class Op { configure, queued, purge, output_queued, drain, line_status, read, write, count };
    using Responder = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>& written)>;

    static std::shared_ptr<FakeSerialLine> create();

    // The device end. It keeps the line alive; cancel() affects only that device.
    std::unique_ptr<SerialDevice> make_device();

    // Bytes the far end sends: the device reads them in order.
    void feed(const std::uint8_t* data, std::size_t n);
    void feed(std::string_view bytes);
    std::size_t input_left() const;

    // Everything the device has written since the previous take.
    std::vector<std::uint8_t> take_output();
    // Waits (real time, at most ms) until at least n bytes are there, then takes them all.
    std::vector<std::uint8_t> wait_output(std::size_t n, int ms);
    // Number of write() calls that transferred bytes (blocks sent).
    int write_calls() const;

    // Called with each block the device writes; what it returns becomes input (a scripted far end).
    void set_responder(Responder responder);
    // Time-outs cost no time: a read that finds nothing ends at once (deterministic fuzz targets).
    void set_instant_timeouts(bool instant);
    // Bytes that output_queued() reports as not yet sent, until a drain() succeeds.
    void set_unsent(int n);
    // Line errors that the next line_status() reports.
    void raise_line_status(std::uint32_t bits);
    // From now on the operation fails with errno err (0: works again).
    void fail(Op op, int err);
    // The far end has gone: reads fail with EIO, as on a pty whose other side was closed.
    void hang_up();

    SerialLine settings() const;
    int purge_count() const;
    int drain_count() const;

  private:
    class Device;
    friend class Device;
    FakeSerialLine() = default;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint8_t> input_;
    std::vector<std::uint8_t> output_;
    Responder responder_;
    bool instant_ = false;
    bool hung_up_ = false;
    std::uint32_t status_ = 0;
    int errors_[static_cast<int>(Op::count)] = {};
    SerialLine settings_{};
    int unsent_ = 0;
    int purges_ = 0;
    int drains_ = 0;
    int writes_ = 0;
};

} // namespace platform
