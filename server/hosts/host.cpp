#include "server/hosts/host.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "server/core/errorsys.h"
#include "server/core/fatal.h"
#include "server/core/inisys.h"
#include "server/core/queue.h"
#include "server/core/run.h"
#include "server/core/utils.h"
#include "server/hosts/filehost.h"
#include "server/hosts/hostslot.h"
#include "server/hosts/serialhost.h"
#include "server/hosts/tcpip.h"

void host_op_nothing() {}
void host_op_answer_nothing(const char*, int) {}
std::uint32_t host_op_status_nothing() {
    return 0;
}
void host_op_clear_nothing(std::uint32_t) {}
void host_op_event_nothing(const EventRecord*) {}

const HostOps host_ops_nothing = {
    .poll = host_op_nothing,
    .answer = host_op_answer_nothing,
    .status = host_op_status_nothing,
    .clear_status = host_op_clear_nothing,
    .transport_private = host_op_nothing,
    .tick = nullptr,
    .event = host_op_event_nothing,
};

namespace {

const char* const SOURCE = "_SOURCE\\host_a";
constexpr const char* SECTION = "HOST";
constexpr int HOST_TEXT_SIZE = 401; // "HOST%d": up to 400 characters
constexpr int ERROR_QUEUE_FULL = 291;
constexpr int ERROR_WRONG_TYPE = 295;
constexpr int ERROR_NOT_AVAILABLE = 297;
constexpr int LINE_QUEUE_FULL = 412;
constexpr int LINE_WRONG_TYPE = 187;
constexpr int LINE_NOT_AVAILABLE = 196;

void close_nothing(HostSlot*) {}
void configure_unavailable(const char* parameters, HostSlot* slot, int slot_number);

// Types whose transports this server does not have: such a slot is reported and does nothing.
const HostTransport transport_net = {"NET", HOST_TYPE_NET, configure_unavailable, close_nothing};
const HostTransport transport_dde = {"DDE", HOST_TYPE_DDE, configure_unavailable, close_nothing};
const HostTransport transport_rpc = {"RPC", HOST_TYPE_RPC, configure_unavailable, close_nothing};

// The type words of "HOST%d", matched exactly.
const HostTransport* const transports[] = {
    &host_transport_com,    &host_transport_com_modem, &host_transport_io, &host_transport_file, &transport_net,
    &host_transport_tcp_ip, &transport_dde,       &host_transport_direct, &transport_rpc,
};

const HostTransport* transport_of(int type) {
    for (const HostTransport* t : transports)
        if (t->type == type) return t;
    return nullptr;
}

void configure_unavailable(const char*, HostSlot* slot, int slot_number) {
    slot->ops = host_ops_nothing;
    const HostTransport* t = transport_of(slot->type);
    error_report(SOURCE, LINE_NOT_AVAILABLE, ERROR_NOT_AVAILABLE,
                 "Host '%d' type '%s' is not available in this server, the host does nothing.", slot_number,
                 t ? t->word : "");
}

int max_slots = 0;
HostSlot* slots = nullptr;
HostState* states = nullptr;
int current = 0;
int run_position = 0;
// Selected by an index outside the configured slots: its operations do nothing.
HostSlot idle_slot = {host_ops_nothing, HOST_TYPE_NONE, nullptr};
HostState idle_state = {};

char enabled[HOST_EVENT_TABLE_SIZE];
HostEventHook event_hook = nullptr;

// The queue is filled on the main thread and by sessions of threads that hold server_mutex (RPC),
// while the main thread delivers from it inside server_yield without the mutex: it has a lock of
// its own.
std::mutex queue_lock;
Queue queue = {};

char modem_setup[HOST_MODEM_TEXT_SIZE];
char modem_hangup[HOST_MODEM_TEXT_SIZE];
char modem_hangup_end[HOST_MODEM_TEXT_SIZE];

// The type word is the run of letters and "_" after leading blanks; the one character after it
// is the separator, and the parameters follow it ("TCP_IP,500,501,10").
void configure_slot(int index, char* text) {
    char* p = text;
    while (is_blank(static_cast<unsigned char>(*p)))
        ++p;
    char* word = p;
    while (is_letter(static_cast<unsigned char>(*p)) || *p == '_')
        ++p;
    const char* parameters = "";
    if (*p) {
        *p = '\0';
        parameters = p + 1;
    }
    HostSlot* slot = &slots[index];
    for (const HostTransport* t : transports) {
        if (std::strcmp(t->word, word) == 0) {
            slot->type = t->type;
            t->configure(parameters, slot, index + 1);
            return;
        }
    }
    error_report(SOURCE, LINE_WRONG_TYPE, ERROR_WRONG_TYPE,
                 "Syntax error in INI file under HOST '%d' wrong type '%s'.", index + 1, word);
}

void free_slots() {
    mem_free(&slots);
    mem_free(&states);
    max_slots = 0;
}

} // namespace

std::uint32_t host_op_status_state() {
    return host_current_state()->status;
}
void host_op_clear_state(std::uint32_t flags) {
    host_current_state()->status &= ~flags;
}

void host_select(int i) {
    current = i;
}
int host_current_index() {
    return current;
}
HostSlot* host_current_slot() {
    return current >= 0 && current < max_slots ? &slots[current] : &idle_slot;
}
HostState* host_current_state() {
    return current >= 0 && current < max_slots ? &states[current] : &idle_state;
}
int host_slot_count() {
    return max_slots;
}
HostSlot* host_slot(int index) {
    return index >= 0 && index < max_slots ? &slots[index] : nullptr;
}
HostState* host_state(int index) {
    return index >= 0 && index < max_slots ? &states[index] : nullptr;
}

