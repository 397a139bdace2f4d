// The host manager: slots from the "HOST" section, the type words, the enable table and the event
// queue with its delivery to every slot.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/hosts/hostslot.h"
#include "server/hosts/tests/host_fixture.h"

namespace host_test {
namespace {

using ::testing::HasSubstr;

using Manager = HostTest;

TEST_F(Manager, NoHostsNoQueueAndRaisedEventsAreIgnored) {
    open("[HOST]\nMAX = 0\nEVENTS = 1-7\n\n");
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(host_slot_count(), 0);
    EXPECT_EQ(host_slot(0), nullptr);
    host_event_raise(1, 0, "ticket");
    EXPECT_EQ(error_pending(), 0);
    EXPECT_EQ(host_event_queued(), 0);
    host_event_deliver();
    // The cursor points at a slot that does nothing: a session there answers nothing.
    EXPECT_TRUE(serve("GV").empty());
    char answer[16] = "unchanged";
    EXPECT_EQ(host_direct_command("GV", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "unchanged");
    host_run();
    host_tick();
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(Manager, MissingSettingsAreAddedWithTheirDefaults) {
    open("");
    ASSERT_EQ(error_pending(), 0);
    ASSERT_EQ(host_slot_count(), 1);
    EXPECT_EQ(host_slot(0)->type, HOST_TYPE_DIRECT);
    EXPECT_TRUE(host_event_enabled(1));
    EXPECT_FALSE(host_event_enabled(2));
    EXPECT_STREQ(host_modem_setup(), "AT &D0 S0=1^M");
    EXPECT_STREQ(host_modem_hangup(), "+++");
    EXPECT_STREQ(host_modem_hangup_end(), "AT H0^M");
    std::string ini = settings_file();
    for (const char* line :
         {"[HOST]\n\n", "MAX              = 1\n", "EVENT_QUEUE_MAX  = 5\n", "SAVE_LOG         = 0\n",
          "MODEM_SETUP      = AT &D0 S0=1^M\n", "MODEM_HANGUP     = +++\n", "MODEM_HANGUP_END = AT H0^M\n",
          "EVENTS           = 1\n", "HOST1            = DIRECT\n"})
        EXPECT_THAT(ini, HasSubstr(line));
}

TEST_F(Manager, Host1MissingIsAddedAsDirect) {
    open("[HOST]\nMAX = 2\nHOST2 = DIRECT\n\n");
    ASSERT_EQ(error_pending(), 0);
    EXPECT_EQ(host_slot(0)->type, HOST_TYPE_DIRECT);
    EXPECT_THAT(settings_file(), HasSubstr("HOST1            = DIRECT\n"));
}

TEST_F(Manager, WrongTypeWordIsError295ForThatHost) {
    open("[HOST]\nMAX = 3\nHOST1 = DIRECT\nHOST2 = SERIAL,1\nHOST3 = DIRECT\n\n");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 295);
    EXPECT_THAT(errors[0].text,
                HasSubstr("\"Syntax error in INI file under HOST '2' wrong type 'SERIAL'.\""));
    EXPECT_EQ(host_slot_count(), 3) << "MAX stays";
    EXPECT_EQ(host_slot(0)->type, HOST_TYPE_DIRECT);
    EXPECT_EQ(host_slot(1)->ops.status(), 0u) << "the failed slot does nothing";
    EXPECT_EQ(host_slot(1)->ops.tick, nullptr);
}

TEST_F(Manager, TypeWordsAreExactLettersAndUnderscores) {
    struct Case {
        const char* text;
        const char* word; // in error 295, or null when the word is DIRECT
    };
    const std::vector<Case> cases = {
        {"DIRECT", nullptr},
        {"  DIRECT", nullptr},
        {"DIRECT,anything", nullptr},
        {"DIRECT 1 2", nullptr},
        {"direct", "direct"},
        {"DIRECTX", "DIRECTX"},
        {"", ""},
        {"1DIRECT", ""},
    };
    for (const Case& c : cases) {
        open(std::string("[HOST]\nMAX = 1\nHOST1 = ") + c.text + "\n\n");
        auto errors = take_errors();
        if (!c.word) {
            EXPECT_TRUE(errors.empty()) << c.text;
            EXPECT_EQ(host_slot(0)->type, HOST_TYPE_DIRECT) << c.text;
        } else {
            ASSERT_EQ(errors.size(), 1u) << c.text;
            EXPECT_THAT(errors[0].text, HasSubstr(std::string("wrong type '") + c.word + "'.")) << c.text;
        }
        host_close();
    }
}

TEST_F(Manager, TypesWithoutATransportHereAreReportedAndDoNothing) {
    for (const char* word : {"NET", "DDE", "RPC"}) {
        open(std::string("[HOST]\nMAX = 2\nHOST1 = DIRECT\nHOST2 = ") + word + ",1,2\n\n");
        auto errors = take_errors();
        ASSERT_EQ(errors.size(), 1u) << word;
        EXPECT_EQ(errors[0].number, 297) << word;
        EXPECT_THAT(errors[0].text, HasSubstr(std::string("\"Host '2' type '") + word +
                                              "' is not available in this server, the host does nothing.\""));
        HostSlot* slot = host_slot(1);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->ops.status(), 0u) << word;
        EXPECT_EQ(slot->ops.tick, nullptr) << word;
        host_state(1)->status = HOST_STATUS_SERVING;
        EXPECT_TRUE(serve("GV", 1).empty()) << word;
        slot->ops.poll();
        host_close();
    }
}

TEST_F(Manager, EventsSetAtStartAndSwitchedByEventOn) {
    open("[HOST]\nMAX = 1\nEVENTS = 1\n\n");
    ASSERT_EQ(error_pending(), 0);
    capture_slot(0);
    host_event_raise(2, 0, "paper low");
    EXPECT_EQ(host_event_queued(), 0) << "event 2 is off";
    EXPECT_EQ(ask("EVENT ON 2"), "Y");
    host_event_raise(2, 3, "paper low");
    EXPECT_EQ(host_event_queued(), 1);
    host_event_deliver();
    EXPECT_EQ(take_delivered(), (std::vector<Delivered>{{0, 2, 3, "paper low"}}));
    EXPECT_EQ(host_event_queued(), 0);
}

TEST_F(Manager, EventsFromToSet) {
    open("[HOST]\nMAX = 1\nEVENTS = 1-3,7\n\n");
    ASSERT_EQ(error_pending(), 0);
    for (int e = 1; e <= 8; ++e)
        EXPECT_EQ(host_event_enabled(e), e <= 3 || e == 7) << e;
}

TEST_F(Manager, BadEventsSetStopsTheOpeningWithNoHosts) {
    open("[HOST]\nMAX = 2\nEVENTS = 0-3\n\n");
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 23);
    EXPECT_EQ(host_slot_count(), 0);
}

TEST_F(Manager, SixEventsInAQueueOfFiveDropTheSixthAndTheRestReachEverySlotInOrder) {
    open("[HOST]\nMAX = 2\nEVENT_QUEUE_MAX = 5\nEVENTS = 1-7\nHOST2 = DIRECT\n\n");
    ASSERT_EQ(error_pending(), 0);
    capture_slot(0);
    capture_slot(1);
    for (int i = 0; i < 6; ++i)
        host_event_raise(1 + i % 6, i, ("t" + std::to_string(i)).c_str());
    auto errors = take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 291);
    EXPECT_THAT(errors[0].text, HasSubstr("\"Host event failed, queue full. Event='6', Unit='6'.\""));
    EXPECT_EQ(host_event_queued(), 5);

