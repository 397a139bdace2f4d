#include "server/core/protocol.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "server/core/errorsys.h"
#include "server/core/fatal.h"
#include "server/core/inisys.h"
#include "server/core/linkframe.h"
#include "server/core/port.h"

namespace {

const char* const SOURCE = "_SOURCE\\protocol_b";

// Frames of a zero-terminated command go out in blocks of a little more than 493 bytes, counted
// commands in blocks of a little more than 93.
constexpr int FRAME_CHUNK_TEXT = 493;
constexpr int FRAME_CHUNK_COUNTED = 93;
// Longest text prot_address sends between EOT and ENQ.
constexpr int TRANSMIT_TEXT_MAX = 500;

struct ProtSettings {
    int answer_time_out;
    int connect_time_out;
    int command_trys;
    int data_trys; // read and kept; no exchange uses it
};

ProtSettings settings = {2000, 100, 5, 5};
int retry_pause_ms = 1;

struct SettingKey {
    const char* key;
    int def;
    int min;
    int max;
    int ProtSettings::*member;
};

constexpr SettingKey setting_keys[] = {
    {"ANSWER_TIME_OUT", 2000, 10, 30000, &ProtSettings::answer_time_out},
    {"CONNECT_TIME_OUT", 100, 10, 30000, &ProtSettings::connect_time_out},
    {"COMMAND_TRYS", 5, 1, 100, &ProtSettings::command_trys},
    {"DATA_TRYS", 5, 1, 100, &ProtSettings::data_trys},
};

void read_settings() {
    error_set_step("Open Protocol: ", 0);
    for (const SettingKey& k : setting_keys)
        settings.*k.member = static_cast<int>(ini_get_number("PROTOCOL", k.key, k.def, k.min, k.max, INI_FILE));
    error_set_step("Open Protocol finished: ", 0);
}

void write_to_link(void*, const std::uint8_t* data, int length) {
    // A failed block leaves its error pending; the rest of the frame would be useless.
    if (!error_pending())
        io_put_block(data, length);
}

void send_frame(const char* command, int length, int chunk) {
    if (error_pending())
        return;
    link_write_command(command, length, true, chunk, write_to_link, nullptr);
}

// Messages that differ between the two connect variants.
struct ConnectLines {
    bool long_time_out;
    int status_number;
    int status_line;
    int receive_line; // 113
    int nak_line;     // 114
    int other_line;   // 115
};

constexpr ConnectLines connect_lines = {false, 280, 58, 66, 69, 72};
constexpr ConnectLines connect_no_timeout_lines = {true, 395, 99, 107, 110, 113};

void connect(int address, std::uint8_t* status, const ConnectLines& lines) {
    if (status)
        *status = 0;
    if (error_pending())
        return;
    io_purge_input();
    prot_address(address);
    if (lines.long_time_out)
        io_timeout_long();
    else
        io_timeout_ms(settings.connect_time_out);
    io_wait_sent();
    if (address >= 0 && !error_pending()) {
        int byte = io_get_byte();
        if (error_pending()) {
            if (lines.long_time_out)
                error_report(SOURCE, lines.status_line, lines.status_number,
                             "Error Io, Connect Answer No Timeout, time out, check cables and target");
            else
                error_report(SOURCE, lines.status_line, lines.status_number,
                             "Error Io, Connect Answer, time out of %d.%03d seconds, no reply from target, check "
                             "cabling or target is busy",
                             settings.connect_time_out / 1000, settings.connect_time_out % 1000);
        } else if (status) {
            *status = static_cast<std::uint8_t>(byte);
        }
    }
    if (!error_pending()) {
        int byte = io_get_byte();
        if (error_pending())
            error_report(SOURCE, lines.receive_line, 113,
                         "Error Io, Connect Answer, receive time out from target, check cabling or target is busy");
        else if (byte == NAK)
            error_report(SOURCE, lines.nak_line, 114,
                         "Error Io, Connect Answer, NAK (Negated) responce from target, check cabling or target "
                         "is busy");
        else if (byte != ACK)
            error_report(SOURCE, lines.other_line, 115, "Error Io, Connect Answer, status answer more than one byte");
    }
    io_timeout_normal();
}

int command_answer(const char* command, int length, int chunk, char* answer, int size, int line_118) {
    if (answer)
        answer[0] = '\0';
    if (error_pending())
        return 0;
    int attempts = 0;
    for (;;) {
        io_purge_input();
        send_frame(command, length, chunk);
        if (prot_receive_answer(answer, size))
            return 1;
        ++attempts;
        if (attempts >= settings.command_trys)
            break;
        int pending = error_pending();
        // A busy unit and an answer too long for the caller will not change on a retry.
        if (pending == 310 || pending == 119)
            break;
        if (pending)
            error_discard();
        if (retry_pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(retry_pause_ms));
    }
    // The last attempt's error stays recorded beside this one.
    error_report(SOURCE, line_118, 118,
                 "Error Io, Command Answer, '%d' attempts done, all with an NAK (Negative) responce from target, "
                 "check cabling or target is busy",
                 attempts);
    return 0;
}

} // namespace

