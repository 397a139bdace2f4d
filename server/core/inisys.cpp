#include "server/core/inisys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "server/core/errorsys.h"
#include "server/core/fatal.h"
#include "server/core/utils.h"

namespace fs = std::filesystem;

namespace {

const char* const SOURCE_B = "_SOURCE\\inisys_b";
const char* const SOURCE_C = "_SOURCE\\inisys_c";

constexpr std::size_t LOAD_ROOM = 15000; // spare room of a fresh load
constexpr std::size_t ROOM_MARGIN = 300; // slack kept beyond every announced insertion
constexpr int SAVE_DELAY = 3;            // seconds from the last change to the save
constexpr int KEY_LINE_WIDTH = 17;       // key names are padded to this column, then "= "
constexpr int NUMBER_TEXT_MAX = 40;      // buffer for a numeric value read as text
constexpr int STEM_MAX = 60;
constexpr int KEY_MAX = 30;

// The cache. The text lies in [Ini_data, Ini_data_end) and is followed by a zero byte; the
// buffer holds Ini_data_max - Ini_data bytes of text plus that zero. The text may contain any
// byte, NUL included: every search is bounded by Ini_data_end, never by a terminator.
char* Ini_data = nullptr;
char* Ini_data_end = nullptr;
char* Ini_data_max = nullptr;
std::string Ini_file_name;
char Ini_app_name[APP_NAME_MAX] = "";
char* Ini_app = nullptr;     // one character after the "[" of the current section's header
char* Ini_app_end = nullptr; // after the LF of the section's last non-empty line
int Ini_save_delay = 0;

struct RangeKey {
    std::string key;
    std::int32_t min;
    std::int32_t max;
};

struct RangeStem {
    std::string stem;
    std::vector<RangeKey> keys; // sorted by key, at most KEY_MAX
};

// Sorted by stem, at most STEM_MAX; null until the first range is declared.
std::unique_ptr<std::vector<RangeStem>> Ranges;

// ---- file names -------------------------------------------------------------------------------

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// The file a settings name stands for: backslashes are separators, a drive letter is ignored,
// and the name is matched without regard to case inside its folder. A file that does not exist
// yet gets the upper-case name.
fs::path resolve_file(const std::string& requested, bool* exists) {
    std::string name = requested;
    if (name.size() >= 2 && name[1] == ':' && is_letter(static_cast<unsigned char>(name[0])))
        name.erase(0, 2);
    std::replace(name.begin(), name.end(), '\\', '/');
    fs::path path(name);
    fs::path folder = path.parent_path();
    std::string leaf = path.filename().string();
    fs::path search = folder.empty() ? fs::path(".") : folder;

    std::error_code ec;
    *exists = false;
    if (fs::exists(search / leaf, ec)) {
        *exists = true;
        return folder / leaf;
    }
    std::string best;
    for (fs::directory_iterator it(search, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (same_ignoring_case(entry, leaf) && (best.empty() || entry < best))
            best = entry;
    }
    if (!best.empty()) {
        *exists = true;
        return folder / best;
    }
    for (char& c : leaf)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return folder / leaf;
}

// ---- buffer -----------------------------------------------------------------------------------

std::size_t text_length() { return static_cast<std::size_t>(Ini_data_end - Ini_data); }

std::size_t room_left() { return static_cast<std::size_t>(Ini_data_max - Ini_data_end); }

void forget_section() {
    Ini_app = nullptr;
    Ini_app_end = nullptr;
    Ini_app_name[0] = '\0';
}

void drop_buffer() {
    mem_free(&Ini_data);
    Ini_data_end = nullptr;
    Ini_data_max = nullptr;
    Ini_save_delay = 0;
    Ini_file_name.clear();
    forget_section();
}

// A zero-filled buffer for `length` bytes of text and `room` more, as a load sizes it.
char* new_buffer(std::size_t length, std::size_t room, std::size_t* capacity) {
    *capacity = std::max(length / 20 * 21 + length % 20 * 21 / 20, length + room);
    return static_cast<char*>(mem_alloc_zero(*capacity + 1));
}

void mark_changed() { Ini_save_delay = SAVE_DELAY; }

// Writes the text with CR LF line ends into a new file beside the settings file and renames it
// over the old one, so that a crash while writing leaves the old file whole.
void write_file() {
    bool exists = false;
    fs::path target = resolve_file(Ini_file_name, &exists);
    std::error_code ec;
    if (exists && fs::is_symlink(target, ec))
        target = fs::canonical(target, ec);
    fs::path temp = target;
    temp += ".tmp";

    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        error_report(SOURCE_B, 565, 108, "Open settings file '%s' failed due to '%s'", Ini_file_name.c_str(),
                     std::strerror(errno));
        return;
    }
    bool ok = true;
    int code = 0;
    for (const char* p = Ini_data; ok && p < Ini_data_end;) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(Ini_data_end - p)));
        std::size_t n = static_cast<std::size_t>((lf ? lf : Ini_data_end) - p);
        if (n && std::fwrite(p, 1, n, f) != n)
            ok = false;
        if (ok && lf && std::fwrite("\r\n", 1, 2, f) != 2)
            ok = false;
        p += n + (lf ? 1 : 0);
    }
    if (ok && std::fflush(f) != 0)
        ok = false;
    if (!ok) {
        code = errno;
        error_report(SOURCE_B, 606, 110, "Save settings file '%s' failed due to '%s'", Ini_file_name.c_str(),
                     std::strerror(code));
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error_report(SOURCE_B, 551, 107, "Close settings file '%s' failed due to '%s'", Ini_file_name.c_str(),
                     std::strerror(errno));
    }
    if (ok && exists)
        fs::permissions(temp, fs::status(target, ec).permissions(), ec);
    if (ok) {
        fs::rename(temp, target, ec);
        if (ec) {
            ok = false;
            error_report(SOURCE_B, 606, 110, "Save settings file '%s' failed due to '%s'", Ini_file_name.c_str(),
                         ec.message().c_str());
        }
    }
    if (!ok)
        fs::remove(temp, ec);
    Ini_save_delay = 0;
}

