// The library's serial port: CIo_win is the interface the IO/COM transport uses, CIo_nt the one
// implementation, on a platform serial device. COMn is the device path of [PORTS] COMn in
// "NUVRAAPI.INI", default /dev/ttyS(n-1). Every failure is thrown as CXNuvraError naming the port;
// nothing is retried here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial.h"

class CIo_win {
public:
    virtual ~CIo_win() = default;
    // One byte within the current per-byte time-out; a time-out raises 2000.
    virtual std::uint8_t ReceiveByte() = 0;
    virtual void TransmitByte(std::uint8_t byte) = 0;
    virtual void Transmit(const std::uint8_t* data, int length) = 0;
    // Forgets buffered and queued input; raises 2012 for pending line errors.
    virtual void PurgeReceiver() = 0;
    // Returns once everything written has left.
    virtual void WaitTransmitted() = 0;
    virtual void SetNormalTimeOut() = 0;
    virtual void SetTimeOut(int ms) = 0;
    // Receives until `byte` comes (at most IO_WAIT_FOR_BYTE_MS, checked after each other byte).
    virtual void WaitForByte(std::uint8_t byte) = 0;
    // ReceiveByte, except that a time-out returns false instead of raising (other failures raise).
    virtual bool ReceiveByteTimed(std::uint8_t* byte) = 0;
};

constexpr int IO_QUEUE_SIZE = 8292;
constexpr int IO_RECEIVE_BUFFER = 200;
constexpr int IO_WAIT_FOR_BYTE_MS = 10000;

// The serial port's error numbers.
constexpr int ERROR_IO_SETUP = 2001;
constexpr int ERROR_IO_OPEN = 2002;
constexpr int ERROR_IO_LINE = 2004;
constexpr int ERROR_IO_QUEUES = 2005;
constexpr int ERROR_IO_EVENT = 2006;
constexpr int ERROR_IO_TIME_OUTS = 2007;
constexpr int ERROR_IO_PURGE = 2008;
constexpr int ERROR_IO_RECEIVE = 2009;
constexpr int ERROR_IO_TRANSMIT = 2010;
constexpr int ERROR_IO_CLEAR = 2011;
constexpr int ERROR_IO_STATUS = 2012;
constexpr int ERROR_IO_CONTROL = 2013;
constexpr int ERROR_IO_WAIT_TRANSMITTED = 2014;
constexpr int ERROR_IO_WAIT_FOR_BYTE = 2015;

class CIo_nt : public CIo_win {
public:
    // Opens COM(index + 1) with the line settings; correction is the time-out correction in
    // percent ([PROTOCOL] TIME_OUT_CORR). Parity 'E', 'N' or 'O'.
    CIo_nt(int index, long baud, int data_bits, char parity, int stop_bits, int correction);
    // The same on a device that is already open (the port is not looked up); tests.
    CIo_nt(std::unique_ptr<platform::SerialDevice> device, int index, long baud, int data_bits, char parity,
           int stop_bits, int correction);
    ~CIo_nt() override;
    CIo_nt(const CIo_nt&) = delete;
    CIo_nt& operator=(const CIo_nt&) = delete;

    std::uint8_t ReceiveByte() override;
    void TransmitByte(std::uint8_t byte) override;
    void Transmit(const std::uint8_t* data, int length) override;
    void PurgeReceiver() override;
    void WaitTransmitted() override;
    void SetNormalTimeOut() override;
    void SetTimeOut(int ms) override;
    void WaitForByte(std::uint8_t byte) override;
    bool ReceiveByteTimed(std::uint8_t* byte) override;

    int PortNumber() const { return port_; }
    int CharacterTime() const { return character_time_; }

private:
    void CheckSettings(long baud, int data_bits, char parity, int stop_bits) const;
    void Setup(long baud, int data_bits, char parity, int stop_bits, int correction);
    int GetStatus(int clear_error_number, const char* clear_error_format);

    int port_;
    std::unique_ptr<platform::SerialDevice> device_;
    int data_bits_ = 8;
    int character_time_ = 2;
    int read_time_out_ = 2; // the per-byte read time-out now in force
    std::uint8_t buffer_[IO_RECEIVE_BUFFER] = {};
    int buffered_ = 0;
    int position_ = 0;
    int expected_ = 0; // of the read that timed out last
    int received_ = 0;
};

// 2369 × (data + stop + parity + start bits) / baud, at least 2, times correction / 100.
int IoCharacterTime(long baud, int data_bits, char parity, int stop_bits, int correction);
// The text for a line-error flag word.
const char* IoStatusText(unsigned long flags);
// The device path of COM(port_number): [PORTS] COMn of the settings file, default /dev/ttyS(n-1).
std::string IoDevicePath(int port_number);
// The receive queue check of construction: a reported size other than IO_QUEUE_SIZE raises 2000
// "Com Port Warning"; a negative size means the driver reports none, which passes.
void IoCheckReceiveQueue(long reported);
