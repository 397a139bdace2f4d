// One simulated unit on the link: its place on the line, its state machine, the faults a test has
// asked for, and the hooks each device kind fills with its own behaviour.
#pragma once

#include "sim/codec.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nvsim {

enum class DeviceKind { printer, display, reader };

// Where a device sits and what it is. The master reaches it with the raw address byte
// (id - 1) OR 0x80 followed by the link addressing with the unit number.
struct DeviceConfig {
    DeviceKind kind = DeviceKind::printer;
    int id = 0;           // link id 1..128
    int unit = 0;         // unit number 0..255 in the addressing
    std::string firmware; // printers: "78", "85", "doz" or "mk4"
    std::string version;  // printers: version text; empty = the firmware's own
    int roll = 200;       // printers: tickets on a new roll
};

enum class FaultKind { silent, checksum, nak, garbage, slow };

// A fault applies to the next `remaining` exchanges, or to all of them while remaining is -1.
struct Fault {
    FaultKind kind;
    int arg = 0; // nak: reason bits 1..7; slow: delay in ms
    int remaining = 1;
};

// Bytes for the master, due at a time of the monotonic clock.
struct Output {
    std::int64_t due;
    Bytes bytes;
};

struct DeviceStats {
    long addressed = 0;
    long commands = 0;
    long bad_frames = 0;
    long broadcasts = 0;
};

class Device {
  public:
    Device(std::string name, const DeviceConfig& config, bool takes_broadcast);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    virtual ~Device() = default;

    const std::string& name() const { return name_; }
    DeviceKind kind() const { return config_.kind; }
    int id() const { return config_.id; }
    int unit() const { return config_.unit; }
    std::uint8_t address_byte() const { return static_cast<std::uint8_t>(((config_.id - 1) & 0x7F) | 0x80); }

    // One byte of the line while this device's id is selected. Whatever it answers is appended
    // to out. An unplugged or restarting device hears nothing.
    void hear(std::uint8_t b, std::int64_t now, std::vector<Output>& out);
    // The master sent an address byte: whatever the last addressing began is over.
    void line_switched();
    void second() { machine_.second(); }
    bool hearing(std::int64_t now) const { return plugged_ && now >= deaf_until_; }

    bool plugged() const { return plugged_; }
    // Unplugging cuts the device off the line; plugging it in again starts its link side afresh.
    void set_plugged(bool plugged);

    void add_fault(const Fault& fault);
    void clear_faults() { faults_.clear(); }
    const std::vector<Fault>& faults() const { return faults_; }
    const DeviceStats& stats() const { return stats_; }
    const UnitMachine& machine() const { return machine_; }

    // The status byte sent (OR 0x80) after a matching addressing.
    virtual std::uint8_t status() const = 0;
    // Carries out one command and returns the answer text.
    virtual std::string command(std::string_view text, std::int64_t now) = 0;
    // A broadcast frame (displays only).
    virtual void broadcast(std::string_view text) { (void)text; }
    // A poll (an addressing that no command followed) reported these status bits: latched bits
    // among them end; bits that came up since stay for the next poll.
    virtual void status_polled(std::uint8_t reported) { (void)reported; }
    // Time-driven changes (the end of a restart).
    virtual void tick(std::int64_t now) { (void)now; }
    // One line for LIST and SHOW.
    virtual std::string describe() const = 0;

    // What the device noted since the last call (tickets printed, texts shown), for the log.
    std::vector<std::string> take_notes() { return std::exchange(notes_, {}); }

  protected:
    void note(std::string text) {
        if (notes_.size() < 100) notes_.push_back(name_ + ": " + std::move(text));
    }
    // Cuts the device off the line until `until` and starts its link side afresh.
    void go_deaf(std::int64_t until);
    const DeviceConfig& config() const { return config_; }

  private:
    std::optional<int> take_fault(FaultKind kind);
    void deliver(Bytes bytes, std::int64_t now, std::vector<Output>& out);

    std::string name_;
    DeviceConfig config_;
    UnitMachine machine_;
    bool plugged_ = true;
    std::int64_t deaf_until_ = 0;
    bool poll_window_ = false;
    std::uint8_t reported_ = 0;
    std::vector<Fault> faults_;
    std::minstd_rand noise_;
    DeviceStats stats_;
    std::vector<std::string> notes_;
};

// The text with quotes, backslashes and bytes outside 0x20..0x7E written as \xNN, for one-line logs.
std::string printable(std::string_view text);

// Strips a command at its terminating zero: the master sends the zero with every printer command.
std::string_view command_text(std::string_view frame);

} // namespace nvsim
