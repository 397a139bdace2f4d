#include "server/hosts/serialhost.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "server/core/errorsys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/core/utils.h"

namespace {

const char* const SOURCE = "_SOURCE\\host_s";
const char* const COM_FORMAT = "HOSTx=COM,port,baud,bits,paritet,stop (COM,1,38400,8,N,1)";
const char* const IO_FORMAT = "HOSTx=IO,id,sub_id,[hook_time],[on_time],[idle_time] (IO,128,1)";
const char* const FORMAT_ERROR =
    "INI file, host settings for %s has incorrect value(s) in '%s'. Format is '%s'";

constexpr int ERROR_FORMAT = 296;
constexpr int NAME_SIZE = 10;
constexpr int COMMAND_SIZE = 5000;
constexpr int SELECTION_TIME = 5; // seconds
constexpr int COM_PORTS = 4;
constexpr int COM_READ_TIMEOUT_MS = 10000;
constexpr int DEFAULT_HOOK_MS = 15;
constexpr int DEFAULT_ON_TIME = 30;
constexpr int MODEM_BYTE_PAUSE_MS = 5;
constexpr int MODEM_PAUSE_MS = 1000;
constexpr int MODEM_DETACH_PAUSE_MS = 10;

struct SerialHost {
    int type;
    int port_index; // COM, COM_MODEM: 0 .. 3
    bool plain;     // 8 data bits: answers without SI, 8-bit sum
    ProtUnit unit;
    std::uint8_t address_byte; // IO announcement
    std::uint8_t sub_id;
    int hook_ms;
    int on_time;
    int idle_end; // on time + idle time
};

void real_sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SerialHostSleep sleep_for = real_sleep;
// Ports taken by COM and COM_MODEM hosts of this server.
bool com_port_taken[COM_PORTS] = {};

SerialHost* current_host() {
    return static_cast<SerialHost*>(host_current_slot()->transport);
}

// The fields as "%d,%d,..." reads them: decimal, leading blanks skipped, one comma between two
// fields; the first field that does not fit ends the scan and it and all after it read as 0.
// Field `char_field` is one character instead of a number (0 when missing).
void scan_fields(const char* text, long* numbers, int count, int char_field) {
    for (int i = 0; i < count; ++i)
        numbers[i] = 0;
    const char* p = text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            if (*p != ',') return;
            ++p;
        }
        if (i == char_field) {
            skip_blanks(&p);
            if (*p == '\0' || *p == ',') return;
            numbers[i] = static_cast<unsigned char>(*p++);
            continue;
        }
        char* end = nullptr;
        const long n = std::strtol(p, &end, 10);
        if (end == p) return;
        numbers[i] = n;
        p = end;
    }
}

// "^" and a character c stand for the control character c - 64 ("^M" is a carriage return).
void send_modem_string(int index, const char* text) {
    const int errors = error_recorded_count();
    for (const char* p = text; *p; ++p) {
        std::uint8_t byte = static_cast<std::uint8_t>(*p);
        if (*p == '^' && p[1] != '\0') byte = static_cast<std::uint8_t>(*++p - 64);
        port_put_byte(index, byte);
        sleep_for(MODEM_BYTE_PAUSE_MS);
        if (error_recorded_count() != errors) return; // one failed byte is reported, not the rest
    }
}

// The unit of every serial host: addressed by name, never refusing.
bool setup_unit(SerialHost* h) {
    h->unit = ProtUnit{};
    h->unit.name = static_cast<char*>(mem_alloc_zero(NAME_SIZE));
    h->unit.name_capacity = NAME_SIZE;
    h->unit.command = static_cast<char*>(mem_alloc_zero(COMMAND_SIZE + 1));
    h->unit.command_capacity = COMMAND_SIZE;
    h->unit.selection_time = SELECTION_TIME;
    return h->unit.name && h->unit.command;
}

void free_host(HostSlot* slot) {
    SerialHost* h = static_cast<SerialHost*>(slot->transport);
    if (!h) return;
    mem_free(&h->unit.name);
    mem_free(&h->unit.command);
    mem_free(&h);
    slot->transport = nullptr;
    slot->ops = host_ops_nothing;
}

