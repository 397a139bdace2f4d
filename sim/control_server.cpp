#include "sim/control_server.h"

namespace nvsim {

ControlServer::ControlServer(SimLine& line) : line_(line) { sys::open_wake(wake_); }

ControlServer::~ControlServer() {
    for (Client& c : clients_) {
        if (c.owned)
            sys::close_fd(c.in_fd);
    }
    if (listener_ >= 0) {
        sys::close_fd(listener_);
        sys::remove_path(path_);
    }
    sys::close_wake(wake_);
}

void ControlServer::serve_stream(int in_fd, int out_fd) { clients_.push_back(Client{in_fd, out_fd, false, {}}); }

bool ControlServer::listen(const std::string& path, std::string& error) {
    listener_ = sys::listen_unix(path, error);
    if (listener_ < 0)
        return false;
    path_ = path;
    return true;
}

void ControlServer::catch_signals() { sys::catch_stop_signals(wake_); }

void ControlServer::stop() {
    stop_ = true;
    sys::wake(wake_);
}

void ControlServer::answer(Client& client, std::string_view text) {
    std::string reply = line_.control(text) + "\n";
    sys::write_all(client.out_fd, reply);
}

// Reads what the client has sent and answers each complete line. False when the client is gone.
bool ControlServer::serve(Client& client) {
    char buffer[1024];
    long n = sys::read_some(client.in_fd, reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer);
    if (n == -1)
        return true;
    if (n <= 0)
        return false;
    for (long i = 0; i < n && !line_.quit_requested(); ++i) {
        char c = buffer[i];
        if (c != '\n') {
            if (client.pending.size() < MAX_LINE)
                client.pending.push_back(c);
            else
                client.overlong = true;
            continue;
        }
        if (client.overlong)
            sys::write_all(client.out_fd, "ERR line longer than 4096 characters\n");
        else
            answer(client, client.pending);
        client.pending.clear();
        client.overlong = false;
    }
    return true;
}

void ControlServer::run() {
    while (!stop_ && !sys::stop_signalled() && !line_.quit_requested()) {
        std::vector<sys::PollItem> items{{wake_.read_fd, true, false}};
        if (listener_ >= 0)
            items.push_back({listener_, true, false});
        std::size_t first_client = items.size();
        for (const Client& c : clients_)
            items.push_back({c.in_fd, true, false});
        if (!sys::poll_items(items, 1000))
            break;
        if (items[0].readable)
            sys::drain_wake(wake_);
        if (listener_ >= 0 && items[1].readable) {
            int fd = sys::accept_client(listener_);
            if (fd >= 0 && clients_.size() < MAX_CLIENTS)
                clients_.push_back(Client{fd, fd, true, {}});
            else if (fd >= 0)
                sys::close_fd(fd);
        }
        // Iterate over the clients that were polled; accepted ones wait for the next round.
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            std::size_t item = first_client + i;
            bool alive = true;
            if (item < items.size() && (items[item].readable || items[item].failed))
                alive = serve(clients_[i]);
            if (alive)
                kept.push_back(std::move(clients_[i]));
            else if (clients_[i].owned)
                sys::close_fd(clients_[i].in_fd);
        }
        clients_ = std::move(kept);
    }
}

} // namespace nvsim
