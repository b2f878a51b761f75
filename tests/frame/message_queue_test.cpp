#include <thread>

#include <gtest/gtest.h>

#include "platform/message_queue.h"

using quill::MessageQueue;

TEST(MessageQueueTest, RangeFilterKeepsOrderAndLeavesOthersWaiting) {
    MessageQueue q;
    q.Post(5);
    q.Post(1126, 1);
    q.Post(1130);
    auto m = q.TryTake(1124, 1139);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->number, 1126u);
    EXPECT_EQ(m->param, 1);
    EXPECT_EQ(q.TryTake(1124, 1139)->number, 1130u);
    EXPECT_FALSE(q.TryTake(1124, 1139));
    EXPECT_EQ(q.Size(), 1u);
    EXPECT_EQ(q.TryTake(0, 10)->number, 5u);
}

TEST(MessageQueueTest, BlockingTakeWakesOnPost) {
    MessageQueue q;
    std::thread poster([&] { q.Post(1125); });
    EXPECT_EQ(q.Take(1124, 1139).number, 1125u);
    poster.join();
    EXPECT_FALSE(q.TakeFor(1124, 1139, std::chrono::microseconds(500)));
}