void prot_open() {
    if (error_pending())
        return;
    read_settings();
}

void prot_reset() {
    if (error_pending())
        return;
    read_settings();
}

void prot_address(int address) {
    if (error_pending())
        return;
    char text[16] = "";
    if (address >= 0)
        std::snprintf(text, sizeof text, "%d", address);
    std::size_t length = std::strlen(text);
    if (length > TRANSMIT_TEXT_MAX) {
        error_report(SOURCE, 652, 126,
                     "Error Io, Transmit String, Abnormal lenght more than '%d' tokens, check settings",
                     TRANSMIT_TEXT_MAX);
        length = TRANSMIT_TEXT_MAX;
    }
    // EOT, the text (SI before a byte with bit 7 set), ENQ.
    std::uint8_t out[2 * TRANSMIT_TEXT_MAX + 2];
    int n = 0;
    out[n++] = EOT;
    for (std::size_t i = 0; i < length; ++i) {
        auto byte = static_cast<std::uint8_t>(text[i]);
        if (byte >= 0x80) {
            out[n++] = SI;
            byte = static_cast<std::uint8_t>(byte - 0x80);
        }
        out[n++] = byte;
    }
    out[n++] = ENQ;
    io_put_block(out, n);
}

void prot_connect(int address, std::uint8_t* status) { connect(address, status, connect_lines); }

void prot_connect_no_timeout(int address, std::uint8_t* status) {
    connect(address, status, connect_no_timeout_lines);
}

int prot_command_answer(const char* command, char* answer, int size) {
    return command_answer(command, static_cast<int>(std::strlen(command)), FRAME_CHUNK_TEXT, answer, size, 170);
}

int prot_command_answer_len(const char* command, int length, char* answer, int size) {
    return command_answer(command, length, FRAME_CHUNK_COUNTED, answer, size, 240);
}

void prot_send_frame(const char* command) {
    send_frame(command, static_cast<int>(std::strlen(command)), FRAME_CHUNK_TEXT);
}

void prot_send_frame_len(const char* command, int length) { send_frame(command, length, FRAME_CHUNK_COUNTED); }

