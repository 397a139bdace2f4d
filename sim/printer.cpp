#include "sim/printer.h"

#include "platform/clock.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace nvsim {

namespace {

constexpr int KEEP_Z_REPORTS = 20;
constexpr std::size_t KEEP_DISPLAY_TEXTS = 16;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

// Takes one decimal (optionally signed) from the front of s, after any blanks.
bool take_int(std::string_view& s, int& value) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end == s.data()) return false;
    s.remove_prefix(static_cast<std::size_t>(end - s.data()));
    return true;
}

// The argument must end here (blanks allowed).
bool at_end(std::string_view s) {
    return trim(s).empty();
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar).
long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153L * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(long z, int& y, int& m, int& d) {
    z += 719468;
    long era = (z >= 0 ? z : z - 146096) / 146097;
    long doe = z - era * 146097;
    long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

long seconds_of(int y, int mo, int d, int h, int mi, int s) {
    return days_from_civil(y, mo, d) * 86400 + h * 3600L + mi * 60L + s;
}

long local_seconds() {
    platform::LocalTime t = platform::local_time();
    return seconds_of(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

} // namespace

int generation_of(std::string_view version) {
    std::size_t z = version.find('Z');
    if (z == std::string_view::npos) return 0;
    for (std::size_t i = z; i + 1 < version.size(); ++i) {
        if (version[i] >= '1' && version[i] <= '9' && is_digit(version[i + 1])) {
            switch (version[i]) {
            case '7':
                return 2;
            case '8':
                return 3;
            case '9':
                return 4;
            default:
                return 0;
            }
        }
    }
    return 0;
}

std::string firmware_version(std::string_view firmware) {
    if (firmware == "78") return "TP 78.14 Z71";
    if (firmware == "85") return "TP 85.06 Z81";
    if (firmware == "doz") return "TP 85.21 DOZ Z82";
    if (firmware == "mk4") return "TP 85.40 Z91";
    return "";
}

std::string money_text(long cents) {
    char text[32];
    long whole = cents / 100;
    long part = cents % 100;
    if (cents < 0)
        std::snprintf(text, sizeof text, "-%ld.%02ld", -whole, -part);
    else
        std::snprintf(text, sizeof text, "%ld.%02ld", whole, part);
    return text;
}

bool parse_money(std::string_view text, long& cents) {
    text = trim(text);
    bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    long whole = 0;
    int digits = 0;
    while (!text.empty() && is_digit(text.front())) {
        if (++digits > 9) return false;
        whole = whole * 10 + (text.front() - '0');
        text.remove_prefix(1);
    }
    long part = 0;
    int decimals = 0;
    if (!text.empty() && (text.front() == '.' || text.front() == ',')) {
        text.remove_prefix(1);
        while (!text.empty() && is_digit(text.front())) {
            if (++decimals > 2) return false;
            part = part * 10 + (text.front() - '0');
            text.remove_prefix(1);
        }
        if (decimals == 1) part *= 10;
    }
    if (!text.empty() || digits + decimals == 0) return false;
    cents = (whole * 100 + part) * (negative ? -1 : 1);
    return true;
}

Printer::Printer(std::string name, const DeviceConfig& config)
    : Device(std::move(name), config, false),
      version_(config.version.empty() ? firmware_version(config.firmware) : config.version),
      generation_(generation_of(version_)), roll_size_(std::max(1, config.roll)), remaining_(roll_size_) {
    for (int t = 0; t < TICKETS; ++t) {
        prices_[static_cast<std::size_t>(t)] = 100L * (t + 1);
        lines_[static_cast<std::size_t>(t)][0] = "TICKET " + std::to_string(t + 1);
    }
}

const std::string& Printer::line(int ticket, int line) const {
    return lines_.at(static_cast<std::size_t>(ticket - 1)).at(static_cast<std::size_t>(line - 1));
}

std::uint8_t Printer::status() const {
    std::uint8_t bits = latched_;
    if (!display_texts_.empty()) bits |= PRN_DISPLAY_TEXT;
    if (remaining_ == 0)
        bits |= PRN_OUT_OF_TICKETS;
    else if (remaining_ <= std::max(1, roll_size_ / 10))
        bits |= PRN_PAPER_LOW;
    if (jam_) bits |= PRN_JAM;
    bits = static_cast<std::uint8_t>((bits | forced_set_) & ~forced_clear_);
    return bits & 0x7F;
}

void Printer::status_polled(std::uint8_t reported) {
    latched_ &= static_cast<std::uint8_t>(~reported);
}

void Printer::force_bits(std::uint8_t set, std::uint8_t clear) {
    forced_set_ = static_cast<std::uint8_t>((forced_set_ | set) & ~clear);
    forced_clear_ = static_cast<std::uint8_t>((forced_clear_ | clear) & ~set);
}

void Printer::write_record(int ticket, int count) {
    std::size_t t = static_cast<std::size_t>(ticket - 1);
    long value = prices_[t] * count;
    period_count_[t] += count;
    period_value_[t] += value;
    Record& r = records_[static_cast<std::size_t>(next_write_ - 1)];
    r = Record{true, ticket, count, value, period_count_[t], ++seq_id_};
    last_written_ = next_write_;
    next_write_ = next_write_ % RECORDS + 1;
    latched_ |= PRN_TICKET;
    note("ticket " + std::to_string(ticket) + " printed, record " + std::to_string(last_written_) +
         ", value " + money_text(value));
}

Printer::Press Printer::press(int ticket, int copies, int count) {
    if (ticket < 1 || ticket > TICKETS || copies < 1 || count < 1) return Press::bad_ticket;
    if (jam_) return Press::jammed;
    if (remaining_ == 0) return Press::out_of_tickets;
    for (int i = 0; i < copies && remaining_ > 0; ++i) {
        --remaining_;
        write_record(ticket, count);
    }
    if (remaining_ == 0) note("out of tickets");
    return Press::printed;
}

void Printer::run_out() {
    remaining_ = 0;
    note("out of tickets");
}

void Printer::load_roll(int tickets) {
    remaining_ = tickets > 0 ? tickets : roll_size_;
    latched_ |= PRN_NEW_ROLL;
    note("new roll of " + std::to_string(remaining_) + " tickets");
}

void Printer::restart(std::int64_t now, int downtime_ms) {
    back_at_ = now + std::max(0, downtime_ms);
    go_deaf(back_at_);
    records_ = {};
    next_write_ = 1;
    last_written_ = 0;
    display_texts_.clear();
    report_buffer_.clear();
    x_cache_.clear();
    latched_ = PRN_RESTARTED;
    note("restarting");
}

bool Printer::queue_display_text(int display, std::string text) {
    if (display < 1 || display > 7 || display_texts_.size() >= KEEP_DISPLAY_TEXTS) return false;
    display_texts_.emplace_back(display, std::move(text));
    return true;
}

std::string Printer::describe() const {
    char bits[8];
    std::snprintf(bits, sizeof bits, "%02X", status());
    std::ostringstream s;
    s << name() << " printer id=" << id() << " unit=" << unit() << " version=\"" << version_
      << "\" status=" << bits << " tickets=" << remaining_ << " record=" << last_written_
      << (plugged() ? "" : " unplugged") << (jam_ ? " jammed" : "");
    return s.str();
}

// "GB s": the record s while it holds a ticket not yet overwritten. For s = the record the next
// ticket goes into, or a record never written since the restart, the answer carries no ticket:
// field 4 is the next record to be written and field 5 the last one written (0 after a restart),
// so the reader sees field 4 - field 5 = 1 (or 1 and 99 after a wrap, or field 5 = 0).
std::string Printer::buffer_read(std::string_view args) const {
    int s = 0;
    if (!take_int(args, s)) s = 0;
    char text[160];
    if (s >= 1 && s <= RECORDS && s != next_write_ && records_[static_cast<std::size_t>(s - 1)].written) {
        const Record& r = records_[static_cast<std::size_t>(s - 1)];
        std::snprintf(text, sizeof text, "Y %d %d %s %d %d %d %d", r.ticket, r.count,
                      money_text(r.value).c_str(), s, s, r.seq_no, r.seq_id);
    } else {
        std::snprintf(text, sizeof text, "Y 0 0 0.00 %d %d 0 0", next_write_, last_written_);
    }
    return text;
}

std::string Printer::print_command(std::string_view args) {
    int ticket = 0;
    int count = 0;
    if (!take_int(args, ticket) || !take_int(args, count) || !at_end(args)) return "N";
    if (count < 0) {
        // A negative count prints one ticket for that many persons; Mk2 firmware refuses it.
        if (generation_ < 3 || count < -99) return "N";
        return press(ticket, 1, -count) == Press::printed ? "Y" : "N";
    }
    if (count == 0 || count > 99) return "N";
    return press(ticket, count) == Press::printed ? "Y" : "N";
}

std::string Printer::clock_text() const {
    long now = local_seconds() + clock_offset_;
    long days = now >= 0 ? now / 86400 : (now - 86399) / 86400;
    long secs = now - days * 86400;
    int y = 0, m = 0, d = 0;
    civil_from_days(days, y, m, d);
    char text[40];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02ld:%02ld:%02ld", y, m, d, secs / 3600,
                  (secs / 60) % 60, secs % 60);
    return text;
}

std::string Printer::report_body(std::string_view title, int first, int last) const {
    std::string out;
    char line[96];
    out += title;
    out += '\n';
    std::snprintf(line, sizeof line, "PRINTER %d UNIT %d\n", id(), unit());
    out += line;
    out += version_ + "\n";
    out += clock_text() + "\n";
    std::snprintf(line, sizeof line, "PERIOD %04d\n", z_number_);
    out += line;
    out += "TICKET   COUNT        VALUE\n";
    int total_count = 0;
    long total_value = 0;
    for (int t = first; t <= last; ++t) {
        std::size_t i = static_cast<std::size_t>(t);
        std::snprintf(line, sizeof line, "%6d %7d %12s\n", t + 1, period_count_[i],
                      money_text(period_value_[i]).c_str());
        out += line;
        total_count += period_count_[i];
        total_value += period_value_[i];
    }
    std::snprintf(line, sizeof line, "TOTAL  %7d %12s\n", total_count, money_text(total_value).c_str());
    out += line;
    out += "END OF REPORT\n";
    return out;
}

// Ticket 0..14 is one ticket's report; anything else (15 by the monitor's convention) all tickets.
std::string Printer::x_report(int ticket) const {
    if (ticket >= 0 && ticket < TICKETS) {
        return report_body("X REPORT TICKET " + std::to_string(ticket + 1), ticket, ticket);
    }
    return report_body("X REPORT ALL TICKETS", 0, TICKETS - 1);
}

std::string Printer::take_z_report() {
    char title[32];
    std::snprintf(title, sizeof title, "Z REPORT %04d", z_number_);
    std::string report = report_body(title, 0, TICKETS - 1);
    z_reports_[z_number_] = report;
    while (static_cast<int>(z_reports_.size()) > KEEP_Z_REPORTS)
        z_reports_.erase(z_reports_.begin());
    ++z_number_;
    period_count_ = {};
    period_value_ = {};
    return report;
}

std::string Printer::to_buffer(std::string text) {
    report_buffer_ = std::move(text);
    return "Y " + std::to_string(report_buffer_.size());
}

// "SZ" and "PRODZ" arguments: none takes the Z report of the current period (and starts a new
// one); 0 is a copy of the last one taken; n a copy of stored report n.
std::string Printer::z_command(std::string_view rest, bool buffered) {
    std::string report;
    if (at_end(rest)) {
        report = take_z_report();
    } else {
        int n = 0;
        if (!take_int(rest, n) || !at_end(rest) || n < 0) return "Error: bad Z report number";
        if (n == 0 && z_reports_.empty()) return "Error: no Z report taken";
        auto it = n == 0 ? std::prev(z_reports_.end()) : z_reports_.find(n);
        if (it == z_reports_.end()) return "Error: Z report " + std::to_string(n) + " not stored";
        report = it->second;
    }
    return buffered ? to_buffer(std::move(report)) : report;
}

// "S1X" and "S2X": the X report in two halves split at a line; "S1X" makes the report and
// "S2X" with the same argument sends the rest of that same report.
std::string Printer::x_half(std::string_view rest, int half) {
    int ticket = TICKETS;
    std::string_view args = rest;
    if (!at_end(args) && (!take_int(args, ticket) || !at_end(args))) return "Error: bad ticket";
    if (half == 1 || x_cache_.empty() || x_cache_rest_ != rest) {
        x_cache_ = x_report(ticket);
        x_cache_rest_ = std::string(rest);
    }
    std::size_t lines = static_cast<std::size_t>(std::count(x_cache_.begin(), x_cache_.end(), '\n'));
    std::size_t split = 0;
    for (std::size_t n = 0; n < (lines + 1) / 2; ++n)
        split = x_cache_.find('\n', split) + 1;
    std::string answer = half == 1 ? x_cache_.substr(0, split) : x_cache_.substr(split);
    if (half == 2) x_cache_.clear();
    return answer;
}

// "ST t l text" or, where the text would start with a digit, "ST t l length text": a number
// followed by a blank right after the line number is the length of the text that follows.
std::string Printer::set_line(std::string_view args) {
    int t = 0;
    int l = 0;
    if (!take_int(args, t) || !take_int(args, l) || t < 0 || t >= TICKETS || l < 0 || l >= LINES) return "N";
    if (!args.empty() && args.front() == ' ') args.remove_prefix(1);
    std::size_t digits = 0;
    while (digits < args.size() && is_digit(args[digits]))
        ++digits;
    std::string_view text = args;
    if (digits > 0 && digits < args.size() && args[digits] == ' ') {
        int length = 0;
        std::from_chars(args.data(), args.data() + digits, length);
        text = args.substr(digits + 1, static_cast<std::size_t>(std::max(0, length)));
    }
    if (text.size() > LINE_CHARS) text = text.substr(0, LINE_CHARS);
    lines_[static_cast<std::size_t>(t)][static_cast<std::size_t>(l)] = std::string(text);
    return "Y";
}

// "DT yyyy/mm/dd hh:mm:ss": sets the printer's clock.
std::string Printer::set_time(std::string_view args) {
    std::string text(trim(args));
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return "N";
    if (y < 1980 || y > 2099 || mo < 1 || mo > 12 || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
        return "N";
    int month_days = static_cast<int>(days_from_civil(mo == 12 ? y + 1 : y, mo == 12 ? 1 : mo + 1, 1) -
                                      days_from_civil(y, mo, 1));
    if (d < 1 || d > month_days) return "N";
    clock_offset_ = seconds_of(y, mo, d, h, mi, s) - local_seconds();
    return "Y";
}

std::string Printer::command(std::string_view frame, std::int64_t now) {
    (void)now;
    std::string_view text = command_text(frame);
    std::size_t blank = text.find(' ');
    std::string_view word = text.substr(0, blank);
    std::string_view rest = blank == std::string_view::npos ? std::string_view() : text.substr(blank);

    if (word == "GV") return version_;
    if (word == "QM") return "Y";
    if (word == "GD") {
        if (display_texts_.empty()) return "N";
        auto [display, shown] = display_texts_.front();
        display_texts_.pop_front();
        return std::to_string(display) + " " + shown;
    }
    if (word == "GB") return buffer_read(rest);
    if (word == "GS") {
        char answer[16];
        std::snprintf(answer, sizeof answer, "Y x%02X", status());
        return answer;
    }
    if (word == "PB") return print_command(rest);
    if (word == "GP" || word == "SP" || word == "GT" || word == "ST") {
        std::string_view args = rest;
        int t = 0;
        if (!take_int(args, t) || t < 0 || t >= TICKETS) return "N";
        std::size_t ti = static_cast<std::size_t>(t);
        if (word == "GP") return at_end(args) ? "Y " + money_text(prices_[ti]) : "N";
        if (word == "SP") {
            long cents = 0;
            if (!parse_money(args, cents)) return "N";
            prices_[ti] = cents;
            return "Y";
        }
        if (word == "ST") return set_line(rest);
        int l = 0;
        if (!take_int(args, l) || l < 0 || l >= LINES || !at_end(args)) return "N";
        return "Y " + lines_[ti][static_cast<std::size_t>(l)];
    }
    if (word == "SX") {
        int ticket = TICKETS;
        std::string_view args = rest;
        if (!at_end(args) && (!take_int(args, ticket) || !at_end(args))) return "Error: bad ticket";
        return x_report(ticket);
    }
    if (word == "S1X" || word == "S2X") return x_half(rest, word == "S1X" ? 1 : 2);
    if (word == "SZ") return z_command(rest, false);
    if (word == "PRODX") {
        int ticket = TICKETS;
        std::string_view args = rest;
        if (!at_end(args) && (!take_int(args, ticket) || !at_end(args))) return "Error: bad ticket";
        return to_buffer(x_report(ticket));
    }
    if (word == "PRODZ") {
        // Bare "PRODZ" (the monitor, for "DOZ" firmware) answers the report itself; with an
        // argument (the server's rewrite of "SZ") it goes into the buffer for "RBUFF".
        return z_command(rest, blank != std::string_view::npos);
    }
    if (word == "RBUFF") {
        std::string_view args = rest;
        int offset = 0;
        int length = 0;
        if (report_buffer_.empty() || !take_int(args, offset) || !take_int(args, length) || !at_end(args) ||
            offset < 0 || length < 0 || length > REPORT_PIECE)
            return "N";
        if (static_cast<std::size_t>(offset) >= report_buffer_.size()) return "";
        return report_buffer_.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }
    if (word == "DT") return set_time(rest);
    return "N";
}

} // namespace nvsim
