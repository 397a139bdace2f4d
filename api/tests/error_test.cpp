// The error record, the error line, the report and the trace log's exact bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "api/nuvra_error.h"
#include "api/tests/support.h"
#include "platform/clock.h"

namespace fs = std::filesystem;
using apitest::ApiTest;

namespace {

platform::LocalTime fixed_time() { return platform::LocalTime{2024, 3, 5, 7, 8, 9, 12, 2}; }

class TraceTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        platform::set_local_time_source(fixed_time);
    }
    void TearDown() override {
        platform::set_local_time_source(nullptr);
        ApiTest::TearDown();
    }
};

CNuvraErrorItem no_connection_error() {
    CNuvraErrorItem e;
    e.file = "api/transport.cpp";
    e.line = 28;
    e.number = 2044;
    e.text = "No connection, check type of connection";
    return e;
}

TEST(ErrorLine, FileLineNumberTabText) {
    char line[1000];
    ApiErrorLine(no_connection_error(), line, sizeof line);
    EXPECT_STREQ(line, "api/transport.cpp, line: 28 (2044)\tNo connection, check type of connection");
}

TEST(ErrorLine, CutToTheBuffer) {
    char line[20];
    ApiErrorLine(no_connection_error(), line, sizeof line);
    EXPECT_STREQ(line, "api/transport.cpp, ");
}

TEST(ErrorRecord, TextCutToErrorStringMaxMinusOne) {
    std::string long_text(1000, 'x');
    CXNuvraError e("file.cpp", 7, 2000, "Text: %s", long_text.c_str());
    EXPECT_EQ(e.text.size(), static_cast<std::size_t>(ERROR_STRING_MAX - 1));
    EXPECT_EQ(e.text.substr(0, 7), "Text: x");
    CXNuvraError copy = e;
    EXPECT_STREQ(copy.file, "file.cpp");
    EXPECT_EQ(copy.line, 7);
    EXPECT_EQ(copy.number, 2000);
}

TEST(ErrorRecord, RaiseSiteKeepsFileLineAndNumber) {
    int line = 0;
    try {
        line = __LINE__ + 1;
        NV_RAISE(2047, "Windows Socket error '%s':  Couldn't create server socket.", "WSAEMFILE");
    } catch (const CXNuvraError& e) {
        EXPECT_EQ(e.line, line);
        EXPECT_EQ(e.number, 2047);
        EXPECT_EQ(e.text, "Windows Socket error 'WSAEMFILE':  Couldn't create server socket.");
        EXPECT_NE(std::string(e.file).find("error_test.cpp"), std::string::npos);
    }
}

TEST_F(TraceTest, OffWritesNoFile) {
    ApiTrace("Hello");
    EXPECT_FALSE(fs::exists("nvapi.log"));
}

TEST_F(TraceTest, LineHasStampTabMessageAndCrLf) {
    ApiSetTraceSwitch(1);
    ApiTrace("Hello %d", 42);
    ApiTrace("NuvraEnd\r\n");
    EXPECT_EQ(trace_text(), "2024-03-05 07:08:09.012\tHello 42\r\n"
                            "2024-03-05 07:08:09.012\tNuvraEnd\r\n\r\n");
}

TEST_F(TraceTest, LongMessageIsCut) {
    ApiSetTraceSwitch(1);
    ApiTrace("%s", std::string(6000, 'm').c_str());
    std::string text = trace_text();
    EXPECT_EQ(text.size(), 4999u);
    EXPECT_EQ(text.substr(0, 25), "2024-03-05 07:08:09.012\tm");
}

TEST_F(TraceTest, ReportTracesAlwaysAndShowsTheTextAloneWhenAsked) {
    ApiSetTraceSwitch(1);
    ApiErrorReport(no_connection_error());
    EXPECT_TRUE(apitest::message_boxes().empty());
    ApiSetMessageBoxSwitch(1);
    ApiErrorReport(no_connection_error());
    EXPECT_EQ(apitest::message_boxes(), std::vector<std::string>{"Nuvra API|No connection, check type of connection"});
    std::string line = "2024-03-05 07:08:09.012\tError:\tapi/transport.cpp, line: 28 (2044)\tNo connection, check type "
                       "of connection\r\n";
    EXPECT_EQ(trace_text(), line + line);
}

} // namespace
