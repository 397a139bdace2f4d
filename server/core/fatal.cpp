#include "server/core/fatal.h"

#include <cstdio>
#include <cstdlib>

void fatal_assert(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "orvsrv32: Assertion failed: %s, file %s, line %d\n", condition, file, line);
    std::fflush(stderr);
    std::abort();
}
