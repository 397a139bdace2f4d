#include "platform/event_loop.h"

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

std::atomic<std::int64_t> manual_now{0};
std::int64_t manual_clock() { return manual_now.load(); }

class ManualClock : public ::testing::Test {
protected:
    void SetUp() override {
        manual_now = 1000;
        platform::set_monotonic_source(manual_clock);
    }
    void TearDown() override { platform::set_monotonic_source(nullptr); }
};

platform::Message message_of(std::uint32_t msg, std::uint64_t wparam = 0) {
    platform::Message m;
    m.msg = msg;
    m.wparam = wparam;
    return m;
}

struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

TEST(EventLoop, MessagesFromAnotherThreadArriveInOrderAndQuitEndsTheLoopWithItsCode) {
    platform::EventLoop loop;
    std::vector<std::uint64_t> seen;
    loop.set_message_handler([&](const platform::Message& m) { seen.push_back(m.wparam); });
    std::thread poster([&] {
        for (std::uint64_t i = 1; i <= 100; ++i)
            loop.post(message_of(0x400, i));
        loop.post_quit(7);
        loop.post(message_of(0x400, 999)); // behind the quit: never handed out
    });
    int code = loop.run();
    poster.join();
    EXPECT_EQ(code, 7);
    ASSERT_EQ(seen.size(), 100u);
    for (std::uint64_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i + 1);
    EXPECT_FALSE(loop.run_once(0));
}

TEST(EventLoop, IdleHookThatWantsMoreWorkIsCalledAgainAtOnce) {
    platform::EventLoop loop;
    int calls = 0;
    loop.set_idle([&] {
        if (++calls == 50)
            loop.post_quit(0);
        return 0;
    });
    loop.run();
    EXPECT_EQ(calls, 50);
}

TEST(EventLoop, IdleHookThatMayWaitSleepsUntilAMessageComes) {
    platform::EventLoop loop;
    int idle_calls = 0;
    int messages = 0;
    std::thread poster;
    loop.set_message_handler([&](const platform::Message&) { ++messages; });
    loop.set_idle([&] {
        ++idle_calls;
        if (idle_calls == 1)
            poster = std::thread([&] { loop.post(message_of(0x401)); });
        else
            loop.post_quit(0);
        return platform::WAIT_FOREVER;
    });
    loop.run();
    poster.join();
    // Once before the wait, once after the message: a loop that did not sleep would call it more.
    EXPECT_EQ(idle_calls, 2);
    EXPECT_EQ(messages, 1);
}

TEST(EventLoop, WaitHooksSurroundOnlyWaitsThatMayBlock) {
    platform::EventLoop loop;
    std::vector<char> calls;
    loop.set_wait_hooks([&] { calls.push_back('b'); }, [&] { calls.push_back('a'); });
    loop.run_once(0);
    EXPECT_TRUE(calls.empty());
    loop.run_once(1);
    EXPECT_EQ(calls, (std::vector<char>{'b', 'a'}));
    calls.clear();
    loop.post(message_of(1));
    loop.run_once(1000); // a queued message: no wait
    EXPECT_TRUE(calls.empty());
}

TEST(EventLoop, MessageWaitingSeesQueuedMessagesWithoutTakingThem) {
    platform::EventLoop loop;
    int handled = 0;
    loop.set_message_handler([&](const platform::Message&) { ++handled; });
    EXPECT_FALSE(loop.message_waiting());
    loop.post(message_of(0x405));
    EXPECT_TRUE(loop.message_waiting());
    EXPECT_TRUE(loop.message_waiting());
    EXPECT_EQ(handled, 0);
    loop.run_once(0);
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(loop.message_waiting());
}

TEST(EventLoop, WatcherIsCalledForReadyDescriptorsAndMayRemoveItself) {
    platform::EventLoop loop;
    Pipe p;
    int calls = 0;
    int id = 0;
    id = loop.watch(p.fds[0], POLLIN, [&](int fd, short revents) {
        EXPECT_EQ(fd, p.fds[0]);
        EXPECT_TRUE(revents & POLLIN);
        char c;
        ASSERT_EQ(read(fd, &c, 1), 1);
        ++calls;
        loop.unwatch(id);
    });
    EXPECT_FALSE(loop.message_waiting());
    ASSERT_EQ(write(p.fds[1], "x", 1), 1);
    EXPECT_TRUE(loop.message_waiting());
    loop.run_once(0);
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(write(p.fds[1], "y", 1), 1);
    loop.run_once(0);
    EXPECT_EQ(calls, 1); // unwatched
    EXPECT_FALSE(loop.message_waiting());
}

TEST_F(ManualClock, TimersRunWhenDueAndARepeatingTimerHeldUpRunsOnce) {
    platform::EventLoop loop;
    int repeating = 0;
    int once = 0;
    loop.add_timer(100, [&] { ++repeating; }, true);
    loop.add_timer(250, [&] { ++once; }, false);
    loop.run_once(0);
    EXPECT_EQ(repeating, 0);
    EXPECT_FALSE(loop.message_waiting());

    manual_now += 100;
    EXPECT_TRUE(loop.message_waiting());
    loop.run_once(0);
    EXPECT_EQ(repeating, 1);

    manual_now += 350; // held up for three and a half intervals
    loop.run_once(0);
    EXPECT_EQ(repeating, 2);
    EXPECT_EQ(once, 1);

    manual_now += 1000;
    loop.run_once(0);
    EXPECT_EQ(repeating, 3);
    EXPECT_EQ(once, 1);
}

TEST_F(ManualClock, CancelledTimerNeverRuns) {
    platform::EventLoop loop;
    int calls = 0;
    int id = loop.add_timer(10, [&] { ++calls; }, true);
    loop.cancel_timer(id);
    manual_now += 100;
    loop.run_once(0);
    EXPECT_EQ(calls, 0);
}

TEST(EventLoop, CaughtSignalIsHandledOnTheLoopThread) {
    platform::EventLoop loop;
    std::vector<int> seen;
    std::thread::id handler_thread;
    loop.catch_signals({SIGUSR1}, [&](int s) {
        seen.push_back(s);
        handler_thread = std::this_thread::get_id();
    });
    ASSERT_EQ(raise(SIGUSR1), 0);
    EXPECT_TRUE(loop.message_waiting());
    EXPECT_TRUE(seen.empty()); // the signal handler itself only records it
    loop.run_once(platform::WAIT_FOREVER);
    EXPECT_EQ(seen, std::vector<int>{SIGUSR1});
    EXPECT_EQ(handler_thread, std::this_thread::get_id());
    EXPECT_FALSE(loop.message_waiting());
}

} // namespace
