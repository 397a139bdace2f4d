// The exported interface: process-wide state, the API lock, the implicit path through
// "NUVRAAPI.INI", the transport's life, event delivery, and library start and end.
#include "api/nvapi32.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include <unistd.h>

#include "api/nuvra_error.h"
#include "api/nvapi_state.h"
#include "api/profile.h"
#include "platform/window_endpoint.h"

namespace {

constexpr std::size_t PATH_MAX_CHARS = 512;
constexpr std::size_t CONNECTION_MAX_CHARS = 499;
constexpr std::uint32_t WM_NUVRA_EVENT = platform::WM_USER + 5;

// Everything here is trivially destructible or made at library start and freed at library end:
// at process exit the C++ static destructors run before the shared object's destructor, which
// still needs this state to end the transport.
std::recursive_timed_mutex* api_lock = nullptr;
std::atomic<int> lock_wait_ms{LOCK_WAIT_MS};
std::atomic<CProtocol*> transport{nullptr};
int session_count = 0;
std::atomic<NuvraWindow> event_window{0};
std::atomic<NuvraEventHandler> event_handler{nullptr};
char settings_path[PATH_MAX_CHARS + 1] = "NUVRAAPI.INI";
char connection_text[CONNECTION_MAX_CHARS + 1] = "";
std::atomic<unsigned> command_number{0};
CProtocolEventBuff event_ring;

class LockGuard {
public:
    LockGuard() : owned_(api_lock && api_lock->try_lock_for(std::chrono::milliseconds(lock_wait_ms.load()))) {}
    ~LockGuard() {
        if (owned_)
            api_lock->unlock();
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    explicit operator bool() const { return owned_; }

private:
    bool owned_;
};

void report_other(const char* what) noexcept {
    try {
        CNuvraErrorItem error;
        error.file = __FILE__;
        error.line = __LINE__;
        error.number = ERROR_GENERIC;
        error.text = what;
        ApiErrorReport(error);
    } catch (...) {
    }
}

// Runs a transport operation; a failure is reported and gives false. Nothing escapes.
template <class Operation> bool guarded(Operation&& operation) noexcept {
    try {
        operation();
        return true;
    } catch (const CXNuvraError& e) {
        ApiErrorReport(e);
    } catch (const std::exception& e) {
        report_other(e.what());
    } catch (...) {
        report_other("unknown exception");
    }
    return false;
}

// Disconnect, then delete. A failing Disconnect is reported and the deletion goes on; the
// transports' destructors report their own failures.
void end_transport() noexcept {
    CProtocol* t = transport.exchange(nullptr);
    if (!t)
        return;
    guarded([t] { t->Disconnect(); });
    delete t;
}

void build_transport(const char* connection) noexcept {
    bool built = guarded([connection] {
        transport.store(CreateTransport(connection).release());
        transport.load()->StartEvents();
    });
    if (!built)
        end_transport();
}

// Reads [SETUP] again on every run, so changed settings apply to the next transport built here.
void implicit_path() noexcept {
    bool read = guarded([] {
        ApiSetTraceSwitch(ProfileGetInt("SETUP", "SAVE_LOG", 0, settings_path));
        std::string connection =
            ProfileGetString("SETUP", "CONNECTION", DEFAULT_CONNECTION, settings_path, CONNECTION_MAX_CHARS);
        std::snprintf(connection_text, sizeof connection_text, "%s", connection.c_str());
    });
    if (read)
        build_transport(connection_text);
}

void resolve_settings_path() {
    char folder[PATH_MAX_CHARS + 1];
    std::snprintf(settings_path, sizeof settings_path, "%s", SETTINGS_FILE);
    if (!getcwd(folder, sizeof folder))
        return;
    try {
        std::string path = ProfileFindFile(std::string(folder) + "/" + SETTINGS_FILE);
        if (std::FILE* f = std::fopen(path.c_str(), "rb"); f && path.size() <= PATH_MAX_CHARS) {
            std::fclose(f);
            std::snprintf(settings_path, sizeof settings_path, "%s", path.c_str());
        } else if (f) {
            std::fclose(f);
        }
    } catch (...) {
        // Out of memory: the Windows folder's file it is.
    }
}

} // namespace

// ---- library start and end ----
//
// A Windows library also hears of every thread that attaches and detaches; those notices have no
// counterpart in a Linux shared object and needed no work.

void ApiLibraryStart() {
    if (!api_lock)
        api_lock = new std::recursive_timed_mutex;
    transport.store(nullptr);
    session_count = 0;
    event_window.store(0);
    event_handler.store(nullptr);
    ApiSetMessageBoxSwitch(0);
    ApiSetTraceSwitch(0);
    connection_text[0] = '\0';
    command_number.store(0);
    event_ring.Reset();
    resolve_settings_path();
    ApiTrace("DllEntryPoint, DLL_PROCESS_ATTACH");
}

void ApiLibraryEnd() {
    ApiTrace("DllEntryPoint, DLL_PROCESS_DETACH");
    end_transport();
    event_window.store(0);
    std::snprintf(settings_path, sizeof settings_path, "%s", SETTINGS_FILE);
    delete api_lock;
    api_lock = nullptr;
}

__attribute__((constructor)) static void library_attach() { ApiLibraryStart(); }
__attribute__((destructor)) static void library_detach() { ApiLibraryEnd(); }

// ---- state access ----

const char* ApiSettingsPath() { return settings_path; }
CProtocolEventBuff& ApiEventRing() { return event_ring; }
std::recursive_timed_mutex& ApiLock() { return *api_lock; }
void ApiSetLockWaitMs(int ms) { lock_wait_ms.store(ms); }
void ApiInstallTransport(std::unique_ptr<CProtocol> t) {
    end_transport();
    transport.store(t.release());
}
CProtocol* ApiTransport() { return transport.load(); }
int ApiSessionCount() { return session_count; }
const char* ApiConnectionText() { return connection_text; }

void ApiDeliverEvent(int high, int low, const char* text) {
    // Shifted as unsigned: the bits are those of (high << 8) | low in 32-bit arithmetic.
    auto code = static_cast<std::int32_t>((static_cast<std::uint32_t>(high) << 8) | static_cast<std::uint32_t>(low));
    NuvraEventHandler handler = event_handler.load();
    NuvraWindow window = event_window.load();
    if (handler)
        handler(code, event_ring.Store(text));
    if (window != 0) {
        char* slot = event_ring.Store(text);
        auto wparam = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int16_t>(code)));
        platform::post_message(window, WM_NUVRA_EVENT, wparam,
                               static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(slot)), slot);
    }
    if (!handler && window == 0)
        ApiTrace("No Event- handler/window registered");
}

