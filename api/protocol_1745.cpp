#include "api/protocol_1745.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "api/nuvra_error.h"
#include "api/nvapi_state.h"
#include "api/profile.h"
#include "server/core/linkframe.h"

namespace {

constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t NAK = 0x15;

// Frames are handed to the port whenever more than this many bytes are collected.
constexpr int FRAME_CHUNK = 493;
constexpr int ANNOUNCEMENT_TRIES = 26;

// NAK reason bits, tested in this order.
constexpr std::uint8_t REASON_BUFFER = 0x02;
constexpr std::uint8_t REASON_OVERRUN = 0x04;
constexpr std::uint8_t REASON_CHECK_SUM = 0x01;

void real_sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
CProtocol_1745::Sleep sleep_fn = real_sleep;

// One integer field: true and the value (clamped to int) when one starts at *p.
bool read_long(const char** p, long* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(*p, &end, 0);
    if (end == *p)
        return false;
    *value = v;
    *p = end;
    return true;
}

bool read_int(const char** p, int* value) {
    long v = 0;
    if (!read_long(p, &v))
        return false;
    *value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    return true;
}

bool next_field(const char** p) {
    if (**p != ',')
        return false;
    ++*p;
    return true;
}

void write_to_port(void* context, const std::uint8_t* data, int length) {
    static_cast<CIo_win*>(context)->Transmit(data, length);
}

} // namespace

IoParameters IoParseParameters(const char* parameters, IoKind kind) {
    IoParameters f;
    const char* p = parameters ? parameters : "";
    if (kind == IoKind::io) {
        f.unit_id = 128;
        f.sub_id = 1;
        read_int(&p, &f.port) && next_field(&p) && read_int(&p, &f.unit_id) && next_field(&p) &&
            read_int(&p, &f.sub_id);
        f.character_bits = 7;
        return f;
    }
    if (read_int(&p, &f.port) && next_field(&p) && read_long(&p, &f.baud) && next_field(&p) &&
        read_int(&p, &f.data_bits) && next_field(&p) && *p != '\0') {
        f.parity = *p++;
        next_field(&p) && read_int(&p, &f.stop_bits);
    }
    f.character_bits = f.data_bits;
    return f;
}

void CProtocol_1745::SetSleep(Sleep sleep) { sleep_fn = sleep ? sleep : real_sleep; }

void CProtocol_1745::ReadSettings() {
    const char* file = ApiSettingsPath();
    answer_time_out_ = ProfileGetInt("PROTOCOL", "ANSWER_TIME_OUT", 2000, file);
    connect_time_out_ = ProfileGetInt("PROTOCOL", "CONNECT_TIME_OUT", 100, file);
    connect_trys_ = ProfileGetInt("PROTOCOL", "CONNECT_TRYS", 2, file);
    command_trys_ = ProfileGetInt("PROTOCOL", "COMMAND_TRYS", 5, file);
    time_out_corr_ = ProfileGetInt("PROTOCOL", "TIME_OUT_CORR", 100, file);
}

CProtocol_1745::CProtocol_1745(const char* parameters, IoKind kind) : parameters_(IoParseParameters(parameters, kind)) {
    ReadSettings();
    port_ = std::make_unique<CIo_nt>(parameters_.port - 1, parameters_.baud, parameters_.data_bits,
                                     parameters_.parity, parameters_.stop_bits, time_out_corr_);
}

CProtocol_1745::CProtocol_1745(const char* parameters, IoKind kind, std::unique_ptr<CIo_win> port)
    : parameters_(IoParseParameters(parameters, kind)), port_(std::move(port)) {
    ReadSettings();
}

CProtocol_1745::~CProtocol_1745() {
    try {
        port_.reset();
    } catch (const CXNuvraError& e) {
        ApiMessageBox(e.text.c_str());
    }
}

