#include "server/core/run.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/version.h"

bool modules_running = false;
std::recursive_timed_mutex server_mutex;
platform::WindowHandle server_window = 0;

namespace {

const char* const SOURCE = "_source\\run";
constexpr int LINE_LOG_ON = 128;
constexpr int LINE_LOG_OFF = 148;
constexpr int LINE_MUTEX_TIMEOUT = 226;
constexpr int MESSAGE_LOG_ON = 271;
constexpr int MESSAGE_LOG_OFF = 272;
constexpr int TRACE_TEXT_MAX = 1000;
constexpr int EVENT_TEXT_MAX = 499;
// A yield between two modules polls the loop's descriptors only when they were last polled this
// long ago: the yields of a cycle with nothing to serve follow each other within microseconds,
// and a system call for each would cost more than serving a socket notice. A yield after a served
// unit always looks.
constexpr int YIELD_DESCRIPTOR_CHECK_US = 50;
// Wake this long after a second boundary, so that the clock surely sees the new second.
constexpr int SECOND_SLACK_MS = 2;

void nothing() {}
int direct_not_done(const char*, char*, int) { return 0; }
std::int64_t notice_ignored(std::uint64_t, std::int64_t) { return 1; }

ServerTable table = {
    {{"io", nothing, nothing, nothing, nothing},
     {"host", nothing, nothing, nothing, nothing},
     {"clock", nothing, nothing, nothing, nothing},
     {"protocol", nothing, nothing, nothing, nothing},
     {"display", nothing, nothing, nothing, nothing},
     {"printer", nothing, nothing, nothing, nothing},
     {"card", nothing, nothing, nothing, nothing}},
    {nothing, nothing, direct_not_done, notice_ignored, notice_ignored, notice_ignored},
};

platform::EventLoop* loop = nullptr;

std::atomic<bool> quit_request{false};
std::atomic<bool> reset_request{false};
std::atomic<bool> restart_request{false};

// Main thread only: whether the loop's own hold on server_mutex is taken.
bool main_owns = false;
std::atomic<int> mutex_timeout_ms{SERVER_MUTEX_TIMEOUT_MS};
std::atomic<int> mutex_timeouts{0};

// Main thread only: set when a run step served a unit (it yielded from inside the step) or said
// it did other work, so the loop must not sleep.
bool in_run_step = false;
bool cycle_busy = false;

std::mutex event_windows_lock;
platform::WindowHandle event_windows[EVENT_WINDOW_SLOTS];

std::atomic<int> save_log{0};

void release_main() {
    if (!main_owns)
        return;
    main_owns = false;
    server_mutex.unlock();
}

// Module work never runs without the mutex: another thread that keeps it past the time-out is
// waited for again, and the time-outs are reported once it is free (the error system is not
// ours to touch while that thread may be using it).
void retake_main() {
    if (main_owns)
        return;
    int ms = mutex_timeout_ms.load();
    int timeouts = 0;
    while (!server_mutex.try_lock_for(std::chrono::milliseconds(ms))) {
        ++timeouts;
        ++mutex_timeouts;
        std::fprintf(stderr, "orvsrv32: server_mutex still taken by another thread after %d ms; waiting\n",
                     ms * timeouts);
    }
    main_owns = true;
    if (timeouts > 0)
        error_report(SOURCE, LINE_MUTEX_TIMEOUT, ERROR_MUTEX_TIMEOUT,
                     "Server mutex not free within '%d' ms, '%d' times, module work waited for it", ms,
                     timeouts);
}

void finish_opening() {
    if (error_pending()) {
        error_flush();
        modules_running = false;
    } else {
        modules_running = true;
    }
}

void run_module(ServerModuleId id) {
    in_run_step = true;
    table.modules[id].run();
    in_run_step = false;
}

int ms_to_next_second() {
    int ms = 1000 - platform::local_time().millisecond;
    if (ms < 1)
        ms = 1;
    return ms + SECOND_SLACK_MS;
}

std::int64_t direct_command(const platform::Message& message, bool word_in_wparam, std::string* reply) {
    platform::CommandRecord record;
    if (!platform::decode_command_record(message.payload, &record))
        return 0;
    if (word_in_wparam)
        record.second_word = static_cast<std::uint32_t>(message.wparam);
    std::uint32_t size = record.answer_size < DIRECT_ANSWER_MAX ? record.answer_size : DIRECT_ANSWER_MAX;
    std::string answer(size, '\0');
    std::unique_lock<std::recursive_timed_mutex> lock(server_mutex, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(mutex_timeout_ms.load())))
        return 0;
    int done = table.hooks.host_direct_command(record.command.c_str(), answer.data(), static_cast<int>(size));
    lock.unlock();
    if (reply && done) {
        std::size_t end = answer.find('\0');
        reply->assign(answer, 0, end == std::string::npos ? size : end + 1);
    }
    return done ? 1 : 0;
}

} // namespace

