// The simulator's control language: one line in, one line out ("OK ..." or "ERR ..."). Keywords
// are not case-sensitive. Devices are named P1.., D1.., R1.. in the order of the network; where only
// one kind makes sense, a bare number names that kind (PRESS 2 3 = PRESS P2 3).
//
//   HELP                         the keywords
//   LIST                         every device on one line
//   SHOW dev                     a device's state; for a display the text it shows
//   PRESS printer ticket [n]     a customer presses ticket button 1..15 (n tickets)
//   EMPTY printer                the roll runs out
//   ROLL printer [tickets]       a new roll is loaded
//   JAM printer ON|OFF           paper jam: nothing prints
//   RESTART printer [ms]         power cycle, off the line for ms (default 2000)
//   DISPREQ printer n text       the printer asks for text on its display n (1..7) via "GD"
//   STATUS dev [+hex] [-hex]     show or force status bits of a printer
//   UNPLUG dev / PLUG dev        cut a device off the line / connect it again
//   SWIPE reader t1|t2|t3        a card with up to three tracks
//   VALUE reader text            data for "GV";  GRS reader text: data for "GRS"
//   FAULT dev KIND [arg] [count] KIND: SILENT, CHECKSUM, GARBAGE, NAK reason, SLOW ms; count of
//                                exchanges (default 1) or * until cleared
//   FAULT dev CLEAR | FAULT dev  clear / list the faults
//   NOISE n                      n random bytes to the master
//   CUSTOMERS seconds            simulated customers, mean interval; 0 stops them
//   STATS                        line counters
//   QUIT                         stop the simulator
#pragma once

#include <string>
#include <string_view>

namespace nvsim {

class SimLine;

// Runs one control line on a line whose lock the caller holds (SimLine::control does that).
std::string run_control(SimLine& line, std::string_view text);

} // namespace nvsim