// Begin: the connect exchange. Each attempt runs with the connect time-out per byte: it waits for
// the server's announcement where the line is shared (IO), then addresses the server with EOT ENQ
// (no address digits) and wants ACK alone. A NAK means the server is busy: not retried.
void CProtocol_1745::Begin() {
    int count = 0;
    for (;;) {
        try {
            ConnectAttempt();
            return;
        } catch (const CXNuvraError& e) {
            ApiErrorTrace(e);
            ++count;
            if (count >= connect_trys_ || e.number == ERROR_IO_CONNECT_NAK)
                break;
            ResetLine();
        }
    }
    try {
        port_->SetNormalTimeOut();
    } catch (const CXNuvraError&) {
    }
    NV_RAISE(ERROR_IO_CONNECT_TRIES,
             "Error Io, Connect Answer, '%d' attempts done, no response from target, check cabling or target is busy",
             count);
}

void CProtocol_1745::ConnectAttempt() {
    // Every attempt sets the connect time-out, so that a retry does not run with the normal one.
    port_->SetTimeOut(connect_time_out_);
    try {
        port_->WaitTransmitted();
        port_->PurgeReceiver();
        if (parameters_.unit_id > 0)
            AnnouncementCheck();
        const std::uint8_t addressing[] = {EOT, ENQ};
        port_->Transmit(addressing, sizeof addressing);
        std::uint8_t answer = 0;
        if (!port_->ReceiveByteTimed(&answer))
            NV_RAISE(ERROR_IO_CONNECT_TIME_OUT,
                     "Error Io, Connect Answer, receive time out from target, check cabling or target is busy");
        if (answer == NAK)
            NV_RAISE(ERROR_IO_CONNECT_NAK, "Error Io, Connect Answer, NAK (Negated) response from target, check "
                                           "cabling or target is busy");
        if (answer != ACK)
            NV_RAISE(ERROR_IO_CONNECT_ANSWER, "Error Io, Connect Answer, Incorrect status answer '%x'", answer);
    } catch (...) {
        port_->SetNormalTimeOut();
        throw;
    }
    port_->SetNormalTimeOut();
}

// The server's IO host announces itself with (id - 1) | 0x80 and its sub id, then waits only a
// short time for a master: the addressing must follow at once.
void CProtocol_1745::AnnouncementCheck() {
    const auto first = static_cast<std::uint8_t>((parameters_.unit_id + 127) % 256);
    const auto sub = static_cast<std::uint8_t>(parameters_.sub_id);
    for (int i = 0; i < ANNOUNCEMENT_TRIES; ++i) {
        port_->WaitForByte(first);
        if (port_->ReceiveByte() == sub) {
            // Announcements that queued up behind this one would be read as the answer to the
            // addressing; the answer itself cannot come before the addressing is sent.
            port_->PurgeReceiver();
            return;
        }
    }
    NV_RAISE(ERROR_GENERIC, "Error Io, Connect Answer, No correct Sub No ID received, check Server setting "
                            "IO,128,1 and Manager settings IO,1,128,1.");
}

// Between connect attempts: end whatever the server thinks is open and forget what it sent.
// Failures here show again in the next attempt, which counts them.
void CProtocol_1745::ResetLine() {
    try {
        port_->TransmitByte(EOT);
        port_->PurgeReceiver();
        sleep_fn(1);
        port_->PurgeReceiver();
    } catch (const CXNuvraError&) {
    }
}

// CommandAnswer: one frame out, the answer in, with retries. An input over-run at the server
// (NAK reason 0x04) and an answer larger than the caller's buffer are not retried.
void CProtocol_1745::CommandAnswer(const char* command, int length, char* answer, int size) {
    if (size > 0)
        answer[0] = '\0';
    int count = 0;
    for (;;) {
        try {
            CommandAttempt(command, length, answer, size);
            return;
        } catch (const CXNuvraError& e) {
            ApiErrorTrace(e);
            ++count;
            if (count >= command_trys_ || e.number == ERROR_IO_NAK_OVERRUN || e.number == ERROR_IO_ANSWER_TOO_LONG)
                break;
            sleep_fn(1);
        }
    }
    NV_RAISE(ERROR_IO_COMMAND_TRIES,
             "Error Io, Command Answer, '%d' attempts done, no responce from target, check cabling or target is busy",
             count);
}

