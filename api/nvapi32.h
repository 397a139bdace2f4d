/* nvapi32: the client library of the Nuvra system server.
 *
 * Every call returns 1 for success and 0 for failure unless its comment says otherwise; failures
 * are written to the trace log "nvapi.log" ([SETUP] SAVE_LOG=1 in "NUVRAAPI.INI") and, after
 * NuvraErrorShowMsgBox(1), shown in a message box titled "Nuvra API".
 *
 * The transport is chosen by [SETUP] CONNECTION of "NUVRAAPI.INI" (current folder first, else
 * the Windows folder $NUVRA_WINDIR or $XDG_CONFIG_HOME/nuvra), or by NuvraConnect(). Applications
 * may bind the functions by name at run time (dlopen "libnvapi32.so", dlsym); the names are plain C
 * names. */
#ifndef NVAPI32_H
#define NVAPI32_H

#include <stdint.h>

#if defined(NVAPI32_BUILD)
#define NVAPI32_EXPORT __attribute__((visibility("default")))
#else
#define NVAPI32_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A window of a program on this computer (a local window endpoint); 0 = none. */
typedef uint64_t NuvraWindow;

/* Receives a server event: code = event number x 256 + unit index (0-based), and its text. The
 * text lives in a ring of 20 slots inside the library: copy it before 20 more events arrive. The
 * callback runs on the library's event thread, not the application's. */
typedef void (*NuvraEventHandler)(int32_t code, const char* text);

/* The message a registered window receives for each event (WM_USER + 5): wparam is the code as a
 * 16-bit signed value widened with its sign; the text travels with the message. */
#define NUVRA_WM_EVENT 1029

/* Opens a command session (connecting when there is no transport yet). */
NVAPI32_EXPORT int16_t NuvraBegin(void);
/* Closes the session; 0 when none was open. */
NVAPI32_EXPORT int16_t NuvraEnd(void);
/* Sends `length` bytes of `command` (include the terminating zero: strlen + 1) and copies the
 * zero-terminated answer into `answer` (capacity `size`). Without NuvraBegin a session is opened
 * and closed around the command. */
NVAPI32_EXPORT int16_t NuvraCommandAnswer(const char* command, int32_t length, char* answer, int32_t size);
/* Builds the transport from a connection string such as "TCP_IP,127.0.0.1,500,501", ending the
 * transport there was. Returns 1 even when the transport could not be built (the failure is
 * reported); 0 only when the library is busy. */
NVAPI32_EXPORT int16_t NuvraConnect(const char* connection);
/* Ends the transport; the next call that needs one builds it again. Always 1. Do not call it
 * while another thread is inside one of the calls above. */
NVAPI32_EXPORT int16_t NuvraDisconnect(void);
/* Registers the window that receives events (0 removes it). Always 1. */
NVAPI32_EXPORT int16_t NuvraSetHwnd(NuvraWindow window);
/* Registers the event callback (NULL removes it). Always 1. */
NVAPI32_EXPORT int16_t NuvraSetEventHandler(NuvraEventHandler handler);
/* Non-zero: every reported error is also shown in a message box. Always 1. */
NVAPI32_EXPORT int16_t NuvraErrorShowMsgBox(int32_t on);
/* Deprecated; with message boxes on it says so. */
NVAPI32_EXPORT void NuvraTcpIpEvent(int32_t unused1, int32_t unused2);

#ifdef __cplusplus
}
#endif

#endif /* NVAPI32_H */
