#include "server/core/port.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/clock.h"
#include "platform/serial.h"
#include "server/core/errorsys.h"
#include "server/core/fatal.h"
#include "server/core/inisys.h"
#include "server/core/linkframe.h"
#include "server/core/protocol.h"

namespace {

constexpr const char* SOURCE = "_SOURCE\\nt_io_c";
constexpr int RECEIVE_BUFFER = 200; // bytes taken from the system in one read by port_get_byte
constexpr int READER_BUFFER = 100;  // bytes taken in one read by the reader thread
constexpr int READER_SLICE_MS = 50; // longest wait of the reader thread before it looks at its flags again
constexpr int ANSWER_CHUNK = 93;    // answers are sent in blocks once more than this is collected
constexpr int PATH_MAX_CHARS = 256;

constexpr PortWaits DEFAULT_WAITS{120000, 120000, 100};

// One COM port. The main thread owns everything but the hand-over fields, which the reader
// thread shares under `mutex`: enabled (the enable event), idle (the reader is parked at the top
// of its loop), stop, and the attached unit, whose state machine runs only with `mutex` held.
struct PortRecord {
    std::unique_ptr<platform::SerialDevice> device;
    std::thread reader;
    int base_ms = 0;
    int per_byte_ms = 0;
    std::uint8_t buffer[RECEIVE_BUFFER] = {};
    int count = 0;
    int position = 0;

