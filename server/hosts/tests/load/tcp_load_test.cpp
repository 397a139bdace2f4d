// The TCP/IP host under load: the real orvsrv32 with simulated ticket printers on its link port,
// many clients sending mixed commands for a bounded time, and two event listeners.
//
// usage: tcp_load_test --server PATH [--seconds 10] [--clients 50] [--printers 4]
//
// Each client sends GV, SETG, EVENT SEND with a text of its own and FPRN n GV to the printers in
// turn, one command at a time, and checks that the answer carries its own command's header (ID
// included), that LENGTH matches and that the text fits the command. A few clients reconnect now
// and then, one of them leaving half a frame behind. Every event answered "Y" must reach both
// listeners, except those the error log reports dropped from a full queue (291). At the end the
// server is sent EXE QUIT and must end with code 0 and nothing from the sanitizers.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/hosts/tests/load/tcp_rig.h"

namespace {

struct Totals {
    std::atomic<long> requests{0};
    std::atomic<long> failures{0};
    std::atomic<long> reconnects{0};
    std::mutex lock;
    std::set<std::string> events_sent;
    std::vector<std::string> failure_notes;
    void fail(const std::string& note) {
        ++failures;
        std::lock_guard<std::mutex> guard(lock);
        if (failure_notes.size() < 20)
            failure_notes.push_back(note);
    }
};

bool ends_with_zero(const std::string& body) { return !body.empty() && body.back() == '\0'; }

void run_client(int index, int port, int printers, std::int64_t until, Totals* totals) {
    tcp_rig::FrameClient c;
    if (!c.connect(port)) {
        totals->fail("client " + std::to_string(index) + ": no connection");
        return;
    }
    for (long seq = 0; platform::monotonic_ms() < until; ++seq) {
        if (index < 5 && seq > 0 && seq % 100 == 0) {
            if (index == 0) // half a frame, then gone
                c.send_all("&&123&00010&&GV", 15);
            c.close();
            ++totals->reconnects;
            if (!c.connect(port)) {
                totals->fail("client " + std::to_string(index) + ": no reconnection");
                return;
            }
        }
        const int id = static_cast<int>((seq * 7 + index) % 1000);
        std::string text;
        std::string event_text;
        const int kind = static_cast<int>((seq + index) % (printers > 0 ? 4 : 3));
        switch (kind) {
        case 0:
            text = "GV";
            break;
        case 1:
            text = "SETG HOST MAX 10";
            break;
        case 2:
            event_text = "L" + std::to_string(index) + "-" + std::to_string(seq);
            text = "EVENT SEND 4 " + std::to_string(index + 1) + " " + event_text;
            break;
        default:
            text = "FPRN " + std::to_string(1 + (seq / 4) % printers) + " GV";
            break;
        }
        std::string head, body;
        if (!c.exchange(id, text, &head, &body)) {
            totals->fail("client " + std::to_string(index) + ": no answer to '" + text + "' (" +
                         platform::socket_error_name(platform::socket_last_error()) + ")");
            c.connect(port);
            continue;
        }
        ++totals->requests;
        const std::string expected_head = tcp_rig::header(id, body.size());
        bool ok = head == expected_head && ends_with_zero(body);
        const std::string answer = body.substr(0, body.empty() ? 0 : body.size() - 1);
        switch (kind) {
        case 0:
            ok = ok && answer.rfind("Orvik System Server Ver ", 0) == 0;
            break;
        case 1:
            ok = ok && answer == "1";
            break;
        case 2:
            ok = ok && answer == "Y";
            if (ok) {
                std::lock_guard<std::mutex> guard(totals->lock);
                totals->events_sent.insert("EVENT 4 " + std::to_string(index + 1) + " " + event_text);
            }
            break;
        default:
            ok = ok && !answer.empty() && answer != "N Error" && answer.rfind("Syntax Error", 0) != 0;
            break;
        }
        if (!ok)
            totals->fail("client " + std::to_string(index) + ": '" + text + "' (ID " + std::to_string(id) +
                         ") answered " + head + answer);
    }
}

struct Listener {
    platform::Socket socket = platform::INVALID_SOCKET;
    std::set<std::string> texts;
    long datagrams = 0;
    long malformed = 0;
};

void run_listener(Listener* l, const std::atomic<bool>* stop) {
    char b[600];
    while (!stop->load()) {
        long n = platform::socket_recv(l->socket, b, sizeof b);
        if (n <= 0)
            continue;
        ++l->datagrams;
        std::string d(b, static_cast<std::size_t>(n));
        // Header with the whole datagram's LENGTH, the text, its zero.
        bool ok = n > 14 && d.compare(0, 2, "&&") == 0 && d[5] == '&' && d.compare(11, 2, "&&") == 0 &&
                  std::strtol(d.substr(6, 5).c_str(), nullptr, 10) == n && d.back() == '\0';
        if (!ok) {
            ++l->malformed;
            continue;
        }
        l->texts.insert(d.substr(13, d.size() - 14));
    }
}

// The highest occurrence count the log shows for an error number.
long logged_count(const std::string& log, int number) {
    std::regex entry("\\n\\s*" + std::to_string(number) + ":(\\d{10})");
    long most = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), entry); it != std::sregex_iterator(); ++it)
        most = std::max(most, std::atol((*it)[1].str().c_str()));
    return most;
}

} // namespace

