// Pieces shared by the device modules that serve units on the link port one by one: the
// round-robin pass of a run step and the "SETTINGS" set that gives ranges of units a profile.
#pragma once

#include <cstdint>

#include "server/core/run.h"
#include "server/core/utils.h"

// One run step over `count` units, resuming at *position: for each unit while no error is pending,
// select(p) makes it current, the step text is set to p + 1, serve() serves it and server_yield
// follows; a waiting window message leaves the loop without advancing, so that unit is served
// first next time. *position wraps to 0 once every unit is served.
struct DevicePass {
    int* position;
    int count;
    const char* step_text;
    const char* finished_text;
    void (*select)(int index);
    void (*serve)();
};
void device_run_pass(const DevicePass& pass);

// Reads the from-to=value set `app` "SETTINGS" for `count` units (default "1-count=1", at most 400
// characters). Item k (0-based) covering units from..to sets index[from-1 .. to-1] = k and calls
// add(value) once, so the profiles are appended in the order of the items; a unit that no item
// covers keeps its index entry. An item with from < 1, from > to or to > count raises
// `error_number` with `error_text` and ends the reading.
struct DeviceSettingsSet {
    const char* app;
    int count;
    std::int32_t* index;
    void (*add)(int value);
    const char* source;
    int line;
    int error_number;
    const char* error_text;
};
void device_read_settings_set(const DeviceSettingsSet& set);

// The profiles of the "SETTINGS" items: a singly linked list in item order, of records that start
// zero-filled and have a member `next`.
// The profile at list position k, or null when the list is shorter.
template <typename P> P* device_profile_at(P* head, std::int32_t k) {
    for (; head && k > 0; --k)
        head = head->next;
    return head;
}
// Appends a new profile; null (error 105 pending) when there is no memory for it.
template <typename P> P* device_profile_append(P** head) {
    auto* profile = static_cast<P*>(mem_alloc_zero(sizeof(P)));
    if (!profile)
        return nullptr;
    while (*head)
        head = &(*head)->next;
    *head = profile;
    return profile;
}
template <typename P> void device_profiles_free(P** head) {
    while (*head) {
        P* next = (*head)->next;
        mem_free(head);
        *head = next;
    }
}

// The link port, the link protocol and the device modules in their slots, nothing else: for
// programs that drive the devices without hosts or clock (tests, benchmarks).
ServerTable device_module_table();

// The address byte sent raw on the link port before a unit is addressed: (id − 1 + i) OR 0x80,
// from the id base (id − 1) and the 0-based index.
inline std::uint8_t device_address_byte(int id_base, int index) {
    return static_cast<std::uint8_t>((id_base + index) | 0x80);
}
