#include "server/devices/clock.h"

#include "platform/system_time.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/hosts/host.h"

namespace {

const char* const SOURCE = "_SOURCE\\clock_a";
constexpr int LINE_TIME_FORMAT = 104;
constexpr int LINE_DATE_FORMAT = 139;
constexpr int ERROR_TIME_FORMAT = 386;
constexpr int ERROR_DATE_FORMAT = 387;

constexpr int FIRST_YEAR = 1989;
constexpr int LAST_YEAR = 2099;
// Days of the months before January .. December in a common year.
constexpr int DAYS_BEFORE[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

const ClockTick DEFAULT_LIST[] = {ini_second_tick, host_tick};
const ClockTick* second_list = DEFAULT_LIST;
int second_count = 2;

int last_second = -1;
std::optional<std::int32_t> requested_time;
std::optional<std::int32_t> requested_date;
ClockSetter setter = platform::set_system_local_time;

bool is_leap(int year) { return (year - 1988) % 4 == 0; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "%d" as scanf reads it: white space, an optional sign, at least one digit. Large values are
// held at a bound instead of overflowing; any of them is out of range anyway.
bool scan_int(const char** cursor, long* value) {
    const char* p = *cursor;
    while (is_space(*p))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (!is_digit(*p))
        return false;
    long v = 0;
    for (; is_digit(*p); ++p)
        if (v < 1000000000L)
            v = v * 10 + (*p - '0');
    *value = negative ? -v : v;
    *cursor = p;
    return true;
}

// "%*[c]": one or more of c.
bool scan_run(const char** cursor, char c) {
    if (**cursor != c)
        return false;
    while (**cursor == c)
        ++*cursor;
    return true;
}

// How many of `count` numbers separated by runs of `separator` were read (scanf's count).
int scan_separated(const char* text, char separator, long* numbers, int count) {
    const char* p = text;
    int got = 0;
    while (got < count) {
        if (got > 0 && !scan_run(&p, separator))
            break;
        if (!scan_int(&p, &numbers[got]))
            break;
        ++got;
    }
    return got;
}

bool valid_time(long h, long m, long s) { return h >= 0 && h <= 23 && m >= 0 && m <= 59 && s >= 0 && s <= 59; }

void date_of(std::int32_t number, int* day, int* month, int* year) {
    int y = FIRST_YEAR;
    int n = number;
    while (n > (is_leap(y) ? 366 : 365)) {
        n -= is_leap(y) ? 366 : 365;
        ++y;
    }
    int m = 12;
    while (m > 1 && n <= DAYS_BEFORE[m - 1] + (is_leap(y) && m > 2 ? 1 : 0))
        --m;
    *day = n - DAYS_BEFORE[m - 1] - (is_leap(y) && m > 2 ? 1 : 0);
    *month = m;
    *year = y;
}

} // namespace

void clock_open() {
    if (error_pending())
        return;
    error_set_step("Open Clock: ", 0);
    error_set_step("Open Clock finished: ", 0);
}

void clock_close() {}
void clock_reset() {}

void clock_run() {
    int second = platform::local_time().second;
    if (error_pending())
        return;
    error_set_step("Clock: ", 0);
    if (second != last_second) {
        for (int i = 0; i < second_count && !error_pending(); ++i)
            second_list[i]();
    }
    error_set_step("Clock finished: ", 0);
    last_second = second;
}

std::int32_t clock_parse_time(const char* text) {
    long parts[3] = {0, 0, 0};
    if (scan_separated(text, ':', parts, 3) == 3 && valid_time(parts[0], parts[1], parts[2]))
        return static_cast<std::int32_t>(parts[0] * 1800 + parts[1] * 30 + parts[2] / 2);
    if (scan_separated(text, ':', parts, 2) == 2 && valid_time(parts[0], parts[1], 0))
        return static_cast<std::int32_t>(parts[0] * 1800 + parts[1] * 30);
    error_report(SOURCE, LINE_TIME_FORMAT, ERROR_TIME_FORMAT, "Get time number failed, wrong format in '%s'.",
                 text);
    return 0;
}

std::int32_t clock_parse_date(const char* text) {
    long day = 0;
    long month = 0;
    long year = 0;
    const char* p = text;
    // "%d%*[/]%d %d": the blank takes any white space, none included.
    bool read = scan_int(&p, &day) && scan_run(&p, '/') && scan_int(&p, &month) && scan_int(&p, &year);
    if (read && year >= 89 && year <= 99)
        year += 1900;
    if (!read || day < 1 || day > 31 || month < 1 || month > 12 || year < FIRST_YEAR || year > LAST_YEAR) {
        error_report(SOURCE, LINE_DATE_FORMAT, ERROR_DATE_FORMAT, "Get date number failed, wrong format in '%s'.",
                     text);
        return 0;
    }
    return clock_day_number(static_cast<int>(day), static_cast<int>(month), static_cast<int>(year));
}

std::int32_t clock_day_number(int day, int month, int year) {
    int years = year - FIRST_YEAR;
    return day + DAYS_BEFORE[month - 1] + (is_leap(year) && month > 2 ? 1 : 0) + 365 * years + years / 4;
}

void clock_request_time(std::int32_t time_number) { requested_time = time_number; }
void clock_request_date(std::int32_t day_number) { requested_date = day_number; }
std::optional<std::int32_t> clock_requested_time() { return requested_time; }
std::optional<std::int32_t> clock_requested_date() { return requested_date; }

void clock_set_setter(ClockSetter set) { setter = set ? set : platform::set_system_local_time; }

bool clock_apply() {
    platform::LocalTime when = platform::local_time();
    bool change = false;
    if (requested_time && *requested_time >= 0 && *requested_time <= CLOCK_TIME_NUMBER_MAX) {
        std::int32_t n = *requested_time;
        when.hour = n / 1800;
        when.minute = (n % 1800) / 30;
        when.second = (n % 30) * 2;
        when.millisecond = 0;
        change = true;
    }
    if (requested_date && *requested_date >= 1 && *requested_date <= CLOCK_DAY_NUMBER_MAX) {
        date_of(*requested_date, &when.day, &when.month, &when.year);
        change = true;
    }
    requested_time.reset();
    requested_date.reset();
    return !change || setter(when);
}

std::int32_t clock_time_number() {
    platform::LocalTime t = platform::local_time();
    return t.hour * 1800 + t.minute * 30 + t.second / 2;
}

int clock_hour() { return platform::local_time().hour; }
int clock_minute() { return platform::local_time().minute; }
int clock_second() { return platform::local_time().second; }
int clock_hundredth() { return platform::local_time().millisecond / 10; }
int clock_day() { return platform::local_time().day; }
int clock_month() { return platform::local_time().month; }
int clock_year() { return platform::local_time().year; }

void clock_set_second_list(const ClockTick* list, int count) {
    if (list) {
        second_list = list;
        second_count = count;
    } else {
        second_list = DEFAULT_LIST;
        second_count = 2;
    }
}

int clock_second_list(const ClockTick** list) {
    *list = second_list;
    return second_count;
}