    std::mutex mutex;
    std::condition_variable changed;
    bool enabled = false;
    bool idle = false;
    bool stop = false;
    ProtUnit* unit = nullptr;
};

struct PortTable {
    PortRecord records[PORT_MAX];
    // A port left open at exit must not leave a joinable thread behind.
    ~PortTable() {
        for (int i = 0; i < PORT_MAX; ++i)
            port_close(i);
    }
};

// Declared before the table: the table's destructor stops reader threads that may still read them.
std::mutex waits_mutex;
PortWaits waits = DEFAULT_WAITS;
PortTable table;

int link_index = -1;  // the remembered link port, -1 = none
int long_factor = 25; // IO TIME_OUT

PortWaits current_waits() {
    std::lock_guard<std::mutex> lock(waits_mutex);
    return waits;
}

PortRecord& record(int index) {
    NV_ASSERT(index >= 0 && index < PORT_MAX);
    return table.records[index];
}

// error_api reads errno: a failure found by a system call keeps its code up to the report.
void report_api(int err, int line, const char* format, int port) {
    errno = err;
    error_api(SOURCE, line, 520, format, port);
}

// A closed port behaves like a device whose every call fails with EBADF.
bool device_status(PortRecord& rec, std::uint32_t* bits) {
    *bits = 0;
    if (!rec.device) {
        errno = EBADF;
        return false;
    }
    return rec.device->line_status(bits);
}

void set_timeout(int index, int ms) {
    PortRecord& rec = record(index);
    if (ms < 0) ms = 0;
    rec.per_byte_ms = ms;
    if (rec.device) rec.device->set_timeouts(ms, ms);
}

// The reader thread answers through this: it must not touch the error system (main thread only),
// so a failed write is dropped; the master then times out and retries.
void reader_send(int index, std::uint8_t byte) {
    PortRecord& rec = table.records[index];
    if (rec.device) rec.device->write(&byte, 1);
}

// port_serve_unit runs on the main thread, where a failed answer byte is reported.
void main_send(int index, std::uint8_t byte) {
    port_put_byte(index, byte);
}

// Reader thread of one port: while a unit is attached (enabled), reads whatever arrives and feeds
// it to the unit's state machine. Failures are handled here, never raised: a failed line-status
// query or read is retried after retry_ms (a pty whose other end has closed fails every read, so
// the pause keeps the thread from spinning until port_close ends it); a line error skips the
// read, as the port driver always did. The waits on enabled/stop and on the hand-over are
// predicates, so a release or a detach that comes before the reader waits is not missed.
void reader_main(int index) {
    PortRecord& rec = table.records[index];
    platform::SerialDevice& device = *rec.device;
    std::uint8_t data[READER_BUFFER];
    std::unique_lock<std::mutex> lock(rec.mutex);
    for (;;) {
        rec.idle = true;
        rec.changed.notify_all();
        rec.changed.wait(lock, [&] { return rec.stop || rec.enabled; });
        if (rec.stop) return;
        rec.idle = false;
        ProtUnit* unit = rec.unit;
        if (unit && (unit->flags & UNIT_COMMAND_HELD)) {
            rec.changed.wait_for(lock, std::chrono::milliseconds(current_waits().release_ms), [&] {
                return rec.stop || !rec.enabled || rec.unit != unit || !(unit->flags & UNIT_COMMAND_HELD);
            });
            if (rec.stop) return;
            if (!rec.enabled) continue;
        }
        lock.unlock();

        std::uint32_t bits = 0;
        bool failed = !device.line_status(&bits);
        int got = 0;
        bool nothing_came = false;
        if (!failed && bits == 0) {
            // The first byte is awaited in short slices, so that a detach or close never waits
            // for a whole per-byte time-out (10 s on a host line).
            const int ready = device.queued() > 0 ? 1 : device.wait_input(READER_SLICE_MS);
            failed = ready < 0;
            nothing_came = ready == 0;
        }
        if (!failed && bits == 0 && !nothing_came) {
            int waiting = device.queued();
            if (waiting < 1) waiting = 1;
            if (waiting > READER_BUFFER) waiting = READER_BUFFER;
            got = device.read(data, waiting);
            failed = got < 0;
        }

        lock.lock();
        if (rec.stop) return;
        if (failed) {
            rec.changed.wait_for(lock, std::chrono::milliseconds(current_waits().retry_ms),
                                 [&] { return rec.stop; });
            if (rec.stop) return;
            continue;
        }
        for (int i = 0; i < got && rec.unit; ++i)
            prot_slave_byte(rec.unit, data[i], reader_send, index);
    }
}

void reset_handover(PortRecord& rec) {
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.enabled = false;
    rec.idle = false;
    rec.stop = false;
    rec.unit = nullptr;
}

void clear_record(PortRecord& rec) {
    rec.device.reset();
    rec.base_ms = 0;
    rec.per_byte_ms = 0;
    rec.count = 0;
    rec.position = 0;
    reset_handover(rec);
}

bool settings_valid(const PortSettings& s) {
    return s.data_bits >= 5 && s.data_bits <= 8 && s.stop_bits >= 1 && s.stop_bits <= 2 &&
           (s.parity == 'E' || s.parity == 'N' || s.parity == 'O');
}

// Steps 3 to 9 of the opening, on a device that is open. On a failure the device is closed
// again and the record stays closed.
void open_on_device(int index, const PortSettings& s, std::unique_ptr<platform::SerialDevice> device) {
    PortRecord& rec = record(index);
    const int port = index + 1;
    const platform::SerialLine line{s.baud, s.data_bits, s.parity, s.stop_bits};
    if (!device->configure(line)) {
        const int err = errno;
        clear_record(rec);
        report_api(err, 40, "Io/COM: port '%d'", port);
        return;
    }
    // Time per character in ms (start bit, data bits, parity, stop bits) scaled by 2369 / baud.
    const std::uint32_t bits = (s.parity != 'N' ? 1u : 0u) + s.data_bits + s.stop_bits + 1u;
    int base = s.baud == 0 ? 1 : static_cast<int>(bits * 2369u / s.baud);
    if (base == 0) base = 1;

    rec.device = std::move(device);
    rec.base_ms = base;
    set_timeout(index, base);
    rec.count = 0;
    rec.position = 0;
    reset_handover(rec);
    try {
        rec.reader = std::thread(reader_main, index);
    } catch (const std::system_error& e) {
        clear_record(rec);
        report_api(e.code().value(), 71, "Io/COM: port '%d'", port);
        return;
    }
    if (!rec.device->purge_input()) {
        const int err = errno;
        port_close(index);
        report_api(err, 74, "Io/COM: port '%d'", port);
        return;
    }
}

void report_setup(int index) {
    error_report(SOURCE, 11, 298, "Setup values are incorrect for Io/COM: port. '%d'.", index + 1);
}

bool index_valid(int index) {
    return index >= 0 && index < PORT_MAX;
}

enum class ReadResult { byte, timeout, failure };

ReadResult read_byte(int index, int* byte) {
    PortRecord& rec = record(index);
    *byte = 0;
    if (rec.count == 0) {
        int wanted = port_queued(index);
        if (wanted < 1) wanted = 1;
        if (wanted > RECEIVE_BUFFER) wanted = RECEIVE_BUFFER;
        int got = -1;
        if (rec.device) {
            got = rec.device->read(rec.buffer, wanted);
        } else {
            errno = EBADF;
        }
        if (got < 0) {
            report_api(errno, 170, "Receive at Io/COM: port '%d'", index + 1);
            return ReadResult::failure;
        }
        if (got < wanted) {
            error_report(SOURCE, 177, 525,
                         "Receive Time Out of '%ldms', Should receive '%d', Did receive '%d', at Port '%d'",
                         static_cast<long>(rec.per_byte_ms), wanted, got, index + 1);
            return ReadResult::timeout;
        }
        rec.count = got;
        rec.position = 0;
    }
    *byte = rec.buffer[rec.position++];
    --rec.count;
    return ReadResult::byte;
}

struct AnswerWriter {
    int index;
};

void answer_block(void* context, const std::uint8_t* data, int length) {
    port_put_block(static_cast<AnswerWriter*>(context)->index, data, length);
}

void send_answer(int index, const void* data, int length, bool seven_bit) {
    AnswerWriter writer{index};
    link_write_answer(data, length, seven_bit, ANSWER_CHUNK, answer_block, &writer);
}

bool io_configured() {
    return link_index >= 0;
}

} // namespace

