#include "sim/config.h"

#include "sim/printer.h"

#include <charconv>
#include <fstream>

namespace nvsim {

std::string_view next_word(std::string_view& s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    std::size_t end = s.find_first_of(" \t");
    std::string_view word = s.substr(0, end);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    return word;
}

namespace {

bool read_int(std::string_view text, int low, int high, int& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

} // namespace

NetworkConfig default_network(int printers, int displays, int readers) {
    static const char* const firmware[] = {"78", "85", "doz", "mk4"};
    NetworkConfig network;
    for (int i = 0; i < printers; ++i) {
        DeviceConfig d;
        d.kind = DeviceKind::printer;
        d.id = 89 + i;
        d.unit = 0;
        d.firmware = firmware[i % 4];
        network.devices.push_back(d);
    }
    for (int i = 0; i < displays; ++i) {
        DeviceConfig d;
        d.kind = DeviceKind::display;
        d.id = 81 + i;
        d.unit = 1;
        network.devices.push_back(d);
    }
    for (int i = 0; i < readers; ++i) {
        DeviceConfig d;
        d.kind = DeviceKind::reader;
        d.id = 120;
        d.unit = 1 + i;
        network.devices.push_back(d);
    }
    return network;
}

bool parse_device_line(std::string_view line, DeviceConfig& device, std::string& error) {
    std::string_view rest = line;
    std::string_view kind = next_word(rest);
    DeviceConfig d;
    if (kind == "printer") {
        d.kind = DeviceKind::printer;
        d.firmware = "85";
    } else if (kind == "display") {
        d.kind = DeviceKind::display;
        d.unit = 1;
    } else if (kind == "reader") {
        d.kind = DeviceKind::reader;
        d.unit = 1;
    } else {
        error = "unknown device kind '" + std::string(kind) + "' (printer, display or reader)";
        return false;
    }
    if (!read_int(next_word(rest), 1, 128, d.id)) {
        error = "link id 1..128 expected";
        return false;
    }
    bool unit_given = false;
    for (;;) {
        std::string_view word = next_word(rest);
        if (word.empty()) break;
        if (!unit_given && word.find('=') == std::string_view::npos) {
            if (!read_int(word, 0, 255, d.unit)) {
                error = "unit number 0..255 expected";
                return false;
            }
            unit_given = true;
            continue;
        }
        unit_given = true;
        std::size_t eq = word.find('=');
        std::string_view key = word.substr(0, eq);
        std::string_view value = eq == std::string_view::npos ? std::string_view() : word.substr(eq + 1);
        if (key == "version" && d.kind == DeviceKind::printer) {
            // The version text is the rest of the line, blanks included.
            std::string text(value);
            text += rest;
            rest = {};
            if (text.empty()) {
                error = "empty version text";
                return false;
            }
            d.version = text;
        } else if (key == "fw" && d.kind == DeviceKind::printer) {
            if (firmware_version(value).empty()) {
                error = "unknown firmware '" + std::string(value) + "' (78, 85, doz or mk4)";
                return false;
            }
            d.firmware = std::string(value);
        } else if (key == "roll" && d.kind == DeviceKind::printer) {
            if (!read_int(value, 1, 100000, d.roll)) {
                error = "roll 1..100000 expected";
                return false;
            }
        } else {
            error = "unknown option '" + std::string(word) + "'";
            return false;
        }
    }
    device = d;
    return true;
}

bool add_device_line(NetworkConfig& network, std::string_view line, std::string& error) {
    DeviceConfig d;
    if (!parse_device_line(line, d, error)) return false;
    for (const DeviceConfig& other : network.devices) {
        if (other.id == d.id && other.unit == d.unit) {
            error = "id " + std::to_string(d.id) + " unit " + std::to_string(d.unit) + " is taken already";
            return false;
        }
    }
    network.devices.push_back(d);
    return true;
}

bool load_network_file(const std::string& path, NetworkConfig& network, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string_view view = line;
        while (!view.empty() && (view.front() == ' ' || view.front() == '\t'))
            view.remove_prefix(1);
        if (view.empty() || view.front() == '#') continue;
        if (!add_device_line(network, view, error)) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

} // namespace nvsim
