// Shared routines of the server: memory that reports failure through the error system,
// "from-to" set readers, text scanners and the creation of a path's directories.
#pragma once

#include <cstddef>

void* mem_alloc(std::size_t size);
void* mem_alloc_zero(std::size_t size);
// Takes the address of a pointer; frees the block and nulls the pointer.
template <typename T> void mem_free(T** pointer);
void mem_free_raw(void** pointer);
template <typename T> void mem_free(T** pointer) {
    void* p = *pointer;
    mem_free_raw(&p);
    *pointer = nullptr;
}

// "1-5,8,10-12": flags[from-1 .. to-1] = 1.
void from_to_flags(const char* app, const char* key, const char* def, char* flags, int size, const char* file);
// Appends every number of every item; returns the count.
int from_to_numbers(const char* app, const char* key, const char* def, int* numbers, int max, const char* file);
// Reads one "from-to=value" item at cursor; returns the cursor after it and after its ",".
const char* from_to_next(const char* cursor, int* from, int* to, int* value);
// A newly allocated copy of the setting (at most 499 characters); free with mem_free.
char* ini_get_copy(const char* app, const char* key, const char* def, const char* file);

bool is_blank(int c);
bool is_letter(int c);
bool is_digit(int c);
int skip_blanks(const char** cursor);
void skip_letters(const char** cursor);
void skip_digits(const char** cursor);
void skip_name(const char** cursor);
long scan_number(const char** cursor);
int scan_char(int c, const char** cursor);

// Makes the directory part of path exist and replaces path by its absolute form. Backslashes and
// slashes are separators; a leading drive letter is ignored. Never changes the process's current
// directory.
void make_path_dirs(char* path, int size);
