// The ring that holds the texts of delivered events: 20 slots of 500 bytes. A stored text stays
// valid until 20 further texts have been stored. Not locked: the transports deliver events from
// one thread at a time.
#pragma once

#include <atomic>

class CProtocolEventBuff {
public:
    static constexpr int SLOTS = 20;
    static constexpr int SLOT_SIZE = 500;

    // Copies the text (cut to 499 characters) into the next slot and returns the slot. The first
    // text goes to slot 1, the twentieth to slot 0.
    char* Store(const char* text);
    const char* Slot(int i) const { return slots_[i]; }
    // Back to the state of library start: the next text goes to slot 1.
    void Reset() { last_.store(0); }

private:
    char slots_[SLOTS][SLOT_SIZE] = {};
    std::atomic<int> last_{0};
};
