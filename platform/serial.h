// Serial devices: the termios implementation on a device path and the interface the server's port
// driver uses, so that tests can put an in-memory line (serial_fake.h) in place of a device.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace platform {

// Line settings. Parity 'E', 'N' or 'O' (any other letter: no parity); stop bits 2 = two, else one.
struct SerialLine {
    std::uint32_t baud;
    int data_bits; // 5..8
    char parity;
    int stop_bits;
};

// Line-status bits as the port driver reports them; several may come together.
constexpr std::uint32_t SERIAL_RX_OVERFLOW = 0x0001; // input buffer overflow
constexpr std::uint32_t SERIAL_OVERRUN = 0x0002;     // hardware overrun, a byte was lost
constexpr std::uint32_t SERIAL_PARITY = 0x0004;
constexpr std::uint32_t SERIAL_FRAMING = 0x0008;
constexpr std::uint32_t SERIAL_BREAK = 0x0010;

// Write time-outs: 10 ms per byte plus 2000 ms for the whole block.
constexpr int SERIAL_WRITE_MS_PER_BYTE = 10;
constexpr int SERIAL_WRITE_MS_CONSTANT = 2000;

// One open serial line. read() and write() may run on two threads at once (a reader thread and
// the thread that answers); the time-outs may be changed by any thread between reads.
// Failures return -1 or false with errno set.
class SerialDevice {
  public:
    SerialDevice() = default;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;
    virtual ~SerialDevice() = default;

    // interval_ms: the longest gap allowed between two bytes once the first has come;
    // per_byte_ms: a read of n bytes lasts at most n × per_byte_ms in all. 0 = do not wait.
    void set_timeouts(int interval_ms, int per_byte_ms);
    int per_byte_ms() const { return per_byte_ms_.load(); }

    // Reads up to n bytes; returns how many came before a time-out ended the read (possibly 0).
    // -1 on failure, or with ECANCELED once cancel() was called. Bytes already read are returned
    // first; the failure shows again on the next call.
    int read(std::uint8_t* data, int n);
    // Writes n bytes within the write time-outs; returns the count written (fewer on time-out).
    int write(const std::uint8_t* data, int n);
    // Waits at most timeout_ms for received bytes: 1 ready, 0 none, -1 failure.
    int wait_input(int timeout_ms) { return wait_ready(false, timeout_ms); }

    virtual bool configure(const SerialLine& line) = 0;
    // Bytes received and not yet read.
    virtual int queued() = 0;
    virtual bool purge_input() = 0;
    // Bytes written and not yet sent on the line.
    virtual int output_queued() = 0;
    // Waits until everything written has been sent.
    virtual bool drain() = 0;
    // The line errors (SERIAL_* bits) seen since the previous call, then forgotten. A device
    // without error counters reports none.
    virtual bool line_status(std::uint32_t* bits) = 0;
    // Makes every current and later wait of read() and write() end at once with ECANCELED; used
    // to stop a reader thread before the device is closed.
    virtual void cancel() = 0;

  protected:
    // 1 ready, 0 nothing within timeout_ms, -1 failure (ECANCELED after cancel()).
    virtual int wait_ready(bool for_write, int timeout_ms) = 0;
    // One non-blocking transfer: the count, or -1 (EAGAIN: nothing now).
    virtual int read_some(std::uint8_t* data, int n) = 0;
    virtual int write_some(const std::uint8_t* data, int n) = 0;

  private:
    std::atomic<int> interval_ms_{0};
    std::atomic<int> per_byte_ms_{0};
};

// Opens a serial device for reading and writing: existing device only, no controlling terminal,
// exclusive (TIOCEXCL and an advisory lock, so a second opener fails with EBUSY), raw mode, DTR and
// RTS on where the device has modem lines. Null with errno set on failure.
std::unique_ptr<SerialDevice> serial_open(const char* path);

// Wraps a descriptor that is already open (the master side of a pty pair); the device owns it.
std::unique_ptr<SerialDevice> serial_adopt(int fd);

} // namespace platform
