#include "sim/device.h"

#include <algorithm>

namespace nvsim {

namespace {
// Commands hold at most this many bytes; a longer frame is refused with the too-long reason.
constexpr std::size_t COMMAND_CAPACITY = 255;
} // namespace

std::string_view command_text(std::string_view frame) {
    std::size_t zero = frame.find('\0');
    return zero == std::string_view::npos ? frame : frame.substr(0, zero);
}

std::string printable(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E || c == '"' || c == '\\') {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

Device::Device(std::string name, const DeviceConfig& config, bool takes_broadcast)
    : name_(std::move(name)), config_(config), machine_(config.unit, COMMAND_CAPACITY, takes_broadcast),
      noise_(static_cast<unsigned>(config.id * 256 + config.unit + 1)) {}

void Device::set_plugged(bool plugged) {
    if (plugged && !plugged_) machine_.reset();
    plugged_ = plugged;
    poll_window_ = false;
}

void Device::go_deaf(std::int64_t until) {
    deaf_until_ = until;
    machine_.reset();
    poll_window_ = false;
}

void Device::add_fault(const Fault& fault) {
    // A new fault of a kind replaces the old one, so a test can change a delay or a reason.
    std::erase_if(faults_, [&](const Fault& f) { return f.kind == fault.kind; });
    faults_.push_back(fault);
}

std::optional<int> Device::take_fault(FaultKind kind) {
    auto it = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.kind == kind; });
    if (it == faults_.end()) return std::nullopt;
    int arg = it->arg;
    if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
    return arg;
}

void Device::deliver(Bytes bytes, std::int64_t now, std::vector<Output>& out) {
    if (take_fault(FaultKind::garbage)) {
        // Bytes that are neither control bytes nor a valid frame start, so the master sees a
        // corrupted answer rather than a different one.
        Bytes junk;
        for (int i = 0; i < 3; ++i)
            junk.push_back(static_cast<std::uint8_t>(0x20 + noise_() % 0x5F));
        bytes.insert(bytes.begin(), junk.begin(), junk.end());
    }
    std::int64_t due = now;
    if (auto delay = take_fault(FaultKind::slow)) due += *delay;
    out.push_back(Output{due, std::move(bytes)});
}

void Device::line_switched() {
    if (poll_window_) status_polled(reported_);
    poll_window_ = false;
}

void Device::hear(std::uint8_t b, std::int64_t now, std::vector<Output>& out) {
    if (!hearing(now)) return;
    switch (machine_.feed(b)) {
    case UnitEvent::addressed:
        if (machine_.broadcast()) return;
        ++stats_.addressed;
        reported_ = status();
        if (take_fault(FaultKind::silent)) return;
        // Latched bits end with a poll only when the master can have read them.
        poll_window_ = std::none_of(faults_.begin(), faults_.end(),
                                    [](const Fault& f) { return f.kind == FaultKind::garbage; });
        deliver(Bytes{static_cast<std::uint8_t>(reported_ | 0x80), ACK}, now, out);
        return;
    case UnitEvent::command: {
        poll_window_ = false;
        if (machine_.broadcast()) {
            ++stats_.broadcasts;
            broadcast(command_text(machine_.command()));
            return;
        }
        if (take_fault(FaultKind::silent)) return;
        if (auto reason = take_fault(FaultKind::nak)) {
            deliver(Bytes{static_cast<std::uint8_t>(0x40 | (*reason & 0x07)), NAK}, now, out);
            return;
        }
        ++stats_.commands;
        Bytes answer = encode_answer(command(machine_.command(), now));
        if (take_fault(FaultKind::checksum)) answer.back() = static_cast<std::uint8_t>(answer.back() + 1);
        deliver(std::move(answer), now, out);
        return;
    }
    case UnitEvent::bad_frame:
        ++stats_.bad_frames;
        if (!machine_.broadcast()) deliver(Bytes{machine_.nak_reason(), NAK}, now, out);
        return;
    case UnitEvent::out_of_phase:
        deliver(Bytes{EOT}, now, out);
        return;
    case UnitEvent::eot:
    case UnitEvent::released:
        line_switched();
        return;
    case UnitEvent::control_byte:
    case UnitEvent::none:
        return;
    }
}

} // namespace nvsim
