// Serving a SimLine on a serial device (the master end of a pty pair, or a real port) from a
// thread of its own: bytes read go to the line, answers due are written back, optionally paced at
// the wire speed.
#pragma once

#include "sim/line.h"

#include "platform/serial.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nvsim {

struct RunnerOptions {
    // 0: no pacing. Otherwise each byte sent takes 12 bit times at this rate (start, 8 data,
    // parity, 2 stop bits), so answers reach the master as late as on the real line.
    int pace_baud = 0;
    // Called on the runner's thread when the loop ends by itself (the line failed).
    std::function<void()> on_end;
};

class LineRunner {
  public:
    // The device stays the caller's and must outlive the runner. stop() cancels it for good
    // (SerialDevice::cancel), so a device serves one runner only.
    LineRunner(SimLine& line, platform::SerialDevice& device, RunnerOptions options = {});
    LineRunner(const LineRunner&) = delete;
    LineRunner& operator=(const LineRunner&) = delete;
    ~LineRunner();

    bool start();
    // Ends the thread and waits for it; answers not yet written are dropped.
    void stop();
    bool running() const { return running_.load(); }
    // Why the loop ended by itself ("" while it runs or after stop()).
    std::string failure() const;

  private:
    void run();
    void fail(const std::string& why);
    bool write_due(std::int64_t now, std::int64_t& wake_at);
    // Bytes that pacing lets out now, and when the next may go.
    std::size_t paced_allowance(std::int64_t now, std::int64_t& next_at);

    SimLine& line_;
    platform::SerialDevice& device_;
    RunnerOptions options_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    mutable std::mutex failure_mutex_;
    std::string failure_;

    Bytes unsent_;
    std::int64_t pace_origin_ = 0;
    long paced_sent_ = 0;
};

} // namespace nvsim
