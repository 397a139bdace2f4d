// Framing of the device link: character escaping, the answer decoder and the check sums. One
// library for every speaker of the link in this code base: the server's master (protocol.cpp),
// the server's unit answers (port_send_answer / port_send_answer_plain in port.cpp) and the
// client library's IO transport. It depends on nothing but the standard library.
//
// Escaping: the data values 0x01-0x06, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x15, 0x16, 0x17 never travel
// bare inside a frame; they go as SO and the value + 0x20. Every other value below 0x20 (0x00
// included) travels bare. On 7-bit lines a byte with bit 7 set goes as SI and then the byte - 0x80
// escaped as above, so 0x82 is SI SO 0x22. On 8-bit lines ("plain") such a byte goes as it is.
//
// Check sums: a command frame carries the 8-bit sum of its data bytes (before escaping) with bit 7
// cleared. An answer carries the 8-bit sum of its data bytes; units on 7-bit lines clear bit 7.
//
// Which function for which sender:
//   master command frame (prot_send_frame):        link_write_command(..., use_si = true, 493 or 93)
//   port_send_answer (7-bit unit answer):          link_write_answer(..., use_si = true, 93)
//   port_send_answer_plain (8-bit unit answer):    link_write_answer(..., use_si = false, 93)
//   client IO transport command frame:             link_write_command(..., use_si = seven-bit line, 493)
//   any answer reader (master, client):            link_decode per byte after taking out ACK/NAK/EOT
#pragma once

#include <cstdint>

// Longest encoding of one data byte: SI SO x.
constexpr int LINK_ENCODED_MAX = 3;
// Largest chunk a writer collects before handing bytes on.
constexpr int LINK_CHUNK_MAX = 500;

// True for the data values that travel as SO and value + 0x20.
bool link_is_escaped(std::uint8_t value);

// Encodes one data byte into out (room for LINK_ENCODED_MAX bytes); returns the count written.
// use_si: a byte with bit 7 set goes as SI and its low seven bits (escaped in turn); without it
// such a byte goes bare.
int link_encode_byte(std::uint8_t byte, bool use_si, std::uint8_t* out);

// Answer decoder states; a new answer starts in LINK_DECODE_PLAIN.
constexpr std::uint8_t LINK_DECODE_PLAIN = 0;
constexpr std::uint8_t LINK_DECODE_AFTER_SO = 1;    // next byte - 0x20 is data
constexpr std::uint8_t LINK_DECODE_AFTER_SI = 2;    // next byte + 0x80 is data, unless it is SO
constexpr std::uint8_t LINK_DECODE_AFTER_SI_SO = 3; // next byte + 0x60 is data
constexpr int LINK_DECODE_ESCAPE = -1;

// Feeds one received byte to the decoder; frame control bytes (ACK, NAK, EOT, ETX) are the
// caller's to take out first. Returns the data byte (0..255), or LINK_DECODE_ESCAPE when the byte
// was SO or SI and nothing is stored yet. At most two escape bytes in a row are swallowed, so an
// endless stream of escapes still yields a data byte for every third byte at the latest.
int link_decode(std::uint8_t* state, std::uint8_t byte);

// 8-bit sum of the data bytes.
std::uint8_t link_sum(const void* data, int length);
// The command frame check sum: link_sum with bit 7 cleared.
std::uint8_t link_command_sum(const void* data, int length);

// Receives collected frame bytes; context is the writer's.
using LinkWrite = void (*)(void* context, const std::uint8_t* data, int length);

// Frames a command: STX, the encoded bytes, ETX, link_command_sum. The bytes are collected in a
// buffer and handed to write whenever more than chunk bytes are collected (chunk is cut to
// LINK_CHUNK_MAX - LINK_ENCODED_MAX) and once more at the end.
void link_write_command(const void* data, int length, bool use_si, int chunk, LinkWrite write, void* context);

// Frames a unit's answer: the encoded bytes, ACK, the check sum. With use_si the sum has bit 7
// cleared (port_send_answer); without it the bytes with bit 7 set go bare and the sum keeps all
// eight bits (port_send_answer_plain). Chunking as for link_write_command.
void link_write_answer(const void* data, int length, bool use_si, int chunk, LinkWrite write, void* context);