// Writes the buffer when it holds changes, then drops it. A failed write drops it too: the file
// on disk is still whole, and the next operation loads it again.
void write_and_drop() {
    if (Ini_data && Ini_save_delay > 0)
        write_file();
    drop_buffer();
}

// Loads the file with `room` bytes of spare room. The file is created when missing and must be
// writable, so that a settings file that cannot be saved is found at the first read.
void load(const std::string& name, std::size_t room) {
    drop_buffer();
    bool exists = false;
    fs::path path = resolve_file(name, &exists);
    std::FILE* f = std::fopen(path.c_str(), exists ? "r+b" : "w+b");
    if (!f) {
        error_report(SOURCE_B, 565, 108, "Open settings file '%s' failed due to '%s'", name.c_str(),
                     std::strerror(errno));
        return;
    }
    long length = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        length = std::ftell(f);
    if (length < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        error_report(SOURCE_B, 579, 109, "Read settings file '%s' failed due to '%s'", name.c_str(),
                     std::strerror(errno));
        std::fclose(f);
        return;
    }
    std::size_t capacity = 0;
    char* data = new_buffer(static_cast<std::size_t>(length), room, &capacity);
    if (!data) {
        std::fclose(f);
        return;
    }
    std::size_t got = std::fread(data, 1, static_cast<std::size_t>(length), f);
    if (std::ferror(f)) {
        error_report(SOURCE_B, 579, 109, "Read settings file '%s' failed due to '%s'", name.c_str(),
                     std::strerror(errno));
        std::fclose(f);
        mem_free(&data);
        return;
    }
    NV_ASSERT(capacity >= got);

    // Text mode: CR LF becomes LF; a CR anywhere else is kept.
    std::size_t n = 0;
    for (std::size_t i = 0; i < got; ++i) {
        if (data[i] == '\r' && i + 1 < got && data[i + 1] == '\n')
            continue;
        data[n++] = data[i];
    }
    std::memset(data + n, 0, got - n);
    // The text always ends with an empty line.
    if (n == 0 || data[n - 1] != '\n')
        data[n++] = '\n';
    if (n < 2 || data[n - 2] != '\n')
        data[n++] = '\n';

    Ini_data = data;
    Ini_data_end = data + n;
    Ini_data_max = data + capacity;
    Ini_file_name = name;
    Ini_save_delay = 0;
    forget_section();
    if (std::fclose(f) != 0)
        error_report(SOURCE_B, 551, 107, "Close settings file '%s' failed due to '%s'", name.c_str(),
                     std::strerror(errno));
}

