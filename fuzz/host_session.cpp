// The host session serving arbitrary command lines on a slot whose answer operation captures
// what it is given; no devices are configured, so display and printer commands fail inside their
// modules. The input is split into lines at LF (a zero byte ends a line's text, as it ends a
// command string).
// Oracles: a line holding a word gets exactly one answer, whose length counts its terminating
// zero and nothing after it; an empty line gets none and keeps the serving flag; a value that
// "SETS" wrote ("Y") reads back the same with "SETG", up to its ";" and without its outer blanks.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/scratch_file.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/hosts/hostslot.h"

namespace {

const char* const SETTINGS =
    "[HOST]\nMAX = 1\nEVENT_QUEUE_MAX = 300\nEVENTS = 1-7\n\n[TEST]\nNAME = abc ; x\n\n";

std::vector<std::string> answers;

void capture_answer(const char* text, int length) {
    fuzz_check(length > 0);
    answers.emplace_back(text, static_cast<std::size_t>(length));
}

void write_settings(const char* file) {
    std::FILE* f = std::fopen(file, "wb");
    if (!f) std::abort();
    std::fputs(SETTINGS, f);
    std::fclose(f);
}

bool opened = false;

void open_host(const char* file) {
    write_settings(file);
    host_open();
    fuzz_check(error_pending() == 0 && host_slot_count() == 1);
    HostSlot* slot = host_slot(0);
    slot->ops = host_ops_nothing;
    slot->ops.answer = capture_answer;
    slot->ops.status = host_op_status_state;
    slot->ops.clear_status = host_op_clear_state;
    opened = true;
}

// Serves one line; returns its answers (each checked and without its zero).
std::vector<std::string> serve(const std::string& line) {
    answers.clear();
    host_select(0);
    host_state(0)->status |= HOST_STATUS_SERVING;
    host_session(line.c_str());
    std::vector<std::string> out;
    for (const std::string& a : answers) {
        fuzz_check(a.back() == '\0' && a.find('\0') == a.size() - 1);
        out.push_back(a.substr(0, a.size() - 1));
    }
    return out;
}

// What the settings file gives back for a written value: up to ";", outer blanks and trailing tabs off.
std::string read_back_form(std::string value) {
    value = value.substr(0, value.find(';'));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    std::size_t start = value.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : value.substr(start);
}

void check_written(const std::string& line) {
    std::string args = line.substr(5);
    std::size_t first = args.find(' ');
    std::size_t second = first == std::string::npos ? first : args.find(' ', first + 1);
    fuzz_check(second != std::string::npos);
    std::string app = args.substr(0, first);
    std::string key = args.substr(first + 1, second - first - 1);
    std::string value = args.substr(second + 1);
    std::vector<std::string> got = serve("SETG " + app + " " + key + " 20000");
    fuzz_check(got.size() == 1);
    fuzz_check(got[0] == read_back_form(value));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* file = scratch_file(INI_FILE).c_str();
    error_discard();
    if (!opened) open_host(file);

    std::size_t start = 0;
    while (start <= size) {
        std::size_t end = start;
        while (end < size && data[end] != '\n')
            ++end;
        std::string raw(reinterpret_cast<const char*>(data) + start, end - start);
        std::string line = raw.substr(0, raw.find('\0'));
        start = end + 1;

        std::vector<std::string> got = serve(line);
        const bool has_word = line.find_first_not_of(' ') != std::string::npos;
        fuzz_check(got.size() == (has_word ? 1u : 0u));
        const bool serving = (host_state(0)->status & HOST_STATUS_SERVING) != 0;
        fuzz_check(serving == !has_word);
        if (got.size() == 1 && got[0] == "Y" && line.rfind("SETS ", 0) == 0 && error_pending() == 0)
            check_written(line);
        error_discard();
        host_event_deliver();
        error_discard();
    }

    // Every input starts from the same settings file; the host slots and ranges are kept.
    ini_close();
    error_discard();
    write_settings(file);
    return 0;
}
