// The host session: the command language every host transport carries. One line in, exactly one
// answer out through the current slot's answer operation.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/run.h"
#include "server/core/utils.h"
#include "server/core/version.h"
#include "server/devices/clock.h"
#include "server/devices/display.h"
#include "server/devices/printer.h"
#include "server/hosts/hostslot.h"

namespace {

constexpr int UNIT_NUMBER_MAX = 99; // displays and printers are numbered 1 .. 99 in commands
constexpr int PRINTER_ANSWER_SIZE = 3000;
constexpr int PRINTER_COMMAND_SIZE = 100;
constexpr int REPORT_PIECE = 512;
constexpr long SETTING_SIZE_MAX = 20000;

const char* const SYNTAX_ERROR = "Syntax Error";
const char* const PRINTER_OUT_OF_RANGE = "Syntax Error: Printer out of range";
const char* const DISPLAY_OUT_OF_RANGE = "Syntax Error: Display out of range";

// Table order decides abbreviations: "S " is "SETS", "SEG " is "SEGR".
enum Keyword {
    KW_DISP,
    KW_EVENT,
    KW_EXE,
    KW_FPRN,
    KW_GV,
    KW_SETS,
    KW_SETR,
    KW_SETG,
    KW_SEGR,
    KW_CARD,
    KW_NONE,
    KW_EMPTY
};
const char* const KEYWORDS[] = {"DISP", "EVENT", "EXE", "FPRN", "GV", "SETS", "SETR", "SETG", "SEGR", "CARD"};

int display_test = 0;
int id_test = 0;

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string yes_no() {
    return error_pending() ? "N" : "Y";
}

// A decimal as the C conversion reads it (leading white space, a sign), held to 32 bits.
std::int32_t decimal(const char* text) {
    long v = std::strtol(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

// Matches the first word at *cursor and leaves the cursor just after it. A keyword is taken when
// the whole of it matched and the word ends there, or when the word is a non-empty beginning of
// it followed by a blank; only the blank (0x20) separates words, and case counts.
Keyword match_keyword(const char** cursor) {
    const char* p = *cursor;
    while (*p == ' ')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return KW_EMPTY;
    }
    for (int k = 0; k < KW_NONE; ++k) {
        const char* kw = KEYWORDS[k];
        int i = 0;
        while (kw[i] && p[i] == kw[i])
            ++i;
        bool whole = kw[i] == '\0' && (p[i] == ' ' || p[i] == '\0');
        bool abbreviated = kw[i] != '\0' && i > 0 && p[i] == ' ';
        if (whole || abbreviated) {
            *cursor = p + i;
            return static_cast<Keyword>(k);
        }
    }
    while (*p && *p != ' ')
        ++p;
    *cursor = p;
    return KW_NONE;
}

// The unit number of "DISP" and "FPRN": read as a decimal, then the digits at the start of the
// argument are skipped and a blank must follow. Returns what follows that blank, or null when no
// blank follows or the number is outside 1 .. 99.
const char* unit_argument(const char* args, int* number) {
    *number = decimal(args);
    const char* p = args;
    while (is_digit(static_cast<unsigned char>(*p)))
        ++p;
    if (*p != ' ' || *number < 1 || *number > UNIT_NUMBER_MAX) return nullptr;
    return p + 1;
}

std::string command_disp(const char* args) {
    int n = 0;
    const char* text = unit_argument(args, &n);
    if (!text) return DISPLAY_OUT_OF_RANGE;
    display_set_text(n - 1, text);
    return error_pending() ? "N Error" : "Y";
}

// An unsigned decimal after optional blanks; false when no digit is there. Held to 32 bits.
bool read_unsigned(const char** cursor, std::uint32_t* value) {
    const char* p = *cursor;
    while (*p == ' ')
        ++p;
    if (!is_digit(static_cast<unsigned char>(*p))) return false;
    std::uint64_t v = 0;
    while (is_digit(static_cast<unsigned char>(*p))) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > UINT32_MAX) v = UINT32_MAX;
        ++p;
    }
    *value = static_cast<std::uint32_t>(v);
    *cursor = p;
    return true;
}