void select_file(const char* file) {
    if (Ini_data && Ini_file_name != file)
        write_and_drop();
    if (!Ini_data)
        load(file, LOAD_ROOM);
}

// Makes sure that n more bytes can be inserted. The buffer grows in memory to the capacity a
// fresh load with n + 15000 bytes of room would have; the current section keeps its offsets.
void make_room(std::size_t n) {
    if (!Ini_data || n + ROOM_MARGIN < room_left())
        return;
    std::size_t length = text_length();
    std::size_t capacity = 0;
    char* data = new_buffer(length, n + LOAD_ROOM, &capacity);
    if (!data)
        return;
    std::memcpy(data, Ini_data, length);
    std::ptrdiff_t app = Ini_app ? Ini_app - Ini_data : -1;
    std::ptrdiff_t app_end = Ini_app ? Ini_app_end - Ini_data : -1;
    mem_free(&Ini_data);
    Ini_data = data;
    Ini_data_end = data + length;
    Ini_data_max = data + capacity;
    if (app >= 0) {
        Ini_app = data + app;
        Ini_app_end = data + app_end;
    }
}

// Opens a gap of `delta` bytes at `at` (or closes one when negative), moving the rest of the text.
void shift_tail(char* at, std::ptrdiff_t delta) {
    if (delta > 0)
        NV_ASSERT(Ini_data_max - Ini_data_end >= delta);
    std::memmove(at + delta, at, static_cast<std::size_t>(Ini_data_end - at) + 1);
    Ini_data_end += delta;
    if (Ini_app_end && Ini_app_end >= at)
        Ini_app_end += delta;
}

// ---- sections and keys ------------------------------------------------------------------------

const char* find_bytes(const char* from, const char* to, std::string_view needle) {
    if (from >= to)
        return nullptr;
    std::string_view hay(from, static_cast<std::size_t>(to - from));
    std::size_t at = hay.find(needle);
    return at == std::string_view::npos ? nullptr : from + at;
}

// A line starts at the beginning of the text (after a UTF-8 byte order mark, if any) or after LF.
bool at_line_start(const char* p) {
    if (p == Ini_data)
        return true;
    if (p[-1] == '\n')
        return true;
    return p == Ini_data + 3 && std::memcmp(Ini_data, "\xEF\xBB\xBF", 3) == 0;
}

// Answers whether the current section `name` is in the text, and sets Ini_app and Ini_app_end.
bool find_section(const char* name) {
    if (!name[0]) {
        error_report(SOURCE_B, 402, 307, "Fatal program error, Tried to use a appname in the INI file with no length");
        return false;
    }
    NV_ASSERT(std::strlen(name) < APP_NAME_MAX - 10);
    if (Ini_app && std::strcmp(name, Ini_app_name) == 0)
        return true;
    std::snprintf(Ini_app_name, sizeof Ini_app_name, "%s", name);
    Ini_app = nullptr;
    Ini_app_end = nullptr;

    std::string header = std::string("[") + name + "]";
    const char* p = Ini_data;
    const char* found = nullptr;
    while ((p = find_bytes(p, Ini_data_end, header)) != nullptr) {
        if (at_line_start(p)) {
            found = p;
            break;
        }
        ++p;
    }
    if (!found)
        return false;

    // The section runs to the next line that starts with "[", less the empty lines before it.
    Ini_app = const_cast<char*>(found) + 1;
    const char* next = find_bytes(Ini_app, Ini_data_end, "\n[");
    const char* stop = next ? next + 1 : Ini_data_end;
    while (stop > Ini_app && stop[-1] == '\n')
        --stop;
    // stop is just after the last non-LF character; the section ends after the LF that follows.
    Ini_app_end = const_cast<char*>(std::min(stop + 1, static_cast<const char*>(Ini_data_end)));
    return true;
}

