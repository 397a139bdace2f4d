// The FILE host: command lines appended to <base>.IN are served in order, one answer line each in
// <base>.OUT, and a served line is never served again, also after the server restarts.
#include "server/hosts/filehost.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/tests/test_support.h"
#include "server/hosts/tests/host_fixture.h"

namespace {

namespace fs = std::filesystem;
using host_test::take_errors;
using ::testing::HasSubstr;

class FileHost : public host_test::HostTest {
  protected:
    void append(const fs::path& file, const std::string& text) {
        std::ofstream out(file, std::ios::binary | std::ios::app);
        out << text;
    }
    std::string read(const fs::path& file) { return test_support::read_file(file); }
    void run(int times) {
        for (int i = 0; i < times; ++i)
            host_run();
    }
    const std::string settings = "[HOST]\nMAX = 2\nHOST1 = FILE,LINK\\HOST\nHOST2 = FILE,LINK.D\\HOST\n";
};

TEST_F(FileHost, CreatesBothFilesAndTakesADotInAFolderName) {
    open(settings);
    EXPECT_EQ(error_pending(), 0) << error_recorded_text(0);
    for (const char* name : {"LINK/HOST.IN", "LINK/HOST.OUT", "LINK.D/HOST.IN", "LINK.D/HOST.OUT"})
        EXPECT_TRUE(fs::is_regular_file(dir_.path() / name)) << name;
    EXPECT_EQ(read(dir_.path() / "LINK/HOST.OUT"), "");
}

TEST_F(FileHost, ServesLinesInOrderOneAnswerLineEach) {
    open(settings);
    const fs::path in = dir_.path() / "LINK/HOST.IN";
    const fs::path out = dir_.path() / "LINK/HOST.OUT";
    // A blank line gets an empty answer line; a last line without its LF waits for it.
    append(in, "SETS T K v w\r\n\nSETG T K 9\nSETG T K");
    run(6);
    EXPECT_EQ(read(out), "Y\r\n\r\nv w\r\n");
    append(in, " 2\n"); // a size of 2: one character and the zero
    run(1);
    EXPECT_EQ(read(out), "Y\r\n\r\nv w\r\nv\r\n");
    EXPECT_EQ(read(dir_.path() / "LINK.D/HOST.OUT"), ""); // the other host has its own files
    EXPECT_EQ(error_pending(), 0) << error_recorded_text(0);
}

TEST_F(FileHost, AServedLineIsNotServedAgainAfterARestart) {
    open(settings);
    const fs::path in = dir_.path() / "LINK/HOST.IN";
    const fs::path out = dir_.path() / "LINK/HOST.OUT";
    append(in, "EVENT SEND 1 1 first\n");
    run(3);
    EXPECT_EQ(read(out), "Y\r\n");
    host_close();
    open(settings);
    append(in, "SETS T K x\n");
    run(3);
    EXPECT_EQ(read(out), "Y\r\nY\r\n");
    EXPECT_EQ(host_event_queued(), 0); // only the first opening queued the event, and it is gone
    EXPECT_EQ(read(dir_.path() / "LINK/HOST.POS"), std::to_string(fs::file_size(in)) + "\r\n");
}

TEST_F(FileHost, AReplacedCommandFileIsServedFromItsStart) {
    open(settings);
    const fs::path in = dir_.path() / "LINK/HOST.IN";
    const fs::path out = dir_.path() / "LINK/HOST.OUT";
    append(in, "SETS T K a-long-value\n");
    run(2);
    host_close();
    fs::remove(in);
    append(in, "SETG HOST MAX 5\n"); // shorter than what was served
    open(settings);
    run(2);
    EXPECT_EQ(read(out), "Y\r\n2\r\n");
}

TEST_F(FileHost, FilesThatCannotBeOpenedAreReported) {
    fs::create_directories(dir_.path() / "A.IN");
    fs::create_directories(dir_.path() / "B.OUT");
    const struct {
        const char* line;
        int number;
        std::string text;
    } cases[] = {
        {"FILE,A", 417,
         "\"INI file, host settings FILE, open receive file 'A.IN' failed due to 'Is a directory'\""},
        {"FILE, B  ", 418,
         "\"INI file, host settings FILE, open transmit file 'B.OUT' failed due to 'Is a directory'\""},
    };
    for (const auto& c : cases) {
        open(std::string("[HOST]\nMAX = 1\nHOST1 = ") + c.line + "\n");
        auto errors = take_errors();
        ASSERT_EQ(errors.size(), 1u) << c.line;
        EXPECT_EQ(errors[0].number, c.number) << c.line;
        EXPECT_THAT(errors[0].text, HasSubstr(c.text)) << c.line;
        run(2); // a host without its files serves nothing and fails nothing
        EXPECT_EQ(error_pending(), 0) << c.line;
        host_close();
    }
}

} // namespace
