// Control lines from standard input and from clients of a Unix socket, each answered with one
// line on the same connection. Served by a platform event loop on the thread that calls run(),
// until QUIT, a caught stop signal or stop().
#pragma once

#include "sim/line.h"

#include "platform/event_loop.h"

#include <map>
#include <string>

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
    // SIGINT and SIGTERM end run(); SIGPIPE is ignored so that a vanished client cannot.
    void catch_signals();

    // Serves until QUIT, a caught signal or stop().
    void run();
    // Safe from any thread.
    void stop();

  private:
    struct Client {
        int watch;
        int out_fd;
        bool owned; // a socket client: closed when it leaves
        std::string pending;
        bool overlong = false;
    };

    void add_client(int in_fd, int out_fd, bool owned);
    void drop_client(int fd);
    void serve(int fd);

    SimLine& line_;
    platform::EventLoop loop_;
    int listener_ = -1;
    std::string path_;
    std::map<int, Client> clients_; // by the descriptor read
};

} // namespace nvsim
