#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/tests/test_support.h"

using test_support::read_file;
using test_support::write_file;
namespace fs = std::filesystem;

namespace {

// Each test runs in a scratch folder with the error system open (its log in LOG/ERROR.LOG there)
// and without a settings file, unless the test writes one.
class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::reset_server_state();
        test_support::use_fixed_clock();
        error_open();
        ASSERT_EQ(error_pending(), 0);
        ini_close();
        fs::remove("ZSYS.INI");
    }
    void TearDown() override {
        test_support::reset_server_state();
        test_support::use_system_clock();
    }
    static void ticks(int n) {
        for (int i = 0; i < n; ++i)
            ini_second_tick();
    }
    static std::string get(const char* app, const char* key, const char* def = "default", int size = 100) {
        std::string out(static_cast<std::size_t>(size), '#');
        ini_get_string(app, key, def, out.data(), size, INI_FILE);
        return out.c_str();
    }
    static std::string recorded(int index) {
        const char* text = error_recorded_text(index);
        return text ? text : "(none)";
    }

    test_support::ScratchDir dir;
};

TEST_F(Settings, MissingFileIsCreatedAndCompletedAfterTheCountdown) {
    EXPECT_EQ(get("HOST", "NAME", "abc"), "abc");
    EXPECT_EQ(ini_get_number("HOST", "PORT", 500, 1, 65535, INI_FILE), 500u);
    EXPECT_EQ(get("FILES", "LOG", "LOG\\E.LOG"), "LOG\\E.LOG");
    EXPECT_EQ(error_pending(), 0);
    ASSERT_TRUE(fs::exists("ZSYS.INI"));
    EXPECT_EQ(read_file("ZSYS.INI"), "");
    ticks(2);
    EXPECT_EQ(read_file("ZSYS.INI"), "");
    ticks(1);
    // An empty file loads as two empty lines; sections are appended after them.
    EXPECT_EQ(read_file("ZSYS.INI"), "\r\n\r\n"
                                     "[HOST]\r\n"
                                     "\r\n"
                                     "NAME             = abc\r\n"
                                     "PORT             = 500\r\n"
                                     "\r\n"
                                     "[FILES]\r\n"
                                     "\r\n"
                                     "LOG              = LOG\\E.LOG\r\n"
                                     "\r\n");
    EXPECT_FALSE(fs::exists("ZSYS.INI.tmp"));
}

TEST_F(Settings, TrailingCommentIsKeptWhenTheValueIsReplaced) {
    write_file("ZSYS.INI", "[A]\r\nK = 5 ; five\r\n");
    EXPECT_EQ(get("A", "K"), "5");
    ini_put_string("A", "K", "6", INI_FILE);
    EXPECT_EQ(get("A", "K"), "6");
    ticks(3);
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK = 6; five\r\n\r\n");
}

TEST_F(Settings, PutAddsSectionAndKeyWithOneBlankAfterTheEqualsSign) {
    write_file("ZSYS.INI", "[A]\r\nX=1\r\n");
    ini_put_string("A", "X", "22", INI_FILE);
    ini_put_string("B", "Y", "v", INI_FILE);
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nX= 22\r\n\r\n[B]\r\n\r\nY                = v\r\n\r\n");
}

struct KeyCase {
    const char* name;
    const char* file;
    const char* key;
    const char* value;      // what the read gives
    const char* file_after; // the file after the save
};

class KeyMatching : public Settings, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyMatching, OnlyTheWholeNameAtTheLineStartMatches) {
    write_file("ZSYS.INI", GetParam().file);
    EXPECT_EQ(get("A", GetParam().key, "d"), GetParam().value);
    EXPECT_EQ(error_pending(), 0);
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), GetParam().file_after);
}