std::string command_event(const char* args) {
    if (starts_with(args, "ON ") || starts_with(args, "OFF ")) {
        bool on = args[1] == 'N';
        int e = decimal(args + (on ? 3 : 4));
        if (e < 1 || e > EVENT_MAX) return "N";
        host_event_enable(e, on);
        return "Y";
    }
    if (starts_with(args, "SEND ")) {
        const char* p = args + 5;
        std::uint32_t e = 0;
        std::uint32_t u = 0;
        if (!read_unsigned(&p, &e) || !read_unsigned(&p, &u) || e > EVENT_MAX) return "N";
        EventRecord record;
        std::memset(&record, 0, sizeof record);
        record.event = static_cast<std::int32_t>(e);
        record.unit = static_cast<std::int32_t>(u - 1);
        if (*p == ' ') std::strncpy(record.text, p + 1, EVENT_TEXT_SIZE - 1);
        host_event_queue_put(&record);
        // A full queue drops the event with error 291, which stays pending for the log.
        return "Y";
    }
    return SYNTAX_ERROR;
}

std::string command_exe(const char* args) {
    if (std::strcmp(args, "QUIT") == 0) {
        server_quit();
        return yes_no();
    }
    if (std::strcmp(args, "RESET") == 0) {
        server_reset();
        return yes_no();
    }
    if (std::strcmp(args, "RESTART") == 0) {
        server_restart();
        return yes_no();
    }
    if (starts_with(args, "SET_DATE ")) {
        std::int32_t day = clock_parse_date(args + 9);
        if (!error_pending()) clock_request_date(day);
        return yes_no();
    }
    if (starts_with(args, "SET_DATE_NO ")) {
        clock_request_date(decimal(args + 12));
        return yes_no();
    }
    if (starts_with(args, "SET_TIME ")) {
        std::int32_t time = clock_parse_time(args + 9);
        if (!error_pending()) clock_request_time(time);
        return yes_no();
    }
    if (starts_with(args, "SET_TIME_NO ")) {
        clock_request_time(decimal(args + 12));
        return yes_no();
    }
    if (starts_with(args, "DISPTEST ")) {
        display_test = decimal(args + 9);
        return yes_no();
    }
    if (starts_with(args, "IDTEST ")) {
        id_test = decimal(args + 7);
        return yes_no();
    }
    return SYNTAX_ERROR;
}

// ---- printer pass-through ----------------------------------------------------------------------

// Every command goes to the printer with its terminating zero.
void to_printer(int index, const char* command, char* answer, int size) {
    printer_command_answer(index, command, static_cast<int>(std::strlen(command)) + 1, answer, size);
}

// "<prefix><rest>" in the 100-byte command buffer; false when it does not fit.
bool compose(char (&command)[PRINTER_COMMAND_SIZE], const char* prefix, const char* rest) {
    int n = std::snprintf(command, sizeof command, "%s%s", prefix, rest);
    return n >= 0 && n < PRINTER_COMMAND_SIZE;
}

// After "PRODX..." or "PRODZ...": an answer "Y T" announces a report of T bytes, fetched with
// "RBUFF offset length" in pieces of at most 512 bytes, each written at its offset. The pieces
// replace the "Y" answer; any other answer is the answer itself. The buffer holds 2999 report
// bytes: a longer report is cut there (the last piece asked for is shortened to fit).
void read_report(int index, const char* command, char* buffer) {
    to_printer(index, command, buffer, PRINTER_ANSWER_SIZE);
    if (error_pending() || buffer[0] != 'Y') return;
    long total = std::strlen(buffer) >= 2 ? std::strtol(buffer + 2, nullptr, 10) : 0;
    if (total > PRINTER_ANSWER_SIZE - 1) total = PRINTER_ANSWER_SIZE - 1;
    buffer[0] = '\0';
    int offset = 0;
    while (total > 0) {
        int piece = total < REPORT_PIECE ? static_cast<int>(total) : REPORT_PIECE;
        char rbuff[PRINTER_COMMAND_SIZE];
        std::snprintf(rbuff, sizeof rbuff, "RBUFF %d %d", offset, piece);
        to_printer(index, rbuff, buffer + offset, PRINTER_ANSWER_SIZE - offset);
        if (error_pending()) return;
        offset += piece;
        total -= piece;
    }
}

