#include <cstdlib>
#include <cstring>

#include "server/core/errorsys.h"
#include "server/core/utils.h"

namespace {
const char* const SOURCE = "_SOURCE\\utils_a";
}

// Runs even while an error is pending: callers free what they allocate on every path.
void* mem_alloc(std::size_t size) {
    void* block = size ? std::malloc(size) : nullptr;
    if (!block)
        error_report(SOURCE, 637, 105, "Memory allocation for '%lu' bytes failed, please make system smaller and restart",
                     static_cast<unsigned long>(size));
    return block;
}

void* mem_alloc_zero(std::size_t size) {
    void* block = size ? std::calloc(1, size) : nullptr;
    if (!block)
        error_report(SOURCE, 654, 105, "Memory allocation for '%lu' bytes failed, please make system smaller and restart",
                     static_cast<unsigned long>(size));
    return block;
}

void mem_free_raw(void** pointer) {
    if (*pointer) {
        std::free(*pointer);
        *pointer = nullptr;
    }
}
