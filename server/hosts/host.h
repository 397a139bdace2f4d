// The host manager: host slots configured from the "HOST" section, each bound to one transport,
// and the event queue through which device events reach every host that takes events.
#pragma once

#include <cstdint>

constexpr int EVENT_MAX = 7;
constexpr int EVENT_TEXT_SIZE = 500; // 499 characters and the zero

// One device event; also the element of the event queue (508 bytes).
struct EventRecord {
    std::int32_t event; // 1 .. EVENT_MAX
    std::int32_t unit;  // 0-based device index
    char text[EVENT_TEXT_SIZE];
};
static_assert(sizeof(EventRecord) == 508);

// Module steps of the main loop.
void host_open();
void host_close();
void host_run();
// Called once a second from the clock's per-second list.
void host_tick();

// Queues an event (1 .. EVENT_MAX; unit 0-based; text cut to 499 characters) when its number is
// switched on in the event enable table and hosts are configured.
void host_event_raise(int event, int unit, const char* text);
// Every raised event is handed to this hook first, whatever the enable table says (tests capture
// the events of the device modules with it); null: none.
using HostEventHook = void (*)(int event, int unit, const char* text);
void host_event_set_hook(HostEventHook hook);
// Queues an event without looking at the enable table (the SEND form of "EVENT"). A full queue
// drops the event with error 291.
void host_event_queue_put(const EventRecord* record);
// Hands every queued event to every slot; called by server_yield without server_mutex.
void host_event_deliver();
// Moves the cursor to slot i.
void host_select(int i);
// The DIRECT transport's entry (WM_USER+1 and WM_USER+4): runs one command line and copies the
// answer into answer[0 .. answer_size - 1]. Returns 1 when served, 0 otherwise.
int host_direct_command(const char* command, char* answer, int answer_size);
