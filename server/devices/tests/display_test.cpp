#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/event_loop.h"
#include "server/core/errorsys.h"
#include "server/core/run.h"
#include "server/devices/display.h"
#include "server/devices/tests/device_fixture.h"

namespace {

using device_test::DeviceLineTest;
using device_test::display_line;
using ::testing::ElementsAre;

// Three main displays on ids 81..83 (address bytes 0xD0..0xD2).
class DisplayTest : public DeviceLineTest {
protected:
    void SetUp() override {
        start("[DISPLAY]\nID_NO_START = 81\nMAX = 3\n\n[PRINTER]\nMAX = 0\n\n",
              {display_line(81), display_line(82), display_line(83)});
        ASSERT_EQ(error_pending(), 0);
        ASSERT_EQ(display_count(), 3);
    }

    std::string shown(int number) {
        std::string text;
        with_line([&](nvsim::SimLine& l) { text = l.display(number)->text(); });
        return text;
    }
    long frames(int number) {
        long n = 0;
        with_line([&](nvsim::SimLine& l) { n = l.display(number)->frames(); });
        return n;
    }
    bool frames_reach(int number, long count) {
        return wait_for([&](nvsim::SimLine& l) { return l.display(number)->frames() >= count; });
    }
};

TEST_F(DisplayTest, RunSendsEveryStoredTextToItsOwnDisplay) {
    display_set_text(0, "HELLO");
    display_set_text(2, "12.50");
    display_run();
    ASSERT_EQ(error_pending(), 0);
    ASSERT_TRUE(frames_reach(1, 1) && frames_reach(2, 1) && frames_reach(3, 1));
    EXPECT_EQ(shown(1), "HELLO");
    EXPECT_EQ(shown(2), ""); // an empty text still goes out as an empty frame
    EXPECT_EQ(shown(3), "12.50");
}

TEST_F(DisplayTest, TextsAreSentAgainAtEveryPass) {
    display_set_text(1, "AGAIN");
    display_run();
    display_run();
    ASSERT_TRUE(frames_reach(2, 2));
    with_line([](nvsim::SimLine& l) { EXPECT_THAT(l.display(2)->history(), ElementsAre("AGAIN", "AGAIN")); });
}

TEST_F(DisplayTest, LongTextKeepsItsFirst99Characters) {
    std::string text;
    for (int i = 0; i < 150; ++i)
        text += static_cast<char>('A' + i % 26);
    display_set_text(0, text.c_str());
    EXPECT_EQ(std::string(display_text(0)), text.substr(0, 99));
    display_run();
    ASSERT_TRUE(frames_reach(1, 1));
    EXPECT_EQ(shown(1), text.substr(0, 99));
}

TEST_F(DisplayTest, IndexOutsideTheTableIsError10WithTheZeroBasedIndex) {
    for (int index : {-1, 3, 98}) {
        display_set_text(index, "X");
        ASSERT_EQ(error_pending(), 10) << index;
        auto errors = take_errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].text, "<_SOURCE\\display_a:62> \"Error, Reference '" + std::to_string(index) +
                                      "' out of bounds at: 'display_command'\"");
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(display_text(i), "");
}

TEST_F(DisplayTest, QuitBlanksEveryDisplayOnTheWireAtOnce) {
    for (int i = 0; i < 3; ++i)
        display_set_text(i, ("TEXT" + std::to_string(i)).c_str());
    display_run();
    ASSERT_TRUE(frames_reach(1, 1) && frames_reach(2, 1) && frames_reach(3, 1));

    server_quit();
    EXPECT_TRUE(server_requests().quit);
    ASSERT_TRUE(frames_reach(1, 2) && frames_reach(2, 2) && frames_reach(3, 2));
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(shown(n), "") << n;
        EXPECT_STREQ(display_text(n - 1), "");
    }
}

TEST_F(DisplayTest, ResetAtTheEndOfACycleBlanksTheDisplaysAndEmptiesTheTexts) {
    display_set_text(0, "BEFORE");
    display_set_text(2, "RESET");
    server_reset();
    server_run_cycle(); // the pass sends the texts, then the reset blanks them
    ASSERT_TRUE(frames_reach(1, 2) && frames_reach(3, 2));
    with_line([](nvsim::SimLine& l) {
        EXPECT_THAT(l.display(1)->history(), ElementsAre("BEFORE", ""));
        EXPECT_THAT(l.display(3)->history(), ElementsAre("RESET", ""));
    });
    EXPECT_STREQ(display_text(0), "");
    EXPECT_STREQ(display_text(2), "");
    EXPECT_FALSE(server_requests().reset);
}

TEST_F(DisplayTest, DisplayResetEmptiesTextsWithoutSending) {
    display_set_text(0, "KEEP");
    display_run();
    ASSERT_TRUE(frames_reach(1, 1) && frames_reach(2, 1) && frames_reach(3, 1));
    display_reset();
    EXPECT_STREQ(display_text(0), "");
    // Nothing was in flight after the pass, so a frame now would come from the reset.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(frames(1), 1);
    EXPECT_EQ(shown(1), "KEEP");
}

TEST_F(DisplayTest, WaitingWindowMessageSendsTheSameDisplayFirstNextPass) {
    platform::EventLoop loop;
    loop.post(platform::Message{platform::WM_USER + 9, 0, 0, {}});
    server_attach_loop(&loop);
    display_set_text(0, "FIRST");
    display_set_text(1, "SECOND");
    display_run(); // display 1, then the message cuts the pass
    display_run(); // display 1 again
    server_attach_loop(nullptr);
    display_run(); // display 1, 2 and 3
    ASSERT_TRUE(frames_reach(1, 3) && frames_reach(2, 1) && frames_reach(3, 1));
    EXPECT_EQ(frames(1), 3);
    EXPECT_EQ(frames(2), 1);
    EXPECT_EQ(shown(2), "SECOND");
}

TEST(DisplayWithoutDevices, MaxZeroHasNoDisplaysAndEveryTextIsError10) {
    test_support::ScratchDir dir;
    test_support::write_file(dir.path() / "ZSYS.INI", "[DISPLAY]\nMAX = 0\n\n");
    error_open();
    display_open();
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(display_count(), 0);
    display_run();
    display_clear_all();
    EXPECT_EQ(error_pending(), 0);
    display_set_text(0, "X");
    EXPECT_EQ(error_pending(), 10);
    error_discard();
    display_close();
    test_support::reset_server_state();
}

} // namespace
