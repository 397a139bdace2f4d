// The link framing as the devices see it: control bytes, SO/SI escaping, the two check sums, and
// the unit's receiving state machine. Written for the simulated devices; it shares nothing with the
// server's own link code, so that one can be tested against the other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ETX = 0x03;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ENQ = 0x05;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t SO = 0x0E;
inline constexpr std::uint8_t SI = 0x0F;
inline constexpr std::uint8_t DLE = 0x10;
inline constexpr std::uint8_t DC2 = 0x12;
inline constexpr std::uint8_t NAK = 0x15;

// NAK reason bits; the reason byte is 0x40 OR these, sent just before NAK.
inline constexpr std::uint8_t NAK_CHECKSUM = 0x01;
inline constexpr std::uint8_t NAK_TOO_LONG = 0x02;
inline constexpr std::uint8_t NAK_BUSY = 0x04;

// Data values that never travel as themselves inside a frame: 0x01-0x06, 0x0E-0x12, 0x15-0x17.
bool is_escaped(std::uint8_t value);

// Appends one data byte: bit 7 becomes a leading SI, an escaped value becomes SO, value + 0x20.
void encode_byte(std::uint8_t b, Bytes& out);

// Sum of the data bytes modulo 256 with bit 7 cleared: the check sum of a master's command frame.
std::uint8_t command_sum(std::string_view data);
// Sum of the data bytes modulo 256, all 8 bits: what the master checks after an answer's ACK.
std::uint8_t answer_sum(std::string_view data);

// A device's answer frame: the encoded bytes, ACK, the 8-bit sum.
Bytes encode_answer(std::string_view data);
// A master's command frame: STX, the encoded bytes, ETX, the 7-bit sum. Used by tests and tools
// that play the master against the simulator.
Bytes encode_command(std::string_view data);

// The receiver's four escape states. feed() returns the data byte, or -1 when the byte only
// changed the state (SO, SI, or SO right after SI). Arithmetic is modulo 256.
class EscapeDecoder {
  public:
    int feed(std::uint8_t b);
    void reset() { state_ = State::plain; }

  private:
    enum class State { plain, after_so, after_si, after_si_so };
    State state_ = State::plain;
};

// The master's view of one answer, for tests and tools: bytes are fed until a result is known.
class AnswerReader {
  public:
    enum class Result { more, answer, nak, eot, bad_sum };
    Result feed(std::uint8_t b);
    // The decoded answer; after a NAK, the bytes before the reason byte.
    const std::string& text() const { return text_; }
    // The reason byte before a NAK, or 0 when the NAK came alone.
    std::uint8_t nak_reason() const { return reason_; }
    void reset();

  private:
    EscapeDecoder decoder_;
    std::string text_;
    std::uint8_t reason_ = 0;
    std::uint8_t sum_ = 0;
    bool awaiting_sum_ = false;
};

// What a unit's state machine asks its owner to do after one byte.
enum class UnitEvent {
    none,
    addressed,    // its address was completed with ENQ: answer status OR 0x80 and ACK
    command,      // a frame with a good check sum arrived: answer it (text in command())
    bad_frame,    // a frame failed: answer the reason byte (nak_reason()) and NAK
    out_of_phase, // the 11th stray byte: send EOT
    control_byte, // a DC2 message arrived (control_byte())
    released,     // EOT DLE EOT ended the exchange
    eot,          // any EOT; ends what the previous addressing began
};

// The unit side of the link with numeric addressing, as a device runs it. States keep the
// numbers of the protocol's table: 0 idle, 1 address digits, 2 after DLE, 3 selected, 4 frame,
// 5 after SO, 6 after SI, 7 after SI SO, 8 check sum, 14 after DC2, 99 out of phase.
//
// A device takes each command as soon as its check sum is good, so unlike the server's own units
// it never holds one. A frame is only reported while the unit is selected: on a shared line a
// unit that lost its phase must not answer a frame addressed to another unit.
//
// Broadcast (main displays): a DLE received while idle marks the next addressing and frame as a
// broadcast, which the owner takes without answering; the mark ends with the release or the
// selection time-out.
class UnitMachine {
  public:
    UnitMachine(int address, std::size_t capacity, bool takes_broadcast, int selection_seconds = 5);

    UnitEvent feed(std::uint8_t b);
    // Once a second: the selection countdown; at 0 the unit drops its selection and goes idle.
    void second();
    // Power-on state: idle, not selected.
    void reset();

    int state() const { return state_; }
    bool selected() const { return selected_; }
    bool broadcast() const { return broadcast_; }
    const std::string& command() const { return command_; }
    std::uint8_t nak_reason() const { return reason_; }
    std::uint8_t control_byte() const { return control_; }
    int address() const { return address_; }

  private:
    void eot_reset();
    void start_frame();
    UnitEvent store(std::uint8_t b);
    UnitEvent frame_end(std::uint8_t sum);

    int address_;
    std::size_t capacity_;
    bool takes_broadcast_;
    int selection_seconds_;

    int state_ = 0;
    std::uint8_t accumulator_ = 0;
    std::uint8_t stray_ = 0;
    bool selected_ = false;
    bool broadcast_ = false;
    bool overflow_ = false;
    int countdown_ = 0;
    std::string command_;
    std::uint8_t reason_ = 0;
    std::uint8_t control_ = 0;
};

} // namespace nvsim