const char* host_modem_setup() {
    return modem_setup;
}
const char* host_modem_hangup() {
    return modem_hangup;
}
const char* host_modem_hangup_end() {
    return modem_hangup_end;
}

void host_open() {
    if (error_pending()) return;
    error_set_step("Open Host: ", 0);
    int max = static_cast<int>(ini_get_number(SECTION, "MAX", 1, 0, HOST_MAX, INI_FILE));
    int queue_max = static_cast<int>(ini_get_number(SECTION, "EVENT_QUEUE_MAX", 5, 1, 300, INI_FILE));
    server_set_trace(static_cast<int>(ini_get_number(SECTION, "SAVE_LOG", 0, 0, 1, INI_FILE)));
    ini_get_string(SECTION, "MODEM_SETUP", "AT &D0 S0=1^M", modem_setup, sizeof modem_setup, INI_FILE);
    ini_get_string(SECTION, "MODEM_HANGUP", "+++", modem_hangup, sizeof modem_hangup, INI_FILE);
    ini_get_string(SECTION, "MODEM_HANGUP_END", "AT H0^M", modem_hangup_end, sizeof modem_hangup_end,
                   INI_FILE);
    std::memset(enabled, 0, sizeof enabled);
    from_to_flags(SECTION, "EVENTS", "1", enabled, HOST_EVENT_TABLE_SIZE, INI_FILE);

    if (error_pending()) max = 0;
    run_position = 0;
    if (max > 0) {
        slots = static_cast<HostSlot*>(mem_alloc_zero(sizeof(HostSlot) * static_cast<std::size_t>(max)));
        states = static_cast<HostState*>(mem_alloc_zero(sizeof(HostState) * static_cast<std::size_t>(max)));
        if (!slots || !states)
            free_slots();
        else
            max_slots = max;
        for (int i = 0; i < max_slots; ++i)
            slots[i] = HostSlot{host_ops_nothing, HOST_TYPE_NONE, nullptr};
        for (int i = 0; i < max_slots; ++i) {
            host_select(i);
            char key[16];
            std::snprintf(key, sizeof key, "HOST%d", i + 1);
            char text[HOST_TEXT_SIZE];
            ini_get_string(SECTION, key, "DIRECT", text, sizeof text, INI_FILE);
            // After a failed slot the rest keep their do-nothing operations.
            if (!error_pending()) configure_slot(i, text);
        }
        {
            std::lock_guard<std::mutex> guard(queue_lock);
            queue_init(&queue, static_cast<int>(sizeof(EventRecord)), queue_max);
        }
        host_select(0);
    }
    error_set_step("Open Host finished: ", 0);
}

void host_close() {
    error_set_step("Close Host: ", 0);
    {
        std::lock_guard<std::mutex> guard(queue_lock);
        queue_free(&queue);
    }
    for (int i = 0; i < max_slots; ++i) {
        host_select(i);
        if (const HostTransport* t = transport_of(slots[i].type)) t->close(&slots[i]);
    }
    free_slots();
    host_select(0);
    error_set_step("Close Host finished: ", 0);
}

void host_run() {
    if (error_pending() || max_slots <= 0) return;
    while (run_position < max_slots && !error_pending()) {
        host_select(run_position);
        error_set_step("Host: ", run_position + 1);
        slots[run_position].ops.poll();
        ++run_position;
    }
    if (run_position >= max_slots) run_position = 0;
    error_set_step("Host finished: ", 0);
}

void host_tick() {
    const int previous = current;
    for (int i = 0; i < max_slots && !error_pending(); ++i) {
        if (!slots[i].ops.tick) continue;
        host_select(i);
        error_set_step("Host event: ", i + 1);
        slots[i].ops.tick();
        error_set_step("Host event finished: ", 0);
    }
    host_select(previous);
}

bool host_event_enabled(int event) {
    return event >= 1 && event < HOST_EVENT_TABLE_SIZE && enabled[event - 1];
}

void host_event_enable(int event, bool on) {
    if (event >= 1 && event < HOST_EVENT_TABLE_SIZE) enabled[event - 1] = on ? 1 : 0;
}

void host_event_set_hook(HostEventHook hook) {
    event_hook = hook;
}

void host_event_raise(int event, int unit, const char* text) {
    if (event_hook) event_hook(event, unit, text);
    NV_ASSERT(event <= EVENT_MAX);
    if (!host_event_enabled(event) || max_slots == 0) return;
    EventRecord record;
    std::memset(&record, 0, sizeof record);
    record.event = event;
    record.unit = unit;
    if (text) std::strncpy(record.text, text, EVENT_TEXT_SIZE - 1);
    host_event_queue_put(&record);
}

void host_event_queue_put(const EventRecord* record) {
    if (error_pending()) return;
    std::lock_guard<std::mutex> guard(queue_lock);
    if (queue.count < queue.capacity) {
        queue_put_last(&queue, record);
        return;
    }
    error_report(SOURCE, LINE_QUEUE_FULL, ERROR_QUEUE_FULL,
                 "Host event failed, queue full. Event='%d', Unit='%d'.", record->event, record->unit + 1);
}

int host_event_queued() {
    std::lock_guard<std::mutex> guard(queue_lock);
    return queue.count;
}

// Event operations work on their transport's own event resources: the cursor is not moved.
void host_event_deliver() {
    if (max_slots <= 0) return;
    EventRecord record;
    while (!error_pending()) {
        {
            std::lock_guard<std::mutex> guard(queue_lock);
            if (queue.count <= 0) return;
            queue_pull(&queue, &record);
        }
        for (int i = 0; i < max_slots && !error_pending(); ++i)
            slots[i].ops.event(&record);
    }
}
