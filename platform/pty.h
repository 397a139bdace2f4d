// A pseudo-terminal pair standing in for a serial line in tests and the simulator. The slave is a
// device path that the port driver opens like any serial port; the master is the far end of the
// line. The pair keeps its own slave descriptor open (in raw mode) until close_slave(), so bytes
// written to the master before the port opens wait for it and the master sees no hang-up between
// two openings.
#pragma once

#include "platform/serial.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class PtyPair {
  public:
    // Null with errno set on failure.
    static std::unique_ptr<PtyPair> open();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    // Makes a symbolic link at path to the slave (a stable name, like socat's link=); the link is
    // removed with the pair. False with errno set on failure.
    bool link(const std::string& path);

    // Far-end transfers on the master. write_master() writes everything or fails (-1);
    // read_master() returns what came within timeout_ms in all (it stops early at n bytes).
    int write_master(const void* data, std::size_t n);
    int read_master(std::uint8_t* data, int n, int timeout_ms);
    // The slave's output speed as the driver holds it (0 when it cannot be read).
    std::uint32_t slave_baud() const;

    // Closing the master hangs up the line under whoever has the slave open.
    void close_master();
    void close_slave();
    // Hands the master over as a serial device (the simulator's end of the line); the pair no
    // longer uses it.
    std::unique_ptr<SerialDevice> take_master();

  private:
    PtyPair(int master, int slave, std::string path)
        : master_(master), slave_(slave), slave_path_(std::move(path)) {}

    int master_;
    int slave_;
    std::string slave_path_;
    std::string link_path_;
};

} // namespace platform