// "SX" and "SZ" reports depend on the printer's firmware, told by its version answer: "78."
// printers take "S1X"/"S2X" halves (and "SZ" as it is), "85." printers buffer the report
// ("PRODX"/"PRODZ") for "RBUFF". Other printers: the version answer is the answer.
std::string printer_pass_through(int index, const char* command) {
    std::string first(PRINTER_ANSWER_SIZE, '\0');
    const bool sx = starts_with(command, "SX");
    const bool sz = !sx && starts_with(command, "SZ");
    if (!sx && !sz) {
        to_printer(index, command, first.data(), PRINTER_ANSWER_SIZE);
    } else {
        printer_command_answer(index, "GV", 3, first.data(), PRINTER_ANSWER_SIZE);
        const char* rest = command + 2;
        const bool mk78 = !error_pending() && std::strstr(first.c_str(), "78.") != nullptr;
        const bool mk85 = !error_pending() && !mk78 && std::strstr(first.c_str(), "85.") != nullptr;
        char composed[PRINTER_COMMAND_SIZE];
        if (mk78 && sz) {
            to_printer(index, command, first.data(), PRINTER_ANSWER_SIZE);
        } else if (mk78) {
            if (!compose(composed, "S1X", rest)) return "N";
            to_printer(index, composed, first.data(), PRINTER_ANSWER_SIZE);
            if (!error_pending()) {
                std::string second(PRINTER_ANSWER_SIZE, '\0');
                compose(composed, "S2X", rest);
                to_printer(index, composed, second.data(), PRINTER_ANSWER_SIZE);
                // The joined halves are cut to the answer buffer.
                std::size_t have = std::strlen(first.c_str());
                std::size_t add = std::strlen(second.c_str());
                std::size_t room = PRINTER_ANSWER_SIZE - 1 - have;
                std::memcpy(first.data() + have, second.data(), add < room ? add : room);
                first[have + (add < room ? add : room)] = '\0';
            }
        } else if (mk85) {
            if (!compose(composed, sx ? "PRODX" : "PRODZ", rest)) return "N";
            read_report(index, composed, first.data());
        }
    }
    if (error_pending()) return "N Error";
    return first.c_str();
}

std::string command_fprn(const char* args) {
    int n = 0;
    const char* command = unit_argument(args, &n);
    if (!command) return PRINTER_OUT_OF_RANGE;
    return printer_pass_through(n - 1, command);
}

// ---- settings ----------------------------------------------------------------------------------

struct SettingArgs {
    std::string app;
    std::string key;
    const char* rest;
};

// "app key rest": app up to the first blank, key up to the second, the rest after it (blanks and
// all). False when fewer than two blanks follow.
bool split_setting(const char* args, SettingArgs* out) {
    const char* first = std::strchr(args, ' ');
    if (!first) return false;
    const char* second = std::strchr(first + 1, ' ');
    if (!second) return false;
    out->app.assign(args, static_cast<std::size_t>(first - args));
    out->key.assign(first + 1, static_cast<std::size_t>(second - first - 1));
    out->rest = second + 1;
    return true;
}

// A key name as the settings file knows it: letters, digits and "_". Anything else written at the
// start of a line could end the section ("[") or be taken for another key ("A=B" reads as "A").
bool key_name_acceptable(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!is_letter(u) && !is_digit(u) && u != '_') return false;
    }
    return true;
}

// What "SETS" and "SETR" may write without breaking the file's lines and sections.
bool writable(const SettingArgs& s) {
    return ini_app_name_acceptable(s.app.c_str()) && key_name_acceptable(s.key) &&
           std::strpbrk(s.rest, "\r\n") == nullptr;
}

