// The numbered error system of the server: one pending error number that stops guarded work,
// recorded texts written to the error log in groups, and per-number filters (OFF, BUNCH, SEQUENCE).
//
// Every guarded server operation starts with `if (error_pending()) return ...;`. Errors are
// flushed by the main loop after each step.
#pragma once

#include <cstdint>

constexpr int ERROR_MAX = 530;
constexpr int ERROR_STRING_MAX = 300;
constexpr int TAG_ERROR_MAX = 40;
constexpr int ERROR_TEXT_MAX = 400;    // recorded text buffer, 399 characters and the zero
constexpr int ERROR_RECORDED_MAX = 10; // recorded entries between two flushes

// Raise error `number` and record "<source:line> \"text\"". Returns the new occurrence count when
// no text was recorded (off, busy or no free entry), otherwise 0.
int error_report(const char* source, int line, int number, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Raise a message: written at once as a group of its own when it passes its filter; leaves the
// pending number as it was.
void error_message(const char* source, int line, int number, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Raise an error for a failed system call; errno is taken first and its text goes into the record.
void error_api(const char* source, int line, int number, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

int error_pending();
// `text` is kept by reference: pass constant texts.
void error_set_step(const char* text, int value);
void error_next_cycle();
int error_cycle();
void error_flush();
void error_discard();
void error_drop_last();
// Makes `number` the pending error (0: none) and leaves the recorded texts alone: for a caller that
// sets a pending error aside while it serves one command and puts it back afterwards.
void error_set_pending(int number);
void error_open();
void error_close();

// Inspection, for the server's own diagnostics and tests.
int error_recorded_count();
const char* error_recorded_text(int index); // oldest first; null when out of range
int error_recorded_number(int index);
std::int32_t error_count(int number);
