// The server's main loop: the module lifecycle (open, run cycles, reset, close), the quit, reset
// and restart requests, `server_mutex`, the event window list, the main window's messages and the
// trace log "orviksrv.log".
//
// All module work runs on the main thread, which owns `server_mutex` except inside
// server_yield() and while the loop sleeps. Modules plug in through a ServerTable; this part of
// the server knows none of them by name.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/event_loop.h"
#include "platform/window_endpoint.h"

constexpr const char* SERVER_TITLE = "Orvik System Server";
constexpr const char* ABOUT_CAPTION = "About NuvraSys";
constexpr int SERVER_MUTEX_TIMEOUT_MS = 20000;
// Raised when a yield waited longer than the mutex time-out for server_mutex.
constexpr int ERROR_MUTEX_TIMEOUT = 273;

// Messages of the main window:
//   +0 wParam 0 = unregister, else register; lParam the window
//   +1 wParam must be 0; payload a command record; +4 the same, wParam replaces its second word
//   +2, +3 wParam the socket; lParam the event, the error in the high 16 bits
//   +5 to event windows: wParam (event << 8) | unit, payload the text
//   +7 wParam the control block index
constexpr std::uint32_t MSG_EVENT_WINDOW = platform::WM_USER + 0;
constexpr std::uint32_t MSG_DIRECT_COMMAND = platform::WM_USER + 1;
constexpr std::uint32_t MSG_TCP_LISTEN_NOTICE = platform::WM_USER + 2;
constexpr std::uint32_t MSG_TCP_CLIENT_NOTICE = platform::WM_USER + 3;
constexpr std::uint32_t MSG_DIRECT_COMMAND_WORD = platform::WM_USER + 4;
constexpr std::uint32_t MSG_EVENT = platform::WM_USER + 5;
constexpr std::uint32_t MSG_NETBIOS_NOTICE = platform::WM_USER + 7;
constexpr std::uint64_t SYSCOMMAND_ABOUT = 256;

// 19 windows and the terminating zero.
constexpr int EVENT_WINDOW_SLOTS = 20;
// Largest answer buffer a direct command may ask for.
constexpr std::uint32_t DIRECT_ANSWER_MAX = platform::WINDOW_PAYLOAD_MAX;

// The module contract. Every operation returns at once while an error is pending, except close.
using ModuleOp = void (*)();
struct ServerModule {
    const char* name;
    ModuleOp open;
    ModuleOp run;   // serves units one by one from a cursor kept between calls
    ModuleOp close; // runs even while an error is pending
    ModuleOp reset; // the reaction to RESET
};

// Slots in the order the modules are opened (after the error log).
enum ServerModuleId {
    MODULE_IO,       // link port
    MODULE_HOST,     // host manager
    MODULE_CLOCK,
    MODULE_PROTOCOL, // link protocol
    MODULE_DISPLAY,  // main displays
    MODULE_PRINTER,  // ticket printers
    MODULE_CARD,     // card readers
    MODULE_COUNT
};

// Returns 1 when served, 0 otherwise.
using DirectCommandOp = int (*)(const char* command, char* answer, int answer_size);
// A transport's notice message; returns the message result.
using NoticeOp = std::int64_t (*)(std::uint64_t wparam, std::int64_t lparam);

struct ServerHooks {
    ModuleOp display_clear_all;          // blanks every main display
    ModuleOp host_event_deliver;         // hands queued host events to the hosts, inside each yield
    DirectCommandOp host_direct_command; // WM_USER+1 and WM_USER+4
    NoticeOp tcp_listen_notice;          // WM_USER+2
    NoticeOp tcp_client_notice;          // WM_USER+3
    NoticeOp netbios_notice;             // WM_USER+7
};

struct ServerTable {
    ServerModule modules[MODULE_COUNT];
    ServerHooks hooks;
};

// The table of the modules built into the server program (server/modules.cpp).
extern const ServerTable server_module_table;

// Installs a table (copied); null entries do nothing, a null direct command answers 0.
void server_set_table(const ServerTable& table);

// Server state.
extern bool modules_running;
extern std::recursive_timed_mutex server_mutex;
extern platform::WindowHandle server_window;

// Requests, set by the host command language and acted on by the loop.
void server_quit();    // blanks the displays now; the loop ends at its next idle call
void server_reset();   // carried out at the end of the next run cycle
void server_restart(); // close and open all at the next idle call that finds no message waiting
struct ServerRequests {
    bool quit;
    bool reset;
    bool restart;
};
ServerRequests server_requests();

// Lifecycle, in the order the program calls them.
void server_attach_loop(platform::EventLoop* loop); // the loop whose messages cut cycles short
// The attached loop (null before): transports post their socket notices to it.
platform::EventLoop* server_loop();
void server_window_setup(platform::WindowHandle window); // takes server_mutex, opens all modules
int server_idle();      // the loop's idle hook: 0 = call again at once, else ms the loop may wait
void server_shutdown(); // blanks the displays, closes all modules, releases server_mutex
// For the loop's wait hooks: server_mutex is free while the main thread sleeps.
void server_sleep_begin();
void server_sleep_end();

void server_open_all();
void server_close_all();
void server_reset_all();
void server_run_cycle();

// Called by run steps after each unit served. Releases server_mutex, delivers queued host events,
// takes the mutex back and answers whether a window message waits (the caller then stops its
// step without advancing). Never returns without the mutex: a time-out is reported
// (ERROR_MUTEX_TIMEOUT) once the mutex is back.
bool server_yield();
// For a run step that did work without calling server_yield (so the loop does not sleep).
void server_note_busy();
// The time-out of every wait for server_mutex (20000 ms unless a test shortens it).
void server_set_mutex_timeout_ms(int ms);
int server_mutex_timeout_ms();
// How many times the main thread's wait for server_mutex has timed out since start.
int server_mutex_timeout_count();

// The main window's message table. `reply` receives the answer of WM_USER+1 and WM_USER+4.
std::int64_t server_window_procedure(const platform::Message& message, std::string* reply);

// The event window list (WM_USER+0); returns 1 done, 0 not done.
int event_window_register(platform::WindowHandle window, int on);
// WM_USER+5 to every window in the list: wParam (event << 8) | unit, the text as payload.
void event_window_post(int event, int unit, const char* text);
int event_window_count();

// Appends a line to "orviksrv.log" when the trace is switched on (HOST SAVE_LOG = 1).
void server_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void server_set_trace(int save_log);

// The About box text: title line, maker lines, the version (two lines) and an empty last line.
std::string server_about_text();
