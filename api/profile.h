// Private-profile settings files ("NUVRAAPI.INI"): sections "[NAME]" of "KEY=value" lines, read
// and written the way the Windows private-profile functions do it.
//
// - Section and key names compare without regard to case; the first matching section and, in it,
//   the first matching key count. Blanks around names and values are dropped, and a value in
//   matching double or single quotes loses them. Lines starting with ";" are comments. Nothing
//   after a value is a comment: "TCP_IP,host,500,0; note" is the whole value.
// - A file name without a folder lives in the Windows folder. Inside its folder a file is found
//   without regard to case ("nuvraapi.ini" finds "NUVRAAPI.INI"); a new file gets the upper-case
//   name.
// - The file is read again by every call, so changes take effect at once.
#pragma once

#include <string>

// $NUVRA_WINDIR, else $XDG_CONFIG_HOME/nuvra, else $HOME/.config/nuvra.
std::string ProfileWindowsFolder();

// The path a settings file name stands for: an existing file of that name in its folder (looked up
// without regard to case), else the path a new file would get.
std::string ProfileFindFile(const std::string& file);

// The integer at the start of the value (optional sign, decimal digits); 0 when the value does not
// start with one; `default_value` when the key or the file is missing or the value is empty.
int ProfileGetInt(const char* section, const char* key, int default_value, const std::string& file);

// The value cut to `max_chars` characters; `default_value` when the key or the file is missing.
std::string ProfileGetString(const char* section, const char* key, const char* default_value,
                             const std::string& file, std::size_t max_chars = 499);

// Sets the key, adding the section and the file when missing; other lines are kept as they are.
// Returns false when the file cannot be written.
bool ProfileWriteString(const char* section, const char* key, const std::string& value, const std::string& file);