// ---- exports ----

extern "C" {

int16_t NuvraBegin(void) {
    LockGuard lock;
    if (!lock) {
        ApiTrace("NuvraBegin mutex error, can't take ownership.");
        return 0;
    }
    if (!transport.load())
        implicit_path();
    CProtocol* t = transport.load();
    if (!t)
        return 0;
    if (session_count != 0)
        return 1;
    ApiTrace("NuvraBegin");
    if (!guarded([t] { t->Begin(); }))
        return 0;
    session_count = 1;
    return 1;
}

int16_t NuvraEnd(void) {
    LockGuard lock;
    if (!lock) {
        ApiTrace("NuvraEnd mutex error, can't take ownership.");
        return 0;
    }
    if (!transport.load())
        implicit_path();
    CProtocol* t = transport.load();
    if (!t || session_count == 0)
        return 0;
    ApiTrace("NuvraEnd\r\n");
    if (!guarded([t] { t->End(); }))
        return 0;
    session_count = 0;
    return 1;
}

int16_t NuvraCommandAnswer(const char* command, int32_t length, char* answer, int32_t size) {
    unsigned n = command_number.fetch_add(1);
    LockGuard lock;
    if (!lock) {
        ApiTrace("NuvraCommandAnswer mutex error");
        return 0;
    }
    // Calls that would make the transport read or write outside the caller's buffers.
    bool arguments_ok = guarded([&] {
        if (!answer || size <= 0)
            NV_RAISE(ERROR_GENERIC, "No room for the answer (answer buffer of size %d)", static_cast<int>(size));
        if (length < 0 || (!command && length > 0))
            NV_RAISE(ERROR_GENERIC, "Invalid command (length %d)", static_cast<int>(length));
    });
    if (!arguments_ok)
        return 0;
    bool session_was_open = session_count != 0;
    if (!transport.load())
        implicit_path();
    if (!transport.load())
        return 0;
    if (!session_was_open)
        NuvraBegin();
    answer[0] = '\0';
    // The command need not be zero-terminated: only its `length` bytes are traced.
    ApiTrace("NuvraCommandAnswer cmd %u:\t%.*s", n, static_cast<int>(length), command ? command : "");
    CProtocol* t = transport.load();
    bool answered = guarded([&] { t->CommandAnswer(command, length, answer, size); });
    if (answered)
        ApiTrace("NuvraCommandAnswer ans %u:\t%.*s", n, static_cast<int>(size), answer);
    if (!session_was_open)
        NuvraEnd();
    return answered ? 1 : 0;
}

int16_t NuvraConnect(const char* connection) {
    LockGuard lock;
    if (!lock) {
        ApiTrace("NuvraConnect mutex error, can't take ownership.");
        return 0;
    }
    ApiTrace("NuvraConnect");
    // The old transport's connection, thread and event port would otherwise stay in use.
    end_transport();
    build_transport(connection ? connection : "");
    return 1;
}

int16_t NuvraDisconnect(void) {
    ApiTrace("NuvraDisconnect");
    end_transport();
    return 1;
}

int16_t NuvraSetHwnd(NuvraWindow window) {
    event_window.store(window);
    ApiTrace("NuvraSetHwnd");
    return 1;
}

int16_t NuvraSetEventHandler(NuvraEventHandler handler) {
    event_handler.store(handler);
    ApiTrace("NuvraSetEventHandler %p", reinterpret_cast<void*>(handler));
    return 1;
}

int16_t NuvraErrorShowMsgBox(int32_t on) {
    ApiSetMessageBoxSwitch(on);
    return 1;
}

void NuvraTcpIpEvent(int32_t, int32_t) {
    if (ApiMessageBoxSwitch() != 0)
        ApiMessageBox("Deprecated function");
}

} // extern "C"
