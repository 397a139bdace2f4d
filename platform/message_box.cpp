#include "platform/message_box.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace platform {
namespace {

bool graphical_session() {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

enum class Shown { yes, perhaps, no };

// Runs the program found on PATH and waits for it.
Shown run_dialog(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return Shown::no;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        return Shown::no;
    // Status 1 is a box closed without its button, but also what these programs return when they
    // cannot open the display at all.
    switch (WEXITSTATUS(status)) {
    case 0:
        return Shown::yes;
    case 1:
        return Shown::perhaps;
    default:
        return Shown::no;
    }
}

} // namespace

void show_message_box(const std::string& title, const std::string& text, MessageBoxIcon icon) {
    if (graphical_session()) {
        bool error = icon == MessageBoxIcon::error;
        const std::vector<std::string> dialogs[] = {
            {"zenity", error ? "--error" : "--info", "--no-markup", "--title", title, "--text", text},
            {"kdialog", "--title", title, error ? "--error" : "--msgbox", text},
            {"xmessage", "-center", "-title", title, "-buttons", "OK:0", text},
        };
        for (const auto& dialog : dialogs) {
            Shown shown = run_dialog(dialog);
            if (shown == Shown::yes)
                return;
            if (shown == Shown::perhaps)
                break; // one box is enough; standard error keeps the message in case it failed
        }
    }
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(stderr);
}

} // namespace platform
