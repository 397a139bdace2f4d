#include "api/profile.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool same_name(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string trim(const std::string& s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(s[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1])))
        --end;
    return s.substr(begin, end - begin);
}

struct ProfileText {
    std::vector<std::string> lines; // without their line ends
    bool crlf = true;               // line end of a new or CR LF file
    bool exists = false;
};

ProfileText read_profile(const std::string& path) {
    ProfileText profile;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return profile;
    profile.exists = true;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    profile.crlf = text.find('\n') == std::string::npos || text.find("\r\n") != std::string::npos;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        profile.lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return profile;
}

// The name of a "[NAME]" line.
bool section_name(const std::string& line, std::string* name) {
    std::string t = trim(line);
    if (t.empty() || t[0] != '[')
        return false;
    std::size_t close = t.find(']');
    *name = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// The key of a "KEY=value" line (not a comment).
bool key_name(const std::string& line, std::string* key) {
    std::string t = trim(line);
    std::size_t eq = t.find('=');
    if (t.empty() || t[0] == ';' || eq == std::string::npos)
        return false;
    *key = trim(t.substr(0, eq));
    return true;
}

// Line index range [first, last) of the first section of that name; first = npos when missing.
void find_section(const ProfileText& profile, const char* section, std::size_t* first, std::size_t* last) {
    *first = std::string::npos;
    *last = profile.lines.size();
    std::string name;
    for (std::size_t i = 0; i < profile.lines.size(); ++i) {
        if (!section_name(profile.lines[i], &name))
            continue;
        if (*first != std::string::npos) {
            *last = i;
            return;
        }
        if (same_name(name, section))
            *first = i + 1;
    }
}

// Index of the key's line inside the section, or npos.
std::size_t find_key(const ProfileText& profile, const char* section, const char* key) {
    std::size_t first = 0;
    std::size_t last = 0;
    find_section(profile, section, &first, &last);
    if (first == std::string::npos)
        return std::string::npos;
    std::string name;
    for (std::size_t i = first; i < last; ++i)
        if (key_name(profile.lines[i], &name) && same_name(name, key))
            return i;
    return std::string::npos;
}

// The value of the key, or false when it is missing.
bool get_value(const char* section, const char* key, const std::string& file, std::string* value) {
    ProfileText profile = read_profile(ProfileFindFile(file));
    std::size_t i = find_key(profile, section, key);
    if (i == std::string::npos)
        return false;
    const std::string& line = profile.lines[i];
    std::string v = trim(line.substr(line.find('=') + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    *value = v;
    return true;
}

} // namespace

std::string ProfileWindowsFolder() {
    if (const char* windir = std::getenv("NUVRA_WINDIR"); windir && *windir)
        return windir;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        return std::string(config) + "/nuvra";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/nuvra";
}

std::string ProfileFindFile(const std::string& file) {
    fs::path path(file);
    fs::path folder = file.find('/') == std::string::npos ? fs::path(ProfileWindowsFolder()) : path.parent_path();
    std::string name = path.filename().string();
    std::error_code ec;
    if (fs::exists(folder / name, ec))
        return (folder / name).string();
    for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (same_name(it->path().filename().string(), name))
            return (folder / it->path().filename()).string();
    }
    return (folder / upper(name)).string();
}

int ProfileGetInt(const char* section, const char* key, int default_value, const std::string& file) {
    std::string value;
    if (!get_value(section, key, file, &value) || value.empty())
        return default_value;
    std::size_t i = 0;
    bool negative = false;
    if (value[0] == '-' || value[0] == '+') {
        negative = value[0] == '-';
        i = 1;
    }
    // Like the Windows reader, the digits are taken modulo 2^32.
    std::uint32_t n = 0;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i)
        n = n * 10u + static_cast<std::uint32_t>(value[i] - '0');
    return static_cast<int>(negative ? 0u - n : n);
}

std::string ProfileGetString(const char* section, const char* key, const char* default_value,
                             const std::string& file, std::size_t max_chars) {
    std::string value;
    if (!get_value(section, key, file, &value))
        value = default_value ? default_value : "";
    if (value.size() > max_chars)
        value.resize(max_chars);
    return value;
}

bool ProfileWriteString(const char* section, const char* key, const std::string& value, const std::string& file) {
    std::string path = ProfileFindFile(file);
    ProfileText profile = read_profile(path);
    std::string entry = std::string(key) + "=" + value;
    std::size_t i = find_key(profile, section, key);
    if (i != std::string::npos) {
        std::string& line = profile.lines[i];
        line = line.substr(0, line.find('=') + 1) + value;
    } else {
        std::size_t first = 0;
        std::size_t last = 0;
        find_section(profile, section, &first, &last);
        if (first == std::string::npos) {
            if (!profile.lines.empty() && !trim(profile.lines.back()).empty())
                profile.lines.emplace_back();
            std::string header = "[";
            header.append(section).append("]");
            profile.lines.push_back(header);
            profile.lines.push_back(entry);
        } else {
            while (last > first && trim(profile.lines[last - 1]).empty())
                --last;
            profile.lines.insert(profile.lines.begin() + static_cast<std::ptrdiff_t>(last), entry);
        }
    }
    std::ostringstream out;
    for (const std::string& line : profile.lines)
        out << line << (profile.crlf ? "\r\n" : "\n");

    std::error_code ec;
    fs::path target(path);
    if (!target.parent_path().empty())
        fs::create_directories(target.parent_path(), ec);
    fs::path temporary = target;
    temporary += ".tmp";
    {
        std::ofstream o(temporary, std::ios::binary | std::ios::trunc);
        if (!o)
            return false;
        o << out.str();
        if (!o.flush())
            return false;
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}
