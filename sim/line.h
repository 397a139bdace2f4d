// The simulated device line: every device of a network behind its address byte, driven with the
// master's bytes and answering with the bytes the devices would put on the wire.
//
// A byte with bit 7 set never occurs inside the master's frames (SI escapes such data), so each
// such byte is an address byte: it selects the devices of link id (byte AND 0x7F) + 1 and ends
// whatever the previous addressing began. Every other byte goes to the selected devices, whose
// own state machines decide by unit number whether they are meant.
//
// Time comes from platform::monotonic_ms(). Answers are due at once unless a fault delays them;
// tick() runs the once-a-second selection timers and the simulated customers.
//
// Every public member takes the line's (recursive) lock, so a runner thread, control connections
// and a test may share one line. The device accessors hand out pointers: use them while no runner
// serves the line, or under lock().
#pragma once

#include "sim/config.h"
#include "sim/device.h"
#include "sim/panels.h"
#include "sim/printer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace nvsim {

struct LineStats {
    long bytes_in = 0;
    long bytes_out = 0;
    long address_bytes = 0;
    long unknown_ids = 0; // address bytes no device answers to
};

class SimLine {
  public:
    explicit SimLine(const NetworkConfig& network, std::uint32_t seed = 1);
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Bytes from the master, in order.
    void receive(const std::uint8_t* data, std::size_t size);
    void receive(std::string_view bytes) {
        receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    void receive(const Bytes& bytes) { receive(bytes.data(), bytes.size()); }

    // The bytes due for the master by now, in order (empty when none).
    Bytes take_output();
    // When the next queued answer falls due, or -1 when nothing is queued.
    std::int64_t next_output_due() const;
    // Runs what time drives; returns when it wants to run next.
    std::int64_t tick();

    // One control line (see control.h); returns the one-line answer.
    std::string control(std::string_view line);
    bool quit_requested() const;
    void request_quit();

    // Simulated customers press a ticket button at random intervals of this mean; 0 stops them.
    void set_customers(double mean_seconds);
    // Bytes the master receives from nowhere (line noise).
    void inject_noise(int count);

    // Receives one line for each notable thing (tickets printed, display texts, customers).
    void set_log(std::function<void(const std::string&)> log);

    std::unique_lock<std::recursive_mutex> lock() const {
        return std::unique_lock<std::recursive_mutex>(mutex_);
    }

    // Devices by kind and 1-based number in the network's order, or by name ("P1", "d2", "R1").
    Printer* printer(int number) const;
    Display* display(int number) const;
    CardReader* reader(int number) const;
    Device* device(std::string_view name) const;
    const std::vector<std::unique_ptr<Device>>& devices() const { return devices_; }
    LineStats stats() const;
    double customers() const { return customers_mean_s_; }

  private:
    void feed(std::uint8_t b, std::int64_t now);
    void queue(Output output);
    void customer_press(std::int64_t now);
    void schedule_customer(std::int64_t now);
    void flush_notes();

    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<Device>> devices_;
    int selected_id_ = -1;
    std::vector<Output> output_;
    std::vector<Output> fresh_;
    std::int64_t next_second_ = -1; // set by the first tick()
    double customers_mean_s_ = 0;
    std::int64_t next_customer_ = -1;
    std::mt19937 rng_;
    bool quit_ = false;
    LineStats stats_;
    std::function<void(const std::string&)> log_;
};

} // namespace nvsim
