#include "server/devices/cardreader.h"

#include <cstdio>
#include <cstring>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/core/utils.h"
#include "server/devices/device.h"
#include "server/hosts/host.h"

namespace {

const char* const SOURCE = "_SOURCE\\cardread_a";
constexpr const char* APP = "CARD_READER";

constexpr int ANSWER_MAX = 1000; // characters of a reader's answer
constexpr int CARD_READ_EVENT = 6;

// Status bits of a reader's poll.
constexpr std::uint8_t STATUS_TRACKS = 0x07; // 0x01, 0x02, 0x04: track 1, 2, 3 ready
constexpr std::uint8_t STATUS_VALUE = 0x08;
constexpr std::uint8_t STATUS_READ_DONE = 0x10;

struct CardProfile {
    CardProfile* next;
    std::int32_t time_card_led;
};

struct TrackCommand {
    std::uint8_t bit;
    const char* command;
};
constexpr TrackCommand track_commands[] = {{0x01, "GC1"}, {0x02, "GC2"}, {0x04, "GC3"}};

int count = 0;   // R
int id_base = 0; // ID_NO - 1
int unit_base = 0;
CardProfile* profiles = nullptr;
std::int32_t* profile_index = nullptr;
CardReaderState* states = nullptr;
int current = 0;
CardReaderState* current_state = nullptr;
CardProfile* current_profile = nullptr;
std::uint8_t status = 0;
int position = 0; // round robin, kept between run steps
char answer[ANSWER_MAX + 1];
char tracks[3][CARD_TRACK_SIZE];

void default_beep() {
    std::fputc('\a', stderr);
    std::fflush(stderr);
}
CardBeep beep = default_beep;

CardProfile* profile_at(int index) { return device_profile_at(profiles, profile_index[index]); }

// Error 10 (with the 1-based number) for a reader outside the table.
bool in_table(int index) {
    if (index >= 0 && index < count)
        return true;
    error_report(SOURCE, 77, 10, "Error, Reference '%d' out of bounds at: '%s'",
                 static_cast<int>(static_cast<unsigned>(index) + 1u), "Get setting adress for Card Reader");
    return false;
}

void card_select(int index) {
    if (error_pending())
        return;
    if (!in_table(index))
        return;
    CardProfile* p = profile_at(index);
    if (!p) {
        error_report(SOURCE, 83, 61, "Get Card Reader settings address failed, zero for Card Reader '%d'", index);
        return;
    }
    current = index;
    current_state = &states[index];
    current_profile = p;
}

void select_if_other(int index) {
    if (index != current || !current_profile)
        card_select(index);
}

void add_profile(int value) {
    CardProfile* profile = device_profile_append(&profiles);
    if (!profile)
        return;
    char section[44];
    std::snprintf(section, sizeof section, "CARD_READER_SETTING_%d", value);
    profile->time_card_led = static_cast<std::int32_t>(ini_get_number(section, "TIME_CARD_LED", 1, 1, 99, INI_FILE));
}

void free_tables() {
    device_profiles_free(&profiles);
    mem_free(&profile_index);
    mem_free(&states);
    current = 0;
    current_state = nullptr;
    current_profile = nullptr;
}

// One command exchange with the current reader; its answer lands in `answer`.
void reader_command(const char* command) {
    answer[0] = '\0';
    if (error_pending())
        return;
    if (!prot_command_answer(command, answer, ANSWER_MAX) || error_pending())
        error_report(SOURCE, 160, 47, "Command Answer failed on command: '%s'", command);
}

void copy_answer(char* track) {
    std::memcpy(track, answer, std::strlen(answer) + 1);
}

// One poll of the current reader: raw address byte (shared by all readers), the addressing with
// the reader's unit number (a silent reader costs no error), then what its status asks for:
// track reads, a value read, a completed read that goes to the hosts as event 6, and the
// reader's pending lamp, reject and eject requests.
void card_poll() {
    const int i = current;
    CardReaderState& state = *current_state;
    io_put_byte(device_address_byte(id_base, 0));
    if (error_pending())
        return;
    status = 0;
    prot_connect_no_timeout(unit_base + i, &status);
    if (error_pending()) {
        error_discard();
        return;
    }
    if (status & STATUS_TRACKS) {
        for (auto& t : tracks)
            t[0] = '\0';
        bool any = false;
        for (int t = 0; t < 3; ++t) {
            if (!(status & track_commands[t].bit))
                continue;
            reader_command(track_commands[t].command);
            copy_answer(tracks[t]);
            any = any || tracks[t][0] != '\0';
        }
        if (!error_pending() && any)
            state.requests |= CARD_DATA_READ;
    }
    if (status & STATUS_VALUE) {
        tracks[0][0] = '\0';
        reader_command("GV");
        if (!error_pending() && answer[0] != '\0') {
            copy_answer(tracks[0]);
            state.requests |= CARD_DATA_READ;
        }
    }
    if (status & STATUS_READ_DONE) {
        tracks[0][0] = '\0';
        reader_command("GRS");
        if (error_pending() || answer[0] == '\0') {
            beep();
        } else {
            copy_answer(tracks[0]);
            state.requests |= CARD_DATA_READ;
        }
        host_event_raise(CARD_READ_EVENT, i, tracks[0]);
    }
    if (state.requests & CARD_REQUEST_LAMP_OFF)
        reader_command("LO");
    if (state.requests & CARD_REQUEST_REJECT) {
        state.lamp_countdown = current_profile->time_card_led;
        state.lamp |= CARD_LAMP_ON | CARD_LAMP_REJECTED;
        state.requests &= static_cast<std::uint8_t>(~CARD_DATA_READ);
        reader_command("CR");
        reader_command("CO");
    }
    if (state.requests & CARD_REQUEST_EJECT) {
        state.lamp_countdown = current_profile->time_card_led;
        state.lamp |= CARD_LAMP_ON;
        reader_command("CA");
        reader_command("CO");
    }
    state.requests &= static_cast<std::uint8_t>(~(CARD_REQUEST_LAMP_OFF | CARD_REQUEST_EJECT | CARD_REQUEST_REJECT));
}

} // namespace

