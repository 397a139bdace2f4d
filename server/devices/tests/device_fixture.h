// The device modules against the simulated device line: a pty pair whose far end the simulator
// serves on its own thread, the server's link port opened on the near end through ZSYS.INI, the
// modules opened and closed by the main loop's own open-all and close-all, and the host events the
// modules raise captured in order.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/core/tests/test_support.h"
#include "sim/line.h"
#include "sim/pty_line.h"

namespace device_test {

struct Event {
    int event;
    int unit;
    std::string text;
    bool operator==(const Event&) const = default;
};
void PrintTo(const Event& e, std::ostream* os);

struct RecordedError {
    int number;
    std::string text;
};

class DeviceLineTest : public ::testing::Test {
protected:
    // Short link time-outs, so a silent unit costs a fraction of a second.
    static constexpr const char* LINK_SETTINGS = "[IO]\nPORT = 1\nTIME_OUT = 60\n\n"
                                                 "[PROTOCOL]\nANSWER_TIME_OUT = 400\nCONNECT_TIME_OUT = 150\n"
                                                 "COMMAND_TRYS = 2\n\n";

    void TearDown() override;

    // Writes ZSYS.INI (the link settings, COM1 on the pty, then `settings`), starts the simulated
    // line with one device per line of `devices` ("printer 89 0", "display 81 1" ...) and opens
    // every module. Errors of the opening stay pending for the test to look at.
    void start(const std::string& settings, const std::vector<std::string>& devices);

    // The main loop's close-all (TearDown does it when the test has not).
    void close_all();

    nvsim::SimLine& line() { return sim_->line(); }
    // Runs a control line on the simulator; fails the test unless it answers "OK".
    void control(const std::string& command);
    // Runs f under the simulator's lock.
    void with_line(const std::function<void(nvsim::SimLine&)>& f);
    // Waits (bounded) until the simulator has seen what `done` looks for; true when it has.
    bool wait_for(const std::function<bool(nvsim::SimLine&)>& done);

    // The recorded texts of the pending errors, oldest first; the errors are then discarded.
    std::vector<RecordedError> take_errors();
    // The events raised since the last call.
    std::vector<Event> take_events();

    test_support::ScratchDir dir_;

private:
    std::unique_ptr<nvsim::PtyLine> sim_;
    bool opened_ = false;
};

// "printer 89 0", the n-th printer from id 89 by default.
std::string printer_line(int id, int unit = 0);
std::string display_line(int id);
std::string reader_line(int id, int unit);

} // namespace device_test
