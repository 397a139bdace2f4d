// A simulated device line on a pty pair: the simulator serves the master end from its own thread,
// and the slave path is what a program under test opens as its serial port.
#pragma once

#include <memory>
#include <string>

#include "platform/pty.h"
#include "sim/runner.h"

namespace nvsim {

class PtyLine {
  public:
    // Null when the pty cannot be made or the runner does not start.
    static std::unique_ptr<PtyLine> open(const NetworkConfig& network, RunnerOptions options = {});
    // Stops the runner before the device and the pair go.
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    SimLine& line() { return line_; }
    LineRunner& runner() { return *runner_; }
    const std::string& slave_path() const { return pty_->slave_path(); }

  private:
    explicit PtyLine(const NetworkConfig& network) : line_(network) {}

    SimLine line_;
    std::unique_ptr<platform::PtyPair> pty_;
    std::unique_ptr<platform::SerialDevice> far_end_;
    std::unique_ptr<LineRunner> runner_;
};

} // namespace nvsim