void port_set_waits(const PortWaits* w) {
    std::lock_guard<std::mutex> lock(waits_mutex);
    waits = w ? *w : DEFAULT_WAITS;
}

// Bad line values are reported (298) and the opening goes on; with a bad index nothing is done.
void port_open(int index, const PortSettings* settings) {
    NV_ASSERT(settings != nullptr);
    if (!index_valid(index)) {
        report_setup(index);
        return;
    }
    PortRecord& rec = record(index);
    if (rec.device) port_close(index);
    // COMn is a device path from [PORTS], looked up before a 298 is raised: the settings engine
    // answers nothing while an error is pending. An empty answer falls back to the default.
    char key[16];
    char def[32];
    char path[PATH_MAX_CHARS] = {};
    std::snprintf(key, sizeof key, "COM%d", index + 1);
    std::snprintf(def, sizeof def, "/dev/ttyS%d", index);
    ini_get_string("PORTS", key, def, path, sizeof path, INI_FILE);
    if (path[0] == '\0') std::snprintf(path, sizeof path, "%s", def);
    if (!settings_valid(*settings)) report_setup(index);

    std::unique_ptr<platform::SerialDevice> device = platform::serial_open(path);
    if (!device) {
        const int err = errno;
        clear_record(rec);
        report_api(err, 19, "Open Io/COM: port '%d'", index + 1);
        return;
    }
    open_on_device(index, *settings, std::move(device));
}

void port_open_device(int index, const PortSettings* settings,
                      std::unique_ptr<platform::SerialDevice> device) {
    NV_ASSERT(settings != nullptr && device != nullptr);
    if (!index_valid(index)) {
        report_setup(index);
        return;
    }
    if (record(index).device) port_close(index);
    if (!settings_valid(*settings)) report_setup(index);
    open_on_device(index, *settings, std::move(device));
}

