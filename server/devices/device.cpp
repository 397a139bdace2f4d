#include "server/devices/device.h"

#include <cstdio>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/devices/cardreader.h"
#include "server/devices/display.h"
#include "server/devices/printer.h"

namespace {
// "SETTINGS" is read into a buffer of this many characters.
constexpr int SETTINGS_TEXT_MAX = 400;
void nothing() {}
} // namespace

ServerTable device_module_table() {
    ServerTable t{};
    t.modules[MODULE_IO] = {"io", io_open, nothing, io_close, nothing};
    t.modules[MODULE_HOST] = {"host", nothing, nothing, nothing, nothing};
    t.modules[MODULE_CLOCK] = {"clock", nothing, nothing, nothing, nothing};
    t.modules[MODULE_PROTOCOL] = {"protocol", prot_open, nothing, nothing, prot_reset};
    t.modules[MODULE_DISPLAY] = {"display", display_open, display_run, display_close, display_reset};
    t.modules[MODULE_PRINTER] = {"printer", printer_open, printer_run, printer_close, printer_reset};
    t.modules[MODULE_CARD] = {"card", card_open, card_run, card_close, card_reset};
    t.hooks.display_clear_all = display_clear_all;
    return t;
}

void device_run_pass(const DevicePass& pass) {
    int p = *pass.position;
    while (p < pass.count && !error_pending()) {
        // A unit that cannot be selected leaves its error pending; it is passed over so that the
        // next pass starts with the unit after it.
        pass.select(p);
        error_set_step(pass.step_text, p + 1);
        if (!error_pending())
            pass.serve();
        if (server_yield())
            break;
        ++p;
    }
    if (p >= pass.count)
        p = 0;
    *pass.position = p;
    error_set_step(pass.finished_text, 0);
}

void device_read_settings_set(const DeviceSettingsSet& set) {
    if (error_pending())
        return;
    char def[24];
    std::snprintf(def, sizeof def, "1-%d=1", set.count);
    char text[SETTINGS_TEXT_MAX + 1] = "";
    ini_get_string(set.app, "SETTINGS", def, text, sizeof text, INI_FILE);
    const char* cursor = text;
    for (int k = 0; !error_pending() && *cursor != '\0'; ++k) {
        int from = 0;
        int to = 0;
        int value = 0;
        cursor = from_to_next(cursor, &from, &to, &value);
        if (error_pending())
            break;
        if (from < 1 || from > to || to > set.count) {
            error_report(set.source, set.line, set.error_number, "%s", set.error_text);
            break;
        }
        for (int u = from - 1; u < to; ++u)
            set.index[u] = k;
        set.add(value);
    }
}
