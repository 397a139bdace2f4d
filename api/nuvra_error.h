// The library's error record, the exception every transport throws, and the trace log.
#pragma once

#include <string>

constexpr int ERROR_STRING_MAX = 400;

// Error numbers that callers test for.
constexpr int ERROR_GENERIC = 2000;
constexpr int ERROR_NO_CONNECTION = 2044;
constexpr int ERROR_TCP_ID_MISMATCH = 2061;
constexpr int ERROR_TCP = 3011;

class CNuvraErrorItem {
public:
    const char* file = "";
    int line = 0;
    int number = 0;
    std::string text; // at most ERROR_STRING_MAX - 1 characters
};

class CXNuvraError : public CNuvraErrorItem {
public:
    // Formats the text with printf rules, cut to ERROR_STRING_MAX - 1 characters. The format must
    // be shorter than ERROR_STRING_MAX / 2 characters (NV_RAISE checks literals when compiling).
    CXNuvraError(const char* file, int line, int number, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
};

#define NV_RAISE(number, format, ...)                                                                        \
    do {                                                                                                     \
        static_assert(sizeof(format) - 1 < ERROR_STRING_MAX / 2, "strlen(str)<ERROR_STRING_MAX/2");        \
        throw CXNuvraError(__FILE__, __LINE__, number, format __VA_OPT__(, ) __VA_ARGS__);                   \
    } while (0)

// Process-wide switches (0 = off): the trace log, and a message box for every reported error.
void ApiSetTraceSwitch(int on);
int ApiTraceSwitch();
void ApiSetMessageBoxSwitch(int on);
int ApiMessageBoxSwitch();

// Appends one line "YYYY-MM-DD hh:mm:ss.mmm<TAB>message<CR><LF>" to "nvapi.log" in the current
// folder when the trace switch is on. The message is cut to 4999 characters; a file that cannot
// be opened loses the line.
void ApiTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "file, line: n (number)<TAB>text", cut to fit `size` bytes with its zero.
void ApiErrorLine(const CNuvraErrorItem& error, char* buffer, int size);

// Traces "Error:<TAB>" and the error line; shows the text in a message box when the switch is on.
// Never throws.
void ApiErrorReport(const CNuvraErrorItem& error) noexcept;
// The trace line alone, for failures that are not the application's business (event listener).
void ApiErrorTrace(const CNuvraErrorItem& error) noexcept;

// The task-modal error box titled "Nuvra API".
void ApiMessageBox(const char* text) noexcept;
// Tests replace the box; null restores it.
using ApiMessageBoxHook = void (*)(const char* title, const char* text);
void ApiSetMessageBoxHook(ApiMessageBoxHook hook);
