// The DIRECT host: a program on the same computer sends a command line to the main window
// (WM_USER+1, WM_USER+4) and gets the answer copied into its answer buffer; events go to every
// registered event window (WM_USER+5), carrying their text inside the message.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "server/core/run.h"
#include "server/hosts/hostslot.h"

namespace {

int direct_slot = 0; // 1-based; 0: no DIRECT slot configured
// Where the answer of the command being served goes.
char* answer_target = nullptr;
int answer_room = 0;

// Copies the answer with its terminating zero, cut to the answer buffer.
void direct_answer(const char* text, int length) {
    if (!answer_target || answer_room <= 0 || length <= 0) return;
    std::memcpy(answer_target, text, static_cast<std::size_t>(std::min(length, answer_room)));
}

void direct_event(const EventRecord* record) {
    event_window_post(record->event, record->unit, record->text);
}

void direct_configure(const char*, HostSlot* slot, int slot_number) {
    slot->ops = host_ops_nothing;
    slot->ops.answer = direct_answer;
    slot->ops.status = host_op_status_state;
    slot->ops.clear_status = host_op_clear_state;
    slot->ops.event = direct_event;
    direct_slot = slot_number; // the last DIRECT slot configured wins
}

void direct_close(HostSlot*) {
    direct_slot = 0;
}

} // namespace

const HostTransport host_transport_direct = {"DIRECT", HOST_TYPE_DIRECT, direct_configure, direct_close};

int host_direct_command(const char* command, char* answer, int answer_size) {
    std::unique_lock<std::recursive_timed_mutex> lock(server_mutex, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(server_mutex_timeout_ms()))) return 0;
    if (direct_slot == 0 || direct_slot > host_slot_count()) return 0;
    const int previous = host_current_index();
    char* const previous_target = answer_target;
    const int previous_room = answer_room;
    host_select(direct_slot - 1);
    answer_target = answer;
    answer_room = answer_size;
    host_current_state()->status |= HOST_STATUS_SERVING;
    host_session(command);
    answer_target = previous_target;
    answer_room = previous_room;
    host_select(previous);
    return 1;
}
