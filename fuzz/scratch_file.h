// A scratch folder of the fuzz process's own, made its current directory so that nothing the
// server code writes (settings files, the error log) lands beside the caller; removed at exit.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

// The full path of `name` inside the folder, made on the first call.
inline const std::string& scratch_file(const char* name) {
    static const std::string path = [name] {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "nuvra-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        fs::current_path(pattern);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::current_path(ec), ec);
        });
        return pattern + "/" + name;
    }();
    return path;
}

inline void fuzz_check(bool condition) {
    if (!condition)
        std::abort();
}
