// The settings engine: one cached settings file ("ZSYS.INI"), sections and keys found by plain
// text search, missing keys added with their defaults, numeric values corrected into their
// declared ranges, and the file written back a few seconds after the last change.
//
// Every operation does nothing and returns an empty or zero result while an error is pending.
#pragma once

#include <cstdint>

constexpr const char* INI_FILE = "ZSYS.INI";
constexpr int APP_NAME_MAX = 100;
constexpr int KEY_NAME_MAX = 16;
constexpr int INI_ANSWER_MAX = 40; // room for an ini_check_range answer "%ld - %ld"

char* ini_get_string(const char* app, const char* key, const char* def, char* out, int size, const char* file);
char* ini_get_existing_string(const char* app, const char* key, char* out, int size, const char* file);
std::uint32_t ini_get_number(const char* app, const char* key, std::int32_t def, std::int32_t min,
                             std::int32_t max, const char* file);
void ini_put_string(const char* app, const char* key, const char* value, const char* file);
// answer: at least INI_ANSWER_MAX bytes; "Y" when written, else the range "min - max".
void ini_put_checked(const char* app, const char* key, const char* value, char* answer, const char* file);
void ini_check_range(const char* app, const char* key, const char* value, char* answer);
int ini_get_range(const char* app, const char* key, std::int32_t* min, std::int32_t* max);
void ini_close();
void ini_second_tick();

// For host commands: names that reach the engine from outside must pass this before use
// (not empty, shorter than APP_NAME_MAX - 10, no "]", CR, LF or zero byte).
bool ini_app_name_acceptable(const char* app);
