// Control lines from standard input and from clients of a Unix socket, each answered with one
// line on the same connection. Runs on the calling thread until QUIT, a stop signal or stop().
#pragma once

#include "sim/line.h"
#include "sim/pty.h"

#include <atomic>
#include <string>
#include <vector>

namespace nvsim {

class ControlServer {
public:
    static constexpr std::size_t MAX_LINE = 4096;
    static constexpr std::size_t MAX_CLIENTS = 16;

    explicit ControlServer(SimLine& line);
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer();

    // Reads lines from in_fd and answers on out_fd (standard input and output). End of input
    // only stops reading it.
    void serve_stream(int in_fd, int out_fd);
    // Listens on a Unix socket at path; the file is removed again when the server ends.
    bool listen(const std::string& path, std::string& error);
    // SIGINT and SIGTERM end run().
    void catch_signals();

    // Serves until QUIT, a stop signal or stop().
    void run();
    // Safe from any thread.
    void stop();

private:
    struct Client {
        int in_fd;
        int out_fd;
        bool owned;   // a socket client: closed when it leaves
        std::string pending;
        bool overlong = false;
    };

    bool serve(Client& client);
    void answer(Client& client, std::string_view line);

    SimLine& line_;
    sys::WakePipe wake_;
    std::atomic<bool> stop_{false};
    int listener_ = -1;
    std::string path_;
    std::vector<Client> clients_;
};

} // namespace nvsim