int main(int argc, char** argv) {
    tcp_rig::Options options;
    options.name = "tcp-load";
    double seconds = 10;
    int clients = 50;
    options.printers = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--server")
            options.server = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (a == "--clients")
            clients = std::atoi(argv[i + 1]);
        else if (a == "--printers")
            options.printers = std::atoi(argv[i + 1]);
    }
    if (options.server.empty() || seconds <= 0 || seconds > 600 || clients < 1 || clients > 60) {
        std::fprintf(stderr, "usage: tcp_load_test --server PATH [--seconds 10 (at most 600)] [--clients 50 (at "
                             "most 60)] [--printers 4]\n");
        return 2;
    }
    options.clients = 60;

    tcp_rig::Server server;
    if (!server.start(options)) {
        std::fprintf(stderr, "tcp_load_test: %s\n", server.why().c_str());
        return 1;
    }
    Listener listeners[2];
    for (Listener& l : listeners) {
        l.socket = tcp_rig::event_listener(server.event_port());
        if (l.socket == platform::INVALID_SOCKET) {
            std::fprintf(stderr, "tcp_load_test: cannot listen on event port %d\n", server.event_port());
            return 1;
        }
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (Listener& l : listeners)
        threads.emplace_back(run_listener, &l, &stop);

    Totals totals;
    const std::int64_t started = platform::monotonic_ms();
    const std::int64_t until = started + static_cast<std::int64_t>(seconds * 1000);
    std::vector<std::thread> workers;
    for (int i = 0; i < clients; ++i)
        workers.emplace_back(run_client, i, server.command_port(), options.printers, until, &totals);
    for (std::thread& t : workers)
        t.join();
    const double elapsed = static_cast<double>(platform::monotonic_ms() - started) / 1000.0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // the last datagrams
    stop = true;
    for (std::thread& t : threads)
        t.join();

    auto code = server.quit();
    const std::string log = server.error_log();
    const std::string output = server.output();
    const long dropped = logged_count(log, 291);

    bool ok = totals.failures == 0;
    std::printf("tcp_load_test: %d clients, %d printers, %.1f s: %ld requests (%.0f/s), %ld failures, %ld "
                "reconnections\n",
                clients, options.printers, elapsed, totals.requests.load(), totals.requests / elapsed,
                totals.failures.load(), totals.reconnects.load());
    for (const std::string& note : totals.failure_notes)
        std::printf("  %s\n", note.c_str());
    for (int i = 0; i < 2; ++i) {
        long missing = 0;
        for (const std::string& t : totals.events_sent)
            missing += listeners[i].texts.count(t) == 0;
        std::printf("listener %d: %ld datagrams (%ld malformed), %zu events sent, %ld missing, %ld dropped by a full "
                    "queue\n",
                    i + 1, listeners[i].datagrams, listeners[i].malformed, totals.events_sent.size(), missing, dropped);
        ok = ok && listeners[i].malformed == 0 && missing <= dropped;
    }
    for (int number : {263, 264, 476, 485, 486, 487, 488, 489, 492, 493, 494}) {
        long n = logged_count(log, number);
        if (n > 0) {
            std::printf("error %d logged %ld times\n", number, n);
            ok = false;
        }
    }
    if (!code || *code != 0) {
        std::printf("server exit: %s\n", code ? std::to_string(*code).c_str() : "still running after EXE QUIT");
        ok = false;
    }
    for (const char* mark : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
        if (output.find(mark) != std::string::npos) {
            std::printf("server output holds '%s':\n%s\n", mark, output.c_str());
            ok = false;
            break;
        }
    }
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
