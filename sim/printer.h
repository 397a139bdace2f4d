// A queue-ticket printer: ticket buttons, a paper roll, prices and ticket texts, the ticket-event
// buffer the monitor polls, X and Z reports, and the status byte the server polls.
#pragma once

#include "sim/device.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace nvsim {

// Status bits. The server turns rising bits into events: 0x04 -> 1, 0x02 -> 2, 0x40 -> 3,
// 0x20 -> 4, 0x10 -> 5, 0x08 -> 6; 0x01 makes it fetch a display text with "GD".
inline constexpr std::uint8_t PRN_DISPLAY_TEXT = 0x01;   // a "GD" text waits
inline constexpr std::uint8_t PRN_PAPER_LOW = 0x02;      // the roll is nearly used up
inline constexpr std::uint8_t PRN_TICKET = 0x04;         // latched: a ticket was printed
inline constexpr std::uint8_t PRN_RESTARTED = 0x08;      // latched: the printer has restarted
inline constexpr std::uint8_t PRN_JAM = 0x10;            // paper jam: nothing prints
inline constexpr std::uint8_t PRN_NEW_ROLL = 0x20;       // latched: a new roll was loaded
inline constexpr std::uint8_t PRN_OUT_OF_TICKETS = 0x40; // the roll is empty
// Latched bits stay set until a status poll has reported them.
inline constexpr std::uint8_t PRN_LATCHED = PRN_TICKET | PRN_RESTARTED | PRN_NEW_ROLL;

class Printer : public Device {
  public:
    static constexpr int TICKETS = 15;    // buttons 1..15; 0-based 0..14 in "GP", "GT", "SX"...
    static constexpr int LINES = 56;      // text lines per ticket
    static constexpr int LINE_CHARS = 64; // characters per text line
    static constexpr int RECORDS = 99;    // event records 1..99
    static constexpr int REPORT_PIECE = 512;

    struct Record {
        bool written = false;
        int ticket = 0; // 1-based
        int count = 0;
        long value = 0; // cents
        int seq_no = 0; // this ticket's count in the report period
        int seq_id = 0; // the printer's running ticket number
    };

    enum class Press { printed, out_of_tickets, jammed, bad_ticket };

    Printer(std::string name, const DeviceConfig& config);

    std::uint8_t status() const override;
    std::string command(std::string_view text, std::int64_t now) override;
    void status_polled(std::uint8_t reported) override;
    std::string describe() const override;

    // A ticket button: prints `copies` tickets, each a record of count 1; `count` > 1 prints one
    // ticket for that many persons. Stops when the roll runs out. Ticket is 1-based.
    Press press(int ticket, int copies = 1, int count = 1);
    void run_out();
    // Loads a new roll with `tickets` tickets (the configured roll size when 0 or less).
    void load_roll(int tickets);
    // Power cycle: the event buffer is lost, the printer is off the line for downtime_ms.
    // Prices, texts, counters and stored reports survive.
    void restart(std::int64_t now, int downtime_ms);
    void set_jam(bool jam) { jam_ = jam; }
    bool queue_display_text(int display, std::string text);
    // Extra status bits a test forces on or off, on top of the printer's own.
    void force_bits(std::uint8_t set, std::uint8_t clear);

    const std::string& version() const { return version_; }
    int generation() const { return generation_; }
    int remaining() const { return remaining_; }
    int next_record() const { return next_write_; }
    int last_record() const { return last_written_; }
    const Record& record(int number) const { return records_.at(static_cast<std::size_t>(number - 1)); }
    long price(int ticket) const { return prices_.at(static_cast<std::size_t>(ticket - 1)); }
    const std::string& line(int ticket, int line) const;
    bool restarting(std::int64_t now) const { return now < back_at_; }

  private:
    std::string buffer_read(std::string_view args) const;
    std::string print_command(std::string_view args);
    std::string x_report(int ticket) const;
    std::string take_z_report();
    std::string z_command(std::string_view rest, bool to_buffer);
    std::string x_half(std::string_view rest, int half);
    std::string to_buffer(std::string text);
    std::string set_line(std::string_view args);
    std::string set_time(std::string_view args);
    std::string report_body(std::string_view title, int first, int last) const;
    std::string clock_text() const;
    void write_record(int ticket, int count);

    std::string version_;
    int generation_;
    int roll_size_;
    int remaining_;
    bool jam_ = false;
    std::uint8_t latched_ = 0;
    std::uint8_t forced_set_ = 0;
    std::uint8_t forced_clear_ = 0;
    std::int64_t back_at_ = 0;

    std::array<long, TICKETS> prices_{};
    std::array<std::array<std::string, LINES>, TICKETS> lines_;
    std::array<Record, RECORDS> records_;
    int next_write_ = 1;   // the record the next ticket goes into
    int last_written_ = 0; // 0 while nothing was written since the last restart
    int seq_id_ = 0;

    // Report period: what was sold since the last Z report.
    std::array<int, TICKETS> period_count_{};
    std::array<long, TICKETS> period_value_{};
    int z_number_ = 1;
    std::map<int, std::string> z_reports_; // the last few taken, by number
    std::string report_buffer_;            // for "RBUFF"
    std::string x_cache_;                  // "S1X" made it, "S2X" sends the rest
    std::string x_cache_rest_;

    std::deque<std::pair<int, std::string>> display_texts_;
    long clock_offset_ = 0; // seconds the printer's clock is ahead of the local time
};

// Mk generation of a version text as the monitor derives it: after the first "Z", the first digit
// 1..9 that a digit follows: 7 -> 2, 8 -> 3, 9 -> 4 (this line's Mk4 firmware); else 0.
int generation_of(std::string_view version);

// The version text of a firmware name ("78", "85", "doz", "mk4"); empty for an unknown name.
std::string firmware_version(std::string_view firmware);

// Money in cents as the printer writes it: "12.50", "-0.75".
std::string money_text(long cents);
// Reads "12", "12.5", "12.50", "-3,25" into cents; false for anything else.
bool parse_money(std::string_view text, long& cents);

} // namespace nvsim