// The reader is stopped before the device goes: cancel() ends any read or write it is blocked
// in (also one on a line whose other end has closed), the stop flag ends its loop.
void port_close(int index) {
    PortRecord& rec = record(index);
    if (rec.device) rec.device->cancel();
    {
        std::lock_guard<std::mutex> lock(rec.mutex);
        rec.stop = true;
        rec.changed.notify_all();
    }
    if (rec.reader.joinable()) rec.reader.join();
    clear_record(rec);
}

int port_get_byte(int index) {
    int byte = 0;
    read_byte(index, &byte);
    return byte;
}

void port_put_byte(int index, std::uint8_t byte) {
    PortRecord& rec = record(index);
    std::uint32_t bits = 0;
    if (!device_status(rec, &bits)) {
        report_api(errno, 196, "ClearCommError at Io/COM: port '%d'", index + 1);
        return;
    }
    const int sent = rec.device->write(&byte, 1);
    if (sent != 1) {
        // A byte the line would not take within the write time-out is a failed transmit too.
        report_api(sent < 0 ? errno : ETIMEDOUT, 199, "Transmit at Io/COM: port '%d'", index + 1);
    }
}

void port_put_block(int index, const void* data, int length) {
    PortRecord& rec = record(index);
    std::uint32_t bits = 0;
    if (!device_status(rec, &bits)) {
        report_api(errno, 209, "ClearCommError at Io/COM: port '%d'", index + 1);
        return;
    }
    const int sent = rec.device->write(static_cast<const std::uint8_t*>(data), length);
    if (sent < 0) {
        report_api(errno, 214, "Transmit at Io/COM: port '%d'", index + 1);
        return;
    }
    if (sent < length)
        error_report(SOURCE, 217, 523,
                     "Transmit error at Io/COM: port '%d', did only transmit '%ld' of requested '%d'.",
                     index + 1, static_cast<long>(sent), length);
}

int port_queued(int index) {
    PortRecord& rec = record(index);
    std::uint32_t bits = 0;
    if (!device_status(rec, &bits)) {
        report_api(errno, 229, "ClearCommError at Io/COM: port '%d'", index + 1);
        return 0;
    }
    const int waiting = rec.device->queued();
    if (waiting < 0) {
        report_api(errno, 229, "ClearCommError at Io/COM: port '%d'", index + 1);
        return 0;
    }
    if (bits != 0)
        error_report(SOURCE, 232, 522,
                     "Status error '%s' from system at Io/COM: port '%d', can be a bad unit or poor cabling",
                     port_status_text(bits), index + 1);
    return waiting;
}

void port_purge_input(int index) {
    PortRecord& rec = record(index);
    rec.count = 0;
    rec.position = 0;
    if (!rec.device || !rec.device->purge_input()) {
        report_api(rec.device ? errno : EBADF, 248, "Io/COM: port '%d'", index + 1);
        return;
    }
    std::uint32_t bits = 0;
    if (!device_status(rec, &bits)) report_api(errno, 248, "ClearCommError at Io/COM: port '%d'", index + 1);
}

void port_wait_sent(int index) {
    PortRecord& rec = record(index);
    std::uint32_t bits = 0;
    if (!device_status(rec, &bits)) {
        report_api(errno, 260, "ClearCommError at Io/COM: port '%d'", index + 1);
        return;
    }
    const int pending = rec.device->output_queued();
    if (pending < 0) {
        report_api(errno, 260, "ClearCommError at Io/COM: port '%d'", index + 1);
        return;
    }
    if (pending == 0) return;
    if (!rec.device->drain())
        error_report(SOURCE, 268, 300,
                     "Wait for an empty transmit queue for Io/COM: port %d failed, can be a bad interface or "
                     "pore cabling",
                     index + 1);
}

void port_timeout_normal(int index) {
    set_timeout(index, record(index).base_ms);
}

