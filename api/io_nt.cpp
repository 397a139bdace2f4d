#include "api/io_nt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "api/nuvra_error.h"
#include "api/nvapi_state.h"
#include "api/profile.h"
#include "platform/clock.h"

namespace {

const char* system_text() { return std::strerror(errno); }

} // namespace

int IoCharacterTime(long baud, int data_bits, char parity, int stop_bits, int correction) {
    long bits = data_bits + stop_bits + (parity != 'N' ? 1 : 0) + 1;
    long t = 2369 * bits / baud;
    if (t < 2)
        t = 2;
    return static_cast<int>(t * correction / 100);
}

const char* IoStatusText(unsigned long flags) {
    switch (flags) {
    case 0: return "No Error";
    case 1: return "Input buffer overflow. Buffer full or a character was received after the EOF character.";
    case 2: return "A character-buffer overrun has occurred. The next character is lost.";
    case 4: return "The hardware detected a parity error.";
    case 8: return "The hardware detected a framing error.";
    case 16: return "The hardware detected a break condition.";
    case 256: return "The application tried to transmit a character, but the output buffer was full.";
    case 512: return "Windows 95 only: A time-out occurred on a parallel device.";
    case 1024: return "An I/O error occurred during communications with the device.";
    case 2048: return "Windows 95 only: A parallel device is not selected.";
    case 4096: return "Windows 95 only: A parallel device signaled that it is out of paper.";
    case 32768:
        return "The requested mode is not supported, or the hFile parameter is invalid. If this value is specified, "
               "it is the only valid error.";
    default: return "Multi error. Break(0x10),Framing(0x08),Parity(0x04).";
    }
}

std::string IoDevicePath(int port_number) {
    char key[16];
    char def[32];
    std::snprintf(key, sizeof key, "COM%d", port_number);
    std::snprintf(def, sizeof def, "/dev/ttyS%d", port_number - 1);
    std::string path = ProfileGetString("PORTS", key, def, ApiSettingsPath());
    return path.empty() ? def : path;
}

void IoCheckReceiveQueue(long reported) {
    if (reported >= 0 && reported != IO_QUEUE_SIZE)
        NV_RAISE(ERROR_GENERIC, "Com Port Warning: Receiver queue is only '%ld' bytes, should be '%ld'", reported,
                 static_cast<long>(IO_QUEUE_SIZE));
}

CIo_nt::CIo_nt(int index, long baud, int data_bits, char parity, int stop_bits, int correction) : port_(index + 1) {
    CheckSettings(baud, data_bits, parity, stop_bits);
    // The device name has room for one digit: COM1 to COM9.
    if (port_ < 1 || port_ > 9) {
        errno = ENODEV;
        NV_RAISE(ERROR_IO_OPEN, "API error '%s' at Io/COM: port '%d'", system_text(), port_);
    }
    device_ = platform::serial_open(IoDevicePath(port_).c_str());
    if (!device_)
        NV_RAISE(ERROR_IO_OPEN, "API error '%s' at Io/COM: port '%d'", system_text(), port_);
    Setup(baud, data_bits, parity, stop_bits, correction);
}

CIo_nt::CIo_nt(std::unique_ptr<platform::SerialDevice> device, int index, long baud, int data_bits, char parity,
               int stop_bits, int correction)
    : port_(index + 1) {
    CheckSettings(baud, data_bits, parity, stop_bits);
    device_ = std::move(device);
    Setup(baud, data_bits, parity, stop_bits, correction);
}

CIo_nt::~CIo_nt() = default;

// A baud rate of 0 or less would divide by zero in the character time: refused with the others.
void CIo_nt::CheckSettings(long baud, int data_bits, char parity, int stop_bits) const {
    bool ok = data_bits >= 5 && data_bits <= 8 && (stop_bits == 1 || stop_bits == 2) &&
              (parity == 'E' || parity == 'N' || parity == 'O') && baud > 0 && baud <= 4000000;
    if (!ok)
        NV_RAISE(ERROR_IO_SETUP, "Setup values are incorrect for Io/COM: port '%d'.", port_);
}

// Line state, time-outs and a clean start. The platform layer has no queue sizes to set or read
// and no transmit-empty event to arm (it drains instead), so the steps that ask for them cannot
// fail here, and the receive queue check passes for drivers that report no size.
void CIo_nt::Setup(long baud, int data_bits, char parity, int stop_bits, int correction) {
    data_bits_ = data_bits;
    platform::SerialLine line{static_cast<std::uint32_t>(baud), data_bits, parity, stop_bits};
    if (!device_->configure(line))
        NV_RAISE(ERROR_IO_LINE, "API error '%s' at Io/COM: port '%d'", system_text(), port_);
    character_time_ = IoCharacterTime(baud, data_bits, parity, stop_bits, correction);
    SetNormalTimeOut();
    if (!device_->purge_input())
        NV_RAISE(ERROR_IO_PURGE, "API error '%s' at Io/COM: port '%d'", system_text(), port_);
    IoCheckReceiveQueue(-1);
}