void server_set_table(const ServerTable& installed) {
    table = installed;
    for (ServerModule& m : table.modules) {
        for (ModuleOp* op : {&m.open, &m.run, &m.close, &m.reset})
            if (!*op)
                *op = nothing;
    }
    ServerHooks& h = table.hooks;
    if (!h.display_clear_all)
        h.display_clear_all = nothing;
    if (!h.host_event_deliver)
        h.host_event_deliver = nothing;
    if (!h.host_direct_command)
        h.host_direct_command = direct_not_done;
    for (NoticeOp* op : {&h.tcp_listen_notice, &h.tcp_client_notice, &h.netbios_notice})
        if (!*op)
            *op = notice_ignored;
}

void server_quit() {
    table.hooks.display_clear_all();
    quit_request = true;
}
void server_reset() { reset_request = true; }
void server_restart() { restart_request = true; }

ServerRequests server_requests() { return ServerRequests{quit_request, reset_request, restart_request}; }

void server_attach_loop(platform::EventLoop* attached) { loop = attached; }
platform::EventLoop* server_loop() { return loop; }

void server_set_mutex_timeout_ms(int ms) { mutex_timeout_ms = ms > 0 ? ms : 1; }
int server_mutex_timeout_ms() { return mutex_timeout_ms; }
int server_mutex_timeout_count() { return mutex_timeouts; }

void server_open_all() {
    error_open();
    table.modules[MODULE_IO].open();
    table.modules[MODULE_HOST].open();
    error_set_step("", 0);
    error_message(SOURCE, LINE_LOG_ON, MESSAGE_LOG_ON, "Log on");
    table.modules[MODULE_CLOCK].open();
    table.modules[MODULE_PROTOCOL].open();
    table.modules[MODULE_DISPLAY].open();
    table.modules[MODULE_PRINTER].open();
    table.modules[MODULE_CARD].open();
}

void server_close_all() {
    if (error_pending())
        error_flush();
    table.modules[MODULE_PRINTER].close();
    table.modules[MODULE_DISPLAY].close();
    table.modules[MODULE_CARD].close();
    table.modules[MODULE_CLOCK].close();
    if (error_pending())
        error_flush();
    error_set_step("", 0);
    error_message(SOURCE, LINE_LOG_OFF, MESSAGE_LOG_OFF, "Log off");
    table.modules[MODULE_HOST].close();
    table.modules[MODULE_IO].close();
    ini_close();
    error_close();
}

void server_reset_all() {
    table.hooks.display_clear_all();
    table.modules[MODULE_CLOCK].reset();
    table.modules[MODULE_CARD].reset();
    table.modules[MODULE_DISPLAY].reset();
    table.modules[MODULE_PRINTER].reset();
    table.modules[MODULE_PROTOCOL].reset();
}

void server_run_cycle() {
    static const ServerModuleId order[] = {MODULE_DISPLAY, MODULE_PRINTER, MODULE_CARD, MODULE_CLOCK,
                                           MODULE_HOST};
    for (ServerModuleId id : order) {
        run_module(id);
        if (error_pending())
            error_flush();
        if (server_yield())
            break; // the next cycle starts again with the main displays
    }
    if (reset_request.exchange(false))
        server_reset_all();
}

bool server_yield() {
    const bool after_unit = in_run_step;
    if (after_unit)
        cycle_busy = true;
    release_main();
    table.hooks.host_event_deliver();
    retake_main();
    if (!loop)
        return false;
    return after_unit ? loop->message_waiting() : loop->message_waiting(YIELD_DESCRIPTOR_CHECK_US);
}

void server_note_busy() { cycle_busy = true; }

void server_window_setup(platform::WindowHandle window) {
    server_window = window;
    retake_main();
    server_open_all();
    finish_opening();
}

int server_idle() {
    cycle_busy = false;
    if (modules_running) {
        if (error_pending())
            error_flush();
        server_run_cycle();
        if (error_pending())
            error_flush();
        error_next_cycle();
    } else {
        // Stopped on error: no cycles, but the clock's once-a-second work goes on, so settings
        // added while opening reach the file within seconds instead of waiting in the cache,
        // where a RESTART would write them over a file the user has fixed meanwhile.
        if (error_pending())
            error_flush();
        run_module(MODULE_CLOCK);
        if (error_pending())
            error_flush();
    }
    bool waiting = server_yield();
    if (!waiting && restart_request.exchange(false)) {
        server_close_all();
        server_open_all();
        finish_opening();
        cycle_busy = true;
    }
    if (quit_request.exchange(false) && loop)
        loop->post_quit(1);
    if (waiting || cycle_busy)
        return 0;
    // Nothing was served: sleep until a message comes or the clock's next second.
    return ms_to_next_second();
}

