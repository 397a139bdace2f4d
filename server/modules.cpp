// The modules built into orvsrv32, in the slots of the main loop's module contract. A slot whose
// module is not built yet holds the do-nothing operations, and the loop runs without it.
#include <string_view>

#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/core/run.h"
#include "server/devices/cardreader.h"
#include "server/devices/clock.h"
#include "server/devices/display.h"
#include "server/devices/printer.h"
#include "server/hosts/host.h"
#include "server/hosts/tcpip.h"

namespace {

void not_built() {}
std::int64_t notice_not_built(std::uint64_t, std::int64_t) { return 1; }

} // namespace

// Entries in ServerModuleId order; the checks below keep each module in its own slot.
constexpr ServerTable server_module_table = {
    .modules =
        {
            {.name = "io", .open = io_open, .run = not_built, .close = io_close, .reset = not_built},
            {.name = "host", .open = host_open, .run = host_run, .close = host_close, .reset = not_built},
            {.name = "clock", .open = clock_open, .run = clock_run, .close = clock_close, .reset = clock_reset},
            {.name = "protocol", .open = prot_open, .run = not_built, .close = not_built, .reset = prot_reset},
            {.name = "display", .open = display_open, .run = display_run, .close = display_close, .reset = display_reset},
            {.name = "printer", .open = printer_open, .run = printer_run, .close = printer_close, .reset = printer_reset},
            {.name = "card", .open = card_open, .run = card_run, .close = card_close, .reset = card_reset},
        },
    .hooks =
        {
            .display_clear_all = display_clear_all,
            .host_event_deliver = host_event_deliver,
            .host_direct_command = host_direct_command,
            .tcp_listen_notice = tcp_listen_notice,
            .tcp_client_notice = tcp_client_notice,
            .netbios_notice = notice_not_built,
        },
};

namespace {
constexpr bool in_slot(ServerModuleId id, std::string_view name) {
    return server_module_table.modules[id].name == name;
}
} // namespace
static_assert(in_slot(MODULE_IO, "io") && in_slot(MODULE_HOST, "host") && in_slot(MODULE_CLOCK, "clock") &&
              in_slot(MODULE_PROTOCOL, "protocol") && in_slot(MODULE_DISPLAY, "display") &&
              in_slot(MODULE_PRINTER, "printer") && in_slot(MODULE_CARD, "card"));