// Clears the error state: line errors raise 2012, else the count of bytes waiting.
int CIo_nt::GetStatus(int clear_error_number, const char* clear_error_format) {
    std::uint32_t flags = 0;
    if (!device_->line_status(&flags))
        throw CXNuvraError(__FILE__, __LINE__, clear_error_number, clear_error_format, system_text(), port_);
    if (flags != 0)
        NV_RAISE(ERROR_IO_STATUS,
                 "Status error '%s(%ld)' from system at Io/COM: port '%d', can be a bad unit or poor cabling",
                 IoStatusText(flags), static_cast<long>(flags), port_);
    int waiting = device_->queued();
    return waiting < 0 ? 0 : waiting;
}

bool CIo_nt::ReceiveByteTimed(std::uint8_t* byte) {
    if (buffered_ == 0) {
        int n = GetStatus(ERROR_IO_CLEAR, "Get status, Clear error, API error '%s' at Io/COM: port '%d'");
        if (n == 0)
            n = 1;
        if (n > IO_RECEIVE_BUFFER)
            n = IO_RECEIVE_BUFFER;
        position_ = 0;
        int got = device_->read(buffer_, n);
        if (got < 0)
            NV_RAISE(ERROR_IO_RECEIVE, "Receive API error '%s' at Io/COM: port '%d'", system_text(), port_);
        if (got < n) {
            expected_ = n;
            received_ = got;
            return false;
        }
        buffered_ = got;
    }
    *byte = buffer_[position_++];
    --buffered_;
    return true;
}

std::uint8_t CIo_nt::ReceiveByte() {
    std::uint8_t byte = 0;
    if (!ReceiveByteTimed(&byte))
        NV_RAISE(ERROR_GENERIC, "Receive Time Out of '%ldms', Should receive '%d', Did receive '%d', at Port '%d'",
                 static_cast<long>(read_time_out_), expected_, received_, port_);
    return byte;
}

void CIo_nt::TransmitByte(std::uint8_t byte) { Transmit(&byte, 1); }

void CIo_nt::Transmit(const std::uint8_t* data, int length) {
    GetStatus(ERROR_IO_CLEAR, "Get status, Clear error, API error '%s' at Io/COM: port '%d'");
    int written = device_->write(data, length);
    if (written < 0)
        NV_RAISE(ERROR_IO_TRANSMIT, "Transmit API error '%s' at Io/COM: port '%d'", system_text(), port_);
    if (written < length)
        NV_RAISE(ERROR_GENERIC, "Transmit error at Io/COM: port '%d', did only transmit '%ld' of requested '%d'.",
                 port_, static_cast<long>(written), length);
}

void CIo_nt::PurgeReceiver() {
    buffered_ = 0;
    position_ = 0;
    GetStatus(ERROR_IO_CLEAR, "Receiver clean API error '%s' at Io/COM: port '%d'");
    if (!device_->purge_input())
        NV_RAISE(ERROR_GENERIC, "Receiver clean API error '%s' at Io/COM: port '%d'", system_text(), port_);
}

void CIo_nt::WaitTransmitted() {
    GetStatus(ERROR_IO_CONTROL, "API error '%s' at Io/COM: port '%d'");
    int pending = device_->output_queued();
    if (pending == 0)
        return;
    if (pending < 0 || !device_->drain())
        NV_RAISE(ERROR_IO_WAIT_TRANSMITTED,
                 "Wait for an empty transmit queue for Io/COM: port %d failed, can be a bad interface or pore cabling",
                 port_);
}

void CIo_nt::SetNormalTimeOut() { SetTimeOut(character_time_); }

// The platform device takes any time-out, so 2013 has no cause here.
void CIo_nt::SetTimeOut(int ms) {
    if (ms < 0)
        ms = 0;
    device_->set_timeouts(ms, ms);
    read_time_out_ = ms;
}

void CIo_nt::WaitForByte(std::uint8_t byte) {
    std::int64_t deadline = platform::monotonic_ms() + IO_WAIT_FOR_BYTE_MS;
    while (ReceiveByte() != byte)
        if (platform::monotonic_ms() > deadline)
            NV_RAISE(ERROR_IO_WAIT_FOR_BYTE,
                     "Receive Error: Wait for data failed. Time out on IO/COM: port '%d', can be a bad unit or poor "
                     "cabling",
                     port_);
}