// Frame: STX, each byte escaped (SO and value + 0x20; on 7-bit lines SI first for bit 7), ETX and
// the 8-bit data sum with bit 7 cleared.
void CProtocol_1745::SendFrame(const char* command, int length) {
    link_write_command(command, length < 0 ? 0 : length, parameters_.character_bits == 7, FRAME_CHUNK,
                       write_to_port, port_.get());
}

// The answer: data bytes (escaped as in a frame) up to ACK, then the check sum of the decoded
// bytes: modulo 128 on 7-bit lines, else modulo 256. NAK instead of ACK carries the server's
// reason in the byte before it; EOT means the server left the session.
void CProtocol_1745::CommandAttempt(const char* command, int length, char* answer, int size) {
    port_->PurgeReceiver();
    SendFrame(command, length);
    try {
        port_->SetTimeOut(answer_time_out_);
        port_->WaitTransmitted();
        std::uint8_t sum = 0;
        decode_state_ = LINK_DECODE_PLAIN;
        int stored = 0;
        if (size > 0)
            answer[0] = '\0';
        for (;;) {
            std::uint8_t byte = 0;
            if (!port_->ReceiveByteTimed(&byte))
                NV_RAISE(ERROR_IO_ANSWER_TIME_OUT,
                         "Error Io, Command Answer, time out of %3.2f seconds, only '%d' bytes received from target, "
                         "check cabling or target is busy",
                         answer_time_out_ / 1000.0, stored);
            if (byte == ACK)
                break;
            if (byte == EOT)
                NV_RAISE(ERROR_IO_ANSWER_EOT, "Error Io, Command Answer, target response interrupt with EOT, check "
                                              "cabling or target is out of phase");
            if (byte == NAK) {
                if (stored > 0) {
                    std::uint8_t reason = static_cast<std::uint8_t>(answer[--stored]);
                    answer[stored] = '\0';
                    if (reason & REASON_BUFFER)
                        NV_RAISE(ERROR_IO_NAK_BUFFER, "Error Io, Command Answer, target response NAK due to its "
                                                      "internal buffer is too small");
                    if (reason & REASON_OVERRUN)
                        NV_RAISE(ERROR_IO_NAK_OVERRUN,
                                 "Error Io, Command Answer, target response NAK due to over run at input buffer");
                    if (reason & REASON_CHECK_SUM)
                        NV_RAISE(ERROR_IO_NAK_CHECK_SUM,
                                 "Error Io, Command Answer, target response NAK due to check sum failuer");
                }
                NV_RAISE(ERROR_IO_NAK_OTHER, "Error Io, Command Answer, target response NAK due to non listed error");
            }
            if (stored + 1 >= size)
                NV_RAISE(ERROR_IO_ANSWER_TOO_LONG, "Error Io, Command Answer, this programs answer string is too short");
            int value = link_decode(&decode_state_, byte);
            if (value == LINK_DECODE_ESCAPE)
                continue;
            answer[stored++] = static_cast<char>(value);
            answer[stored] = '\0';
            sum = static_cast<std::uint8_t>(sum + value);
        }
        std::uint8_t received = 0;
        if (!port_->ReceiveByteTimed(&received))
            NV_RAISE(ERROR_IO_SUM_TIME_OUT, "Error Io, Command Answer, receive time out from target on check sum, "
                                            "check cabling or target is busy");
        if (parameters_.character_bits == 7)
            sum &= 0x7F;
        if (sum != received)
            NV_RAISE(ERROR_IO_SUM, "Error Io, Command Answer, check sum failed, check cabling");
    } catch (...) {
        port_->SetNormalTimeOut();
        throw;
    }
    port_->SetNormalTimeOut();
}

// End of a session: EOT DLE EOT, nothing awaited.
void CProtocol_1745::End() {
    const std::uint8_t end[] = {EOT, DLE, EOT};
    port_->Transmit(end, sizeof end);
}
