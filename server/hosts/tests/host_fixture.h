// Host manager tests: a scratch data folder with its own ZSYS.INI, the host manager opened on it,
// and a capturing test transport that records every answer (with the length the session gave)
// and every event handed to the slots it is put on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/core/tests/test_support.h"

namespace host_test {

struct Delivered {
    int slot;
    int event;
    int unit;
    std::string text;
    bool operator==(const Delivered&) const = default;
};
void PrintTo(const Delivered& d, std::ostream* os);

struct RecordedError {
    int number;
    std::string text;
};

// Puts the capturing operations on slot `index` (0 .. 3): answers and events are recorded, the
// status operations work on the slot's HostState.
void capture_slot(int index);
// Serves one line on slot `index`, with its serving flag set first unless `set_flag` is false;
// returns the answers it produced, each checked to end with the terminating zero that the answer
// length counts (the zero is removed).
std::vector<std::string> serve(const std::string& line, int index = 0, bool set_flag = true);
// The one answer of a line ("<no answer>" / the first of several, failing the test otherwise).
std::string ask(const std::string& line, int index = 0);
// Events handed to capturing slots since the last call.
std::vector<Delivered> take_delivered();
// The recorded texts of the pending errors, oldest first; the errors are then discarded.
std::vector<RecordedError> take_errors();

class HostTest : public ::testing::Test {
  protected:
    void TearDown() override;
    // Writes ZSYS.INI and opens the host manager on it (with an empty module table installed, so
    // that the server requests touch no module). Errors of the opening stay pending.
    void open(const std::string& settings);
    std::string settings_file();

    test_support::ScratchDir dir_;
};

} // namespace host_test