// ---- COM and COM_MODEM ----

void com_answer(const char* text, int length) {
    SerialHost* h = current_host();
    if (!h) return;
    if (h->plain)
        port_send_answer_plain(h->port_index, text, length);
    else
        port_send_answer(h->port_index, text, length);
}

std::uint32_t com_status() {
    SerialHost* h = current_host();
    return h ? static_cast<std::uint32_t>(port_unit_state(h->port_index)) : 0;
}

void com_clear(std::uint32_t flags) {
    if (SerialHost* h = current_host()) port_unit_clear(h->port_index, static_cast<int>(flags));
}

void com_second() {
    if (SerialHost* h = current_host()) port_unit_second(h->port_index);
}

// A held command the session left unanswered (a line without a word) is given back all the same:
// otherwise the reader thread waits for its release and the line stays deaf for minutes.
void release_unanswered(int state) {
    if (state & HOST_STATUS_SERVING) host_current_slot()->ops.clear_status(HOST_STATUS_SERVING);
}

// The reader thread feeds the unit; the poll serves what it holds and returns, so a master that
// keeps the unit selected does not hold up the devices: at most one command per host run step,
// and the selection timer runs once per new second while the unit is selected.
void com_poll() {
    SerialHost* h = current_host();
    if (!h) return;
    HostState* state = host_current_state();
    const int unit_state = port_unit_state(h->port_index);
    if (unit_state & HOST_STATUS_SERVING) {
        host_session(h->unit.command);
        release_unanswered(port_unit_state(h->port_index));
    }
    const std::int32_t second = static_cast<std::int32_t>(platform::monotonic_ms() / 1000);
    if ((unit_state & 1) && second != state->last_second) host_current_slot()->ops.transport_private();
    state->last_second = second;
}

void com_configure(const char* parameters, HostSlot* slot, bool modem) {
    slot->ops = host_ops_nothing;
    slot->transport = nullptr;
    long f[5];
    scan_fields(parameters, f, 5, 3);
    if (f[0] < 1 || f[0] > COM_PORTS) {
        error_report(SOURCE, 60, ERROR_FORMAT, FORMAT_ERROR, "COM/COM_MODEM", parameters, COM_FORMAT);
        return;
    }
    const int index = static_cast<int>(f[0] - 1);
    // A port is opened exclusively: a second opening (the link port, another COM host) fails as
    // the system would refuse it, instead of closing the port under its owner.
    if (com_port_taken[index] || io_port_index() == index) {
        errno = EBUSY;
        error_api(SOURCE, 66, 520, "Open Io/COM: port '%d'", index + 1);
        return;
    }
    SerialHost* h = static_cast<SerialHost*>(mem_alloc_zero(sizeof(SerialHost)));
    if (!h) return;
    h->type = modem ? HOST_TYPE_COM_MODEM : HOST_TYPE_COM;
    h->port_index = index;
    h->plain = f[2] == 8;
    slot->transport = h;
    slot->ops.poll = com_poll;
    slot->ops.answer = com_answer;
    slot->ops.status = com_status;
    slot->ops.clear_status = com_clear;
    slot->ops.transport_private = com_second;
    com_port_taken[index] = true;

    const PortSettings settings{static_cast<std::uint32_t>(f[1]), static_cast<std::uint8_t>(f[2]),
                                static_cast<char>(f[3]), static_cast<std::uint16_t>(f[4])};
    port_open(index, &settings);
    if (!setup_unit(h)) return;
    port_timeout_ms(index, COM_READ_TIMEOUT_MS);
    if (modem) {
        send_modem_string(index, "AT^M");
        sleep_for(MODEM_PAUSE_MS);
        send_modem_string(index, host_modem_setup());
    }
    port_attach_unit(index, &h->unit);
}

void configure_com(const char* parameters, HostSlot* slot, int) {
    com_configure(parameters, slot, false);
}

void configure_com_modem(const char* parameters, HostSlot* slot, int) {
    com_configure(parameters, slot, true);
}