void add_section(const char* name) {
    std::size_t len = std::strlen(name);
    make_room(len + 5);
    if (error_pending())
        return;
    std::ptrdiff_t line = static_cast<std::ptrdiff_t>(len + 5);
    NV_ASSERT(Ini_data_max - Ini_data_end >= line);
    char* at = Ini_data_end;
    at[0] = '[';
    std::memcpy(at + 1, name, len);
    std::memcpy(at + 1 + len, "]\n\n\n", 4);
    Ini_data_end += line;
    *Ini_data_end = '\0';
    Ini_app = at + 1;
    Ini_app_end = Ini_data_end - 1;
    mark_changed();
}

bool is_name_char(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return is_letter(u) || is_digit(u) || u == '_';
}

// The value position (one after "=") of key in the current section, or null when the key is
// missing. The "=" must be on the key's own line: a key line without one is error 106 rather
// than taking the value of a line below it.
char* find_key(const char* key) {
    std::size_t len = std::strlen(key);
    const char* p = Ini_app;
    while ((p = find_bytes(p, Ini_data_end, key)) != nullptr && p < Ini_app_end) {
        const char* after = p + len;
        if (p[-1] == '\n' && (after >= Ini_data_end || !is_name_char(*after))) {
            const char* line_end = static_cast<const char*>(
                std::memchr(after, '\n', static_cast<std::size_t>(Ini_data_end - after)));
            if (!line_end)
                line_end = Ini_data_end;
            const char* eq = static_cast<const char*>(std::memchr(after, '=', static_cast<std::size_t>(line_end - after)));
            if (!eq) {
                error_report(SOURCE_B, 330, 106, "Please check settings file, could not find '=' after '%s'", key);
                return nullptr;
            }
            return const_cast<char*>(eq + 1);
        }
        ++p;
    }
    return nullptr;
}

// A value never spans lines: it ends at the first CR, LF or zero byte.
std::size_t value_length(const char* value) { return std::strcspn(value, "\r\n"); }

// Inserts "KEY<blanks>= value" at the end of the current section; returns the value position.
char* add_key(const char* key, const char* value) {
    std::size_t key_len = std::strlen(key);
    if (key_len > KEY_NAME_MAX) {
        error_report(SOURCE_B, 347, 313,
                     "Fatal program error, Tried to use a keyname '%s' in the INI file with too long length", key);
        return nullptr;
    }
    std::size_t val_len = value_length(value);
    make_room(val_len + 20);
    if (error_pending())
        return nullptr;
    std::size_t line = KEY_LINE_WIDTH + 2 + val_len + 1;
    char* at = Ini_app_end;
    shift_tail(at, static_cast<std::ptrdiff_t>(line));
    std::memset(at, ' ', KEY_LINE_WIDTH);
    std::memcpy(at, key, key_len);
    at[KEY_LINE_WIDTH] = '=';
    at[KEY_LINE_WIDTH + 1] = ' ';
    std::memcpy(at + KEY_LINE_WIDTH + 2, value, val_len);
    at[line - 1] = '\n';
    mark_changed();
    return at + KEY_LINE_WIDTH + 1;
}

