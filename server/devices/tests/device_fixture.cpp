#include "server/devices/tests/device_fixture.h"

#include <chrono>
#include <mutex>
#include <ostream>
#include <thread>

#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/devices/cardreader.h"
#include "server/devices/device.h"
#include "server/devices/display.h"
#include "server/devices/printer.h"
#include "server/hosts/host.h"
#include "sim/config.h"

namespace device_test {

namespace {

std::mutex events_mutex;
std::vector<Event> events;

void capture_event(int event, int unit, const char* text) {
    std::lock_guard<std::mutex> guard(events_mutex);
    events.push_back(Event{event, unit, text});
}


} // namespace

void PrintTo(const Event& e, std::ostream* os) { *os << "{" << e.event << ", " << e.unit << ", \"" << e.text << "\"}"; }

std::string printer_line(int id, int unit) { return "printer " + std::to_string(id) + " " + std::to_string(unit); }
std::string display_line(int id) { return "display " + std::to_string(id) + " 1"; }
std::string reader_line(int id, int unit) { return "reader " + std::to_string(id) + " " + std::to_string(unit); }

void DeviceLineTest::start(const std::string& settings, const std::vector<std::string>& devices) {
    nvsim::NetworkConfig network;
    for (const std::string& d : devices) {
        std::string error;
        ASSERT_TRUE(nvsim::add_device_line(network, d, error)) << error;
    }
    sim_ = nvsim::PtyLine::open(network);
    ASSERT_TRUE(sim_);

    test_support::write_file(dir_.path() / "ZSYS.INI",
                             "[PORTS]\nCOM1 = " + sim_->slave_path() + "\n\n" + LINK_SETTINGS + settings);
    {
        std::lock_guard<std::mutex> guard(events_mutex);
        events.clear();
    }
    host_event_set_hook(capture_event);
    server_set_table(device_module_table());
    error_discard();
    server_open_all();
    opened_ = true;
}

void DeviceLineTest::close_all() {
    error_discard();
    server_close_all();
    opened_ = false;
}

void DeviceLineTest::TearDown() {
    if (opened_)
        close_all();
    host_event_set_hook(nullptr);
    sim_.reset();
    test_support::reset_server_state();
}

void DeviceLineTest::control(const std::string& command) {
    std::string answer = line().control(command);
    ASSERT_EQ(answer.rfind("OK", 0), 0u) << command << " -> " << answer;
}

void DeviceLineTest::with_line(const std::function<void(nvsim::SimLine&)>& f) {
    auto guard = line().lock();
    f(line());
}

bool DeviceLineTest::wait_for(const std::function<bool(nvsim::SimLine&)>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            auto guard = line().lock();
            if (done(line()))
                return true;
        }
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<RecordedError> DeviceLineTest::take_errors() {
    std::vector<RecordedError> out;
    for (int i = 0; i < error_recorded_count(); ++i)
        out.push_back(RecordedError{error_recorded_number(i), error_recorded_text(i)});
    error_discard();
    return out;
}

std::vector<Event> DeviceLineTest::take_events() {
    std::lock_guard<std::mutex> guard(events_mutex);
    return std::exchange(events, {});
}

} // namespace device_test