// The port is closed (its reader thread ended) before the unit's buffers are freed.
void close_com(HostSlot* slot) {
    SerialHost* h = static_cast<SerialHost*>(slot->transport);
    if (!h) return;
    if (h->type == HOST_TYPE_COM_MODEM) {
        port_detach_unit(h->port_index);
        sleep_for(MODEM_DETACH_PAUSE_MS);
        send_modem_string(h->port_index, host_modem_hangup());
        sleep_for(MODEM_PAUSE_MS);
        if (host_modem_hangup_end()[0] != '\0') send_modem_string(h->port_index, host_modem_hangup_end());
    }
    port_close(h->port_index);
    com_port_taken[h->port_index] = false;
    free_host(slot);
}

// ---- IO ----

void io_answer(const char* text, int length) {
    io_send_answer(text, length);
}

std::uint32_t io_status() {
    return static_cast<std::uint32_t>(io_unit_state());
}

void io_clear(std::uint32_t flags) {
    io_unit_clear(static_cast<int>(flags));
}

void io_second() {
    io_unit_second();
}

void io_tick() {
    ++host_current_state()->idle_counter;
}

void io_handle(ProtUnit* unit, const char* command) {
    (void)unit;
    host_session(command);
    release_unanswered(io_unit_state());
}

void io_poll() {
    SerialHost* h = current_host();
    if (!h) return;
    std::int32_t& c = host_current_state()->idle_counter;
    if (c >= h->on_time && c < h->idle_end) return;
    if (c >= h->idle_end) c = h->on_time; // one attempt, then idle again
    io_wait_sent();
    io_put_byte(h->address_byte);
    io_put_byte(h->sub_id);
    if (io_serve_unit(io_handle, &h->unit, h->hook_ms)) c = 0;
}

void configure_io(const char* parameters, HostSlot* slot, int) {
    slot->ops = host_ops_nothing;
    slot->transport = nullptr;
    long f[5];
    scan_fields(parameters, f, 5, -1);
    if (f[0] - 1 < 0 || f[0] - 1 > 127 || f[1] < 0 || f[1] > 127) {
        error_report(SOURCE, 140, ERROR_FORMAT, FORMAT_ERROR, "IO", parameters, IO_FORMAT);
        return;
    }
    SerialHost* h = static_cast<SerialHost*>(mem_alloc_zero(sizeof(SerialHost)));
    if (!h) return;
    h->type = HOST_TYPE_IO;
    h->port_index = -1;
    h->address_byte = static_cast<std::uint8_t>((f[0] - 1) | 0x80);
    h->sub_id = static_cast<std::uint8_t>(f[1]);
    h->hook_ms = f[2] == 0 ? DEFAULT_HOOK_MS : static_cast<int>(f[2]);
    if (f[3] == 0) {
        h->on_time = DEFAULT_ON_TIME;
        h->idle_end = DEFAULT_ON_TIME + 1;
    } else {
        h->on_time = static_cast<int>(f[3]);
        h->idle_end = static_cast<int>(f[3] + f[4]);
    }
    slot->transport = h;
    if (!setup_unit(h)) {
        free_host(slot);
        return;
    }
    slot->ops.poll = io_poll;
    slot->ops.answer = io_answer;
    slot->ops.status = io_status;
    slot->ops.clear_status = io_clear;
    slot->ops.transport_private = io_second;
    slot->ops.tick = io_tick;
}

// The link port keeps the unit it last served: it is taken from the port before it is freed.
void close_io(HostSlot* slot) {
    if (!slot->transport) return;
    const int link = io_port_index();
    if (link >= 0) port_detach_unit(link);
    free_host(slot);
}

} // namespace

const HostTransport host_transport_com = {"COM", HOST_TYPE_COM, configure_com, close_com};
const HostTransport host_transport_com_modem = {"COM_MODEM", HOST_TYPE_COM_MODEM, configure_com_modem,
                                                close_com};
const HostTransport host_transport_io = {"IO", HOST_TYPE_IO, configure_io, close_io};

void serialhost_set_sleep(SerialHostSleep sleep) {
    sleep_for = sleep ? sleep : real_sleep;
}
