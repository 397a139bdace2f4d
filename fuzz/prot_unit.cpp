// The unit's receiving state machine fed arbitrary line bytes. Input: a configuration byte, a
// timer period byte, then the line bytes.
//   configuration bits 0-2: command capacity 0..7; bit 3: a name buffer (capacity from bits 4-5:
//   0, 5, 6 or 10); bit 6: the unit refuses selection; bit 7: the owner takes every held command.
//   timer period: prot_slave_second after every n-th byte (0: never).
// Buffers are allocated to their exact size, so any write past them is caught.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "server/core/protocol.h"

namespace {

int sent_since_byte = 0;

void count_send(int, std::uint8_t) { ++sent_since_byte; }

bool valid_state(std::uint8_t state) {
    return state <= 8 || state == 14 || state == 15 || state == 99;
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint8_t config = data[0];
    const std::uint8_t period = data[1];
    static const std::uint32_t name_sizes[] = {0, 5, 6, 10};

    ProtUnit unit{};
    unit.address = 12;
    unit.status = 0x01;
    unit.selection_time = 2;
    unit.command_capacity = config & 0x07;
    auto command = std::make_unique<char[]>(unit.command_capacity + 1);
    unit.command = command.get();
    std::unique_ptr<char[]> name;
    if (config & 0x08) {
        unit.name_capacity = name_sizes[(config >> 4) & 0x03];
        name = std::make_unique<char[]>(unit.name_capacity == 0 ? 1 : unit.name_capacity);
        unit.name = name.get();
    }
    if (config & 0x40)
        unit.flags |= UNIT_REFUSE;

    for (std::size_t i = 2; i < size; ++i) {
        sent_since_byte = 0;
        bool was_held = unit.flags & UNIT_COMMAND_HELD;
        std::uint32_t held_length = unit.received_length;
        prot_slave_byte(&unit, data[i], count_send, 0);
        check(sent_since_byte <= 7); // "VELKOR" and ACK at most
        check(valid_state(unit.state));
        check(unit.received_length <= unit.command_capacity);
        if (was_held && (unit.flags & UNIT_COMMAND_HELD))
            check(unit.received_length == held_length);
        if (unit.flags & UNIT_COMMAND_HELD)
            check(unit.command[unit.received_length] == '\0');
        if (unit.name && unit.state == 15)
            check(unit.accumulator <= unit.name_capacity);
        if (config & 0x80)
            unit.flags &= static_cast<std::uint8_t>(~UNIT_COMMAND_HELD);
        if (period != 0 && (i % period) == 0)
            prot_slave_second(&unit);
    }
    return 0;
}
