// CProtocol_1745: the transport of "IO[,port[,id[,sub id]]]" and "COM[,port[,baud[,data bits[,parity
// [,stop bits]]]]]". The library is the master of the link framing (server/core/linkframe.h)
// towards the server's IO or serial host: EOT ENQ opens a session, each command goes as one frame
// and the answer comes back escaped with its check sum, EOT DLE EOT closes the session.
#pragma once

#include <cstdint>
#include <memory>

#include "api/io_nt.h"
#include "api/protocol.h"

// The IO link's error numbers.
constexpr int ERROR_IO_CONNECT_TRIES = 2078;
constexpr int ERROR_IO_CONNECT_TIME_OUT = 2079;
constexpr int ERROR_IO_CONNECT_NAK = 2080;
constexpr int ERROR_IO_CONNECT_ANSWER = 2081;
constexpr int ERROR_IO_COMMAND_TRIES = 2082;
constexpr int ERROR_IO_ANSWER_TIME_OUT = 2083;
constexpr int ERROR_IO_ANSWER_EOT = 2084;
constexpr int ERROR_IO_NAK_BUFFER = 2085;
constexpr int ERROR_IO_NAK_OVERRUN = 2086;
constexpr int ERROR_IO_NAK_CHECK_SUM = 2087;
constexpr int ERROR_IO_NAK_OTHER = 2088;
constexpr int ERROR_IO_ANSWER_TOO_LONG = 2089;
constexpr int ERROR_IO_SUM_TIME_OUT = 2090;
constexpr int ERROR_IO_SUM = 2091;

enum class IoKind { io, com };

// The connection fields. Integers are decimal, 0x hexadecimal or 0 octal; a missing or unreadable
// field keeps its default and ends the reading.
struct IoParameters {
    int port = 1;
    long baud = 28800;
    int data_bits = 8;
    char parity = 'E';
    int stop_bits = 2;
    int character_bits = 8; // 7: bytes with bit 7 set go as SI and the low seven bits
    int unit_id = 0;        // above 0: wait for the server's announcement before addressing it
    int sub_id = 0;
};
IoParameters IoParseParameters(const char* parameters, IoKind kind);

class CProtocol_1745 : public CProtocol {
public:
    // Reads the [PROTOCOL] keys and the fields and opens the port; port errors leave construction.
    CProtocol_1745(const char* parameters, IoKind kind);
    // The same on a port made by the caller (tests).
    CProtocol_1745(const char* parameters, IoKind kind, std::unique_ptr<CIo_win> port);
    ~CProtocol_1745() override;

    void Begin() override;
    void CommandAnswer(const char* command, int length, char* answer, int size) override;
    void End() override;

    const IoParameters& Parameters() const { return parameters_; }

    // The pause between attempts (1 ms); tests make it free. Null restores the real sleep.
    using Sleep = void (*)(int ms);
    static void SetSleep(Sleep sleep);

private:
    void ReadSettings();
    void ConnectAttempt();
    void AnnouncementCheck();
    void ResetLine();
    void CommandAttempt(const char* command, int length, char* answer, int size);
    void SendFrame(const char* command, int length);

    IoParameters parameters_;
    std::unique_ptr<CIo_win> port_;
    int answer_time_out_ = 2000;
    int connect_time_out_ = 100;
    int connect_trys_ = 2;
    int command_trys_ = 5;
    int time_out_corr_ = 100;
    std::uint8_t decode_state_ = 0;
};
