// Which devices hang on the simulated line. A network is a list of device lines, from a file or
// the command line:
//
//     printer 89 0 fw=78 roll=200
//     display 81 1
//     reader 120 1
//     printer 93 0 version=TP 85.06 Z81 SPECIAL
//
// kind, link id (1..128), unit number (0..255; default 0 for printers, 1 otherwise), then options:
// fw= (printers: 78, 85, doz, mk4), roll= (tickets on a roll), version= (the rest of the line is
// the printer's version text). Blank lines and lines starting with "#" are skipped.
#pragma once

#include "sim/device.h"

#include <string>
#include <string_view>
#include <vector>

namespace nvsim {

struct NetworkConfig {
    std::vector<DeviceConfig> devices;
};

// The server's default ids: printers from 89, displays from 81, card readers on 120 from unit 1.
// Printer firmware cycles through 78, 85, doz and mk4.
NetworkConfig default_network(int printers = 4, int displays = 4, int readers = 1);

// Takes the next blank-separated word off the front of s.
std::string_view next_word(std::string_view& s);

// One device line; false with a message when it is malformed.
bool parse_device_line(std::string_view line, DeviceConfig& device, std::string& error);
// Adds the devices of a line, refusing an id and unit that are taken already.
bool add_device_line(NetworkConfig& network, std::string_view line, std::string& error);
// Reads a whole file of device lines into network (appending); the error names the line.
bool load_network_file(const std::string& path, NetworkConfig& network, std::string& error);

} // namespace nvsim