void server_shutdown() {
    retake_main();
    table.hooks.display_clear_all();
    server_close_all();
    modules_running = false;
    release_main();
}

void server_sleep_begin() { release_main(); }
void server_sleep_end() { retake_main(); }

std::int64_t server_window_procedure(const platform::Message& message, std::string* reply) {
    switch (message.msg) {
    case platform::WM_QUERYOPEN:
        return 0; // the window is never restored from its minimised state
    case platform::WM_SYSCOMMAND:
        if ((message.wparam & 0xFFF0) == SYSCOMMAND_ABOUT) {
            std::printf("%s\n\n%s", ABOUT_CAPTION, server_about_text().c_str());
            std::fflush(stdout);
        }
        return 0;
    case platform::WM_CLOSE:
        if (loop)
            loop->post_quit(0);
        return 0;
    case MSG_EVENT_WINDOW:
        return event_window_register(static_cast<platform::WindowHandle>(message.lparam), message.wparam != 0);
    case MSG_DIRECT_COMMAND:
        if (message.wparam != 0)
            return 0;
        return direct_command(message, false, reply);
    case MSG_DIRECT_COMMAND_WORD:
        return direct_command(message, true, reply);
    case MSG_TCP_LISTEN_NOTICE:
        return table.hooks.tcp_listen_notice(message.wparam, message.lparam);
    case MSG_TCP_CLIENT_NOTICE:
        return table.hooks.tcp_client_notice(message.wparam, message.lparam);
    case MSG_NETBIOS_NOTICE:
        return table.hooks.netbios_notice(message.wparam, message.lparam);
    default:
        return 0;
    }
}

int event_window_register(platform::WindowHandle window, int on) {
    // 0 ends the list: it is never a window.
    if (window == 0)
        return 0;
    std::lock_guard<std::mutex> guard(event_windows_lock);
    constexpr int last = EVENT_WINDOW_SLOTS - 1; // always 0
    if (on) {
        for (int i = 0; i < last; ++i) {
            if (event_windows[i] == window)
                return 0;
            if (event_windows[i] == 0) {
                event_windows[i] = window;
                return 1;
            }
        }
        return 0;
    }
    for (int i = 0; i < last && event_windows[i] != 0; ++i) {
        if (event_windows[i] != window)
            continue;
        for (int j = i; j < last; ++j)
            event_windows[j] = event_windows[j + 1];
        return 1;
    }
    return 0;
}

int event_window_count() {
    std::lock_guard<std::mutex> guard(event_windows_lock);
    int n = 0;
    while (event_windows[n] != 0)
        ++n;
    return n;
}

void event_window_post(int event, int unit, const char* text) {
    platform::WindowHandle targets[EVENT_WINDOW_SLOTS];
    {
        std::lock_guard<std::mutex> guard(event_windows_lock);
        std::memcpy(targets, event_windows, sizeof targets);
    }
    auto wparam = static_cast<std::uint16_t>((static_cast<unsigned>(event) << 8) | static_cast<unsigned>(unit));
    std::string_view body(text ? text : "", text ? strnlen(text, EVENT_TEXT_MAX) : 0);
    for (int i = 0; i < EVENT_WINDOW_SLOTS && targets[i] != 0; ++i)
        platform::post_message(targets[i], MSG_EVENT, wparam, 0, body);
}

void server_set_trace(int on) { save_log = on; }

void server_trace(const char* format, ...) {
    if (save_log.load() != 1)
        return;
    char text[TRACE_TEXT_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    platform::LocalTime t = platform::local_time();
    std::FILE* log = std::fopen("orviksrv.log", "ab");
    if (!log)
        return;
    std::fprintf(log, "%d-%02d-%02d %02d:%02d:%02d.%03d\t%s\r\n", t.year, t.month, t.day, t.hour, t.minute,
                 t.second, t.millisecond, text);
    std::fclose(log);
}

std::string server_about_text() {
    std::string text = "Orvik System Server 32-bit\n";
    text += "Queue-ticket printer system server by Brantel\n";
    text += "Copyright 1996-2004 Brantel\n";
    text += server_version();
    text += "\n";
    return text;
}