// Copies the value at pos into out (size bytes): leading spaces skipped, ending at LF or ";",
// trailing spaces and tabs dropped. A longer value is cut, with message 232.
void copy_value(const char* pos, char* out, int size) {
    while (pos < Ini_data_end && *pos == ' ')
        ++pos;
    const char* end = pos;
    while (end < Ini_data_end && *end != '\n' && *end != ';')
        ++end;
    while (end > pos && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    std::size_t len = static_cast<std::size_t>(end - pos);
    std::size_t keep = std::min(len, static_cast<std::size_t>(size - 1));
    std::memcpy(out, pos, keep);
    out[keep] = '\0';
    if (keep < len)
        error_message(SOURCE_B, 296, 232, "Text line in setting file under '[%s]' is '%d' long, trucated to '%d'",
                      Ini_app_name, static_cast<int>(std::min<std::size_t>(len, 0x7FFFFFFF)), size - 1);
}

// The first steps of a read or a write: select the file, make room for `room` bytes, and find
// the section or add it. Answers false when an error stopped them.
bool enter_section(const char* app, std::size_t room, const char* file) {
    select_file(file);
    if (!error_pending())
        make_room(room);
    if (!error_pending() && !find_section(app) && !error_pending())
        add_section(app);
    return !error_pending();
}

// ---- ranges -----------------------------------------------------------------------------------

// The section name cut after its last letter: "PRINTER_SETTING_12" -> "PRINTER_SETTING".
std::string stem_of(const char* app) {
    std::size_t n = strnlen(app, APP_NAME_MAX);
    while (n > 0 && !is_letter(static_cast<unsigned char>(app[n - 1])))
        --n;
    return std::string(app, n);
}

RangeStem* find_stem(const std::string& stem) {
    if (!Ranges)
        return nullptr;
    auto it = std::lower_bound(Ranges->begin(), Ranges->end(), stem,
                               [](const RangeStem& s, const std::string& v) { return s.stem < v; });
    return it != Ranges->end() && it->stem == stem ? &*it : nullptr;
}

RangeKey* find_range(const char* app, const char* key) {
    RangeStem* s = find_stem(stem_of(app));
    if (!s)
        return nullptr;
    std::string k(key);
    auto it = std::lower_bound(s->keys.begin(), s->keys.end(), k,
                               [](const RangeKey& e, const std::string& v) { return e.key < v; });
    return it != s->keys.end() && it->key == k ? &*it : nullptr;
}

// One key has one range throughout the program: declaring it again with other limits is a fault
// of the server's own code.
void declare_range(const char* app, const char* key, std::int32_t min, std::int32_t max) {
    if (!Ranges) {
        Ranges = std::make_unique<std::vector<RangeStem>>();
        Ranges->reserve(STEM_MAX);
    }
    std::string stem = stem_of(app);
    if (RangeKey* pek = find_range(app, key)) {
        NV_ASSERT(pek->min == min);
        NV_ASSERT(pek->max == max);
        return;
    }
    RangeStem* s = find_stem(stem);
    bool failed = false;
    if (!s) {
        if (Ranges->size() >= STEM_MAX) {
            error_report(SOURCE_C, 302, 305, "Settings file, new appname failed for '[%s]', no more room", stem.c_str());
            failed = true;
        } else {
            auto it = std::lower_bound(Ranges->begin(), Ranges->end(), stem,
                                       [](const RangeStem& e, const std::string& v) { return e.stem < v; });
            s = &*Ranges->insert(it, RangeStem{stem, {}});
        }
    }
    if (s) {
        if (s->keys.size() >= KEY_MAX) {
            error_report(SOURCE_C, 327, 306, "Settings file, add key failed, no more room");
            failed = true;
        } else {
            std::string k(key);
            auto it = std::lower_bound(s->keys.begin(), s->keys.end(), k,
                                       [](const RangeKey& e, const std::string& v) { return e.key < v; });
            s->keys.insert(it, RangeKey{k, min, max});
        }
    }
    if (failed)
        error_report(SOURCE_C, 239, 304, "Settings file, add range key failed for '[%s]' , '%s'", stem.c_str(), key);
}

std::int32_t to_number(const char* text) {
    const char* cursor = text;
    return static_cast<std::int32_t>(scan_number(&cursor));
}

} // namespace

char* ini_get_string(const char* app, const char* key, const char* def, char* out, int size, const char* file) {
    NV_ASSERT(size > 0);
    out[0] = '\0';
    if (error_pending() || !enter_section(app, static_cast<std::size_t>(size), file))
        return out;
    char* pos = find_key(key);
    if (error_pending())
        return out;
    if (!pos)
        pos = add_key(key, def ? def : "");
    if (!pos)
        return out;
    copy_value(pos, out, size);
    return out;
}

char* ini_get_existing_string(const char* app, const char* key, char* out, int size, const char* file) {
    NV_ASSERT(size > 0);
    out[0] = '\0';
    if (error_pending())
        return out;
    select_file(file);
    if (error_pending())
        return out;
    char* pos = find_section(app) ? find_key(key) : nullptr;
    if (error_pending())
        return out;
    if (!pos) {
        error_report(SOURCE_B, 75, 308, "Please check settings file, ini get string could not find '[%s]','%s'.", app,
                     key);
        return out;
    }
    copy_value(pos, out, size);
    return out;
}

