// Host slots: one per configured host, each bound to one transport through a table of operations.
// Every slot operation, the host session and host_answer act on the current slot.
#pragma once

#include <cstdint>

#include "server/hosts/host.h"

constexpr int HOST_MAX = 99;
// Status flag of a slot: a complete command has been received and is being served.
constexpr std::uint32_t HOST_STATUS_SERVING = 2;

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

// A transport fills the operations it has; the others are host_op_nothing (tick stays null
// unless the transport has one).
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
    void (*configure)(const char* parameters, HostSlot* slot, int slot_number);
    void (*close)(HostSlot* slot);
};

// The do-nothing operations every transport shares.
void host_op_nothing();
void host_op_answer_nothing(const char* text, int length);
std::uint32_t host_op_status_nothing();
void host_op_clear_nothing(std::uint32_t flags);
void host_op_event_nothing(const EventRecord* record);
// Status operations over the current slot's HostState.
std::uint32_t host_op_status_state();
void host_op_clear_state(std::uint32_t flags);

// The cursor.
int host_current_index();
HostSlot* host_current_slot();
HostState* host_current_state();
int host_slot_count();
HostSlot* host_slot(int index);
HostState* host_state(int index);

// Serve one command line on the current slot; exactly one answer goes back through host_answer.
void host_session(const char* line);
// Send one answer on the current slot (length = strlen + 1).
void host_answer(const char* text);
// Send an answer of explicit length (the zero travels inside `length`).
void host_answer_len(const char* text, int length);

// The event enable table (entry e - 1 for event e).
bool host_event_enabled(int event);
void host_event_enable(int event, bool on);
