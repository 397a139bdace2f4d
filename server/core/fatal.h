// Broken invariants of the server's own code end the program with a message naming the condition.
#pragma once

[[noreturn]] void fatal_assert(const char* condition, const char* file, int line);

#define NV_ASSERT(cond) ((cond) ? (void)0 : fatal_assert(#cond, __FILE__, __LINE__))