// Reads one answer: data bytes (escaped) up to ACK, then the 8-bit sum of the decoded bytes. The
// first byte may take ANSWER_TIME_OUT, every later one the port's long per-byte time-out. A NAK
// carries the unit's reason as the last data byte before it. Every path ends at a per-byte time-out
// or at `size` stored bytes at the latest, since the decoder swallows at most two escapes in a row.
int prot_receive_answer(char* answer, int size) {
    if (answer)
        answer[0] = '\0';
    if (error_pending())
        return 0;
    NV_ASSERT(answer != nullptr);
    if (size < 0)
        size = 0;
    std::uint8_t state = LINK_DECODE_PLAIN;
    std::uint8_t sum = 0;
    int count = 0;

    io_timeout_ms(settings.answer_time_out);
    io_wait_sent();
    int byte = io_get_byte();
    io_timeout_long();
    if (error_pending())
        error_report(SOURCE, 306, 116,
                     "Error Io, Command Answer, time out of %d.%03d seconds, no replay from target, check cabling or "
                     "target is busy",
                     settings.answer_time_out / 1000, settings.answer_time_out % 1000);
    while (!error_pending()) {
        if (byte == ACK)
            break;
        if (byte == EOT) {
            error_report(SOURCE, 314, 286,
                         "Error Io, Command Answer, target response interrupt with EOT, check cabling or target is "
                         "out of phase");
            break;
        }
        if (byte == NAK) {
            io_timeout_normal();
            if (count > 0) {
                auto reason = static_cast<std::uint8_t>(answer[--count]);
                answer[count] = '\0';
                if (reason & 0x02)
                    error_report(SOURCE, 323, 309,
                                 "Error Io, Command Answer, target response NAK due to its internal buffer is too "
                                 "small");
                else if (reason & 0x04)
                    error_report(SOURCE, 326, 310,
                                 "Error Io, Command Answer, target response NAK due to over run at input buffer");
                else if (reason & 0x01)
                    error_report(SOURCE, 329, 311,
                                 "Error Io, Command Answer, target response NAK due to check sum failuer");
            }
            return 0;
        }
        if (count >= size) {
            error_report(SOURCE, 341, 119,
                         "Error Io, Command Answer, this programs answer string is too short, received string until "
                         "now is '%s'",
                         answer);
            io_timeout_normal();
            return 0;
        }
        int data = link_decode(&state, static_cast<std::uint8_t>(byte));
        if (data != LINK_DECODE_ESCAPE) {
            answer[count++] = static_cast<char>(data);
            answer[count] = '\0';
            sum = static_cast<std::uint8_t>(sum + data);
        }
        byte = io_get_byte();
        if (error_pending())
            error_report(SOURCE, 366, 117,
                         "Error Io, Command Answer, receive time out from target, check cabling or target is busy");
    }
    if (!error_pending()) {
        int check = io_get_byte();
        if (error_pending()) {
            error_report(SOURCE, 374, 120,
                         "Error Io, Command Answer, receive time out from target on check sum, check cabling or "
                         "target is busy");
            check = 0;
        }
        if (static_cast<std::uint8_t>(check) != sum)
            error_report(SOURCE, 377, 121, "Error Io, Command Answer, check sum failed, check cabling");
    }
    io_timeout_normal();
    return error_pending() ? 0 : 1;
}

void prot_set_retry_pause_ms(int ms) { retry_pause_ms = ms < 0 ? 0 : ms; }

void prot_end() {
    static const std::uint8_t end[] = {EOT, DLE, EOT};
    io_put_block(end, sizeof end);
}

void prot_dle() {
    if (error_pending())
        return;
    io_put_byte(DLE);
}

// ---------------------------------------------------------------------------------------------
// Unit side.
//
// A unit waits in state 0 for EOT, then collects its address (digits, state 1, or capital letters,
// state 15) up to ENQ. A matching address is answered (numeric: status OR 0x80; name: the echo of
// "VELKOR" when that was the name) with ACK, or NAK when the owner makes it refuse, and the unit is
// selected (state 3). A selected unit takes command frames STX/SOH .. ETX, check sum (states 4 to
// 8; states 5, 6, 7 are the decoder after SO, SI and SI SO), and one-byte DC2 messages (state 14).
// A good frame is zero-terminated in the command buffer and held until the owner takes it; the
// unit answers nothing then, the owner answers through port_send_answer. A bad check sum, a frame
// longer than the buffer or a frame while a command is held is answered with a reason byte and
// NAK. EOT DLE EOT releases the unit. Anything out of order puts the unit out of phase (state 99):
// it counts stray bytes, sends EOT at the 11th and waits for EOT, or for STX when it is selected.
//
// What survives between calls: all of it lives in the ProtUnit record.

