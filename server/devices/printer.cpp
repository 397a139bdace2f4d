#include "server/devices/printer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/core/utils.h"
#include "server/devices/device.h"
#include "server/devices/display.h"
#include "server/hosts/host.h"

namespace {

const char* const SOURCE = "_SOURCE\\printer_a";
constexpr const char* APP = "PRINTER";

constexpr int DISPLAY_REQUEST_ANSWER = 2000; // characters of a "GD" answer
constexpr int DISPLAYS_PER_PRINTER = 7;
constexpr int COMMAND_TEXT_SHOWN = 120;      // characters of a failed command in error 47

constexpr std::uint8_t PROFILE_UNPLUG_ERROR = 0x01;

struct PrinterProfile {
    PrinterProfile* next;
    std::uint8_t flags;
    std::int32_t unit;
};

// Rising status bits and their host events, in the order they are raised.
struct StatusEvent {
    std::uint8_t bit;
    int event;
};
constexpr StatusEvent status_events[] = {
    {0x04, 1}, {0x02, 2}, {0x40, 3}, {0x20, 4}, {0x10, 5}, {0x08, 6},
};
constexpr std::uint8_t STATUS_DISPLAY_REQUEST = 0x01;

int count = 0;   // N
int id_base = 0; // ID_NO_START - 1
PrinterProfile* profiles = nullptr;
std::int32_t* profile_index = nullptr;
std::uint8_t last_status[PRINTER_MAX];
int current = 0;
PrinterProfile* current_profile = nullptr;
int position = 0; // round robin, kept between run steps

PrinterProfile* profile_at(int index) { return device_profile_at(profiles, profile_index[index]); }

void printer_select(int index) {
    if (error_pending())
        return;
    if (index < 0 || index >= count) {
        error_report(SOURCE, 95, 10, "Error, Reference '%d' out of bounds at: '%s'",
                     static_cast<int>(static_cast<unsigned>(index) + 1u), "Get Ticket Printer's setting adress");
        return;
    }
    PrinterProfile* p = profile_at(index);
    if (!p) {
        error_report(SOURCE, 101, 40, "Get printer settings address failed, zero for printer '%d'", index);
        return;
    }
    current = index;
    current_profile = p;
}

void select_if_other(int index) {
    if (index != current || !current_profile)
        printer_select(index);
}

void add_profile(int value) {
    PrinterProfile* profile = device_profile_append(&profiles);
    if (!profile)
        return;
    char section[40];
    std::snprintf(section, sizeof section, "PRINTER_SETTING_%d", value);
    profile->unit = static_cast<std::int32_t>(ini_get_number(section, "UNIT", 0, 0, 1000, INI_FILE));
    if (ini_get_number(section, "UNPLUGG_ERROR", 0, 0, 1, INI_FILE) != 0)
        profile->flags |= PROFILE_UNPLUG_ERROR;
}

// The leading decimal number of a printer's answer (blanks, sign, digits), kept within ±10^9 so
// that the display index arithmetic cannot overflow; *cursor moves past it and the blanks after.
int answer_number(const char** cursor) {
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(*cursor, &end, 10);
    *cursor = end;
    skip_blanks(cursor);
    constexpr long long LIMIT = 1000000000;
    return static_cast<int>(n > LIMIT ? LIMIT : n < -LIMIT ? -LIMIT : n);
}

// Status bit 0x01: the printer holds a text for one of its seven main displays. "GD" answers "N"
// when it has none, else the display number (1..7 within the printer's block), blanks and the text.
void printer_display_request() {
    if (error_pending())
        return;
    char answer[DISPLAY_REQUEST_ANSWER + 1] = "";
    prot_command_answer("GD", answer, DISPLAY_REQUEST_ANSWER);
    if (error_pending() || answer[0] == 'N')
        return;
    const char* text = answer;
    int n = answer_number(&text);
    display_set_text(n + DISPLAYS_PER_PRINTER * (id_base + current - 1) - 1, text);
}

// One status poll of the current printer: raw address byte, then the addressing with the unit
// number of its profile, whose answer is the status byte. A printer whose profile has no unplug
// error may be absent: its silence is forgiven and its last status kept.
void printer_poll() {
    const int i = current;
    io_put_byte(device_address_byte(id_base, i));
    if (error_pending())
        return;
    std::uint8_t status = 0;
    if (current_profile->flags & PROFILE_UNPLUG_ERROR) {
        prot_connect(current_profile->unit, &status);
    } else {
        prot_connect_no_timeout(current_profile->unit, &status);
        if (error_pending()) {
            error_discard();
            return;
        }
    }
    const std::uint8_t rising = status & static_cast<std::uint8_t>(~last_status[i]);
    for (const StatusEvent& e : status_events)
        if (rising & e.bit)
            host_event_raise(e.event, i, "");
    if (rising & STATUS_DISPLAY_REQUEST)
        printer_display_request();
    last_status[i] = status;
}

} // namespace