const KeyCase key_cases[] = {
    {"CommentedKeyIsAddedAgainAtTheEndOfItsSection", "[A]\r\n;K = 1\r\nB = 2\r\n\r\n[C]\r\nD = 3\r\n", "K", "d",
     "[A]\r\n;K = 1\r\nB = 2\r\nK                = d\r\n\r\n[C]\r\nD = 3\r\n\r\n"},
    {"LongerKeyDoesNotMatch", "[A]\r\nKEY2 = 2\r\n", "KEY", "d", "[A]\r\nKEY2 = 2\r\nKEY              = d\r\n\r\n"},
    {"ShorterKeyDoesNotMatch", "[A]\r\nKEY = 1\r\n", "KEY2", "d", "[A]\r\nKEY = 1\r\nKEY2             = d\r\n\r\n"},
    {"KeysAreCaseSensitive", "[A]\r\nPort=3\r\n", "PORT", "d", "[A]\r\nPort=3\r\nPORT             = d\r\n\r\n"},
    {"NoBlanksAroundEquals", "[A]\r\nPORT=3\r\n", "PORT", "3", "[A]\r\nPORT=3\r\n"},
    {"IndentedKeyDoesNotMatch", "[A]\r\n PORT = 3\r\n", "PORT", "d", "[A]\r\n PORT = 3\r\nPORT             = d\r\n\r\n"},
    {"SectionsAreCaseSensitive", "[a]\r\nK = 1\r\n", "K", "d", "[a]\r\nK = 1\r\n\r\n[A]\r\n\r\nK                = d\r\n\r\n"},
    {"TrailingBlanksAndTabsAreDropped", "[A]\r\nK =   x y \t \r\n", "K", "x y", "[A]\r\nK =   x y \t \r\n"},
    {"KeyOfAnotherSectionIsNotFound", "[B]\r\nK = 1\r\n\r\n[A]\r\nJ = 2\r\n", "K", "d",
     "[B]\r\nK = 1\r\n\r\n[A]\r\nJ = 2\r\nK                = d\r\n\r\n"},
    // A "[" inside a value of the first section does not end that section.
    {"BracketInAValueOfTheFirstSection", "[A]\r\nX = [1]\r\nK = 5\r\n", "K", "5", "[A]\r\nX = [1]\r\nK = 5\r\n"},
    // A header is only a header at the start of a line.
    {"HeaderInsideACommentIsNotASection", "; see [A]\r\n[B]\r\nK = 1\r\n[A]\r\nK = 2\r\n", "K", "2",
     "; see [A]\r\n[B]\r\nK = 1\r\n[A]\r\nK = 2\r\n"},
    {"ByteOrderMarkBeforeTheFirstHeader", "\xEF\xBB\xBF[A]\r\nK = 7\r\n", "K", "7", "\xEF\xBB\xBF[A]\r\nK = 7\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, KeyMatching, ::testing::ValuesIn(key_cases),
                         [](const auto& row) { return std::string(row.param.name); });

struct NumberCase {
    const char* name;
    const char* text;
    std::int32_t min;
    std::int32_t max;
    std::uint32_t result;
    int error;
    const char* recorded;
};

class NumberCorrection : public Settings, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(NumberCorrection, ValuesOutsideTheRangeAreCorrectedButNotWritten) {
    std::string file = std::string("[N]\r\nV = ") + GetParam().text + "\r\n";
    write_file("ZSYS.INI", file);
    EXPECT_EQ(ini_get_number("N", "V", 10, GetParam().min, GetParam().max, INI_FILE), GetParam().result);
    EXPECT_EQ(error_pending(), GetParam().error);
    if (GetParam().error) {
        EXPECT_EQ(recorded(0), GetParam().recorded);
    }
    error_discard();
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), file);
}