namespace {

constexpr std::uint8_t UNIT_IDLE = 0;
constexpr std::uint8_t UNIT_NUMERIC_ADDRESS = 1;
constexpr std::uint8_t UNIT_AFTER_DLE = 2;
constexpr std::uint8_t UNIT_SELECTED_WAIT = 3;
constexpr std::uint8_t UNIT_FRAME = 4; // 4 + the link decoder's state, up to 7
constexpr std::uint8_t UNIT_CHECK_SUM = 8;
constexpr std::uint8_t UNIT_AFTER_DC2 = 14;
constexpr std::uint8_t UNIT_NAME_ADDRESS = 15;
constexpr std::uint8_t UNIT_OUT_OF_PHASE = 99;

constexpr char UNIT_NAME[] = "VELKOR";
constexpr std::uint32_t UNIT_NAME_LENGTH = sizeof UNIT_NAME - 1;
// The stray count's value before the byte that is answered with EOT.
constexpr std::uint8_t STRAY_EOT_AT = 10;

void eot_reset(ProtUnit* unit) {
    unit->flags &= static_cast<std::uint8_t>(~UNIT_CONTROL_HELD);
    unit->stray_count = 0;
    unit->accumulator = 0;
    unit->state = unit->name ? UNIT_NAME_ADDRESS : UNIT_NUMERIC_ADDRESS;
}

void reload(ProtUnit* unit) { unit->selection_countdown = unit->selection_time; }

// A frame that starts while a command is held is busy from its first byte on, so that even an
// empty one is refused and the held command and its length stay untouched.
void start_frame(ProtUnit* unit) {
    unit->accumulator = 0;
    unit->flags &= static_cast<std::uint8_t>(~(UNIT_BUSY | UNIT_OVERFLOW));
    if (unit->flags & UNIT_COMMAND_HELD)
        unit->flags |= UNIT_BUSY;
    else
        unit->received_length = 0;
    unit->state = UNIT_FRAME;
}

// After a matching address (and its status byte or name echo).
void accept_selection(ProtUnit* unit, ProtSendByte send, int port_index) {
    if (unit->flags & UNIT_REFUSE) {
        send(port_index, NAK);
        unit->state = UNIT_IDLE;
        return;
    }
    send(port_index, ACK);
    unit->flags |= UNIT_SELECTED;
    reload(unit);
    unit->state = UNIT_SELECTED_WAIT;
}

void store(ProtUnit* unit, std::uint8_t data) {
    if (unit->received_length >= unit->command_capacity) {
        unit->flags |= UNIT_OVERFLOW;
        return;
    }
    unit->command[unit->received_length++] = static_cast<char>(data);
    unit->accumulator = static_cast<std::uint8_t>(unit->accumulator + data);
}

void frame_byte(ProtUnit* unit, std::uint8_t byte) {
    reload(unit);
    if (byte == ETX) {
        unit->state = UNIT_CHECK_SUM;
        return;
    }
    if (byte == EOT) {
        eot_reset(unit);
        return;
    }
    std::uint8_t decoder = static_cast<std::uint8_t>(unit->state - UNIT_FRAME);
    if (decoder == LINK_DECODE_PLAIN) {
        if (unit->flags & (UNIT_COMMAND_HELD | UNIT_BUSY)) {
            unit->flags |= UNIT_BUSY;
            return;
        }
        if (unit->received_length >= unit->command_capacity) {
            unit->flags |= UNIT_OVERFLOW;
            return;
        }
    }
    int data = link_decode(&decoder, byte);
    unit->state = static_cast<std::uint8_t>(UNIT_FRAME + decoder);
    if (data != LINK_DECODE_ESCAPE)
        store(unit, static_cast<std::uint8_t>(data));
}

void check_sum_byte(ProtUnit* unit, std::uint8_t byte, ProtSendByte send, int port_index) {
    reload(unit);
    unit->accumulator &= 0x7F;
    if (unit->flags & (UNIT_BUSY | UNIT_OVERFLOW)) {
        std::uint8_t reason = 0x40;
        if (unit->flags & UNIT_OVERFLOW)
            reason |= 0x02;
        if (unit->flags & UNIT_BUSY)
            reason |= 0x04;
        send(port_index, reason);
        send(port_index, NAK);
    } else if (byte == unit->accumulator) {
        // A sum byte with bit 7 set never matches: the sum has seven bits.
        unit->command[unit->received_length] = '\0';
        unit->flags |= UNIT_COMMAND_HELD;
    } else {
        send(port_index, 0x41);
        send(port_index, NAK);
    }
    unit->state = UNIT_SELECTED_WAIT;
}

void name_enq(ProtUnit* unit, ProtSendByte send, int port_index) {
    std::uint32_t length = unit->accumulator;
    bool is_velkor = unit->name && length == UNIT_NAME_LENGTH && std::memcmp(unit->name, UNIT_NAME, UNIT_NAME_LENGTH) == 0;
    if (length > 0 && !is_velkor) {
        unit->state = UNIT_IDLE;
        return;
    }
    if (is_velkor)
        for (std::uint32_t i = 0; i < UNIT_NAME_LENGTH; ++i)
            send(port_index, static_cast<std::uint8_t>(UNIT_NAME[i]));
    accept_selection(unit, send, port_index);
}

void out_of_phase_byte(ProtUnit* unit, std::uint8_t byte, ProtSendByte send, int port_index) {
    if (byte == EOT) {
        eot_reset(unit);
    } else if (byte == STX && (unit->flags & UNIT_SELECTED)) {
        // Only a selected unit takes a frame here: on a shared line an unselected one would take
        // the frame meant for the unit that is.
        unit->stray_count = 0;
        start_frame(unit);
    } else {
        if (unit->stray_count == STRAY_EOT_AT)
            send(port_index, EOT);
        ++unit->stray_count;
    }
}

} // namespace

