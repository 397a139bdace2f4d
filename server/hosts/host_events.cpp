#include "server/hosts/host.h"

namespace {
HostEventHook hook = nullptr;
} // namespace

void host_event_set_hook(HostEventHook h) { hook = h; }

// The host manager fills this in: the event enable table, the EventRecord and the event queue.
void host_event_raise(int event, int unit, const char* text) {
    if (hook)
        hook(event, unit, text);
}
