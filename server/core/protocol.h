// The device link protocol: master exchanges on the link port and the unit (slave) state machine
// used by the server's own units on its COM and IO hosts.
#pragma once

#include <cstdint>

// Control bytes of the link.
constexpr std::uint8_t SOH = 0x01;
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t SO = 0x0E;
constexpr std::uint8_t SI = 0x0F;
constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t DC2 = 0x12;
constexpr std::uint8_t NAK = 0x15;

// Unit flags.
constexpr std::uint8_t UNIT_OWNER_MARK = 0x01;
constexpr std::uint8_t UNIT_REFUSE = 0x02;
constexpr std::uint8_t UNIT_COMMAND_HELD = 0x04;
constexpr std::uint8_t UNIT_SELECTED = 0x08;
constexpr std::uint8_t UNIT_BUSY = 0x20;
constexpr std::uint8_t UNIT_OVERFLOW = 0x40;
constexpr std::uint8_t UNIT_CONTROL_HELD = 0x80;

// Writes one byte to the unit's port.
using ProtSendByte = void (*)(int port_index, std::uint8_t byte);

// One served unit (slave side); owned by the host that serves it. Zero-initialise it, then set
// address, status, the buffers and selection_time.
struct ProtUnit {
    std::uint8_t stray_count;
    std::uint8_t flags;
    std::uint8_t control_byte;
    std::uint8_t status;
    std::uint32_t address;
    char* name;              // optional: addressed by name when present; name_capacity bytes, the
    std::uint32_t name_capacity; // received name is its first `accumulator` letters (no terminator)
    char* command;           // command_capacity + 1 bytes; the held command is zero-terminated
    std::uint32_t command_capacity;
    std::uint32_t received_length;
    std::uint32_t selection_time;      // seconds, reload value
    std::uint32_t selection_countdown; // seconds left
    std::uint8_t state;
    std::uint8_t accumulator;
};

// Master side (link port). Every operation does nothing while an error is pending, except
// prot_end. Failures are raised as numbered errors (source "_SOURCE\\protocol_b").

// Reads section PROTOCOL: ANSWER_TIME_OUT, CONNECT_TIME_OUT, COMMAND_TRYS, DATA_TRYS.
void prot_open();
void prot_reset();
// EOT, the decimal digits of address (none when address < 0), ENQ.
void prot_address(int address);
// Addressing; the unit's status byte (its status OR 0x80) lands in *status, 0 when none came.
// Waits CONNECT_TIME_OUT per byte, the no-time-out variant the port's long per-byte time-out.
void prot_connect(int address, std::uint8_t* status);
void prot_connect_no_timeout(int address, std::uint8_t* status);
// Command exchange with up to COMMAND_TRYS attempts; answer holds size + 1 bytes and is
// zero-terminated. 1 when answered; else 0 with error 118 pending (a NAK for a busy unit, 310, and
// an answer longer than size, 119, are not retried).
int prot_command_answer(const char* command, char* answer, int size);
int prot_command_answer_len(const char* command, int length, char* answer, int size);
void prot_send_frame(const char* command);
void prot_send_frame_len(const char* command, int length);
// One answer; 1 on success.
int prot_receive_answer(char* answer, int size);
// Pause between two attempts of a command exchange: 1 ms; fuzz targets make it 0.
void prot_set_retry_pause_ms(int ms);
// EOT DLE EOT, also while an error is pending.
void prot_end();
void prot_dle();

// Unit side. prot_slave_byte and prot_slave_second change the same record: for one unit they
// must not run at the same time (the port driver serialises them). The unit answers an addressing
// and refuses frames itself through send; a good command is held (UNIT_COMMAND_HELD) in `command`
// until the owner clears the flag, and the owner answers it with port_send_answer(_plain).
void prot_slave_byte(ProtUnit* unit, std::uint8_t byte, ProtSendByte send, int port_index);
void prot_slave_second(ProtUnit* unit);
