// orvsrv32: the system server. Runs in the foreground in its data folder (the current directory,
// or --data DIR) until QUIT, SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/event_loop.h"
#include "platform/instance_lock.h"
#include "platform/window_endpoint.h"
#include "server/core/run.h"
#include "server/core/version.h"

namespace {

constexpr const char* LOCK_FILE = "orvsrv32.lock";

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_ALREADY_RUNNING = 3;

void usage(std::FILE* out) {
    std::fprintf(out, "usage: orvsrv32 [--data DIR] [--about] [--version] [--help]\n"
                      "  --data DIR  work in DIR (the data folder: ZSYS.INI, LOG/ERROR.LOG); default: the\n"
                      "              current directory\n"
                      "  --about     show the About box text\n"
                      "  --version   show the version\n"
                      "SIGTERM or SIGINT closes the server as closing its window does.\n");
}

void print_about() { std::printf("%s\n\n%s", ABOUT_CAPTION, server_about_text().c_str()); }

} // namespace

int main(int argc, char** argv) {
    std::string data;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s\n", server_version());
            return 0;
        }
        if (arg == "--about") {
            print_about();
            return 0;
        }
        if (arg == "--data" && i + 1 < argc) {
            data = argv[++i];
        } else if (arg.rfind("--data=", 0) == 0) {
            data = arg.substr(7);
        } else {
            std::fprintf(stderr, "orvsrv32: unknown option '%s'\n", arg.c_str());
            usage(stderr);
            return EXIT_USAGE;
        }
    }

    if (!data.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(data, ec);
        std::filesystem::current_path(data, ec);
        if (ec) {
            std::fprintf(stderr, "orvsrv32: cannot work in the data folder '%s': %s\n", data.c_str(),
                         ec.message().c_str());
            return 1;
        }
    }
    std::error_code ec;
    std::string folder = std::filesystem::current_path(ec).string();

    // Taken before anything in the folder is touched, so a second copy leaves the first's files alone.
    platform::InstanceLock lock;
    switch (lock.acquire(LOCK_FILE)) {
    case platform::InstanceLock::Result::taken:
        break;
    case platform::InstanceLock::Result::held_elsewhere:
        if (lock.holder() > 0)
            std::fprintf(stderr,
                         "orvsrv32: another server (process %ld) is already running in '%s'; this copy exits.\n",
                         lock.holder(), folder.c_str());
        else
            std::fprintf(stderr, "orvsrv32: another server is already running in '%s'; this copy exits.\n",
                         folder.c_str());
        return EXIT_ALREADY_RUNNING;
    case platform::InstanceLock::Result::failed:
        std::fprintf(stderr, "orvsrv32: cannot lock '%s' in '%s': %s\n", LOCK_FILE, folder.c_str(),
                     lock.error_text().c_str());
        return 1;
    }

    platform::ignore_signal(SIGPIPE);
    platform::EventLoop loop;
    loop.catch_signals({SIGTERM, SIGINT}, [&loop](int) { loop.post_quit(0); });
    server_set_table(server_module_table);
    server_attach_loop(&loop);

    platform::WindowEndpoint window(loop, server_window_procedure);
    switch (window.open(SERVER_TITLE)) {
    case platform::EndpointStatus::ok:
        break;
    case platform::EndpointStatus::title_taken:
        std::fprintf(stderr,
                     "orvsrv32: %s; this server runs without it, and programs that look for \"%s\" find the "
                     "other one.\n",
                     window.error_text().c_str(), SERVER_TITLE);
        break;
    case platform::EndpointStatus::failed:
        std::fprintf(stderr,
                     "orvsrv32: no window endpoint (%s); direct commands and event windows are not served.\n",
                     window.error_text().c_str());
        break;
    }

    loop.set_message_handler(
        [](const platform::Message& message) { server_window_procedure(message, nullptr); });
    loop.set_idle(server_idle);
    loop.set_wait_hooks(server_sleep_begin, server_sleep_end);

    server_window_setup(window.handle());
    loop.run();
    server_shutdown();
    server_attach_loop(nullptr);
    window.close();
    return 0;
}
