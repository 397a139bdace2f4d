// The private-profile reader and writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "api/profile.h"
#include "api/tests/support.h"

namespace fs = std::filesystem;

namespace {

class ProfileTest : public apitest::ApiTest {
protected:
    std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

const char SAMPLE[] = "; settings of the client library\r\n"
                      "[Setup]\r\n"
                      "  Save_Log = 1 \r\n"
                      "CONNECTION=TCP_IP,10.0.0.2,500,0; Events not suported from Nuvra\r\n"
                      "QUOTED=\"  spaced  \"\r\n"
                      "SINGLE='x'\r\n"
                      "EMPTY=\r\n"
                      "NEGATIVE=-25ms\r\n"
                      "WORD=abc\r\n"
                      "HUGE=4294967297\r\n"
                      ";COMMENTED=7\r\n"
                      "\r\n"
                      "[PROTOCOL]\r\n"
                      "ANSWER_TIME_OUT=300\r\n"
                      "[setup]\r\n"
                      "LATER=1\r\n";

struct GetCase {
    const char* name;
    const char* section;
    const char* key;
    const char* text; // expected string ("<default>" for the default)
    int number;       // expected integer, default 99
};

class ProfileGetTest : public ProfileTest, public ::testing::WithParamInterface<GetCase> {};

TEST_P(ProfileGetTest, Reads) {
    write_file("NUVRAAPI.INI", SAMPLE);
    std::string file = folder_ + "/NUVRAAPI.INI";
    const GetCase& c = GetParam();
    EXPECT_EQ(ProfileGetString(c.section, c.key, "<default>", file), c.text);
    EXPECT_EQ(ProfileGetInt(c.section, c.key, 99, file), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Profile, ProfileGetTest,
    ::testing::Values(GetCase{"names_without_regard_to_case", "SETUP", "save_log", "1", 1},
                      GetCase{"whole_line_is_the_value", "setup", "CONNECTION",
                              "TCP_IP,10.0.0.2,500,0; Events not suported from Nuvra", 0},
                      GetCase{"quotes_removed", "SETUP", "QUOTED", "  spaced  ", 0},
                      GetCase{"single_quotes_removed", "SETUP", "SINGLE", "x", 0},
                      GetCase{"empty_value", "SETUP", "EMPTY", "", 99},
                      GetCase{"leading_number", "SETUP", "NEGATIVE", "-25ms", -25},
                      GetCase{"no_number", "SETUP", "WORD", "abc", 0},
                      GetCase{"wraps_like_32_bits", "SETUP", "HUGE", "4294967297", 1},
                      GetCase{"comment_is_no_key", "SETUP", ";COMMENTED", "<default>", 99},
                      GetCase{"other_section", "PROTOCOL", "ANSWER_TIME_OUT", "300", 300},
                      GetCase{"only_the_first_section_counts", "SETUP", "LATER", "<default>", 99},
                      GetCase{"missing_key", "PROTOCOL", "COMMAND_TRYS", "<default>", 99},
                      GetCase{"missing_section", "NONE", "KEY", "<default>", 99}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(ProfileTest, MissingFileGivesDefaults) {
    EXPECT_EQ(ProfileGetInt("SETUP", "SAVE_LOG", 7, "NUVRAAPI.INI"), 7);
    EXPECT_EQ(ProfileGetString("SETUP", "CONNECTION", "NET,ZADOZIV,ZDLL", "NUVRAAPI.INI"), "NET,ZADOZIV,ZDLL");
}

TEST_F(ProfileTest, StringIsCutToItsLimit) {
    write_file("a.ini", "[S]\r\nK=" + std::string(600, 'v') + "\r\n");
    EXPECT_EQ(ProfileGetString("S", "K", "", folder_ + "/a.ini").size(), 499u);
}

TEST_F(ProfileTest, BareNameLivesInTheWindowsFolderFoundWithoutRegardToCase) {
    write_file(windows_folder_ + "/NuvraApi.Ini", "[SETUP]\nSAVE_LOG=3\n");
    EXPECT_EQ(ProfileFindFile("NUVRAAPI.INI"), windows_folder_ + "/NuvraApi.Ini");
    EXPECT_EQ(ProfileGetInt("SETUP", "SAVE_LOG", 0, "nuvraapi.ini"), 3);
}

TEST_F(ProfileTest, WindowsFolderFromTheEnvironment) {
    EXPECT_EQ(ProfileWindowsFolder(), windows_folder_);
    unsetenv("NUVRA_WINDIR");
    setenv("XDG_CONFIG_HOME", "/somewhere", 1);
    EXPECT_EQ(ProfileWindowsFolder(), "/somewhere/nuvra");
    unsetenv("XDG_CONFIG_HOME");
    setenv("NUVRA_WINDIR", windows_folder_.c_str(), 1);
}

TEST_F(ProfileTest, NewFileGetsTheUpperCaseName) {
    ASSERT_TRUE(ProfileWriteString("SETUP", "CONNECTION", "TCP_IP,127.0.0.1", "nuvraapi.ini"));
    EXPECT_EQ(read(windows_folder_ + "/NUVRAAPI.INI"), "[SETUP]\r\nCONNECTION=TCP_IP,127.0.0.1\r\n");
}

TEST_F(ProfileTest, WriteReplacesTheValueAndKeepsEveryOtherLine) {
    write_file("x.ini", "; head\n[setup]\nSave_Log=0\nconnection = NET,A\n\n[PROTOCOL]\nCOMMAND_TRYS=5\n");
    std::string file = folder_ + "/x.ini";
    ASSERT_TRUE(ProfileWriteString("SETUP", "CONNECTION", "TCP_IP,h", file));
    ASSERT_TRUE(ProfileWriteString("SETUP", "NEW", "1", file));
    ASSERT_TRUE(ProfileWriteString("OTHER", "K", "v", file));
    EXPECT_EQ(read(file), "; head\n[setup]\nSave_Log=0\nconnection =TCP_IP,h\nNEW=1\n\n[PROTOCOL]\nCOMMAND_TRYS=5\n\n"
                          "[OTHER]\nK=v\n");
    EXPECT_EQ(ProfileGetString("setup", "Connection", "", file), "TCP_IP,h");
}

} // namespace