void card_open() {
    if (error_pending())
        return;
    error_set_step("Open Card Reader: ", 0);
    count = static_cast<int>(ini_get_number(APP, "MAX", 0, 0, 99, INI_FILE));
    id_base = static_cast<int>(ini_get_number(APP, "ID_NO", 120, 1, 128, INI_FILE)) - 1;
    unit_base = static_cast<int>(ini_get_number(APP, "UNIT_NO_START", 1, 0, 15, INI_FILE));
    current = 0;
    current_state = nullptr;
    current_profile = nullptr;
    position = 0;
    status = 0;
    if (count > 0 && !error_pending()) {
        profile_index =
            static_cast<std::int32_t*>(mem_alloc_zero(sizeof(std::int32_t) * static_cast<unsigned>(count)));
        device_read_settings_set(DeviceSettingsSet{
            APP, count, profile_index, add_profile, SOURCE, 118, 60,
            "INI file, read Card Reader SETTINGS, 'from-to=equal' index out of bounds in setting ref."});
    }
    if (error_pending())
        count = 0;
    if (count > 0)
        states = static_cast<CardReaderState*>(mem_alloc_zero(sizeof(CardReaderState) * static_cast<unsigned>(count)));
    if (error_pending()) {
        count = 0;
        free_tables();
    }
    if (count > 0)
        card_select(0);
    error_set_step("Open Card Reader finished: ", 0);
}

void card_close() {
    error_set_step("Close Card Reader: ", 0);
    free_tables();
    position = 0;
    count = 0;
    error_set_step("Close Card Reader finished: ", 0);
}

void card_reset() {
    if (error_pending() || count == 0)
        return;
    std::memset(states, 0, sizeof(CardReaderState) * static_cast<unsigned>(count));
    card_select(0);
}

void card_run() {
    if (error_pending())
        return;
    device_run_pass(
        DevicePass{&position, count, "Card Reader: ", "Card Reader finished: ", select_if_other, card_poll});
}

void card_request(int index, std::uint8_t requests) {
    if (error_pending())
        return;
    if (!in_table(index))
        return;
    states[index].requests |= requests & (CARD_REQUEST_LAMP_OFF | CARD_REQUEST_EJECT | CARD_REQUEST_REJECT);
}

void card_lamp_second() {
    for (int i = 0; i < count; ++i) {
        CardReaderState& s = states[i];
        if (s.lamp_countdown > 0 && --s.lamp_countdown == 0)
            s.requests |= CARD_REQUEST_LAMP_OFF;
    }
}

void card_set_beep(CardBeep b) { beep = b ? b : default_beep; }

int card_count() { return count; }

bool card_state(int index, CardReaderState* state) {
    if (index < 0 || index >= count)
        return false;
    *state = states[index];
    return true;
}

const char* card_track(int track) { return track >= 1 && track <= 3 ? tracks[track - 1] : nullptr; }