void port_timeout_long(int index) {
    set_timeout(index, record(index).base_ms * long_factor);
}

void port_timeout_ms(int index, int ms) {
    set_timeout(index, ms);
}

const char* port_status_text(std::uint32_t bits) {
    switch (bits) {
    case 1:
        return "Input buffer overflow. Buffer full or a character was received after the EOF character.";
    case 2:
        return "A character-buffer overrun has occurred. The next character is lost.";
    case 4:
        return "The hardware detected a parity error.";
    case 8:
        return "The hardware detected a framing error.";
    case 16:
        return "The hardware detected a break condition.";
    case 256:
        return "The application tried to transmit a character, but the output buffer was full.";
    case 512:
        return "Windows 95 only: A time-out occurred on a parallel device.";
    case 1024:
        return "An I/O error occurred during communications with the device.";
    case 2048:
        return "Windows 95 only: A parallel device is not selected.";
    case 4096:
        return "Windows 95 only: A parallel device signaled that it is out of paper.";
    case 32768:
        return "The requested mode is not supported, or the hFile parameter is invalid. If this value is "
               "specified, "
               "it is the only valid error.";
    default:
        return "Non listed.";
    }
}

void port_attach_unit(int index, ProtUnit* unit) {
    PortRecord& rec = record(index);
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.unit = unit;
    rec.enabled = true;
    rec.changed.notify_all();
}

void port_detach_unit(int index) {
    PortRecord& rec = record(index);
    std::unique_lock<std::mutex> lock(rec.mutex);
    rec.enabled = false;
    rec.changed.notify_all();
    if (rec.reader.joinable())
        rec.changed.wait_for(lock, std::chrono::milliseconds(current_waits().idle_ms),
                             [&] { return rec.idle; });
    // Should the reader still be inside a read, it finds no unit to feed when it comes back.
    rec.unit = nullptr;
}

int port_unit_state(int index) {
    PortRecord& rec = record(index);
    std::lock_guard<std::mutex> lock(rec.mutex);
    if (!rec.unit) return 0;
    return ((rec.unit->flags & UNIT_SELECTED) ? 1 : 0) + ((rec.unit->flags & UNIT_COMMAND_HELD) ? 2 : 0);
}

void port_unit_clear(int index, int what) {
    PortRecord& rec = record(index);
    std::lock_guard<std::mutex> lock(rec.mutex);
    ProtUnit* unit = rec.unit;
    if (!unit) return;
    if (what & 1) {
        unit->flags &= static_cast<std::uint8_t>(~UNIT_SELECTED);
        unit->selection_countdown = 0;
        unit->state = 0;
    }
    if (what & 2) {
        unit->flags &= static_cast<std::uint8_t>(~UNIT_COMMAND_HELD);
        rec.changed.notify_all(); // the release: the reader goes on reading
    }
}

void port_unit_second(int index) {
    PortRecord& rec = record(index);
    std::lock_guard<std::mutex> lock(rec.mutex);
    if (rec.unit) prot_slave_second(rec.unit);
}

namespace {

bool unit_selected(PortRecord& rec, ProtUnit* unit) {
    std::lock_guard<std::mutex> lock(rec.mutex);
    return (unit->flags & UNIT_SELECTED) != 0;
}

bool unit_holds_command(PortRecord& rec, ProtUnit* unit) {
    std::lock_guard<std::mutex> lock(rec.mutex);
    return (unit->flags & UNIT_COMMAND_HELD) != 0;
}

void feed(PortRecord& rec, int index, ProtUnit* unit, int byte) {
    std::lock_guard<std::mutex> lock(rec.mutex);
    prot_slave_byte(unit, static_cast<std::uint8_t>(byte), main_send, index);
}

} // namespace

