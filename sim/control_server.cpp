#include "sim/control_server.h"

#include "sim/control_io.h"

#include <csignal>

namespace nvsim {

ControlServer::ControlServer(SimLine& line) : line_(line) {}

ControlServer::~ControlServer() {
    for (auto& [fd, client] : clients_) {
        if (client.owned) io::close_fd(fd);
    }
    if (listener_ >= 0) {
        io::close_fd(listener_);
        io::remove_path(path_);
    }
}

void ControlServer::add_client(int in_fd, int out_fd, bool owned) {
    int watch = loop_.watch(in_fd, POLLIN, [this](int fd, short) { serve(fd); });
    clients_.emplace(in_fd, Client{watch, out_fd, owned, {}});
}

void ControlServer::serve_stream(int in_fd, int out_fd) {
    add_client(in_fd, out_fd, false);
}

bool ControlServer::listen(const std::string& path, std::string& error) {
    listener_ = io::listen_unix(path, error);
    if (listener_ < 0) return false;
    path_ = path;
    loop_.watch(listener_, POLLIN, [this](int, short) {
        int fd = io::accept_client(listener_);
        if (fd < 0) return;
        if (clients_.size() >= MAX_CLIENTS) {
            io::write_all(fd, "ERR too many control connections\n");
            io::close_fd(fd);
            return;
        }
        add_client(fd, fd, true);
    });
    return true;
}

void ControlServer::catch_signals() {
    loop_.catch_signals({SIGINT, SIGTERM}, [this](int) { loop_.post_quit(0); });
    platform::ignore_signal(SIGPIPE);
}

void ControlServer::stop() {
    loop_.post_quit(0);
}

void ControlServer::drop_client(int fd) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    loop_.unwatch(it->second.watch);
    if (it->second.owned) io::close_fd(fd);
    clients_.erase(it);
}

// Reads what the client has sent and answers each complete line; a client at its end of input
// is dropped (standard input is only no longer read).
void ControlServer::serve(int fd) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    Client& client = it->second;
    char buffer[1024];
    long n = io::read_some(fd, buffer, sizeof buffer);
    if (n == -1) return;
    if (n <= 0) {
        drop_client(fd);
        return;
    }
    for (long i = 0; i < n; ++i) {
        char c = buffer[i];
        if (c != '\n') {
            if (client.pending.size() < MAX_LINE)
                client.pending.push_back(c);
            else
                client.overlong = true;
            continue;
        }
        std::string reply =
            client.overlong ? "ERR line longer than 4096 characters" : line_.control(client.pending);
        client.pending.clear();
        client.overlong = false;
        if (!io::write_all(client.out_fd, reply + "\n")) {
            drop_client(fd);
            return;
        }
        if (line_.quit_requested()) {
            loop_.post_quit(0);
            return;
        }
    }
}

void ControlServer::run() {
    if (!line_.quit_requested()) loop_.run();
}

} // namespace nvsim
