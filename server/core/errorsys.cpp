#include "server/core/errorsys.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "server/core/fatal.h"
#include "server/core/inisys.h"
#include "server/core/utils.h"
#include "server/core/version.h"

namespace {

const char* const SOURCE = "_SOURCE\\errorsys_a";

struct ErrorEntry {
    std::uint16_t flags; // bit 0: off; bits 1..15: BUNCH value
    std::int32_t sequence;
    std::int32_t bunch_count;
    std::int32_t last_cycle;
    std::int32_t count;
};

struct Recorded {
    int number; // 0 = free
    char text[ERROR_TEXT_MAX];
    const char* step_text;
    int step_value;
    int cycle;
};

ErrorEntry table[ERROR_MAX];
// Used entries first, free ones after them, as the original singly linked list keeps them.
Recorded recorded[ERROR_RECORDED_MAX];
int recorded_used = 0;

int pending = 0;
const char* step_text = "";
int step_value = 0;
int cycle = 0;
bool busy = false;
int write_status = 0;
char version_text[40] = "";
long file_max = 5000;
const char* const DEFAULT_LOG = "LOG/ERROR.LOG";
const char* const DEFAULT_OLD = "LOG/ERROR.OLD";
char log_name[PATH_MAX] = "LOG/ERROR.LOG";
char old_name[PATH_MAX] = "LOG/ERROR.OLD";

ErrorEntry& entry_of(int number) {
    NV_ASSERT(number >= 1 && number <= ERROR_MAX);
    return table[number - 1];
}

int bunch_of(const ErrorEntry& e) { return e.flags >> 1; }

// Steps 1-6 of raising: count, make pending, take a free recorded entry unless off or busy.
Recorded* raise(int number, const char* format) {
    NV_ASSERT(number >= 1 && number <= ERROR_MAX);
    NV_ASSERT(std::strlen(format) < ERROR_STRING_MAX / 2);
    ErrorEntry& e = entry_of(number);
    ++e.count;
    pending = number;
    if ((e.flags & 1) || busy || recorded_used >= ERROR_RECORDED_MAX)
        return nullptr;
    Recorded* r = &recorded[recorded_used++];
    r->number = number;
    r->text[0] = '\0';
    r->step_text = step_text;
    r->step_value = step_value;
    r->cycle = cycle;
    return r;
}

void append(char* text, const char* more) {
    std::size_t used = std::strlen(text);
    std::size_t room = ERROR_TEXT_MAX - 1 - used;
    std::size_t n = std::strlen(more);
    if (n > room)
        n = room;
    std::memcpy(text + used, more, n);
    text[used + n] = '\0';
}

void append_v(char* text, const char* format, va_list args) {
    std::size_t used = std::strlen(text);
    std::vsnprintf(text + used, ERROR_TEXT_MAX - used, format, args);
}

// The recorded text: head, the formatted text, tail; cut to 399 characters.
void fill(Recorded* r, const char* head, const char* format, va_list args, const char* tail) {
    busy = true;
    append(r->text, head);
    append_v(r->text, format, args);
    append(r->text, tail);
    busy = false;
}

// Answers true when the entry is to be written; updates the table entry either way.
bool filter(const Recorded& r) {
    ErrorEntry& e = entry_of(r.number);
    if (e.sequence != 0 && std::abs(r.cycle - e.last_cycle) >= e.sequence) {
        e.last_cycle = r.cycle;
        return false;
    }
    e.last_cycle = r.cycle;
    int bunch = bunch_of(e);
    if (bunch == 0 || e.bunch_count >= bunch)
        return true;
    ++e.bunch_count;
    return false;
}

void put(std::FILE* f, int status, const char* text) {
    if (write_status != 0)
        return;
    if (std::fputs(text, f) < 0)
        write_status = status;
}

// Copies the log over the old log and empties it. Returns the reopened log, or null.
std::FILE* rotate(std::FILE* log) {
    std::FILE* old = std::fopen(old_name, "w+b");
    if (!old) {
        write_status = 6;
        std::fclose(log);
        return nullptr;
    }
    std::fseek(log, 0, SEEK_END);
    long length = std::ftell(log);
    std::string buffer(static_cast<std::size_t>(length > 0 ? length : 0) + 10, '\0');
    std::rewind(log);
    std::size_t got = std::fread(buffer.data(), 1, static_cast<std::size_t>(length > 0 ? length : 0), log);
    if (static_cast<long>(got) != length)
        write_status = 6;
    if (write_status == 0 && std::fwrite(buffer.data(), 1, got, old) != got)
        write_status = 7;
    if (std::fclose(old) != 0 && write_status == 0)
        write_status = 8;
    if (std::fclose(log) != 0 && write_status == 0)
        write_status = 8;
    if (write_status != 0)
        return nullptr;
    std::FILE* fresh = std::fopen(log_name, "w+b");
    if (!fresh)
        write_status = 5;
    return fresh;
}

// Writes the group of recorded entries from `start` on. Lines end with CR LF.
void write_group(int start) {
    write_status = 0;
    // Errors of the opening itself are flushed before the log's folder was made: make it here.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(log_name).parent_path(), ignored);
    std::FILE* log = std::fopen(log_name, "a+b");
    if (!log) {
        write_status = 0; // status 4: nothing more of this group can be written
        return;
    }
    std::fseek(log, 0, SEEK_END);
    if (std::ftell(log) > file_max) {
        log = rotate(log);
        if (!log) {
            write_status = 0;
            return;
        }
    }
    platform::LocalTime t = platform::local_time();
    char line[ERROR_TEXT_MAX + 100];
    std::snprintf(line, sizeof line, "< %02d-%02d-%02d %02d:%02d:%02d.%03d %s >\r\n", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond / 10, version_text);
    put(log, 1, line);
    const char* previous_step = nullptr;
    for (int i = start; i < recorded_used; ++i) {
        const Recorded& r = recorded[i];
        if (i == start || r.step_text != previous_step) {
            NV_ASSERT(std::strlen(r.step_text) < TAG_ERROR_MAX);
            if (r.step_value != 0)
                std::snprintf(line, sizeof line, "%s  %d\r\n", r.step_text, r.step_value);
            else
                std::snprintf(line, sizeof line, "%s\r\n", r.step_text);
            put(log, 2, line);
            previous_step = r.step_text;
        }
        std::snprintf(line, sizeof line, "  %4d:%010ld(%04d) %s\r\n", r.number,
                      static_cast<long>(entry_of(r.number).count), cycle, r.text);
        put(log, 2, line);
    }
    put(log, 3, "-----\r\n");
    std::fclose(log);
    write_status = 0;
}

void take_version() {
    const char* v = server_version();
    while (*v && (*v < '0' || *v > '9'))
        ++v;
    std::size_t n = 0;
    while (v[n] && v[n] != '\n' && n < sizeof version_text - 1)
        ++n;
    std::memcpy(version_text, v, n);
    version_text[n] = '\0';
}

// Reads a from-to=value setting into the table; `apply` stores one value.
template <typename Apply>
void read_value_sets(const char* key, int line, int number, const char* message, Apply apply) {
    char def[32];
    std::snprintf(def, sizeof def, "1-%d=0", ERROR_MAX);
    char* text = ini_get_copy("ERROR", key, def, INI_FILE);
    if (!text)
        return;
    const char* cursor = text;
    while (!error_pending() && *cursor) {
        int from = 0, to = 0, value = 0;
        cursor = from_to_next(cursor, &from, &to, &value);
        if (error_pending())
            break;
        if (from == 0 || to == 0 || from > to || from > ERROR_MAX || to > ERROR_MAX) {
            error_report(SOURCE, line, number, "%s", message);
            break;
        }
        for (int n = from; n <= to; ++n)
            apply(table[n - 1], value);
    }
    mem_free(&text);
}

} // namespace

