// nvcmd: sends command lines to the system server through libnvapi32.so, the way applications
// do it (the library is loaded by name at run time and its exports bound by name), and prints the
// answers and, on request, the server's events.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "api/nvapi32.h"
#include "api/profile.h"

namespace fs = std::filesystem;

namespace {

const char* const USAGE =
    "usage: nvcmd [options] [COMMAND...]\n"
    "Sends COMMAND (its words joined by blanks) to the system server and prints the answer.\n"
    "Without COMMAND, reads commands from standard input, one a line.\n"
    "  -c CONNECTION    connection string instead of [SETUP] CONNECTION of NUVRAAPI.INI,\n"
    "                   e.g. TCP_IP,127.0.0.1,500,501 (host, port, event port)\n"
    "  --events         print server events as they arrive: EVENT <event> <unit> <text>\n"
    "  --wait SECONDS   with --events: keep listening this long after the last command\n"
    "                   (default with a COMMAND: until interrupted)\n"
    "  --help           this text\n"
    "The settings file NUVRAAPI.INI is looked for in the current folder, then in $NUVRA_WINDIR\n"
    "(else $XDG_CONFIG_HOME/nuvra); errors are printed on standard error.\n"
    "Exit status: 0 when every command was answered, 1 otherwise, 2 for usage errors.\n";

constexpr int ANSWER_SIZE = 65536;

struct Options {
    std::string connection;
    bool has_connection = false;
    bool events = false;
    double wait_seconds = -1; // < 0: until interrupted
    std::vector<std::string> words;
};

struct Library {
    decltype(&NuvraBegin) begin = nullptr;
    decltype(&NuvraCommandAnswer) command_answer = nullptr;
    decltype(&NuvraDisconnect) disconnect = nullptr;
    decltype(&NuvraSetEventHandler) set_event_handler = nullptr;
    decltype(&NuvraErrorShowMsgBox) error_show_msg_box = nullptr;
};

std::mutex output_lock;
std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted.store(true); }

void on_event(int32_t code, const char* text) {
    std::lock_guard<std::mutex> guard(output_lock);
    std::printf("EVENT %d %d %s\n", code >> 8, (code & 0xFF) + 1, text ? text : "");
    std::fflush(stdout);
}

int usage_error(const char* text) {
    std::fprintf(stderr, "nvcmd: %s\n%s", text, USAGE);
    return 2;
}

// Returns 0 to go on, otherwise the exit status.
int parse(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return -1;
        } else if (a == "-c") {
            if (i + 1 >= argc)
                return usage_error("-c needs a connection string");
            options->connection = argv[++i];
            options->has_connection = true;
        } else if (a == "--events") {
            options->events = true;
        } else if (a == "--wait") {
            char* end = nullptr;
            if (i + 1 >= argc || (options->wait_seconds = std::strtod(argv[++i], &end), *end != '\0') ||
                options->wait_seconds < 0)
                return usage_error("--wait needs a number of seconds");
        } else if (a == "--") {
            ++i;
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error(("unknown option " + a).c_str());
        } else {
            break;
        }
    }
    for (; i < argc; ++i)
        options->words.emplace_back(argv[i]);
    return 0;
}

// A private copy of the settings file with [SETUP] CONNECTION replaced, in a folder of its own.
// The library takes "NUVRAAPI.INI" from the current folder at load time, so it is loaded with that
// folder current; every other setting (time-outs, SAVE_LOG) stays the user's.
std::string make_settings_folder(const std::string& connection) {
    std::string pattern = (fs::temp_directory_path() / "nvcmd-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return "";
    std::error_code ec;
    std::string mine = pattern + "/NUVRAAPI.INI";
    std::string users = ProfileFindFile(fs::current_path(ec).string() + "/NUVRAAPI.INI");
    if (!fs::exists(users, ec))
        users = ProfileFindFile("NUVRAAPI.INI");
    if (fs::exists(users, ec))
        fs::copy_file(users, mine, ec);
    if (!ProfileWriteString("SETUP", "CONNECTION", connection, mine)) {
        fs::remove_all(pattern, ec);
        return "";
    }
    return pattern;
}

template <class F> bool bind(void* handle, const char* name, F* function) {
    *function = reinterpret_cast<F>(dlsym(handle, name));
    if (!*function)
        std::fprintf(stderr, "nvcmd: libnvapi32.so has no %s\n", name);
    return *function != nullptr;
}

bool load(const std::string& folder, Library* library) {
    std::error_code ec;
    fs::path back = fs::current_path(ec);
    if (!folder.empty())
        fs::current_path(folder, ec);
    void* handle = dlopen("libnvapi32.so", RTLD_NOW);
    if (!folder.empty())
        fs::current_path(back, ec);
    if (!handle) {
        std::fprintf(stderr, "nvcmd: %s\n", dlerror());
        return false;
    }
    return bind(handle, "NuvraBegin", &library->begin) && bind(handle, "NuvraCommandAnswer", &library->command_answer) &&
           bind(handle, "NuvraDisconnect", &library->disconnect) &&
           bind(handle, "NuvraSetEventHandler", &library->set_event_handler) &&
           bind(handle, "NuvraErrorShowMsgBox", &library->error_show_msg_box);
}

bool send(const Library& library, const std::string& command, std::vector<char>& answer) {
    int16_t ok = library.command_answer(command.c_str(), static_cast<int32_t>(command.size() + 1), answer.data(),
                                        static_cast<int32_t>(answer.size()));
    std::lock_guard<std::mutex> guard(output_lock);
    if (ok)
        std::printf("%s\n", answer.data());
    else
        std::fprintf(stderr, "nvcmd: no answer to \"%s\"\n", command.c_str());
    std::fflush(stdout);
    return ok != 0;
}

void wait_for_events(double seconds) {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!interrupted.load() && (seconds < 0 || std::chrono::steady_clock::now() < end))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = parse(argc, argv, &options); status != 0)
        return status < 0 ? 0 : status;

    // A console tool: the library's message boxes come out on standard error.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");

    std::string folder;
    if (options.has_connection) {
        folder = make_settings_folder(options.connection);
        if (folder.empty()) {
            std::fprintf(stderr, "nvcmd: cannot write a settings file for the connection\n");
            return 1;
        }
    }
    Library library;
    if (!load(folder, &library)) {
        std::error_code ec;
        if (!folder.empty())
            fs::remove_all(folder, ec);
        return 1;
    }
    library.error_show_msg_box(1);

    bool all_answered = true;
    if (options.events) {
        library.set_event_handler(on_event);
        // Builds the transport now, so that its event listener runs before the first command.
        all_answered = library.begin() != 0;
    }
    std::vector<char> answer(ANSWER_SIZE);
    if (!options.words.empty()) {
        std::string command;
        for (const std::string& w : options.words)
            command += (command.empty() ? "" : " ") + w;
        all_answered = send(library, command, answer) && all_answered;
        if (options.events)
            wait_for_events(options.wait_seconds);
    } else {
        bool prompt = isatty(STDIN_FILENO) != 0;
        std::string line;
        for (;;) {
            if (prompt) {
                std::lock_guard<std::mutex> guard(output_lock);
                std::fputs("> ", stdout);
                std::fflush(stdout);
            }
            if (!std::getline(std::cin, line))
                break;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            all_answered = send(library, line, answer) && all_answered;
        }
        if (options.events && options.wait_seconds > 0)
            wait_for_events(options.wait_seconds);
    }
    library.disconnect();
    std::error_code ec;
    if (!folder.empty())
        fs::remove_all(folder, ec);
    return all_answered ? 0 : 1;
}
