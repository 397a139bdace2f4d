// The library's message boxes on Linux: a dialog program in a graphical session, standard error
// otherwise. The dialog programs here are scripts that note their arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "api/tests/support.h"
#include "platform/message_box.h"

namespace {

class MessageBoxTest : public apitest::ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        const char* path = std::getenv("PATH");
        saved_path_ = path ? path : "";
        std::filesystem::create_directories(folder_ + "/bin");
        setenv("PATH", (folder_ + "/bin").c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", saved_path_.c_str(), 1);
        unsetenv("DISPLAY");
        ApiTest::TearDown();
    }
    // A dialog program that writes its arguments, one a line, and ends with `status`.
    void dialog(const std::string& name, int status) {
        std::string script = folder_ + "/bin/" + name;
        write_file(script, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " + folder_ + "/" + name +
                               ".args\nexit " + std::to_string(status) + "\n");
        chmod(script.c_str(), 0755);
    }
    std::string read(const std::string& name) {
        std::ifstream in(folder_ + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::string show() {
        testing::internal::CaptureStderr();
        platform::show_message_box("Nuvra API", "No connection", platform::MessageBoxIcon::error);
        return testing::internal::GetCapturedStderr();
    }
    std::string saved_path_;
};

struct BoxCase {
    const char* name;
    bool session;
    std::vector<std::pair<std::string, int>> programs; // dialog programs on PATH and their status
    const char* standard_error;
    std::vector<std::pair<std::string, std::string>> ran; // programs that ran, with their arguments
};

class MessageBoxCases : public MessageBoxTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(MessageBoxCases, Shows) {
    const BoxCase& c = GetParam();
    if (c.session)
        setenv("DISPLAY", ":99", 1);
    for (const auto& [program, status] : c.programs)
        dialog(program, status);
    EXPECT_EQ(show(), c.standard_error);
    for (const auto& [program, status] : c.programs) {
        std::string args = read(program + ".args");
        std::string expected;
        for (const auto& [ran, ran_args] : c.ran)
            if (ran == program)
                expected = ran_args;
        EXPECT_EQ(args, expected) << program;
    }
}

const char ZENITY_ARGS[] = "--error\n--no-markup\n--title\nNuvra API\n--text\nNo connection\n";
const char KDIALOG_ARGS[] = "--title\nNuvra API\n--error\nNo connection\n";
const char XMESSAGE_ARGS[] = "-center\n-title\nNuvra API\n-buttons\nOK:0\nNo connection\n";
const char ON_STDERR[] = "Nuvra API: No connection\n";

INSTANTIATE_TEST_SUITE_P(
    Platform, MessageBoxCases,
    ::testing::Values(BoxCase{"headless_goes_to_standard_error", false, {{"zenity", 0}}, ON_STDERR, {}},
                      BoxCase{"first_program_there", true, {{"kdialog", 0}, {"xmessage", 0}}, "",
                              {{"kdialog", KDIALOG_ARGS}}},
                      BoxCase{"failing_program_skipped", true, {{"zenity", 2}, {"xmessage", 0}}, "",
                              {{"zenity", ZENITY_ARGS}, {"xmessage", XMESSAGE_ARGS}}},
                      // Status 1: closed without its button, or no display at all; one box is enough.
                      BoxCase{"maybe_not_shown_also_on_standard_error", true, {{"zenity", 1}, {"kdialog", 0}},
                              ON_STDERR, {{"zenity", ZENITY_ARGS}}},
                      BoxCase{"no_dialog_program", true, {}, ON_STDERR, {}}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
