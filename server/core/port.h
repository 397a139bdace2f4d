// Serial ports COM1..COM8 of the server and the link port built on them.
#pragma once

#include <cstdint>

struct ProtUnit;

constexpr int PORT_MAX = 8;

struct PortSettings {
    std::uint32_t baud;
    std::uint8_t data_bits; // 5..8
    char parity;            // 'E', 'N' or 'O'
    std::uint16_t stop_bits; // 1 or 2
};

// Called with the unit's received command text; marks it taken with port_unit_clear(index, 2).
using PortCommandHandler = void (*)(ProtUnit* unit, const char* command);

void port_open(int index, const PortSettings* settings);
void port_close(int index);
int port_get_byte(int index);
void port_put_byte(int index, std::uint8_t byte);
void port_put_block(int index, const void* data, int length);
int port_queued(int index);
void port_purge_input(int index);
void port_wait_sent(int index);
void port_timeout_normal(int index);
void port_timeout_long(int index);
void port_timeout_ms(int index, int ms);
const char* port_status_text(std::uint32_t bits);

void port_attach_unit(int index, ProtUnit* unit);
void port_detach_unit(int index);
int port_unit_state(int index);
void port_unit_clear(int index, int what);
void port_unit_second(int index);
int port_serve_unit(int index, PortCommandHandler handler, ProtUnit* unit, int milliseconds);
void port_send_answer(int index, const void* data, int length);
void port_send_answer_plain(int index, const void* data, int length);

// The link port (IO PORT); every operation does nothing when no link port is configured.
void io_open();
void io_close();
void io_put_byte(std::uint8_t byte);
void io_put_block(const void* data, int length);
int io_get_byte();
void io_purge_input();
void io_wait_sent();
void io_timeout_normal();
void io_timeout_long();
void io_timeout_ms(int ms);
int io_unit_state();
void io_unit_clear(int what);
void io_unit_second();
int io_serve_unit(PortCommandHandler handler, ProtUnit* unit, int milliseconds);
void io_send_answer(const void* data, int length);
// Index of the link port (0..7), or -1 when none is open.
int io_port_index();