    host_event_deliver();
    std::vector<Delivered> expected;
    for (int i = 0; i < 5; ++i)
        for (int slot = 0; slot < 2; ++slot)
            expected.push_back(Delivered{slot, 1 + i, i, "t" + std::to_string(i)});
    EXPECT_EQ(take_delivered(), expected);
    EXPECT_EQ(host_event_queued(), 0);
}

TEST_F(Manager, DeliveryWaitsWhileAnErrorIsPending) {
    open("[HOST]\nMAX = 1\nEVENTS = 1\n\n");
    capture_slot(0);
    host_event_raise(1, 0, "a");
    error_report("_SOURCE\\test_a", 1, 50, "pending");
    host_event_deliver();
    EXPECT_TRUE(take_delivered().empty());
    EXPECT_EQ(host_event_queued(), 1);
    error_discard();
    host_event_deliver();
    EXPECT_EQ(take_delivered().size(), 1u);
}

TEST_F(Manager, RaisedTextIsCutTo499CharactersAndTheHookSeesEveryEvent) {
    static std::vector<int> hooked;
    hooked.clear();
    open("[HOST]\nMAX = 1\nEVENTS = 1\n\n");
    capture_slot(0);
    host_event_set_hook([](int event, int, const char*) { hooked.push_back(event); });
    host_event_raise(1, 2, std::string(700, 'z').c_str());
    host_event_raise(3, 2, "off");
    EXPECT_EQ(hooked, (std::vector<int>{1, 3}));
    host_event_deliver();
    auto got = take_delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, std::string(499, 'z'));
}

