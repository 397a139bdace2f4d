// The settings engine reading an arbitrary settings file. The input is written as the file, then
// read, changed, saved and read again. The first line of the input, when it is a name a host
// could send, is used as one more section name, and the start of the second line as a key.
// Oracle: a value that was put and saved without an error reads back the same, up to its ";".
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/scratch_file.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/utils.h"

namespace {

std::string line_of(const std::uint8_t* data, std::size_t size, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        while (start < size && data[start] != '\n')
            ++start;
        if (start < size)
            ++start;
    }
    std::size_t end = start;
    while (end < size && data[end] != '\n' && data[end] != '\r' && data[end] != 0)
        ++end;
    return std::string(reinterpret_cast<const char*>(data) + start, end - start);
}

std::string key_of(const std::string& text) {
    std::size_t n = 0;
    while (n < text.size() && n < KEY_NAME_MAX &&
           (std::isalnum(static_cast<unsigned char>(text[n])) || text[n] == '_'))
        ++n;
    return text.substr(0, n);
}

void put_and_read_back(const char* app, const char* key, const std::string& value, const char* file) {
    ini_put_string(app, key, value.c_str(), file);
    if (error_pending()) {
        error_discard();
        ini_close();
        error_discard();
        return;
    }
    for (int i = 0; i < 3; ++i)
        ini_second_tick(); // the save
    if (error_pending()) {
        error_discard();
        return;
    }
    // A ";" in the value starts a comment; blanks around what is left are not part of it.
    std::string expected = value.substr(0, value.find(';'));
    while (!expected.empty() && (expected.back() == ' ' || expected.back() == '\t'))
        expected.pop_back();
    expected.erase(0, expected.find_first_not_of(' ') == std::string::npos ? expected.size()
                                                                            : expected.find_first_not_of(' '));
    std::string out(value.size() + 2, '\0');
    ini_get_existing_string(app, key, out.data(), static_cast<int>(out.size()), file);
    fuzz_check(error_pending() == 0);
    fuzz_check(std::strcmp(out.c_str(), expected.c_str()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* file = scratch_file("ZSYS.INI").c_str();
    {
        std::FILE* f = std::fopen(file, "wb");
        if (!f)
            std::abort();
        if (size)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    error_discard();

    std::string app = line_of(data, size, 0);
    if (app.size() > 2 && app.front() == '[' && app.back() == ']')
        app = app.substr(1, app.size() - 2);
    std::string key = key_of(line_of(data, size, 1));
    if (!ini_app_name_acceptable(app.c_str()))
        app = "A";
    if (key.empty())
        key = "K";

    const char* apps[] = {"A", "HOST", app.c_str()};
    const char* keys[] = {"K", "PORT", key.c_str()};
    char out[64];
    for (const char* a : apps) {
        for (const char* k : keys) {
            ini_get_string(a, k, "default", out, sizeof out, file);
            error_discard();
            ini_get_existing_string(a, k, out, 2, file);
            error_discard();
        }
    }
    ini_get_number("B", "N", 5, 0, 100, file);
    error_discard();
    ini_get_number(app.c_str(), "NUMBER", 7, 1, 9, file);
    error_discard();

    // Blanks and a comment sign in the value; for every fourth input length a value large enough
    // to make the buffer grow (growth and saving are the slow part).
    put_and_read_back(app.c_str(), key.c_str(), "v ; w", file);
    if (size % 4 == 0)
        put_and_read_back(app.c_str(), "BIG", std::string(15000 + size % 4096, 'x'), file);

    ini_close();
    error_discard();
    return 0;
}
