#include "server/hosts/tests/host_fixture.h"

#include <utility>

#include "server/core/errorsys.h"
#include "server/core/inisys.h"
#include "server/core/run.h"
#include "server/hosts/hostslot.h"

namespace host_test {

namespace {

std::vector<std::string> answers;
std::vector<Delivered> delivered;

void capture_answer(const char* text, int length) {
    answers.emplace_back(text, static_cast<std::size_t>(length));
}

template <int Slot> void capture_event(const EventRecord* r) {
    delivered.push_back(
        Delivered{Slot, r->event, r->unit, std::string(r->text, strnlen(r->text, sizeof r->text))});
}

constexpr void (*event_ops[])(const EventRecord*) = {capture_event<0>, capture_event<1>, capture_event<2>,
                                                     capture_event<3>};

} // namespace

void PrintTo(const Delivered& d, std::ostream* os) {
    *os << "{slot " << d.slot << ", " << d.event << ", " << d.unit << ", \"" << d.text << "\"}";
}

void capture_slot(int index) {
    HostSlot* slot = host_slot(index);
    ASSERT_NE(slot, nullptr) << "slot " << index;
    ASSERT_LT(index, 4);
    slot->ops = host_ops_nothing;
    slot->ops.answer = capture_answer;
    slot->ops.status = host_op_status_state;
    slot->ops.clear_status = host_op_clear_state;
    slot->ops.event = event_ops[index];
}

std::vector<std::string> serve(const std::string& line, int index, bool set_flag) {
    answers.clear();
    host_select(index);
    HostState* state = host_state(index);
    if (state && set_flag) state->status |= HOST_STATUS_SERVING;
    host_session(line.c_str());
    std::vector<std::string> out;
    for (const std::string& a : answers) {
        EXPECT_FALSE(a.empty()) << "an answer of length 0 to '" << line << "'";
        if (a.empty()) continue;
        EXPECT_EQ(a.back(), '\0') << "the answer length counts the terminating zero: '" << line << "'";
        EXPECT_EQ(a.find('\0'), a.size() - 1) << "one zero, at the end: '" << line << "'";
        out.push_back(a.substr(0, a.size() - 1));
    }
    return out;
}

std::string ask(const std::string& line, int index) {
    std::vector<std::string> got = serve(line, index);
    EXPECT_EQ(got.size(), 1u) << "answers to '" << line << "'";
    return got.empty() ? "<no answer>" : got[0];
}

std::vector<Delivered> take_delivered() {
    return std::exchange(delivered, {});
}

std::vector<RecordedError> take_errors() {
    std::vector<RecordedError> out;
    for (int i = 0; i < error_recorded_count(); ++i)
        out.push_back(RecordedError{error_recorded_number(i), error_recorded_text(i)});
    error_discard();
    return out;
}

void HostTest::open(const std::string& settings) {
    // The settings engine caches the file: drop it before the file is written anew.
    ini_close();
    error_discard();
    test_support::write_file(dir_.path() / "ZSYS.INI", settings);
    server_set_table(ServerTable{});
    error_discard();
    delivered.clear();
    host_open();
}

std::string HostTest::settings_file() {
    ini_close();
    std::string raw = test_support::read_file(dir_.path() / "ZSYS.INI");
    std::string text;
    for (char c : raw)
        if (c != '\r') text += c;
    return text;
}

void HostTest::TearDown() {
    error_discard();
    host_close();
    host_event_set_hook(nullptr);
    test_support::reset_server_state();
}

} // namespace host_test
