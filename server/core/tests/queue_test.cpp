#include <cstring>

#include <gtest/gtest.h>

#include "server/core/errorsys.h"
#include "server/core/queue.h"
#include "server/core/tests/test_support.h"
#include "server/core/utils.h"

namespace {

struct Record {
    int id;
    char text[12];
};

class MemoryQueue : public ::testing::Test {
protected:
    void SetUp() override { error_discard(); }
    void TearDown() override {
        queue_free(&q);
        error_discard();
    }
    void put(int id) {
        Record r{id, "r"};
        queue_put_last(&q, &r);
    }
    int pull() {
        Record r{-1, ""};
        queue_pull(&q, &r);
        return r.id;
    }
    Queue q{};
};

TEST_F(MemoryQueue, FullQueueKeepsOrderAndRefusesTheFourth) {
    queue_init(&q, sizeof(Record), 3);
    put(1), put(2), put(3);
    put(4);
    EXPECT_EQ(error_pending(), 154);
    EXPECT_EQ(q.count, 3);
    error_discard();
    EXPECT_EQ(pull(), 1);
    EXPECT_EQ(pull(), 2);
    EXPECT_EQ(pull(), 3);
    EXPECT_EQ(error_pending(), 0);
}

TEST_F(MemoryQueue, AlternatingUseWrapsWithoutLosingOrder) {
    queue_init(&q, sizeof(Record), 3);
    int next_in = 0, next_out = 0;
    put(next_in++);
    for (int i = 0; i < 10; ++i) {
        put(next_in++);
        EXPECT_EQ(pull(), next_out++);
    }
    EXPECT_EQ(pull(), next_out);
    EXPECT_EQ(q.count, 0);
}

TEST_F(MemoryQueue, ItemPositionsCountFromTheOldest) {
    queue_init(&q, sizeof(Record), 4);
    put(10), put(11), put(12);
    EXPECT_EQ(static_cast<Record*>(queue_item(&q, 0))->id, 10);
    EXPECT_EQ(static_cast<Record*>(queue_item(&q, 2))->id, 12);
    queue_item(&q, 4);
    EXPECT_EQ(error_pending(), 160);
}

TEST_F(MemoryQueue, EmptyAndZeroCapacityQueuesFail) {
    queue_init(&q, sizeof(Record), 2);
    EXPECT_EQ(pull(), -1);
    EXPECT_EQ(error_pending(), 158);
    error_discard();
    queue_item(&q, 0);
    EXPECT_EQ(error_pending(), 160);
    error_discard();
    queue_free(&q);

    queue_init(&q, sizeof(Record), 0);
    EXPECT_EQ(q.storage, nullptr);
    put(1);
    EXPECT_EQ(error_pending(), 154);
}

TEST_F(MemoryQueue, OperationsDoNothingWhileAnErrorIsPending) {
    queue_init(&q, sizeof(Record), 2);
    error_report("_SOURCE\\x_a", 1, 1, "pending");
    put(1);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(error_pending(), 1);
}

TEST(Memory, ZeroSizeReports105AndZeroFillWorks) {
    error_discard();
    EXPECT_EQ(mem_alloc(0), nullptr);
    EXPECT_EQ(error_pending(), 105);
    error_discard();
    void* block = mem_alloc_zero(16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(block)[15], 0);
    mem_free(&block);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(error_pending(), 0);
}

} // namespace
