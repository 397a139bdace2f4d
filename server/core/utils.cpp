#include "server/core/utils.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"

namespace fs = std::filesystem;

namespace {

const char* const SOURCE = "_SOURCE\\utils_a";

constexpr int FROM_TO_TEXT_MAX = 400; // characters of a from-to setting
constexpr int COPY_TEXT_MAX = 499;    // characters of ini_get_copy

const char* const FROM_TO_FAILED = "INI file, read SETTINGS, a set of 'from-to' failed in string '%s', syntax error.";

// Calls item(from, to) for every item of a list "1-5,8,10-12". Whatever follows an item's numbers
// up to its "," is passed over; blanks around the items are allowed.
template <typename Item> void for_each_list_item(const char* text, Item item) {
    const char* p = text;
    for (;;) {
        skip_blanks(&p);
        if (!*p)
            break;
        long from = scan_number(&p);
        long to = from;
        skip_blanks(&p);
        if (*p == '-') {
            ++p;
            to = scan_number(&p);
        }
        item(from, to);
        while (*p && *p != ',')
            ++p;
        if (*p == ',')
            ++p;
    }
}

} // namespace

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool is_letter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int skip_blanks(const char** cursor) {
    int n = 0;
    while (is_blank(static_cast<unsigned char>(**cursor))) {
        ++*cursor;
        ++n;
    }
    return n;
}

void skip_letters(const char** cursor) {
    while (is_letter(static_cast<unsigned char>(**cursor)) || **cursor == '_')
        ++*cursor;
}

void skip_digits(const char** cursor) {
    while (is_digit(static_cast<unsigned char>(**cursor)))
        ++*cursor;
}

void skip_name(const char** cursor) {
    while (is_letter(static_cast<unsigned char>(**cursor)) || is_digit(static_cast<unsigned char>(**cursor)) ||
           **cursor == '_')
        ++*cursor;
}

// The value saturates at the limits of a 32-bit long, as the system's conversion does.
long scan_number(const char** cursor) {
    const char* p = *cursor;
    while (is_blank(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    std::int64_t value = 0;
    while (is_digit(static_cast<unsigned char>(*p))) {
        if (value <= INT32_MAX)
            value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        value = INT32_MAX;
    if (value < INT32_MIN)
        value = INT32_MIN;
    // The cursor moves over blanks and digits only: a sign stops it.
    skip_blanks(cursor);
    skip_digits(cursor);
    return static_cast<long>(value);
}

int scan_char(int c, const char** cursor) {
    if (error_pending() || **cursor != c || c == '\0')
        return 0;
    ++*cursor;
    return 1;
}

void from_to_flags(const char* app, const char* key, const char* def, char* flags, int size, const char* file) {
    if (error_pending())
        return;
    char text[FROM_TO_TEXT_MAX + 1];
    ini_get_string(app, key, def, text, sizeof text, file);
    if (error_pending())
        return;
    if (size > 0)
        std::memset(flags, 0, static_cast<std::size_t>(size));
    for_each_list_item(text, [&](long from, long to) {
        if (from < 1 || to < from || to >= size) {
            error_report(SOURCE, 46, 23, FROM_TO_FAILED, text);
            return;
        }
        for (long i = from; i <= to; ++i)
            flags[i - 1] = 1;
    });
}

int from_to_numbers(const char* app, const char* key, const char* def, int* numbers, int max, const char* file) {
    if (error_pending())
        return 0;
    char text[FROM_TO_TEXT_MAX + 1];
    ini_get_string(app, key, def, text, sizeof text, file);
    if (error_pending())
        return 0;
    if (max > 0)
        std::memset(numbers, 0, static_cast<std::size_t>(max) * sizeof *numbers);
    int count = 0;
    for_each_list_item(text, [&](long from, long to) {
        long long span = to >= from ? static_cast<long long>(to) - from + 1 : 0;
        if (from == 0 || to == 0 || count + span > max) {
            error_report(SOURCE, 200, 23, FROM_TO_FAILED, text);
            return;
        }
        for (long n = from; n <= to; ++n)
            numbers[count++] = static_cast<int>(n);
    });
    return count;
}

const char* from_to_next(const char* cursor, int* from, int* to, int* value) {
    *from = 0;
    *to = 0;
    *value = 0;
    if (error_pending())
        return cursor;
    const char* p = cursor;
    *from = static_cast<int>(scan_number(&p));
    if (*p == '=') {
        *to = *from;
    } else if (scan_char('-', &p)) {
        *to = static_cast<int>(scan_number(&p));
    } else {
        error_report(SOURCE, 353, 12, "INI file, read SETTINGS, 'from-to=equal' failed in string '%s', syntax error.",
                     cursor);
        return p;
    }
    if (scan_char('=', &p))
        *value = static_cast<int>(scan_number(&p));
    scan_char(',', &p);
    return p;
}

char* ini_get_copy(const char* app, const char* key, const char* def, const char* file) {
    if (error_pending())
        return nullptr;
    char text[COPY_TEXT_MAX + 1];
    ini_get_string(app, key, def, text, sizeof text, file);
    if (error_pending())
        return nullptr;
    std::size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(mem_alloc(n));
    if (copy)
        std::memcpy(copy, text, n);
    return copy;
}

// The directory part is made absolute against the current directory and created with its
// missing parents. The current directory is never changed: other threads run meanwhile.
void make_path_dirs(char* path, int size) {
    if (error_pending() || size <= 0)
        return;
    std::string text(path, strnlen(path, static_cast<std::size_t>(size)));
    if (text.size() >= 2 && text[1] == ':' && is_letter(static_cast<unsigned char>(text[0])))
        text.erase(0, 2);
    std::size_t last = text.find_last_of("\\/");
    if (last == std::string::npos)
        return;
    std::string name = text.substr(last + 1);
    std::string dir = text.substr(0, last);
    for (char& c : dir)
        if (c == '\\')
            c = '/';

    std::error_code ec;
    fs::path folder;
    if (last == 0)
        folder = "/";
    else if (dir[0] == '/')
        folder = dir;
    else
        folder = fs::current_path(ec) / dir;
    if (!ec)
        fs::create_directories(folder, ec);
    if (!ec && !fs::is_directory(folder, ec) && !ec)
        ec = std::make_error_code(std::errc::not_a_directory);
    fs::path absolute;
    if (!ec)
        absolute = fs::canonical(folder, ec);
    if (ec) {
        error_report(SOURCE, 501, 233, "Make directory '%s' failed due to '%s'", dir.empty() ? "/" : dir.c_str(),
                     ec.message().c_str());
        return;
    }
    std::string result = absolute.string();
    if (result.empty() || result.back() != '/')
        result += '/';
    result += name;
    if (result.size() >= static_cast<std::size_t>(size)) {
        // A server started in a deep folder: report it and keep the path as it was.
        std::string why = "absolute path '" + result + "' is longer than " + std::to_string(size - 1) + " characters";
        error_report(SOURCE, 501, 233, "Make directory '%s' failed due to '%s'", dir.c_str(), why.c_str());
        return;
    }
    std::memcpy(path, result.c_str(), result.size() + 1);
}
