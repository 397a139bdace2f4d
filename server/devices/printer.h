// Ticket printers: polls each printer's status byte in turn, turns rising status bits into host
// events, fetches a main-display text when a printer asks for one, and forwards host commands to
// one printer.
#pragma once

#include <cstdint>

constexpr int PRINTER_MAX = 99;

// Module steps (sections "PRINTER" and "PRINTER_SETTING_n"). printer_reset does nothing.
void printer_open();
void printer_close();
void printer_reset();
void printer_run();

// Sends `length` command bytes to printer `index` (0-based) and writes its answer, zero-terminated,
// into answer (size bytes, so at most size - 1 characters). A failure leaves an error pending: 10
// for a printer outside the table, 47 (beside the line's own error) when the exchange failed.
// The poll cursor is left where it was.
void printer_command_answer(int index, const char* command, int length, char* answer, int size);

// Inspection: the number of printers, the current printer of the poll cursor, the status byte of a printer's last poll, and the unit
// number and unplug-error flag of its profile (false when the printer or its profile is missing).
int printer_count();
int printer_current();
std::uint8_t printer_last_status(int index);
bool printer_profile_of(int index, std::int32_t* unit, bool* unplug_error);