std::string command_sets(const char* args) {
    SettingArgs s;
    if (!split_setting(args, &s) || !writable(s)) return "N";
    ini_put_string(s.app.c_str(), s.key.c_str(), s.rest, INI_FILE);
    return yes_no();
}

std::string command_setr(const char* args) {
    SettingArgs s;
    if (!split_setting(args, &s) || !writable(s)) return "N";
    char answer[INI_ANSWER_MAX];
    ini_put_checked(s.app.c_str(), s.key.c_str(), s.rest, answer, INI_FILE);
    if (error_pending()) return "N";
    return answer;
}

// Errors raised by a settings read are forgotten: the recorded texts since `recorded` go, and
// nothing is pending (the session started with no error pending).
void forget_errors_since(int recorded) {
    while (error_recorded_count() > recorded)
        error_drop_last();
    error_set_pending(0);
}

// "SETG" and "SEGR": the value, read into a buffer of the given size (<= 0 or > 20000: 1 byte);
// "SEGR" appends the key's declared range, " 0 0" when none was declared.
std::string command_read(const char* args, bool with_range) {
    SettingArgs s;
    if (!split_setting(args, &s) || !ini_app_name_acceptable(s.app.c_str())) return "N";
    long size = std::strtol(s.rest, nullptr, 10);
    if (size <= 0 || size > SETTING_SIZE_MAX) size = 1;
    std::string value(static_cast<std::size_t>(size), '\0');
    const int recorded = error_recorded_count();
    ini_get_existing_string(s.app.c_str(), s.key.c_str(), value.data(), static_cast<int>(size), INI_FILE);
    forget_errors_since(recorded);
    value.resize(std::strlen(value.c_str()));
    if (!with_range) return value;
    if (value.empty()) value = "0";
    std::int32_t min = 0;
    std::int32_t max = 0;
    ini_get_range(s.app.c_str(), s.key.c_str(), &min, &max);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, " %ld %ld", static_cast<long>(min), static_cast<long>(max));
    return value + suffix;
}

std::string execute(Keyword keyword, const char* args) {
    switch (keyword) {
    case KW_DISP:
        return command_disp(args);
    case KW_EVENT:
        return command_event(args);
    case KW_EXE:
        return command_exe(args);
    case KW_FPRN:
        return command_fprn(args);
    case KW_GV:
        return server_version();
    case KW_SETS:
        return command_sets(args);
    case KW_SETR:
        return command_setr(args);
    case KW_SETG:
        return command_read(args, false);
    case KW_SEGR:
        return command_read(args, true);
    case KW_CARD: // reserved
    case KW_NONE:
    case KW_EMPTY:
        break;
    }
    return SYNTAX_ERROR;
}

} // namespace

// A pending error is set aside while the line is served and comes back unless the command raised
// one of its own; that one stays pending for the main loop to log.
void host_session(const char* line) {
    const int remembered = error_pending();
    error_set_pending(0);
    error_set_step("Manager, Host Session: ", host_current_index() + 1);
    if (host_current_slot()->ops.status() & HOST_STATUS_SERVING) {
        const std::string copy = line ? line : "";
        const char* cursor = copy.c_str();
        Keyword keyword = match_keyword(&cursor);
        // An empty line is not answered and its flag stays set.
        if (keyword != KW_EMPTY) {
            if (*cursor == ' ') ++cursor;
            host_answer(execute(keyword, cursor).c_str());
            host_current_slot()->ops.clear_status(HOST_STATUS_SERVING);
        }
    }
    error_set_step("Manager, Host Session finished: ", 0);
    if (!error_pending()) error_set_pending(remembered);
}

void host_answer(const char* text) {
    host_answer_len(text, static_cast<int>(std::strlen(text)) + 1);
}

void host_answer_len(const char* text, int length) {
    host_current_slot()->ops.answer(text, length);
}

int host_session_display_test() {
    return display_test;
}
int host_session_id_test() {
    return id_test;
}
