// Host slots: one per configured host, each bound to one transport through a table of operations.
// Every slot operation, the host session and host_answer act on the current slot.
#pragma once

#include <cstdint>

#include "server/hosts/host.h"

constexpr int HOST_MAX = 99;
// Status flag of a slot: a complete command has been received and is being served.
constexpr std::uint32_t HOST_STATUS_SERVING = 2;
// Size of the event enable table: entry e - 1 for event e = 1 .. 32 ("EVENTS" is a from-to set).
constexpr int HOST_EVENT_TABLE_SIZE = 33;
// Modem strings of the "HOST" section (COM_MODEM hosts): at most 29 characters.
constexpr int HOST_MODEM_TEXT_SIZE = 30;

enum HostType : int {
    HOST_TYPE_NONE = 0,
    HOST_TYPE_COM = 1,
    HOST_TYPE_COM_MODEM = 2,
    HOST_TYPE_IO = 3,
    HOST_TYPE_FILE = 4,
    HOST_TYPE_NET = 5,
    HOST_TYPE_TCP_IP = 6,
    HOST_TYPE_DDE = 7,
    HOST_TYPE_DIRECT = 8,
    HOST_TYPE_RPC = 10,
};

// A transport fills the operations it has; the others are the host_op_*_nothing operations (tick
// stays null unless the transport has one).
struct HostOps {
    void (*poll)();
    void (*answer)(const char* text, int length); // length includes the terminating zero
    std::uint32_t (*status)();
    void (*clear_status)(std::uint32_t flags);
    void (*transport_private)();
    void (*tick)();
    void (*event)(const EventRecord* record);
};

struct HostState {
    std::int32_t last_second;
    std::uint32_t status;
    std::int32_t idle_counter;
};

struct HostSlot {
    HostOps ops;
    int type;
    void* transport; // the transport's private state
};

// One entry per type word of "HOST%d".
struct HostTransport {
    const char* word;
    int type;
    // Fills slot->ops (and slot->transport) from the parameter text after the separator.
    // slot_number is 1-based; the slot is current while this runs.
    void (*configure)(const char* parameters, HostSlot* slot, int slot_number);
    // Releases what configure and the slot's operations took; runs also while an error is pending.
    void (*close)(HostSlot* slot);
};

// The DIRECT transport: commands and events through the main window's messages.
extern const HostTransport host_transport_direct;

// The do-nothing operations every transport shares.
void host_op_nothing();
void host_op_answer_nothing(const char* text, int length);
std::uint32_t host_op_status_nothing();
void host_op_clear_nothing(std::uint32_t flags);
void host_op_event_nothing(const EventRecord* record);
// Every operation does nothing; tick is null. A transport starts from this.
extern const HostOps host_ops_nothing;
// Status operations over the current slot's HostState.
std::uint32_t host_op_status_state();
void host_op_clear_state(std::uint32_t flags);

// The cursor. An index outside the configured slots (none configured, say) selects a slot whose
// operations do nothing, so the cursor never dangles.
int host_current_index();
HostSlot* host_current_slot();
HostState* host_current_state();
int host_slot_count();
HostSlot* host_slot(int index);   // null outside 0 .. host_slot_count() - 1
HostState* host_state(int index); // null outside 0 .. host_slot_count() - 1

// Serve one command line on the current slot; exactly one answer goes back through host_answer
// when the slot's status has HOST_STATUS_SERVING and the line holds a word, none otherwise.
// The line is copied: the caller's text is not changed.
void host_session(const char* line);
// Send one answer on the current slot (length = strlen + 1).
void host_answer(const char* text);
// Send an answer of explicit length (the zero travels inside `length`).
void host_answer_len(const char* text, int length);
// The numbers stored by "EXE DISPTEST n" and "EXE IDTEST n" (nothing else uses them).
int host_session_display_test();
int host_session_id_test();

// The event enable table (entry e - 1 for event e); numbers outside 1 .. 32 are never enabled.
bool host_event_enabled(int event);
void host_event_enable(int event, bool on);
// Records in the event queue now.
int host_event_queued();

// Settings of the "HOST" section read at open, for the transports that use them.
const char* host_modem_setup();
const char* host_modem_hangup();
const char* host_modem_hangup_end();
