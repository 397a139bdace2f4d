// The "from-to" syntax on arbitrary text: the value-form item reader driven the way its callers
// drive it, the scanners, and the list readers on the text as a setting of a settings file.
// Oracles: every item read without an error moves the cursor; the readers stay inside their arrays.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/scratch_file.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size); // zero-terminated copy
    const char* end = text.c_str() + std::strlen(text.c_str());
    error_discard();

    const char* cursor = text.c_str();
    while (!error_pending() && *cursor) {
        int from = -1, to = -1, value = -1;
        const char* next = from_to_next(cursor, &from, &to, &value);
        fuzz_check(next >= cursor && next <= end);
        if (!error_pending())
            fuzz_check(next > cursor);
        cursor = next;
    }
    error_discard();

    for (const char* p = text.c_str(); *p;) {
        const char* before = p;
        scan_number(&p);
        fuzz_check(p >= before && p <= end);
        skip_name(&p);
        skip_blanks(&p);
        scan_char(',', &p);
        if (p == before)
            ++p;
    }

    const char* file = scratch_file("ZSYS.INI").c_str();
    {
        std::FILE* f = std::fopen(file, "wb");
        if (!f)
            std::abort();
        std::fputs("[F]\r\nL = ", f);
        if (size)
            std::fwrite(data, 1, size, f);
        std::fputs("\r\n", f);
        std::fclose(f);
    }
    char flags[33];
    from_to_flags("F", "L", "", flags, sizeof flags, file);
    error_discard();
    for (char c : flags)
        fuzz_check(c == 0 || c == 1);
    int numbers[500];
    int count = from_to_numbers("F", "L", "", numbers, 500, file);
    fuzz_check(count >= 0 && count <= 500);
    error_discard();
    ini_close();
    error_discard();
    return 0;
}
