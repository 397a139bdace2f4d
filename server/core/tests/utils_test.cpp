#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/tests/test_support.h"
#include "server/core/utils.h"

using test_support::write_file;
namespace fs = std::filesystem;

namespace {

class SharedRoutines : public ::testing::Test {
protected:
    void SetUp() override { test_support::reset_server_state(); }
    void TearDown() override { test_support::reset_server_state(); }
    static void setting(const std::string& line) { write_file("ZSYS.INI", "[HOST]\r\n" + line + "\r\n"); }
    static std::string recorded(int index) {
        const char* text = error_recorded_text(index);
        return text ? text : "(none)";
    }

    test_support::ScratchDir dir;
};

// ---- from-to lists -----------------------------------------------------------------------------

struct FlagsCase {
    const char* name;
    const char* line;
    std::vector<int> set; // indexes expected to be 1
    int error;
};

class FromToFlags : public SharedRoutines, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(FromToFlags, SetsTheFlagsOfEachItemAndSkipsBadOnes) {
    setting(GetParam().line);
    char flags[33];
    std::memset(flags, 7, sizeof flags);
    from_to_flags("HOST", "EVENTS", "", flags, sizeof flags, INI_FILE);
    EXPECT_EQ(error_pending(), GetParam().error);
    std::vector<int> set;
    for (int i = 0; i < 33; ++i) {
        EXPECT_TRUE(flags[i] == 0 || flags[i] == 1) << i;
        if (flags[i])
            set.push_back(i);
    }
    EXPECT_EQ(set, GetParam().set);
}

const FlagsCase flags_cases[] = {
    {"RangeAndSingle", "EVENTS = 1-3,7", {0, 1, 2, 6}, 0},
    {"BlanksAroundItems", "EVENTS = 1 - 2 , 5 ", {0, 1, 4}, 0},
    {"Empty", "EVENTS =", {}, 0},
    {"HighestAllowedIsBelowSize", "EVENTS = 32", {31}, 0},
    {"FromZero", "EVENTS = 0-3", {}, 23},
    {"ToAtSize", "EVENTS = 33", {}, 23},
    {"ToBeyondSize", "EVENTS = 5-40", {}, 23},
    {"ToBelowFrom", "EVENTS = 3-2", {}, 23},
    {"BadItemIsSkippedOthersStay", "EVENTS = 0-3,5", {4}, 23},
    {"Letters", "EVENTS = abc", {}, 23},
    {"Negative", "EVENTS = -3", {}, 23},
};

INSTANTIATE_TEST_SUITE_P(Cases, FromToFlags, ::testing::ValuesIn(flags_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SharedRoutines, FlagsErrorNamesTheWholeSetting) {
    setting("EVENTS = 1-3,5-40");
    char flags[33];
    from_to_flags("HOST", "EVENTS", "", flags, sizeof flags, INI_FILE);
    EXPECT_EQ(recorded(0), "<_SOURCE\\utils_a:46> \"INI file, read SETTINGS, a set of 'from-to' failed in string "
                           "'1-3,5-40', syntax error.\"");
}

TEST_F(SharedRoutines, FlagsMissingKeyIsAddedWithTheDefault) {
    setting("");
    char flags[10];
    from_to_flags("HOST", "EVENTS", "2-3", flags, sizeof flags, INI_FILE);
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(std::string(flags, 4), std::string("\0\1\1\0", 4));
    ini_close();
    EXPECT_NE(test_support::read_file("ZSYS.INI").find("EVENTS           = 2-3\r\n"), std::string::npos);
}

struct NumbersCase {
    const char* name;
    const char* line;
    std::vector<int> numbers;
    int error;
};

class FromToNumbers : public SharedRoutines, public ::testing::WithParamInterface<NumbersCase> {};

TEST_P(FromToNumbers, AppendsEveryNumberWithinTheBound) {
    setting(GetParam().line);
    int numbers[10];
    std::fill(std::begin(numbers), std::end(numbers), -7);
    int n = from_to_numbers("HOST", "OFF", "", numbers, 10, INI_FILE);
    EXPECT_EQ(error_pending(), GetParam().error);
    EXPECT_EQ(std::vector<int>(numbers, numbers + n), GetParam().numbers);
    for (int i = n; i < 10; ++i)
        EXPECT_EQ(numbers[i], 0) << i;
}

const NumbersCase numbers_cases[] = {
    {"RangesAndSingles", "OFF = 1-3,7", {1, 2, 3, 7}, 0},
    {"ExactlyMax", "OFF = 1-10", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0},
    {"OneBeyondMax", "OFF = 1-11", {}, 23},
    {"CountBeyondMaxSkipsOnlyThatItem", "OFF = 1-8,20-25,9", {1, 2, 3, 4, 5, 6, 7, 8, 9}, 23},
    {"ZeroFrom", "OFF = 0-2", {}, 23},
    {"ZeroTo", "OFF = 4-", {}, 23},
    {"ToBelowFromAddsNothing", "OFF = 5-3,2", {2}, 0},
    {"HugeRangeIsRefused", "OFF = 1-2000000000", {}, 23},
    {"Empty", "OFF =", {}, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, FromToNumbers, ::testing::ValuesIn(numbers_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SharedRoutines, NumbersErrorHasItsOwnLine) {
    setting("OFF = 0");
    int numbers[4];
    from_to_numbers("HOST", "OFF", "", numbers, 4, INI_FILE);
    EXPECT_EQ(recorded(0), "<_SOURCE\\utils_a:200> \"INI file, read SETTINGS, a set of 'from-to' failed in string "
                           "'0', syntax error.\"");
}

// ---- from-to=value items -----------------------------------------------------------------------

struct Item {
    int from, to, value;
    bool operator==(const Item&) const = default;
};

void PrintTo(const Item& i, std::ostream* os) { *os << i.from << "-" << i.to << "=" << i.value; }

struct NextCase {
    const char* name;
    const char* text;
    std::vector<Item> items;
    int error;
};

class FromToNext : public SharedRoutines, public ::testing::WithParamInterface<NextCase> {};

TEST_P(FromToNext, ReadsItemsUntilTheEndOrAnError) {
    const char* cursor = GetParam().text;
    std::vector<Item> items;
    int guard = 0;
    while (!error_pending() && *cursor && ++guard < 100) {
        Item i{-1, -1, -1};
        const char* next = from_to_next(cursor, &i.from, &i.to, &i.value);
        if (!error_pending()) {
            EXPECT_GT(next, cursor);
            items.push_back(i);
        }
        cursor = next;
    }
    EXPECT_LT(guard, 100);
    EXPECT_EQ(items, GetParam().items);
    EXPECT_EQ(error_pending(), GetParam().error);
}

const NextCase next_cases[] = {
    {"SingleWithValue", "3=2", {{3, 3, 2}}, 0},
    {"RangeWithValue", "1-530=0", {{1, 530, 0}}, 0},
    {"SeveralItems", "3=2,5-7=1", {{3, 3, 2}, {5, 7, 1}}, 0},
    {"BlanksBeforeNumbers", " 3=2, 5-7= 1", {{3, 3, 2}, {5, 7, 1}}, 0},
    {"BlankAfterANumberIs12", "3 =2", {}, 12},
    {"RangeWithoutValue", "5-7", {{5, 7, 0}}, 0},
    {"NumberAloneIs12", "3", {}, 12},
    {"LettersAre12", "x", {}, 12},
    {"SecondItemBad", "3=2,4", {{3, 3, 2}}, 12},
    {"MissingFromReadsZero", "=5", {{0, 0, 5}}, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, FromToNext, ::testing::ValuesIn(next_cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SharedRoutines, FromToNextErrorNamesTheTextAtTheCursor) {
    int from = 9, to = 9, value = 9;
    from_to_next("3", &from, &to, &value);
    EXPECT_EQ(error_pending(), 12);
    EXPECT_EQ(recorded(0), "<_SOURCE\\utils_a:353> \"INI file, read SETTINGS, 'from-to=equal' failed in string '3', "
                           "syntax error.\"");
    EXPECT_EQ(from, 3);
    EXPECT_EQ(to, 0);
    // While an error is pending it reads nothing and clears its results.
    const char* text = "1-2=3";
    EXPECT_EQ(from_to_next(text, &from, &to, &value), text);
    EXPECT_EQ(from, 0);
    EXPECT_EQ(to, 0);
    EXPECT_EQ(value, 0);
}

// ---- scanners ----------------------------------------------------------------------------------

struct ScanCase {
    const char* text;
    long value;
    int rest; // cursor offset after the scan
};

TEST(Scanners, ScanNumber) {
    const ScanCase cases[] = {
        {"42", 42, 2}, {"  42 x", 42, 4}, // blanks after the digits stay
        {"12  34x", 12, 2},  {"", 0, 0},
        {"abc", 0, 0},       {"-5", -5, 0}, // a sign stops the cursor
        {"+7", 7, 0},        {"\t\r\n\v\f9", 9, 6},       {"99999999999", 2147483647, 11},
        {"-99999999999", -2147483647 - 1, 0},
    };
    for (const auto& c : cases) {
        const char* cursor = c.text;
        EXPECT_EQ(scan_number(&cursor), c.value) << "'" << c.text << "'";
        EXPECT_EQ(cursor - c.text, c.rest) << "'" << c.text << "'";
    }
}

TEST(Scanners, SkipsMoveOverTheirClass) {
    const char* text = " \t\r\nAb_c9 x";
    const char* p = text;
    EXPECT_EQ(skip_blanks(&p), 4);
    const char* name = p;
    skip_letters(&p);
    EXPECT_EQ(p - name, 4); // "Ab_c"
    skip_digits(&p);
    EXPECT_EQ(p - name, 5);
    p = name;
    skip_name(&p);
    EXPECT_EQ(p - name, 5);
    EXPECT_EQ(skip_blanks(&p), 1);
    EXPECT_EQ(skip_blanks(&p), 0);
    EXPECT_FALSE(is_letter(0xC4));
    EXPECT_FALSE(is_blank(0));
}

TEST(Scanners, ScanCharMovesOnlyOverItsCharacterAndNotWhileAnErrorIsPending) {
    error_discard();
    const char* text = "=,";
    const char* p = text;
    EXPECT_EQ(scan_char(',', &p), 0);
    EXPECT_EQ(scan_char('=', &p), 1);
    EXPECT_EQ(p, text + 1);
    error_report("_SOURCE\\x_a", 1, 300, "pending");
    EXPECT_EQ(scan_char(',', &p), 0);
    EXPECT_EQ(p, text + 1);
    error_discard();
    const char* end = "";
    EXPECT_EQ(scan_char('\0', &end), 0);
}

// ---- settings copies ---------------------------------------------------------------------------

TEST_F(SharedRoutines, IniGetCopyReturnsAnOwnedCopyOfAtMost499Characters) {
    setting("TEXT = " + std::string(600, 'c'));
    char* copy = ini_get_copy("HOST", "TEXT", "d", INI_FILE);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy), std::string(499, 'c'));
    mem_free(&copy);
    EXPECT_EQ(copy, nullptr);

    error_report("_SOURCE\\x_a", 1, 300, "pending");
    EXPECT_EQ(ini_get_copy("HOST", "TEXT", "d", INI_FILE), nullptr);
}

// ---- path directories --------------------------------------------------------------------------

class PathDirs : public SharedRoutines {
protected:
    std::string run(const std::string& in, int size = 512) {
        std::vector<char> buffer(static_cast<std::size_t>(size));
        std::snprintf(buffer.data(), buffer.size(), "%s", in.c_str());
        fs::path before = fs::current_path();
        make_path_dirs(buffer.data(), size);
        EXPECT_EQ(fs::current_path(), before);
        return buffer.data();
    }
    std::string here() { return fs::canonical(dir.path()).string(); }
};

TEST_F(PathDirs, RelativePathWithBackslashBecomesAbsoluteAndItsFolderIsMade) {
    EXPECT_EQ(run("LOG\\ERROR.LOG"), here() + "/LOG/ERROR.LOG");
    EXPECT_TRUE(fs::is_directory("LOG"));
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(PathDirs, NestedFoldersAndMixedSeparators) {
    EXPECT_EQ(run("A/B\\C\\F.TXT"), here() + "/A/B/C/F.TXT");
    EXPECT_TRUE(fs::is_directory("A/B/C"));
    // An existing folder is fine.
    EXPECT_EQ(run("A\\G.TXT"), here() + "/A/G.TXT");
}

TEST_F(PathDirs, DriveLetterIsIgnored) {
    EXPECT_EQ(run("D:SUB\\F.LOG"), here() + "/SUB/F.LOG");
    EXPECT_EQ(run("D:\\" + here().substr(1) + "\\ABS\\F.LOG"), here() + "/ABS/F.LOG");
}

TEST_F(PathDirs, PathWithoutSeparatorIsLeftAsItIs) {
    EXPECT_EQ(run("ERROR.LOG"), "ERROR.LOG");
    EXPECT_EQ(run("C:ERROR.LOG"), "C:ERROR.LOG");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(PathDirs, FileInTheWayIs233) {
    write_file("X", "file");
    EXPECT_EQ(run("X\\Y\\F.LOG"), "X\\Y\\F.LOG");
    EXPECT_EQ(error_pending(), 233);
    EXPECT_EQ(recorded(0).rfind("<_SOURCE\\utils_a:501> \"Make directory 'X/Y' failed due to '", 0), 0u)
        << recorded(0);
}

TEST_F(PathDirs, AbsolutePathTooLongForTheBufferIs233AndThePathStays) {
    std::string in = "LOG\\ERROR.LOG";
    int size = static_cast<int>(here().size() + std::strlen("/LOG/ERROR.LOG")); // one short
    EXPECT_EQ(run(in, size), in);
    EXPECT_EQ(error_pending(), 233);
    EXPECT_NE(recorded(0).find("is longer than"), std::string::npos) << recorded(0);
    error_discard();
    EXPECT_EQ(run(in, size + 1), here() + "/LOG/ERROR.LOG");
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(PathDirs, NothingWhileAnErrorIsPending) {
    error_report("_SOURCE\\x_a", 1, 300, "pending");
    EXPECT_EQ(run("LOG\\ERROR.LOG"), "LOG\\ERROR.LOG");
    EXPECT_FALSE(fs::exists("LOG"));
}

} // namespace
