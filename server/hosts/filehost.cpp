#include "server/hosts/filehost.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/core/errorsys.h"
#include "server/core/utils.h"

namespace {

const char* const SOURCE = "_SOURCE\\host_f";
const char* const FILE_FORMAT = "HOSTx=FILE,...";

constexpr int BASE_MAX = 80;
constexpr int PATH_SIZE = 1024;
constexpr std::size_t LINE_MAX_CHARS = 5000;

struct FileHost {
    char base[BASE_MAX + 1];
    char in_name[PATH_SIZE];
    char out_name[PATH_SIZE];
    char pos_name[PATH_SIZE];
    std::FILE* in;
    std::FILE* out;
    long served; // offset in the .IN file up to which lines were taken
};

FileHost* current_host() {
    return static_cast<FileHost*>(host_current_slot()->transport);
}

// base + extension as a path of this system: the folders are made, backslashes become slashes.
void make_name(const char* base, const char* extension, char* name) {
    std::snprintf(name, PATH_SIZE, "%s%s", base, extension);
    make_path_dirs(name, PATH_SIZE);
    for (char* p = name; *p; ++p)
        if (*p == '\\') *p = '/';
}

long read_served(const char* pos_name) {
    std::FILE* f = std::fopen(pos_name, "rb");
    if (!f) return 0;
    char text[32] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    const long served = std::strtol(text, nullptr, 10);
    return served > 0 ? served : 0;
}

bool write_served(const FileHost* h) {
    const std::string temporary = std::string(h->pos_name) + ".TMP";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fprintf(f, "%ld\r\n", h->served) > 0;
    const bool closed = std::fclose(f) == 0;
    return written && closed && std::rename(temporary.c_str(), h->pos_name) == 0;
}

void report_served(const FileHost* h) {
    error_report(SOURCE, 70, 418, "INI file, host settings FILE, open transmit file '%s' failed due to '%s'",
                 h->pos_name, std::strerror(errno));
}

// The next complete line at the served offset; false when there is none (yet).
bool next_line(FileHost* h, std::string* line, long* end) {
    if (std::fseek(h->in, 0, SEEK_END) != 0) return false;
    const long size = std::ftell(h->in);
    if (size < 0) return false;
    if (size < h->served) {
        h->served = 0;
        if (!write_served(h)) {
            report_served(h);
            return false;
        }
    }
    if (size == h->served || std::fseek(h->in, h->served, SEEK_SET) != 0) return false;
    line->clear();
    long position = h->served;
    for (int c; (c = std::fgetc(h->in)) != EOF;) {
        ++position;
        if (c == '\n') {
            if (!line->empty() && line->back() == '\r') line->pop_back();
            *end = position;
            return true;
        }
        if (line->size() < LINE_MAX_CHARS + 1) line->push_back(static_cast<char>(c));
    }
    std::clearerr(h->in);
    return false;
}

bool answered = false;

void file_answer(const char* text, int length) {
    FileHost* h = current_host();
    if (!h || !h->out) return;
    std::string line(text, strnlen(text, length > 0 ? static_cast<std::size_t>(length) : 0));
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    line += "\r\n";
    if (std::fwrite(line.data(), 1, line.size(), h->out) != line.size() || std::fflush(h->out) != 0)
        error_report(SOURCE, 110, 418,
                     "INI file, host settings FILE, open transmit file '%s' failed due to '%s'", h->out_name,
                     std::strerror(errno));
    answered = true;
}

// One line per host run step, so the devices keep their turn.
void file_poll() {
    FileHost* h = current_host();
    if (!h || !h->in || !h->out) return;
    std::string line;
    long end = 0;
    if (!next_line(h, &line, &end)) return;
    if (line.size() > LINE_MAX_CHARS) line.resize(LINE_MAX_CHARS);
    const long before = h->served;
    h->served = end;
    if (!write_served(h)) {
        h->served = before;
        report_served(h);
        return;
    }
    answered = false;
    host_current_state()->status |= HOST_STATUS_SERVING;
    host_session(line.c_str());
    host_current_state()->status &= ~HOST_STATUS_SERVING;
    if (!answered) file_answer("", 1);
}

void close_files(FileHost* h) {
    if (h->in) std::fclose(h->in);
    if (h->out) std::fclose(h->out);
    h->in = nullptr;
    h->out = nullptr;
}

void configure_file(const char* parameters, HostSlot* slot, int) {
    slot->ops = host_ops_nothing;
    slot->transport = nullptr;
    const char* p = parameters;
    skip_blanks(&p);
    char base[BASE_MAX + 1];
    std::snprintf(base, sizeof base, "%s", p);
    for (std::size_t n = std::strlen(base); n > 0 && is_blank(static_cast<unsigned char>(base[n - 1])); --n)
        base[n - 1] = '\0';
    // An extension is a "." after the last folder separator; an empty name has no file to name.
    bool bad = base[0] == '\0';
    for (std::size_t n = std::strlen(base); n > 0 && base[n - 1] != '\\' && base[n - 1] != '/'; --n)
        if (base[n - 1] == '.') bad = true;
    if (bad) {
        error_report(SOURCE, 150, 296,
                     "INI file, host settings for %s has incorrect value(s) in '%s'. Format is '%s'", "FILE",
                     parameters, FILE_FORMAT);
        return;
    }
    FileHost* h = static_cast<FileHost*>(mem_alloc_zero(sizeof(FileHost)));
    if (!h) return;
    std::memcpy(h->base, base, sizeof base);
    slot->transport = h;
    slot->ops.poll = file_poll;
    slot->ops.answer = file_answer;
    slot->ops.status = host_op_status_state;
    slot->ops.clear_status = host_op_clear_state;

    make_name(base, ".IN", h->in_name);
    make_name(base, ".OUT", h->out_name);
    make_name(base, ".POS", h->pos_name);
    if (error_pending()) return;
    // Both are opened without truncation: lines written while the server was away stay.
    h->in = std::fopen(h->in_name, "a+b");
    if (!h->in) {
        error_report(SOURCE, 170, 417,
                     "INI file, host settings FILE, open receive file '%s' failed due to '%s'", h->in_name,
                     std::strerror(errno));
        return;
    }
    h->out = std::fopen(h->out_name, "ab");
    if (!h->out) {
        error_report(SOURCE, 176, 418,
                     "INI file, host settings FILE, open transmit file '%s' failed due to '%s'", h->out_name,
                     std::strerror(errno));
        return;
    }
    h->served = read_served(h->pos_name);
}

void close_file(HostSlot* slot) {
    FileHost* h = static_cast<FileHost*>(slot->transport);
    if (!h) return;
    close_files(h);
    mem_free(&h);
    slot->transport = nullptr;
    slot->ops = host_ops_nothing;
}

} // namespace

const HostTransport host_transport_file = {"FILE", HOST_TYPE_FILE, configure_file, close_file};