// Only bytes that came are fed to the state machine: a time-out while waiting for the selection
// is dropped and the wait goes on, but no 0 byte stands in for it (that would put a unit that is
// half-way through its addressing out of phase).
int port_serve_unit(int index, PortCommandHandler handler, ProtUnit* unit, int milliseconds) {
    PortRecord& rec = record(index);
    const std::int64_t start = platform::monotonic_ms();
    {
        std::lock_guard<std::mutex> lock(rec.mutex);
        rec.unit = unit;
    }
    port_timeout_normal(index);
    while (!unit_selected(rec, unit)) {
        int byte = 0;
        const ReadResult result = read_byte(index, &byte);
        if (result == ReadResult::failure) return 0;
        if (result == ReadResult::timeout)
            error_drop_last();
        else
            feed(rec, index, unit, byte);
        if (!unit_selected(rec, unit) && platform::monotonic_ms() - start > milliseconds) return 0;
    }

    port_timeout_long(index);
    std::int64_t next_second = platform::monotonic_ms() + 1000;
    while (unit_selected(rec, unit) && !error_pending()) {
        int byte = 0;
        if (read_byte(index, &byte) == ReadResult::byte) feed(rec, index, unit, byte);
        if (unit_holds_command(rec, unit)) handler(unit, unit->command);
        const std::int64_t now = platform::monotonic_ms();
        if (now >= next_second) {
            port_unit_second(index);
            next_second += 1000;
        }
    }
    port_timeout_normal(index);
    return 1;
}

void port_send_answer(int index, const void* data, int length) {
    send_answer(index, data, length, true);
}

void port_send_answer_plain(int index, const void* data, int length) {
    send_answer(index, data, length, false);
}

void io_open() {
    if (error_pending()) return;
    error_set_step("Open I/O: ", 0);
    const int port = static_cast<int>(ini_get_number("IO", "PORT", 1, 0, 8, INI_FILE));
    long_factor = static_cast<int>(ini_get_number("IO", "TIME_OUT", 25, 1, 100, INI_FILE));
    if (port >= 1 && port <= PORT_MAX) {
        link_index = port - 1;
        const PortSettings link{28800, 8, 'E', 2};
        port_open(link_index, &link);
    }
    error_set_step("Open I/O finished: ", 0);
}

void io_open_device(int index, std::unique_ptr<platform::SerialDevice> device) {
    link_index = index;
    const PortSettings link{28800, 8, 'E', 2};
    port_open_device(index, &link, std::move(device));
}

void io_close() {
    if (!io_configured()) return;
    port_close(link_index);
    link_index = -1;
}

void io_put_byte(std::uint8_t byte) {
    if (io_configured()) port_put_byte(link_index, byte);
}

void io_put_block(const void* data, int length) {
    if (io_configured()) port_put_block(link_index, data, length);
}

int io_get_byte() {
    if (!io_configured() || error_pending()) return 0;
    return port_get_byte(link_index);
}

void io_purge_input() {
    if (io_configured() && !error_pending()) port_purge_input(link_index);
}

void io_wait_sent() {
    if (io_configured() && !error_pending()) port_wait_sent(link_index);
}

void io_timeout_normal() {
    if (io_configured()) port_timeout_normal(link_index);
}

void io_timeout_long() {
    if (io_configured()) port_timeout_long(link_index);
}

void io_timeout_ms(int ms) {
    if (io_configured()) port_timeout_ms(link_index, ms);
}

int io_unit_state() {
    return io_configured() ? port_unit_state(link_index) : 0;
}

void io_unit_clear(int what) {
    if (io_configured()) port_unit_clear(link_index, what);
}

void io_unit_second() {
    if (io_configured()) port_unit_second(link_index);
}

int io_serve_unit(PortCommandHandler handler, ProtUnit* unit, int milliseconds) {
    return io_configured() ? port_serve_unit(link_index, handler, unit, milliseconds) : 0;
}

void io_send_answer(const void* data, int length) {
    if (io_configured()) port_send_answer(link_index, data, length);
}

int io_port_index() {
    if (!io_configured() || !table.records[link_index].device) return -1;
    return link_index;
}