int error_report(const char* source, int line, int number, const char* format, ...) {
    Recorded* r = raise(number, format);
    if (!r)
        return entry_of(number).count;
    char head[120];
    std::snprintf(head, sizeof head, "<%s:%d> \"", source, line);
    va_list args;
    va_start(args, format);
    fill(r, head, format, args, "\"");
    va_end(args);
    return 0;
}

void error_message(const char* source, int line, int number, const char* format, ...) {
    int before = pending;
    Recorded* r = raise(number, format);
    if (!r) {
        pending = before;
        return;
    }
    char head[120];
    std::snprintf(head, sizeof head, "<%s:%d> Message: ", source, line);
    va_list args;
    va_start(args, format);
    fill(r, head, format, args, "");
    va_end(args);
    int newest = recorded_used - 1;
    if (filter(recorded[newest]))
        write_group(newest);
    error_drop_last();
    // A message leaves the pending state as it found it, also when the pending error recorded no text.
    if (recorded_used == 0)
        pending = before;
}

void error_api(const char* source, int line, int number, const char* format, ...) {
    int code = errno;
    Recorded* r = raise(number, format);
    if (!r)
        return;
    // The system's text is cut with what precedes it to 200 characters, then loses its line breaks.
    char system_text[201];
    std::snprintf(system_text, sizeof system_text, "<%s:%d> \"API error '%s", source, line, std::strerror(code));
    std::string head;
    for (const char* p = system_text; *p; ++p)
        if (*p != '\r' && *p != '\n')
            head += *p;
    char code_text[32];
    std::snprintf(code_text, sizeof code_text, "(%d)' at ", code);
    head += code_text;
    va_list args;
    va_start(args, format);
    fill(r, head.c_str(), format, args, "\"");
    va_end(args);
}

