#include "server/core/tests/test_support.h"

#include <fstream>
#include <iterator>
#include <unistd.h>

#include "platform/clock.h"
#include "server/core/errorsys.h"
#include "server/core/inisys.h"

namespace test_support {

ScratchDir::ScratchDir() {
    previous_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "nuvra-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (!made)
        throw std::runtime_error("mkdtemp failed");
    path_ = made;
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

namespace {
platform::LocalTime fixed_time() { return platform::LocalTime{2004, 2, 16, 10, 22, 33, 450, 1}; }
} // namespace

void use_fixed_clock() { platform::set_local_time_source(fixed_time); }
void use_system_clock() { platform::set_local_time_source(nullptr); }

void reset_server_state() {
    error_discard();
    ini_close();
    error_discard();
    error_close();
    error_set_step("", 0);
}

} // namespace test_support
