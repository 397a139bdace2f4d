// Shared fixtures for the server's tests: a scratch data folder as the current directory and a
// fixed wall clock.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace test_support {

// Creates a fresh folder, makes it the current directory, and restores the previous one after.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

std::string read_file(const std::filesystem::path& file);
void write_file(const std::filesystem::path& file, const std::string& text);

// Fixed wall clock 2004-02-16 10:22:33.450 (a Monday) until reset.
void use_fixed_clock();
void use_system_clock();

// Brings the error system and the settings engine back to a clean state.
void reset_server_state();

} // namespace test_support
