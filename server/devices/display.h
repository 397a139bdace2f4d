// Main displays: one text per display on the link port, sent blindly again and again, one display
// per unit step of the main loop. Texts come from the host command "DISP" and from ticket printers
// that ask for a display text.
#pragma once

constexpr int DISPLAY_TEXT_SIZE = 100; // a slot: at most 99 characters and the zero

// Module steps (section "DISPLAY": ID_NO_START, MAX).
void display_open();
void display_close();
void display_run();
// Empties every text without sending; the next passes send the empty texts.
void display_reset();
// Empties every text and sends each display its empty text at once.
void display_clear_all();
// Stores the first 99 characters of text for display `index` (0-based); an index outside the
// table leaves error 10 pending.
void display_set_text(int index, const char* text);

// Inspection: the number of displays and the stored text of one (null when out of range).
int display_count();
const char* display_text(int index);