int error_pending() { return pending; }

void error_set_step(const char* text, int value) {
    step_text = text;
    step_value = value;
}

void error_next_cycle() { cycle = cycle >= 9999 ? 0 : cycle + 1; }

int error_cycle() { return cycle; }

void error_flush() {
    if (!pending)
        return;
    bool all_pass = true;
    for (int i = 0; i < recorded_used; ++i)
        if (!filter(recorded[i]))
            all_pass = false;
    if (all_pass)
        write_group(0);
    error_discard();
}

void error_discard() {
    if (busy)
        return;
    for (int i = 0; i < recorded_used; ++i)
        recorded[i].number = 0;
    recorded_used = 0;
    pending = 0;
}

void error_drop_last() {
    if (busy)
        return;
    if (recorded_used > 0)
        recorded[--recorded_used].number = 0;
    pending = recorded_used > 0 ? recorded[recorded_used - 1].number : 0;
}

void error_set_pending(int number) {
    NV_ASSERT(number >= 0 && number <= ERROR_MAX);
    pending = number;
}

void error_open() {
    if (busy)
        return;
    if (pending)
        error_flush();
    busy = true;
    write_status = 0;
    std::memset(table, 0, sizeof table);

    file_max = static_cast<long>(ini_get_number("ERROR", "FILE_MAX", 5000, 500, 500000, INI_FILE));
    read_value_sets("BUNCH", 151, 138, "INI file, read error BUNCH, 'from-to=equal' index out of bounds in error ref.",
                    [](ErrorEntry& e, int value) {
                        int bunch = value < 0 ? 0 : (value > 0x7FFF ? 0x7FFF : value);
                        e.flags = static_cast<std::uint16_t>((e.flags & 1) | (bunch << 1));
                    });
    read_value_sets("SEQUENCE", 186, 234,
                    "INI file, read error SEQUENCE, 'from-to=equal' index out of bounds in error ref.",
                    [](ErrorEntry& e, int value) { e.sequence = value; });

    if (!error_pending()) {
        int numbers[500];
        int n = from_to_numbers("ERROR", "OFF", "", numbers, 500, INI_FILE);
        for (int i = 0; i < n && !error_pending(); ++i) {
            if (numbers[i] > ERROR_MAX || numbers[i] <= 0) {
                error_report(SOURCE, 118, 137, "INI file, read error off, error number out of bounds in error ref.");
                break;
            }
            table[numbers[i] - 1].flags |= 1;
        }
    }

    char name[81];
    if (!error_pending()) {
        ini_get_string("FILES", "ERROR_LOG", "LOG\\ERROR.LOG", name, sizeof name, INI_FILE);
        std::snprintf(log_name, sizeof log_name, "%s", name);
        make_path_dirs(log_name, sizeof log_name);
    }
    if (!error_pending()) {
        ini_get_string("FILES", "ERROR_LOG_OLD", "LOG\\ERROR.OLD", name, sizeof name, INI_FILE);
        std::snprintf(old_name, sizeof old_name, "%s", name);
        make_path_dirs(old_name, sizeof old_name);
    }
    take_version();
    busy = false;
}

void error_close() {
    if (busy)
        return;
    if (pending)
        error_flush();
    for (auto& r : recorded)
        r.number = 0;
    recorded_used = 0;
    std::memset(table, 0, sizeof table);
    // Until the next opening reads FILES, groups go to the default log of the current folder.
    std::snprintf(log_name, sizeof log_name, "%s", DEFAULT_LOG);
    std::snprintf(old_name, sizeof old_name, "%s", DEFAULT_OLD);
}

int error_recorded_count() { return recorded_used; }

const char* error_recorded_text(int index) {
    return index >= 0 && index < recorded_used ? recorded[index].text : nullptr;
}

int error_recorded_number(int index) { return index >= 0 && index < recorded_used ? recorded[index].number : 0; }

std::int32_t error_count(int number) { return entry_of(number).count; }
