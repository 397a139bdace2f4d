#include "api/nuvra_error.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/message_box.h"

namespace {

constexpr int TRACE_BUFFER = 5000;
constexpr int REPORT_BUFFER = 1000;
constexpr char TRACE_FILE[] = "nvapi.log";
constexpr char BOX_TITLE[] = "Nuvra API";

std::atomic<int> trace_switch{0};
std::atomic<int> message_box_switch{0};
std::atomic<ApiMessageBoxHook> message_box_hook{nullptr};

} // namespace

CXNuvraError::CXNuvraError(const char* source_file, int source_line, int error_number, const char* format, ...) {
    if (std::strlen(format) >= ERROR_STRING_MAX / 2) {
        std::fprintf(stderr, "nvapi32: assertion failed: strlen(str)<ERROR_STRING_MAX/2, %s line %d\n", source_file,
                     source_line);
        std::abort();
    }
    file = source_file;
    line = source_line;
    number = error_number;
    char buffer[ERROR_STRING_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text = buffer;
}

void ApiSetTraceSwitch(int on) { trace_switch.store(on); }
int ApiTraceSwitch() { return trace_switch.load(); }
void ApiSetMessageBoxSwitch(int on) { message_box_switch.store(on); }
int ApiMessageBoxSwitch() { return message_box_switch.load(); }
void ApiSetMessageBoxHook(ApiMessageBoxHook hook) { message_box_hook.store(hook); }

void ApiTrace(const char* format, ...) {
    if (trace_switch.load() == 0)
        return;
    char message[TRACE_BUFFER];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    platform::LocalTime t = platform::local_time();
    std::FILE* file = std::fopen(TRACE_FILE, "ab");
    if (!file)
        return;
    char line[TRACE_BUFFER];
    int n = std::snprintf(line, sizeof line, "%d-%02d-%02d %02d:%02d:%02d.%03d\t%s\r\n", t.year, t.month, t.day,
                          t.hour, t.minute, t.second, t.millisecond, message);
    if (n > 0)
        std::fwrite(line, 1, n < TRACE_BUFFER ? static_cast<std::size_t>(n) : TRACE_BUFFER - 1, file);
    std::fclose(file);
}

void ApiErrorLine(const CNuvraErrorItem& error, char* buffer, int size) {
    if (size <= 0)
        return;
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s, line: %d (%d)\t%s", error.file, error.line,
                  error.number, error.text.c_str());
}

void ApiMessageBox(const char* text) noexcept {
    if (ApiMessageBoxHook hook = message_box_hook.load()) {
        hook(BOX_TITLE, text);
        return;
    }
    try {
        platform::show_message_box(BOX_TITLE, text, platform::MessageBoxIcon::error);
    } catch (...) {
        // Out of memory while building the dialog's arguments: the box is lost, the caller goes on.
    }
}

void ApiErrorTrace(const CNuvraErrorItem& error) noexcept {
    char line[REPORT_BUFFER];
    ApiErrorLine(error, line, sizeof line);
    ApiTrace("Error:\t%s", line);
}

void ApiErrorReport(const CNuvraErrorItem& error) noexcept {
    ApiErrorTrace(error);
    if (message_box_switch.load() != 0)
        ApiMessageBox(error.text.c_str());
}
