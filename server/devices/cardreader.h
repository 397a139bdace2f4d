// Card readers: polls every reader in turn (all share one link id, told apart by unit number),
// reads the tracks of a card, raises host event 6 with the data of a completed "GRS" read, and
// carries out lamp-off, reject and eject requests.
#pragma once

#include <cstdint>

constexpr int CARD_TRACK_SIZE = 1001; // a track buffer: up to 1000 characters and the zero

// Request flags of a reader.
constexpr std::uint8_t CARD_REQUEST_LAMP_OFF = 0x01;
constexpr std::uint8_t CARD_REQUEST_EJECT = 0x02;
constexpr std::uint8_t CARD_REQUEST_REJECT = 0x04;
constexpr std::uint8_t CARD_DATA_READ = 0x08;
// Lamp flags of a reader.
constexpr std::uint8_t CARD_LAMP_REJECTED = 0x01;
constexpr std::uint8_t CARD_LAMP_ON = 0x08;

// Module steps (sections "CARD_READER" and "CARD_READER_SETTING_n"). card_reset clears every
// reader's state and makes reader 0 current.
void card_open();
void card_close();
void card_reset();
void card_run();

// Asks reader `index` (0-based) for a lamp-off, eject or reject (CARD_REQUEST_* bits); the next
// poll of that reader carries it out. A reader outside the table leaves error 10 pending.
void card_request(int index, std::uint8_t requests);
// The once-a-second lamp countdown: a reader whose countdown runs out gets a lamp-off request.
void card_lamp_second();

// The information beep of a "GRS" read that brought nothing; null restores the default (a BEL on
// standard error).
using CardBeep = void (*)();
void card_set_beep(CardBeep beep);

// Inspection of one reader's state (false when out of range) and of the shared track buffers
// (1..3; null otherwise).
struct CardReaderState {
    std::uint8_t requests;
    std::uint8_t lamp;
    std::int32_t lamp_countdown;
};
int card_count();
bool card_state(int index, CardReaderState* state);
const char* card_track(int track);
