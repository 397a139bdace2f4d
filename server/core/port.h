// Serial ports COM1..COM8 of the server and the link port built on them.
#pragma once

#include <cstdint>
#include <memory>

struct ProtUnit;
namespace platform {
class SerialDevice;
}

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

// Slave support. While a unit is attached, the port's reader thread feeds it under the port's
// lock: read and change its flags only through port_unit_state / port_unit_clear / port_unit_second.
// Failures on the reader thread are retried there and never raised (the error system belongs to
// the main thread).
void port_attach_unit(int index, ProtUnit* unit);
void port_detach_unit(int index);
int port_unit_state(int index);
void port_unit_clear(int index, int what);
void port_unit_second(int index);
int port_serve_unit(int index, PortCommandHandler handler, ProtUnit* unit, int milliseconds);
void port_send_answer(int index, const void* data, int length);
void port_send_answer_plain(int index, const void* data, int length);

// port_open on a device that is already open (a pty, or an in-memory line in tests and fuzz
// targets) instead of the path configured for COMn; the settings are checked and applied the same.
void port_open_device(int index, const PortSettings* settings, std::unique_ptr<platform::SerialDevice> device);

// Waits of a port's reader thread: for a held command to be taken (release_ms), for the reader to
// come back to its idle point when a unit is detached (idle_ms), and before it tries again after a
// failed read or line-status query (retry_ms). Null restores 120000, 120000 and 100 ms.
struct PortWaits {
    int release_ms;
    int idle_ms;
    int retry_ms;
};
void port_set_waits(const PortWaits* waits);

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
// io_open without the settings: the link port is port `index` on an open device, 28800 baud 8E2,
// with the current long time-out factor (IO TIME_OUT, 25 until io_open reads it).
void io_open_device(int index, std::unique_ptr<platform::SerialDevice> device);
// Index of the link port (0..7), or -1 when none is open.
int io_port_index();
