#include "sim/panels.h"

#include <cstdio>
#include <sstream>

namespace nvsim {

namespace {
const char* lamp_name(CardReader::Lamp lamp) {
    switch (lamp) {
    case CardReader::Lamp::off:
        return "off";
    case CardReader::Lamp::red:
        return "red";
    case CardReader::Lamp::green:
        return "green";
    }
    return "?";
}
} // namespace

Display::Display(std::string name, const DeviceConfig& config) : Device(std::move(name), config, true) {}

void Display::show(std::string_view text) {
    std::string shown(command_text(text));
    if (shown != text_) note("shows \"" + printable(shown) + "\"");
    text_ = std::move(shown);
    ++frames_;
    history_.push_back(text_);
    if (history_.size() > HISTORY) history_.pop_front();
}

std::string Display::command(std::string_view text, std::int64_t now) {
    (void)now;
    show(text);
    return "Y";
}

std::string Display::describe() const {
    std::ostringstream s;
    s << name() << " display id=" << id() << " unit=" << unit() << " frames=" << frames_
      << (plugged() ? "" : " unplugged");
    return s.str();
}

CardReader::CardReader(std::string name, const DeviceConfig& config)
    : Device(std::move(name), config, false) {}

std::uint8_t CardReader::status() const {
    return ready_;
}

void CardReader::swipe(const std::string& track1, const std::string& track2, const std::string& track3) {
    tracks_ = {track1, track2, track3};
    ready_ &= static_cast<std::uint8_t>(~(CARD_TRACK1 | CARD_TRACK2 | CARD_TRACK3));
    for (std::size_t i = 0; i < tracks_.size(); ++i)
        if (!tracks_[i].empty()) ready_ |= static_cast<std::uint8_t>(1u << i);
}

void CardReader::set_value(std::string text) {
    value_ = std::move(text);
    ready_ |= CARD_VALUE;
}

void CardReader::set_grs(std::string text) {
    grs_ = std::move(text);
    ready_ |= CARD_GRS;
}

std::string CardReader::command(std::string_view frame, std::int64_t now) {
    (void)now;
    std::string_view text = command_text(frame);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (text.size() == 3 && text.substr(0, 2) == "GC" && text[2] >= '1' && text[2] <= '3') {
        std::size_t n = static_cast<std::size_t>(text[2] - '1');
        ready_ &= static_cast<std::uint8_t>(~(1u << n));
        return tracks_[n];
    }
    if (text == "GV") {
        ready_ &= static_cast<std::uint8_t>(~CARD_VALUE);
        return value_;
    }
    if (text == "GRS") {
        ready_ &= static_cast<std::uint8_t>(~CARD_GRS);
        return grs_;
    }
    if (text == "LO")
        lamp_ = Lamp::off;
    else if (text == "CR")
        lamp_ = Lamp::red;
    else if (text == "CA")
        lamp_ = Lamp::green;
    else if (text == "CO")
        ++ejects_;
    else
        return "N";
    return "Y";
}

std::string CardReader::describe() const {
    char bits[8];
    std::snprintf(bits, sizeof bits, "%02X", ready_);
    std::ostringstream s;
    s << name() << " reader id=" << id() << " unit=" << unit() << " status=" << bits
      << " lamp=" << lamp_name(lamp_) << " ejects=" << ejects_ << (plugged() ? "" : " unplugged");
    return s.str();
}

} // namespace nvsim
