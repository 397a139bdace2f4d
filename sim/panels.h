// The two simple device kinds: main displays, which show the last text frame they were sent, and
// card readers, which hold the data of the last card until the master has read it.
#pragma once

#include "sim/device.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>

namespace nvsim {

// A main display. The server writes it blindly: DLE, the addressing of unit 1, the text frame,
// EOT DLE EOT, and reads no answer. Addressed without the DLE it answers like any unit and
// takes the command text as its text, answering "Y".
class Display : public Device {
  public:
    static constexpr std::size_t HISTORY = 64;

    Display(std::string name, const DeviceConfig& config);

    std::uint8_t status() const override { return 0; }
    std::string command(std::string_view text, std::int64_t now) override;
    void broadcast(std::string_view text) override { show(text); }
    std::string describe() const override;

    const std::string& text() const { return text_; }
    long frames() const { return frames_; }
    // The texts received, oldest first, at most HISTORY of them.
    const std::deque<std::string>& history() const { return history_; }

  private:
    void show(std::string_view text);

    std::string text_;
    long frames_ = 0;
    std::deque<std::string> history_;
};

// Card reader status bits: which data waits to be read.
inline constexpr std::uint8_t CARD_TRACK1 = 0x01; // "GC1"
inline constexpr std::uint8_t CARD_TRACK2 = 0x02; // "GC2"
inline constexpr std::uint8_t CARD_TRACK3 = 0x04; // "GC3"
inline constexpr std::uint8_t CARD_VALUE = 0x08;  // "GV"
inline constexpr std::uint8_t CARD_GRS = 0x10;    // "GRS"

// A card reader. A card swiped fills up to three tracks; the master reads each with "GCn", and the
// reading clears that track's bit. "LO" puts the lamp off, "CR" red (rejected), "CA" green
// (accepted), "CO" pushes the card out. Unknown commands answer "N".
class CardReader : public Device {
  public:
    enum class Lamp { off, red, green };

    CardReader(std::string name, const DeviceConfig& config);

    std::uint8_t status() const override;
    std::string command(std::string_view text, std::int64_t now) override;
    std::string describe() const override;

    // A card with these tracks (empty = no data on that track).
    void swipe(const std::string& track1, const std::string& track2, const std::string& track3);
    void set_value(std::string text);
    void set_grs(std::string text);

    Lamp lamp() const { return lamp_; }
    int ejects() const { return ejects_; }
    const std::string& track(int n) const { return tracks_.at(static_cast<std::size_t>(n - 1)); }

  private:
    std::array<std::string, 3> tracks_;
    std::string value_;
    std::string grs_;
    std::uint8_t ready_ = 0;
    Lamp lamp_ = Lamp::off;
    int ejects_ = 0;
};

} // namespace nvsim
