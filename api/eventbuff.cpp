#include "api/eventbuff.h"

#include <cstring>

char* CProtocolEventBuff::Store(const char* text) {
    int current = last_.load(std::memory_order_relaxed);
    int next = 0;
    do {
        next = current == SLOTS - 1 ? 0 : current + 1;
    } while (!last_.compare_exchange_weak(current, next, std::memory_order_relaxed));
    char* slot = slots_[next];
    std::size_t n = text ? strnlen(text, SLOT_SIZE - 1) : 0;
    std::memcpy(slot, text ? text : "", n);
    slot[n] = '\0';
    return slot;
}