TEST_F(Manager, RunPollsEverySlotAndTickOnlyThoseWithATick) {
    static std::vector<int> polled;
    static std::vector<int> ticked;
    polled.clear();
    ticked.clear();
    open("[HOST]\nMAX = 3\nHOST2 = DIRECT\nHOST3 = DIRECT\n\n");
    ASSERT_EQ(error_pending(), 0);
    for (int i = 0; i < 3; ++i)
        host_slot(i)->ops.poll = [] { polled.push_back(host_current_index()); };
    host_slot(1)->ops.tick = [] { ticked.push_back(host_current_index()); };
    host_select(2);
    host_tick();
    EXPECT_EQ(ticked, std::vector<int>{1});
    EXPECT_EQ(host_current_index(), 2) << "tick restores the current slot";
    host_run();
    host_run();
    EXPECT_EQ(polled, (std::vector<int>{0, 1, 2, 0, 1, 2}));
}

TEST_F(Manager, RunStopsAtAnErrorAndGoesOnFromTheNextSlot) {
    static std::vector<int> polled;
    polled.clear();
    open("[HOST]\nMAX = 3\nHOST2 = DIRECT\nHOST3 = DIRECT\n\n");
    for (int i = 0; i < 3; ++i)
        host_slot(i)->ops.poll = [] { polled.push_back(host_current_index()); };
    host_slot(0)->ops.poll = [] {
        polled.push_back(0);
        error_report("_SOURCE\\test_a", 1, 50, "poll failed");
    };
    host_run();
    EXPECT_EQ(polled, std::vector<int>{0});
    error_discard();
    host_run();
    EXPECT_EQ(polled, (std::vector<int>{0, 1, 2}));
}

TEST_F(Manager, LastDirectSlotServesDirectCommands) {
    open("[HOST]\nMAX = 2\nHOST2 = DIRECT\n\n");
    ASSERT_EQ(error_pending(), 0);
    host_select(0);
    char answer[8];
    EXPECT_EQ(host_direct_command("  ", answer, sizeof answer), 1);
    EXPECT_EQ(host_state(1)->status, HOST_STATUS_SERVING)
        << "an empty line leaves the flag of the direct slot";
    EXPECT_EQ(host_state(0)->status, 0u);
    EXPECT_EQ(host_current_index(), 0) << "the previous slot is current again";
}

TEST_F(Manager, DirectAnswerIsCutToTheBuffer) {
    open("[HOST]\nMAX = 1\n\n");
    char answer[8] = "xxxxxxx";
    ASSERT_EQ(host_direct_command("EVENT ON 9", answer, sizeof answer), 1);
    EXPECT_EQ(std::string(answer, 2), std::string("N\0", 2));
    EXPECT_EQ(answer[2], 'x');
    char small[4];
    ASSERT_EQ(host_direct_command("GV", small, sizeof small), 1);
    EXPECT_EQ(std::string(small, 4), "Orvi") << "no room for the zero";
}

TEST_F(Manager, CloseForgetsTheDirectSlot) {
    open("[HOST]\nMAX = 1\n\n");
    host_close();
    char answer[8];
    EXPECT_EQ(host_direct_command("GV", answer, sizeof answer), 0);
}

} // namespace
} // namespace host_test
