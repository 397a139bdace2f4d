#include "server/devices/display.h"

#include <cstdint>
#include <cstring>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/port.h"
#include "server/core/protocol.h"
#include "server/core/utils.h"
#include "server/devices/device.h"

namespace {

const char* const SOURCE = "_SOURCE\\display_a";
constexpr const char* APP = "DISPLAY";

using Slot = char[DISPLAY_TEXT_SIZE];

int count = 0;   // D
int id_base = 0; // ID_NO_START - 1
Slot* texts = nullptr;
int current = 0;
int position = 0; // round robin, kept between run steps

void make_current(int index) { current = index; }

// A display text goes out as a broadcast behind the display's raw address byte: DLE, the
// addressing of unit 1, the text frame and the end of the exchange. Nothing is read back, so a
// missing display is not noticed here.
void send_current() {
    io_put_byte(device_address_byte(id_base, current));
    prot_dle();
    prot_address(1);
    prot_send_frame(texts[current]);
    prot_end();
}

} // namespace

void display_open() {
    if (error_pending())
        return;
    error_set_step("Open Main Display: ", 0);
    id_base = static_cast<int>(ini_get_number(APP, "ID_NO_START", 81, 1, 128, INI_FILE)) - 1;
    count = static_cast<int>(ini_get_number(APP, "MAX", 1, 0, 99, INI_FILE));
    if (error_pending())
        count = 0;
    if (count > 0) {
        texts = static_cast<Slot*>(mem_alloc_zero(sizeof(Slot) * static_cast<unsigned>(count)));
        if (!texts)
            count = 0;
    }
    current = 0;
    position = 0;
    error_set_step("Open Main Display finished: ", 0);
}

void display_close() {
    error_set_step("Close Main Display: ", 0);
    mem_free(&texts);
    current = 0;
    position = 0;
    count = 0;
    error_set_step("Close Main Display finished: ", 0);
}

void display_run() {
    if (error_pending())
        return;
    device_run_pass(DevicePass{&position, count, "Main Display: ", "Main Display finished: ", make_current,
                               send_current});
}

void display_reset() {
    if (error_pending() || count == 0)
        return;
    std::memset(texts, 0, sizeof(Slot) * static_cast<unsigned>(count));
}

void display_clear_all() {
    int remembered = current;
    for (int i = 0; i < count && !error_pending(); ++i) {
        make_current(i);
        texts[i][0] = '\0';
        send_current();
    }
    make_current(remembered);
}

void display_set_text(int index, const char* text) {
    if (error_pending())
        return;
    if (index < 0 || index >= count) {
        error_report(SOURCE, 62, 10, "Error, Reference '%d' out of bounds at: '%s'", index, "display_command");
        return;
    }
    std::memset(texts[index], 0, sizeof(Slot));
    std::strncpy(texts[index], text, DISPLAY_TEXT_SIZE - 1);
}

int display_count() { return count; }

const char* display_text(int index) { return index >= 0 && index < count ? texts[index] : nullptr; }