void printer_open() {
    if (error_pending())
        return;
    error_set_step("Open Ticket Printer: ", 0);
    id_base = static_cast<int>(ini_get_number(APP, "ID_NO_START", 89, 1, 128, INI_FILE)) - 1;
    count = static_cast<int>(ini_get_number(APP, "MAX", 1, 0, 99, INI_FILE));
    std::memset(last_status, 0, sizeof last_status);
    current = 0;
    current_profile = nullptr;
    position = 0;
    if (count > 0 && !error_pending()) {
        profile_index =
            static_cast<std::int32_t*>(mem_alloc_zero(sizeof(std::int32_t) * static_cast<unsigned>(count)));
        device_read_settings_set(DeviceSettingsSet{
            APP, count, profile_index, add_profile, SOURCE, 61, 39,
            "INI file, read printer SETTINGS, 'from-to=equal' index out of bounds in setting ref."});
    }
    if (error_pending()) {
        count = 0;
        mem_free(&profile_index);
        device_profiles_free(&profiles);
    }
    if (count > 0)
        printer_select(0);
    error_set_step("Open Ticket Printer finished: ", 0);
}

void printer_close() {
    error_set_step("Close Ticket Printer: ", 0);
    mem_free(&profile_index);
    device_profiles_free(&profiles);
    current = 0;
    current_profile = nullptr;
    position = 0;
    count = 0;
    error_set_step("Close Ticket Printer finished: ", 0);
}

void printer_reset() {}

void printer_run() {
    if (error_pending())
        return;
    device_run_pass(DevicePass{&position, count, "Ticket Printer: ", "Ticket Printer finished: ", select_if_other,
                               printer_poll});
}

void printer_command_answer(int index, const char* command, int length, char* answer, int size) {
    if (size > 0)
        answer[0] = '\0';
    if (error_pending() || size < 1)
        return;
    const int remembered = current;
    PrinterProfile* remembered_profile = current_profile;
    select_if_other(index);
    if (error_pending())
        return; // 10 or 40: no printer to talk to
    io_put_byte(device_address_byte(id_base, index));
    std::uint8_t status = 0;
    prot_connect(current_profile->unit, &status);
    prot_command_answer_len(command, length, answer, size - 1);
    if (error_pending()) {
        char shown[COMMAND_TEXT_SHOWN + 1];
        int n = 0;
        for (; n < length && n < COMMAND_TEXT_SHOWN && command[n] != '\0'; ++n)
            shown[n] = command[n];
        shown[n] = '\0';
        error_report(SOURCE, 180, 47, "Printer Command Answer failed on command: '%s'", shown);
    }
    prot_end();
    if (remembered_profile) {
        current = remembered;
        current_profile = remembered_profile;
    }
}

int printer_count() { return count; }

int printer_current() { return current; }

std::uint8_t printer_last_status(int index) { return index >= 0 && index < count ? last_status[index] : 0; }

bool printer_profile_of(int index, std::int32_t* unit, bool* unplug_error) {
    if (index < 0 || index >= count || !profile_index)
        return false;
    PrinterProfile* p = profile_at(index);
    if (!p)
        return false;
    *unit = p->unit;
    *unplug_error = (p->flags & PROFILE_UNPLUG_ERROR) != 0;
    return true;
}
