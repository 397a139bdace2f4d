#include "sim/control.h"

#include "sim/line.h"

#include "platform/clock.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <vector>

namespace nvsim {

namespace {

struct Words {
    std::string_view rest;

    std::string_view next() { return next_word(rest); }
    // The rest of the line after one separating blank.
    std::string_view tail() {
        if (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        return std::exchange(rest, {});
    }
    bool done() {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        return rest.empty();
    }
};

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool to_int(std::string_view s, int& value) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

std::string err(const std::string& text) {
    return "ERR " + text;
}
std::string ok(const std::string& text) {
    return "OK " + text;
}

// A device by name, or for a bare number the device of the given kind letter.
Device* find(SimLine& line, std::string_view word, char bare_kind) {
    int number = 0;
    if (bare_kind && to_int(word, number)) {
        std::string name(1, bare_kind);
        return line.device(name + std::string(word));
    }
    return line.device(word);
}

template <typename T> T* find_kind(SimLine& line, std::string_view word, char kind, std::string& error) {
    Device* d = find(line, word, kind);
    auto* t = dynamic_cast<T*>(d);
    if (!t)
        error = d ? d->name() + " is not the right kind of device" : "no device '" + std::string(word) + "'";
    return t;
}

const char* fault_name(FaultKind kind) {
    switch (kind) {
    case FaultKind::silent:
        return "silent";
    case FaultKind::checksum:
        return "checksum";
    case FaultKind::nak:
        return "nak";
    case FaultKind::garbage:
        return "garbage";
    case FaultKind::slow:
        return "slow";
    }
    return "?";
}

std::string fault_list(const Device& d) {
    std::string out = d.name() + " faults:";
    if (d.faults().empty()) return out + " none";
    for (const Fault& f : d.faults()) {
        out += ' ';
        out += fault_name(f.kind);
        if (f.kind == FaultKind::nak || f.kind == FaultKind::slow) out += "(" + std::to_string(f.arg) + ")";
        out += f.remaining < 0 ? "x*" : "x" + std::to_string(f.remaining);
    }
    return out;
}

std::string fault_command(SimLine& line, Words& w) {
    std::string_view name = w.next();
    Device* d = find(line, name, 0);
    if (!d) return err("no device '" + std::string(name) + "'");
    std::string kind = upper(w.next());
    if (kind.empty()) return ok(fault_list(*d));
    if (kind == "CLEAR") {
        d->clear_faults();
        return ok(d->name() + " faults cleared");
    }
    Fault f{FaultKind::silent};
    if (kind == "SILENT")
        f.kind = FaultKind::silent;
    else if (kind == "CHECKSUM")
        f.kind = FaultKind::checksum;
    else if (kind == "GARBAGE")
        f.kind = FaultKind::garbage;
    else if (kind == "NAK")
        f.kind = FaultKind::nak;
    else if (kind == "SLOW")
        f.kind = FaultKind::slow;
    else
        return err("unknown fault '" + kind + "' (SILENT, CHECKSUM, GARBAGE, NAK, SLOW, CLEAR)");
    if (f.kind == FaultKind::nak && (!to_int(w.next(), f.arg) || f.arg < 1 || f.arg > 7))
        return err("NAK needs a reason 1..7 (1 check sum, 2 too long, 4 busy)");
    if (f.kind == FaultKind::slow && (!to_int(w.next(), f.arg) || f.arg < 1 || f.arg > 60000))
        return err("SLOW needs a delay of 1..60000 ms");
    std::string_view count = w.next();
    if (count == "*")
        f.remaining = -1;
    else if (!count.empty() && (!to_int(count, f.remaining) || f.remaining < 1 || f.remaining > 1000000))
        return err("count 1..1000000 or * expected");
    if (!w.done()) return err("too many words");
    d->add_fault(f);
    return ok(fault_list(*d));
}

// "+44 -02": bits to force on and off.
std::string status_command(SimLine& line, Words& w) {
    std::string error;
    std::string_view name = w.next();
    Device* d = find(line, name, 'P');
    if (!d) return err("no device '" + std::string(name) + "'");
    auto* p = dynamic_cast<Printer*>(d);
    std::uint8_t set = 0;
    std::uint8_t clear = 0;
    for (std::string_view word = w.next(); !word.empty(); word = w.next()) {
        unsigned bits = 0;
        auto [end, ec] = std::from_chars(word.data() + 1, word.data() + word.size(), bits, 16);
        if ((word[0] != '+' && word[0] != '-') || ec != std::errc() || end != word.data() + word.size() ||
            bits > 0x7F)
            return err("status bits as +hex or -hex, 00..7F");
        (word[0] == '+' ? set : clear) |= static_cast<std::uint8_t>(bits);
    }
    if ((set | clear) != 0) {
        if (!p) return err("only printers take forced status bits");
        p->force_bits(set, clear);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s status %02X", d->name().c_str(), d->status());
    return ok(text);
}

std::string press_command(SimLine& line, Words& w) {
    std::string error;
    auto* p = find_kind<Printer>(line, w.next(), 'P', error);
    if (!p) return err(error);
    int ticket = 0;
    int copies = 1;
    if (!to_int(w.next(), ticket) || ticket < 1 || ticket > Printer::TICKETS)
        return err("ticket 1..15 expected");
    std::string_view n = w.next();
    if (!n.empty() && (!to_int(n, copies) || copies < 1 || copies > 99)) return err("1..99 tickets expected");
    if (p->restarting(platform::monotonic_ms())) return err(p->name() + " is restarting");
    switch (p->press(ticket, copies)) {
    case Printer::Press::printed:
        return ok(p->name() + " ticket " + std::to_string(ticket) + " record " +
                  std::to_string(p->last_record()));
    case Printer::Press::out_of_tickets:
        return err(p->name() + " is out of tickets");
    case Printer::Press::jammed:
        return err(p->name() + " is jammed");
    case Printer::Press::bad_ticket:
        break;
    }
    return err("ticket 1..15 expected");
}

std::string show_command(SimLine& line, Words& w) {
    std::string_view name = w.next();
    Device* d = line.device(name);
    if (!d) return err("no device '" + std::string(name) + "'");
    std::string text = d->describe();
    if (auto* display = dynamic_cast<Display*>(d)) text += " text=\"" + printable(display->text()) + "\"";
    if (auto* reader = dynamic_cast<CardReader*>(d)) {
        for (int t = 1; t <= 3; ++t)
            text += " track" + std::to_string(t) + "=\"" + printable(reader->track(t)) + "\"";
    }
    return ok(text);
}

std::string reader_command(SimLine& line, const std::string& keyword, Words& w) {
    std::string error;
    auto* r = find_kind<CardReader>(line, w.next(), 'R', error);
    if (!r) return err(error);
    std::string text(w.tail());
    if (keyword == "SWIPE") {
        std::vector<std::string> tracks(3);
        std::size_t start = 0;
        for (std::size_t t = 0; t < 3; ++t) {
            std::size_t bar = text.find('|', start);
            tracks[t] = text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        if (tracks[0].empty() && tracks[1].empty() && tracks[2].empty())
            return err("SWIPE needs track data: t1|t2|t3");
        r->swipe(tracks[0], tracks[1], tracks[2]);
        return ok(r->name() + " card swiped");
    }
    if (keyword == "VALUE")
        r->set_value(text);
    else
        r->set_grs(text);
    return ok(r->name() + " " + upper(keyword) + " data ready");
}

} // namespace

std::string run_control(SimLine& line, std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    Words w{text};
    std::string keyword = upper(w.next());
    std::string error;
    std::int64_t now = platform::monotonic_ms();

    if (keyword.empty()) return err("empty line");
    if (keyword == "HELP")
        return ok(
            "LIST SHOW PRESS EMPTY ROLL JAM RESTART DISPREQ STATUS UNPLUG PLUG SWIPE VALUE GRS FAULT NOISE "
            "CUSTOMERS STATS QUIT");
    if (keyword == "LIST") {
        std::string out;
        for (const auto& d : line.devices())
            out += (out.empty() ? "" : "; ") + d->describe();
        return ok(out.empty() ? "no devices" : out);
    }
    if (keyword == "SHOW") return show_command(line, w);
    if (keyword == "PRESS") return press_command(line, w);
    if (keyword == "EMPTY" || keyword == "ROLL" || keyword == "JAM" || keyword == "RESTART" ||
        keyword == "DISPREQ") {
        auto* p = find_kind<Printer>(line, w.next(), 'P', error);
        if (!p) return err(error);
        if (keyword == "EMPTY") {
            p->run_out();
            return ok(p->name() + " out of tickets");
        }
        if (keyword == "ROLL") {
            int tickets = 0;
            std::string_view n = w.next();
            if (!n.empty() && (!to_int(n, tickets) || tickets < 1 || tickets > 100000))
                return err("1..100000 tickets expected");
            p->load_roll(tickets);
            return ok(p->name() + " new roll of " + std::to_string(p->remaining()) + " tickets");
        }
        if (keyword == "JAM") {
            std::string on = upper(w.next());
            if (on != "ON" && on != "OFF") return err("JAM printer ON|OFF");
            p->set_jam(on == "ON");
            return ok(p->name() + (on == "ON" ? " jammed" : " running"));
        }
        if (keyword == "RESTART") {
            int ms = 2000;
            std::string_view n = w.next();
            if (!n.empty() && (!to_int(n, ms) || ms < 0 || ms > 600000))
                return err("downtime 0..600000 ms expected");
            p->restart(now, ms);
            return ok(p->name() + " restarting for " + std::to_string(ms) + " ms");
        }
        int display = 0;
        if (!to_int(w.next(), display) || display < 1 || display > 7) return err("display 1..7 expected");
        if (!p->queue_display_text(display, std::string(w.tail())))
            return err(p->name() + " holds too many display texts");
        return ok(p->name() + " display " + std::to_string(display) + " text waits");
    }
    if (keyword == "STATUS") return status_command(line, w);
    if (keyword == "UNPLUG" || keyword == "PLUG") {
        std::string_view name = w.next();
        Device* d = line.device(name);
        if (!d) return err("no device '" + std::string(name) + "'");
        d->set_plugged(keyword == "PLUG");
        return ok(d->name() + (keyword == "PLUG" ? " plugged in" : " unplugged"));
    }
    if (keyword == "SWIPE" || keyword == "VALUE" || keyword == "GRS") return reader_command(line, keyword, w);
    if (keyword == "FAULT") return fault_command(line, w);
    if (keyword == "NOISE") {
        int n = 0;
        if (!to_int(w.next(), n) || n < 1 || n > 4096) return err("1..4096 bytes expected");
        line.inject_noise(n);
        return ok(std::to_string(n) + " noise bytes sent");
    }
    if (keyword == "CUSTOMERS") {
        std::string_view word = w.next();
        double seconds = 0;
        auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), seconds);
        if (word.empty() || ec != std::errc() || end != word.data() + word.size() || seconds < 0 ||
            seconds > 86400)
            return err("mean interval 0..86400 seconds expected");
        line.set_customers(seconds);
        return ok(seconds > 0 ? "customers every " + std::string(word) + " s on average"
                              : "customers stopped");
    }
    if (keyword == "STATS") {
        LineStats s = line.stats();
        std::string out = "in=" + std::to_string(s.bytes_in) + " out=" + std::to_string(s.bytes_out) +
                          " address_bytes=" + std::to_string(s.address_bytes) +
                          " unknown_ids=" + std::to_string(s.unknown_ids);
        for (const auto& d : line.devices()) {
            const DeviceStats& ds = d->stats();
            out += " " + d->name() + "=" + std::to_string(ds.addressed) + "/" + std::to_string(ds.commands) +
                   "/" + std::to_string(ds.bad_frames) + "/" + std::to_string(ds.broadcasts);
        }
        return ok(out);
    }
    if (keyword == "QUIT") {
        line.request_quit();
        return ok("bye");
    }
    return err("unknown command '" + keyword + "' (HELP lists them)");
}

} // namespace nvsim