void prot_slave_byte(ProtUnit* unit, std::uint8_t byte, ProtSendByte send, int port_index) {
    NV_ASSERT(unit != nullptr && send != nullptr);
    switch (unit->state) {
    case UNIT_NUMERIC_ADDRESS:
        if (byte >= '0' && byte <= '9') {
            unit->accumulator = static_cast<std::uint8_t>(unit->accumulator * 10 + (byte - '0'));
        } else if (byte == ENQ) {
            // The address is accumulated in 8 bits: addresses above 255 never match.
            if (unit->address == unit->accumulator) {
                send(port_index, static_cast<std::uint8_t>(unit->status | 0x80));
                accept_selection(unit, send, port_index);
            } else {
                unit->state = UNIT_IDLE;
            }
        } else if (byte == DLE) {
            unit->state = UNIT_AFTER_DLE;
        } else if (byte != EOT) {
            unit->state = UNIT_OUT_OF_PHASE;
        }
        break;
    case UNIT_NAME_ADDRESS:
        if (byte >= 'A' && byte <= 'Z') {
            if (unit->name && unit->accumulator < unit->name_capacity && unit->accumulator < 0xFF)
                unit->name[unit->accumulator++] = static_cast<char>(byte);
        } else if (byte == ENQ) {
            name_enq(unit, send, port_index);
        } else if (byte == DLE) {
            unit->state = UNIT_AFTER_DLE;
        } else if (byte != EOT) {
            unit->state = UNIT_OUT_OF_PHASE;
        }
        break;
    case UNIT_AFTER_DLE:
        if (byte == EOT) {
            unit->flags &= static_cast<std::uint8_t>(~(UNIT_OWNER_MARK | UNIT_CONTROL_HELD | UNIT_SELECTED));
            unit->selection_countdown = 0;
            unit->state = UNIT_IDLE;
        } else {
            unit->state = UNIT_OUT_OF_PHASE;
        }
        break;
    case UNIT_SELECTED_WAIT:
        if (byte == EOT)
            eot_reset(unit);
        else if (byte == STX || byte == SOH)
            start_frame(unit);
        else if (byte == DC2)
            unit->state = UNIT_AFTER_DC2;
        else
            unit->state = UNIT_OUT_OF_PHASE;
        break;
    case UNIT_FRAME:
    case UNIT_FRAME + 1:
    case UNIT_FRAME + 2:
    case UNIT_FRAME + 3:
        frame_byte(unit, byte);
        break;
    case UNIT_CHECK_SUM:
        check_sum_byte(unit, byte, send, port_index);
        break;
    case UNIT_AFTER_DC2:
        unit->control_byte = byte;
        unit->flags |= UNIT_CONTROL_HELD;
        reload(unit);
        unit->state = UNIT_SELECTED_WAIT;
        break;
    case UNIT_OUT_OF_PHASE:
        out_of_phase_byte(unit, byte, send, port_index);
        break;
    default: // idle, and any state an owner may have left behind
        if (byte == EOT)
            eot_reset(unit);
        else
            unit->state = UNIT_IDLE;
        break;
    }
}

void prot_slave_second(ProtUnit* unit) {
    if (unit->selection_countdown == 0)
        return;
    if (--unit->selection_countdown == 0) {
        unit->flags &= static_cast<std::uint8_t>(
            ~(UNIT_COMMAND_HELD | UNIT_CONTROL_HELD | UNIT_OWNER_MARK | UNIT_SELECTED));
        unit->state = UNIT_IDLE;
    }
}
