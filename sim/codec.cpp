#include "sim/codec.h"

namespace nvsim {

bool is_escaped(std::uint8_t value) {
    return (value >= 0x01 && value <= 0x06) || (value >= 0x0E && value <= 0x12) ||
           (value >= 0x15 && value <= 0x17);
}

void encode_byte(std::uint8_t b, Bytes& out) {
    std::uint8_t v = b;
    if (v >= 0x80) {
        out.push_back(SI);
        v = static_cast<std::uint8_t>(v - 0x80);
    }
    if (is_escaped(v)) {
        out.push_back(SO);
        out.push_back(static_cast<std::uint8_t>(v + 0x20));
    } else {
        out.push_back(v);
    }
}

std::uint8_t answer_sum(std::string_view data) {
    std::uint8_t sum = 0;
    for (char c : data)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    return sum;
}

std::uint8_t command_sum(std::string_view data) {
    return answer_sum(data) & 0x7F;
}

Bytes encode_answer(std::string_view data) {
    Bytes out;
    out.reserve(data.size() + data.size() / 4 + 2);
    for (char c : data)
        encode_byte(static_cast<std::uint8_t>(c), out);
    out.push_back(ACK);
    out.push_back(answer_sum(data));
    return out;
}

Bytes encode_command(std::string_view data) {
    Bytes out;
    out.reserve(data.size() + data.size() / 4 + 3);
    out.push_back(STX);
    for (char c : data)
        encode_byte(static_cast<std::uint8_t>(c), out);
    out.push_back(ETX);
    out.push_back(command_sum(data));
    return out;
}

int EscapeDecoder::feed(std::uint8_t b) {
    switch (state_) {
    case State::plain:
        if (b == SO) {
            state_ = State::after_so;
            return -1;
        }
        if (b == SI) {
            state_ = State::after_si;
            return -1;
        }
        return b;
    case State::after_so:
        state_ = State::plain;
        return static_cast<std::uint8_t>(b - 0x20);
    case State::after_si:
        if (b == SO) {
            state_ = State::after_si_so;
            return -1;
        }
        state_ = State::plain;
        return static_cast<std::uint8_t>(b + 0x80);
    case State::after_si_so:
        state_ = State::plain;
        return static_cast<std::uint8_t>(b + 0x60);
    }
    return -1;
}

void AnswerReader::reset() {
    decoder_.reset();
    text_.clear();
    reason_ = 0;
    sum_ = 0;
    awaiting_sum_ = false;
}

AnswerReader::Result AnswerReader::feed(std::uint8_t b) {
    if (awaiting_sum_) {
        awaiting_sum_ = false;
        return b == sum_ ? Result::answer : Result::bad_sum;
    }
    if (b == ACK) {
        awaiting_sum_ = true;
        return Result::more;
    }
    if (b == EOT) return Result::eot;
    if (b == NAK) {
        if (!text_.empty()) {
            reason_ = static_cast<std::uint8_t>(text_.back());
            text_.pop_back();
        }
        return Result::nak;
    }
    int data = decoder_.feed(b);
    if (data >= 0) {
        text_.push_back(static_cast<char>(data));
        sum_ = static_cast<std::uint8_t>(sum_ + data);
    }
    return Result::more;
}

UnitMachine::UnitMachine(int address, std::size_t capacity, bool takes_broadcast, int selection_seconds)
    : address_(address), capacity_(capacity), takes_broadcast_(takes_broadcast),
      selection_seconds_(selection_seconds) {}

void UnitMachine::reset() {
    state_ = 0;
    accumulator_ = 0;
    stray_ = 0;
    selected_ = false;
    broadcast_ = false;
    overflow_ = false;
    countdown_ = 0;
    command_.clear();
}

void UnitMachine::eot_reset() {
    stray_ = 0;
    accumulator_ = 0;
    state_ = 1;
}

void UnitMachine::start_frame() {
    command_.clear();
    accumulator_ = 0;
    overflow_ = false;
    state_ = 4;
}

UnitEvent UnitMachine::store(std::uint8_t b) {
    command_.push_back(static_cast<char>(b));
    accumulator_ = static_cast<std::uint8_t>(accumulator_ + b);
    state_ = 4;
    return UnitEvent::none;
}

UnitEvent UnitMachine::frame_end(std::uint8_t sum) {
    state_ = 3;
    std::uint8_t expected = accumulator_ & 0x7F;
    bool answer = selected_ || broadcast_;
    if (overflow_) {
        reason_ = 0x40 | NAK_TOO_LONG;
        return answer ? UnitEvent::bad_frame : UnitEvent::none;
    }
    // The sum is compared as a signed byte, so a sum byte with bit 7 set never matches.
    if (sum != expected) {
        reason_ = 0x40 | NAK_CHECKSUM;
        return answer ? UnitEvent::bad_frame : UnitEvent::none;
    }
    return answer ? UnitEvent::command : UnitEvent::none;
}

UnitEvent UnitMachine::feed(std::uint8_t b) {
    // EOT is data only as a check sum or a DC2 message; elsewhere it resets the unit, except in
    // state 1 (digits so far are kept) and state 2 (EOT DLE EOT releases the unit).
    if (b == EOT && state_ != 8 && state_ != 14) {
        if (state_ == 2) {
            selected_ = false;
            broadcast_ = false;
            countdown_ = 0;
            state_ = 0;
            return UnitEvent::released;
        }
        if (state_ != 1) eot_reset();
        return UnitEvent::eot;
    }
    // Inside a frame (states 4 to 7) every byte reloads the selection countdown and ETX ends the
    // data, even right after an escape.
    if (state_ >= 4 && state_ <= 7) {
        if (selected_) countdown_ = selection_seconds_;
        if (b == ETX) {
            state_ = 8;
            return UnitEvent::none;
        }
    }
    switch (state_) {
    case 0:
        if (b == DLE && takes_broadcast_) broadcast_ = true;
        return UnitEvent::none;
    case 1:
        if (b >= '0' && b <= '9') {
            accumulator_ = static_cast<std::uint8_t>(accumulator_ * 10 + (b - '0'));
            return UnitEvent::none;
        }
        if (b == ENQ) {
            if (address_ >= 0 && address_ <= 255 && accumulator_ == address_) {
                selected_ = true;
                countdown_ = selection_seconds_;
                state_ = 3;
                return UnitEvent::addressed;
            }
            broadcast_ = false;
            state_ = 0;
            return UnitEvent::none;
        }
        state_ = b == DLE ? 2 : 99;
        return UnitEvent::none;
    case 2:
        state_ = 99;
        return UnitEvent::none;
    case 3:
        if (b == STX || b == SOH) {
            start_frame();
            return UnitEvent::none;
        }
        state_ = b == DC2 ? 14 : 99;
        return UnitEvent::none;
    case 4:
        if (command_.size() >= capacity_) {
            overflow_ = true;
            return UnitEvent::none;
        }
        if (b == SO || b == SI) {
            state_ = b == SO ? 5 : 6;
            return UnitEvent::none;
        }
        return store(b);
    case 5:
        return store(static_cast<std::uint8_t>(b - 0x20));
    case 6:
        if (b == SO) {
            state_ = 7;
            return UnitEvent::none;
        }
        return store(static_cast<std::uint8_t>(b + 0x80));
    case 7:
        return store(static_cast<std::uint8_t>(b + 0x60));
    case 8:
        return frame_end(b);
    case 14:
        control_ = b;
        countdown_ = selection_seconds_;
        state_ = 3;
        return UnitEvent::control_byte;
    case 99:
        if (b == STX) {
            stray_ = 0;
            start_frame();
            return UnitEvent::none;
        }
        if (stray_++ == 10) return UnitEvent::out_of_phase;
        return UnitEvent::none;
    default:
        state_ = 0;
        return UnitEvent::none;
    }
}

void UnitMachine::second() {
    if (countdown_ <= 0) return;
    if (--countdown_ == 0) {
        selected_ = false;
        broadcast_ = false;
        state_ = 0;
    }
}

} // namespace nvsim