std::uint32_t ini_get_number(const char* app, const char* key, std::int32_t def, std::int32_t min, std::int32_t max,
                             const char* file) {
    if (error_pending())
        return 0;
    declare_range(app, key, min, max);
    if (error_pending())
        return 0;
    char def_text[16];
    std::snprintf(def_text, sizeof def_text, "%d", static_cast<int>(def));
    char text[NUMBER_TEXT_MAX];
    ini_get_string(app, key, def_text, text, sizeof text, file);
    if (error_pending())
        return 0;
    std::uint32_t value = static_cast<std::uint32_t>(to_number(text));
    std::uint32_t umin = static_cast<std::uint32_t>(min);
    std::uint32_t umax = static_cast<std::uint32_t>(max);
    if (umax < value) {
        error_report(SOURCE_B, 672, 111,
                     "Read settings for '[%s]' value '%s = %u' above max value '%u', corrected to max value, Please "
                     "check settings",
                     app, key, value, umax);
        return umax;
    }
    if (value < umin) {
        error_report(SOURCE_B, 678, 112,
                     "Read settings for '[%s]' value '%s = %u' belove min value '%u', corrected to min value, Please "
                     "check settings",
                     app, key, value, umin);
        return umin;
    }
    return value;
}

void ini_put_string(const char* app, const char* key, const char* value, const char* file) {
    if (error_pending())
        return;
    if (!value)
        value = "";
    std::size_t val_len = value_length(value);
    if (!enter_section(app, val_len + 1, file))
        return;
    char* pos = find_key(key);
    if (error_pending())
        return;
    if (!pos)
        pos = add_key(key, value);
    if (!pos)
        return;

    // The old value runs to LF or ";": a comment after it stays, the blanks before it go.
    char* old_end = pos;
    while (old_end < Ini_data_end && *old_end != '\n' && *old_end != ';')
        ++old_end;
    // The room made above covers the growth: an existing key only gains the value and a blank,
    // and a key just added already holds the value.
    shift_tail(old_end, static_cast<std::ptrdiff_t>(val_len + 1) - (old_end - pos));
    pos[0] = ' ';
    std::memcpy(pos + 1, value, val_len);
    mark_changed();
}

void ini_put_checked(const char* app, const char* key, const char* value, char* answer, const char* file) {
    ini_check_range(app, key, value, answer);
    if (std::strcmp(answer, "Y") == 0)
        ini_put_string(app, key, value, file);
}

void ini_check_range(const char* app, const char* key, const char* value, char* answer) {
    answer[0] = '\0';
    if (error_pending())
        return;
    const RangeKey* r = find_range(app, key);
    std::int32_t v = to_number(value ? value : "");
    if (!r || (v >= r->min && v <= r->max))
        std::snprintf(answer, INI_ANSWER_MAX, "Y");
    else
        std::snprintf(answer, INI_ANSWER_MAX, "%ld - %ld", static_cast<long>(r->min), static_cast<long>(r->max));
}

int ini_get_range(const char* app, const char* key, std::int32_t* min, std::int32_t* max) {
    *min = 0;
    *max = 0;
    if (error_pending())
        return 0;
    const RangeKey* r = find_range(app, key);
    if (!r)
        return 0;
    *min = r->min;
    *max = r->max;
    return 1;
}

// Runs also while an error is pending: the closing main loop must always drop the cache.
void ini_close() {
    write_and_drop();
    Ranges.reset();
}

void ini_second_tick() {
    if (error_pending() || Ini_save_delay <= 0)
        return;
    if (--Ini_save_delay == 0) {
        write_file();
        drop_buffer();
    }
}

bool ini_app_name_acceptable(const char* app) {
    if (!app || !app[0])
        return false;
    std::size_t n = strnlen(app, APP_NAME_MAX);
    if (n >= APP_NAME_MAX - 10)
        return false;
    return std::strpbrk(app, "]\r\n") == nullptr;
}