const NumberCase number_cases[] = {
    {"InRange", "50", 0, 100, 50, 0, ""},
    {"CommentAndBlanks", "  7 ; seven", 0, 100, 7, 0, ""},
    {"MinusOneIsAboveAnyMax", "-1", 0, 100, 100, 111,
     "<_SOURCE\\inisys_b:672> \"Read settings for '[N]' value 'V = 4294967295' above max value '100', corrected to "
     "max value, Please check settings\""},
    {"AboveMax", "101", 0, 100, 100, 111,
     "<_SOURCE\\inisys_b:672> \"Read settings for '[N]' value 'V = 101' above max value '100', corrected to max "
     "value, Please check settings\""},
    {"LettersReadAsZeroBelowMin", "abc", 5, 100, 5, 112,
     "<_SOURCE\\inisys_b:678> \"Read settings for '[N]' value 'V = 0' belove min value '5', corrected to min value, "
     "Please check settings\""},
    {"HugeNumberSaturates", "99999999999", 0, 100, 100, 111,
     "<_SOURCE\\inisys_b:672> \"Read settings for '[N]' value 'V = 2147483647' above max value '100', corrected to "
     "max value, Please check settings\""},
    {"DigitsStopAtTheFirstOtherCharacter", "12abc", 0, 100, 12, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, NumberCorrection, ::testing::ValuesIn(number_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Settings, LongValueIsCutWithMessage232AndNothingPending) {
    std::string value(120, 'v');
    value[0] = 'a';
    value[98] = 'z';
    write_file("ZSYS.INI", "[A]\r\nK = " + value + "\r\n");
    std::string out = get("A", "K", "d", 100);
    EXPECT_EQ(out, value.substr(0, 99));
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(error_count(232), 1);
    std::string log = read_file(dir.path() / "LOG" / "ERROR.LOG");
    EXPECT_NE(log.find("<_SOURCE\\inisys_b:296> Message: Text line in setting file under '[A]' is '120' long, "
                       "trucated to '99'\r\n"),
              std::string::npos)
        << log;
}

TEST_F(Settings, ReadingAloneNeverSavesButRewritingTheSameValueDoes) {
    // LF line ends on disk show whether the engine wrote the file.
    write_file("ZSYS.INI", "[A]\nK = 1\n");
    EXPECT_EQ(get("A", "K"), "1");
    ticks(5);
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\nK = 1\n");
    ini_put_string("A", "K", "1", INI_FILE);
    ticks(2);
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\nK = 1\n");
    ticks(1);
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK = 1\r\n\r\n");
}

TEST_F(Settings, EachChangeRestartsTheCountdownAndTheNextReadSeesHandEdits) {
    ini_put_string("A", "K", "1", INI_FILE);
    ticks(2);
    ini_put_string("A", "K", "2", INI_FILE);
    ticks(2);
    EXPECT_EQ(read_file("ZSYS.INI"), "");
    ticks(1);
    EXPECT_EQ(read_file("ZSYS.INI"), "\r\n\r\n[A]\r\n\r\nK                = 2\r\n\r\n");
    // The save dropped the cache: an edit by hand is read from disk.
    write_file("ZSYS.INI", "[A]\r\nK = 3\r\n");
    EXPECT_EQ(get("A", "K"), "3");
}

TEST_F(Settings, CountdownWaitsWhileAnErrorIsPending) {
    ini_put_string("A", "K", "1", INI_FILE);
    error_report("_SOURCE\\x_a", 1, 300, "pending");
    ticks(5);
    EXPECT_EQ(read_file("ZSYS.INI"), "");
    error_discard();
    ticks(3);
    EXPECT_NE(read_file("ZSYS.INI"), "");
}

TEST_F(Settings, RangesAreSharedByTheSectionStem) {
    EXPECT_EQ(ini_get_number("PRINTER_SETTING_1", "UNIT", 1, 1, 8, INI_FILE), 1u);
    std::int32_t min = -1, max = -1;
    EXPECT_EQ(ini_get_range("PRINTER_SETTING_2", "UNIT", &min, &max), 1);
    EXPECT_EQ(min, 1);
    EXPECT_EQ(max, 8);
    EXPECT_EQ(ini_get_range("PRINTER_SETTING_2", "OTHER", &min, &max), 0);
    EXPECT_EQ(min, 0);
    EXPECT_EQ(max, 0);

    char answer[INI_ANSWER_MAX];
    ini_check_range("PRINTER_SETTING_12", "UNIT", "9", answer);
    EXPECT_STREQ(answer, "1 - 8");
    ini_check_range("PRINTER_SETTING_12", "UNIT", "8", answer);
    EXPECT_STREQ(answer, "Y");
    ini_check_range("PRINTER_SETTING_12", "UNIT", "-1", answer);
    EXPECT_STREQ(answer, "1 - 8");
    ini_check_range("PRINTER", "UNIT", "99", answer);
    EXPECT_STREQ(answer, "Y");

    ini_put_checked("PRINTER_SETTING_2", "UNIT", "9", answer, INI_FILE);
    EXPECT_STREQ(answer, "1 - 8");
    ini_put_checked("PRINTER_SETTING_2", "UNIT", "3", answer, INI_FILE);
    EXPECT_STREQ(answer, "Y");
    ini_close();
    std::string file = read_file("ZSYS.INI");
    EXPECT_NE(file.find("[PRINTER_SETTING_2]\r\n\r\nUNIT             = 3\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("= 9"), std::string::npos);
    // ini_close frees the ranges.
    EXPECT_EQ(ini_get_range("PRINTER_SETTING_1", "UNIT", &min, &max), 0);
}

TEST_F(Settings, FileGrowsPastItsSpareRoomWithoutLosingLines) {
    write_file("ZSYS.INI", "; head\r\n[A]\r\nFIRST = 1 ; keep\r\n\r\n[Z]\r\nLAST = 2\r\n");
    EXPECT_EQ(get("A", "FIRST"), "1");
    std::string value(100, 'x');
    for (int i = 0; i < 200; ++i) { // about 24000 bytes, beyond the 15000 bytes of room
        std::string key = "K" + std::to_string(i);
        value[0] = static_cast<char>('a' + i % 26);
        ini_put_string("A", key.c_str(), value.c_str(), INI_FILE);
    }
    std::string huge(40000, 'h');
    ini_put_string("Z", "HUGE", huge.c_str(), INI_FILE);
    EXPECT_EQ(error_pending(), 0);
    ini_close();

    std::string file = read_file("ZSYS.INI");
    EXPECT_EQ(file.rfind("; head\r\n[A]\r\nFIRST = 1 ; keep\r\nK0               = a", 0), 0u);
    EXPECT_NE(file.find("[Z]\r\nLAST = 2\r\nHUGE             = " + huge + "\r\n"), std::string::npos);
    for (int i = 0; i < 200; i += 37) {
        std::string key = "K" + std::to_string(i);
        value[0] = static_cast<char>('a' + i % 26);
        EXPECT_EQ(get("A", key.c_str(), "missing", 200), value) << key;
    }
    EXPECT_EQ(get("Z", "HUGE", "missing", 40001), huge);
    EXPECT_EQ(get("Z", "LAST"), "2");
}

TEST_F(Settings, RangeTableRefusesThe61stStemAndThe31stKey) {
    auto stem = [](int i) {
        return std::string("S") + static_cast<char>('A' + i / 26) + static_cast<char>('A' + i % 26);
    };
    for (int i = 0; i < 60; ++i)
        ini_get_number(stem(i).c_str(), "K", 1, 0, 9, INI_FILE);
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(ini_get_number(stem(60).c_str(), "K", 1, 0, 9, INI_FILE), 0u);
    EXPECT_EQ(error_pending(), 304);
    EXPECT_EQ(recorded(0), "<_SOURCE\\inisys_c:302> \"Settings file, new appname failed for '[SCI]', no more room\"");
    EXPECT_EQ(recorded(1), "<_SOURCE\\inisys_c:239> \"Settings file, add range key failed for '[SCI]' , 'K'\"");
    error_discard();
    ini_close();

    for (int i = 0; i < 30; ++i)
        ini_get_number("KEYS_1", ("K" + std::to_string(i)).c_str(), 1, 0, 9, INI_FILE);
    ASSERT_EQ(error_pending(), 0);
    ini_get_number("KEYS_2", "MORE", 1, 0, 9, INI_FILE);
    EXPECT_EQ(error_pending(), 304);
    EXPECT_EQ(recorded(0), "<_SOURCE\\inisys_c:327> \"Settings file, add key failed, no more room\"");
    EXPECT_EQ(recorded(1), "<_SOURCE\\inisys_c:239> \"Settings file, add range key failed for '[KEYS]' , 'MORE'\"");
}

TEST_F(Settings, EmptySectionNameIs307) {
    EXPECT_EQ(get("", "K"), "");
    EXPECT_EQ(error_pending(), 307);
    EXPECT_EQ(recorded(0), "<_SOURCE\\inisys_b:402> \"Fatal program error, Tried to use a appname in the INI file "
                           "with no length\"");
}

TEST_F(Settings, KeyOf17CharactersIs313AndNothingIsAdded) {
    write_file("ZSYS.INI", "[A]\r\nK = 1\r\n");
    EXPECT_EQ(get("A", "SIXTEEN_CHARS_OK"), "default");
    error_discard();
    EXPECT_EQ(get("A", "SEVENTEEN_CHARS_X"), "");
    EXPECT_EQ(error_pending(), 313);
    EXPECT_EQ(recorded(0), "<_SOURCE\\inisys_b:347> \"Fatal program error, Tried to use a keyname "
                           "'SEVENTEEN_CHARS_X' in the INI file with too long length\"");
    error_discard();
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK = 1\r\nSIXTEEN_CHARS_OK = default\r\n\r\n");
}

TEST_F(Settings, ExistingStringOfAMissingKeyIs308AndAddsNothing) {
    write_file("ZSYS.INI", "[A]\r\nK = 1\r\n");
    char out[20] = "x";
    ini_get_existing_string("A", "K", out, sizeof out, INI_FILE);
    EXPECT_STREQ(out, "1");
    ini_get_existing_string("A", "MISSING", out, sizeof out, INI_FILE);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(error_pending(), 308);
    EXPECT_EQ(recorded(0), "<_SOURCE\\inisys_b:75> \"Please check settings file, ini get string could not find "
                           "'[A]','MISSING'.\"");
    error_discard();
    ini_get_existing_string("NOSECTION", "K", out, sizeof out, INI_FILE);
    EXPECT_EQ(error_pending(), 308);
    error_discard();
    ticks(3);
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK = 1\r\n");
}

TEST_F(Settings, KeyLineWithoutEqualsIs106AndNeverTakesTheNextLine) {
    write_file("ZSYS.INI", "[A]\r\nK\r\nL = 5\r\n");
    EXPECT_EQ(get("A", "K"), "");
    EXPECT_EQ(error_pending(), 106);
    EXPECT_EQ(recorded(0), "<_SOURCE\\inisys_b:330> \"Please check settings file, could not find '=' after 'K'\"");
    error_discard();
    ini_put_string("A", "K", "7", INI_FILE);
    EXPECT_EQ(error_pending(), 106);
    error_discard();
    EXPECT_EQ(get("A", "L"), "5");
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK\r\nL = 5\r\n");
}

TEST_F(Settings, KeyWithoutEqualsAtTheVeryEndIs106) {
    write_file("ZSYS.INI", "[A]\r\nK");
    EXPECT_EQ(get("A", "K"), "");
    EXPECT_EQ(error_pending(), 106);
}

TEST_F(Settings, MissingFolderIs108) {
    EXPECT_EQ(ini_get_string("A", "K", "d", std::string(10, ' ').data(), 10, "NODIR\\ZSYS.INI"), std::string(""));
    EXPECT_EQ(error_pending(), 108);
    EXPECT_EQ(recorded(0), std::string("<_SOURCE\\inisys_b:565> \"Open settings file 'NODIR\\ZSYS.INI' failed due to '") +
                               std::strerror(ENOENT) + "'\"");
}

TEST_F(Settings, ReadOnlyFolderIs108AtTheFirstRead) {
    fs::create_directory("RO");
    fs::permissions("RO", fs::perms::owner_read | fs::perms::owner_exec);
    bool writable = true;
    {
        std::FILE* probe = std::fopen("RO/probe", "w");
        if (probe)
            std::fclose(probe);
        else
            writable = false;
    }
    if (writable)
        GTEST_SKIP() << "permissions do not apply to this user";
    char out[10];
    ini_get_string("A", "K", "d", out, sizeof out, "RO/ZSYS.INI");
    EXPECT_EQ(error_pending(), 108);
    fs::permissions("RO", fs::perms::owner_all);
}

TEST_F(Settings, FailedSaveKeepsTheOldFileWhole) {
    write_file("ZSYS.INI", "[A]\r\nK = 1\r\nOTHER = keep\r\n");
    ini_put_string("A", "K", "2", INI_FILE);
    fs::create_directory("ZSYS.INI.tmp"); // the new file cannot be made
    ticks(3);
    EXPECT_EQ(error_pending(), 108);
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK = 1\r\nOTHER = keep\r\n");
    error_discard();
    fs::remove("ZSYS.INI.tmp");
    // The cache was dropped; the next read loads the file again.
    EXPECT_EQ(get("A", "K"), "1");
}

TEST_F(Settings, FileNameIsMatchedWithoutRegardToCase) {
    write_file("ZSys.ini", "[A]\r\nK = 1\r\n");
    EXPECT_EQ(get("A", "K"), "1");
    ini_put_string("A", "K", "2", INI_FILE);
    ini_close();
    EXPECT_EQ(read_file("ZSys.ini"), "[A]\r\nK = 2\r\n\r\n");
    EXPECT_FALSE(fs::exists("ZSYS.INI"));
}

TEST_F(Settings, NewFileGetsTheUpperCaseNameAndBackslashesAreSeparators) {
    fs::create_directory("sub");
    ini_put_string("A", "K", "1", "C:sub\\zsys.ini");
    ini_close();
    EXPECT_EQ(error_pending(), 0);
    EXPECT_TRUE(fs::exists("sub/ZSYS.INI"));
    EXPECT_FALSE(fs::exists("sub/zsys.ini"));
}

TEST_F(Settings, SelectingAnotherFileWritesTheFirst) {
    ini_put_string("A", "K", "1", "ONE.INI");
    ini_put_string("A", "K", "2", "TWO.INI");
    EXPECT_EQ(read_file("ONE.INI"), "\r\n\r\n[A]\r\n\r\nK                = 1\r\n\r\n");
    EXPECT_EQ(read_file("TWO.INI"), "");
}

TEST_F(Settings, BinaryBytesAreKeptAndDoNotHideLaterSections) {
    std::string garbage("x\0\xff\x01 = ;\r[\0", 11);
    write_file("ZSYS.INI", "[A]\r\nK = 1\r\n" + garbage + "\r\n[B]\r\nM = 2\r\nlone\rcr\r\n");
    EXPECT_EQ(get("A", "K"), "1");
    EXPECT_EQ(get("B", "M"), "2");
    ini_put_string("B", "M", "3", INI_FILE);
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), "[A]\r\nK = 1\r\n" + garbage + "\r\n[B]\r\nM = 3\r\nlone\rcr\r\n\r\n");
}

TEST_F(Settings, ValueNeverSpansLines) {
    ini_put_string("A", "K", "one\r\n[B]\nX = 2", INI_FILE);
    ini_close();
    EXPECT_EQ(read_file("ZSYS.INI"), "\r\n\r\n[A]\r\n\r\nK                = one\r\n\r\n");
}

TEST_F(Settings, NothingHappensWhileAnErrorIsPending) {
    error_report("_SOURCE\\x_a", 1, 300, "pending");
    EXPECT_EQ(get("A", "K"), "");
    EXPECT_EQ(ini_get_number("A", "N", 5, 0, 9, INI_FILE), 0u);
    ini_put_string("A", "K", "1", INI_FILE);
    char answer[INI_ANSWER_MAX] = "x";
    ini_check_range("A", "N", "1", answer);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(error_recorded_count(), 1);
    ini_close();
    EXPECT_FALSE(fs::exists("ZSYS.INI"));
}

struct NameCase {
    std::string name;
    bool acceptable;
};

TEST(SettingsNames, AppNamesFromOutsideAreChecked) {
    const NameCase cases[] = {
        {"HOST", true},
        {std::string(89, 'A'), true},
        {std::string(90, 'A'), false},
        {std::string(500, 'A'), false},
        {"", false},
        {"A]B", false},
        {"A\rB", false},
        {"A\nB", false},
        {"PRINTER_SETTING_1", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ini_app_name_acceptable(c.name.c_str()), c.acceptable) << c.name.size() << " " << c.name;
    EXPECT_FALSE(ini_app_name_acceptable(nullptr));
}

} // namespace
