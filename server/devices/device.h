// Pieces shared by the device modules that serve units on the link port one by one: the
// round-robin pass of a run step and the "SETTINGS" set that gives ranges of units a profile.
#pragma once

#include <cstdint>

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

// The address byte sent raw on the link port before a unit is addressed: (id − 1 + i) OR 0x80,
// from the id base (id − 1) and the 0-based index.
inline std::uint8_t device_address_byte(int id_base, int index) {
    return static_cast<std::uint8_t>((id_base + index) | 0x80);
}
