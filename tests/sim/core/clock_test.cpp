#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "clock.h"

namespace {

TEST(Clock, RunsEventsInTimeThenSchedulingOrder)
{
    sim::Clock clock;
    std::vector<int> order;
    clock.at(300, [&] { order.push_back(3); });
    clock.at(100, [&] { order.push_back(1); });
    clock.at(100, [&] { order.push_back(2); });
    auto cancelled = clock.at(200, [&] { order.push_back(99); });
    clock.cancel(cancelled);
    clock.advance(250);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(clock.now(), 250u);
    EXPECT_TRUE(clock.run_next());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(clock.now(), 300u);
    EXPECT_FALSE(clock.run_next());
    EXPECT_TRUE(clock.idle());
}

TEST(Clock, EventsScheduledByEventsRunWhenDue)
{
    sim::Clock clock;
    int fired = 0;
    clock.after(10, [&] { clock.after(10, [&] { fired++; }); });
    clock.advance(15);
    EXPECT_EQ(fired, 0);
    clock.advance(5);
    EXPECT_EQ(fired, 1);
}

// Events hold their callables in place (or, when large, on the heap): what
// they capture lives until they run or are cancelled, and no longer.
TEST(Clock, EventsKeepWhatTheyCaptureUntilRunOrCancelled)
{
    sim::Clock clock;
    auto kept = std::make_shared<int>(0);
    std::array<uint64_t, 32> large{};  // too big to be kept inside the event
    large[31] = 7;
    clock.at(10, [kept] { ++*kept; });
    clock.at(20, [kept, large] { *kept += static_cast<int>(large[31]); });
    const auto cancelled = clock.at(30, [kept, large] { *kept = -1; });
    EXPECT_EQ(kept.use_count(), 4);
    clock.cancel(cancelled);
    EXPECT_EQ(kept.use_count(), 3);
    clock.advance(100);
    EXPECT_EQ(*kept, 8);
    EXPECT_EQ(kept.use_count(), 1);
    EXPECT_TRUE(clock.idle());
}

// A running event schedules many more: the slots grow under it, and every
// event still runs once, in time order.
TEST(Clock, EventsScheduledInBulkFromARunningEventEachRunOnce)
{
    sim::Clock clock;
    std::vector<int> order;
    clock.at(1, [&] {
        for (int i = 0; i < 300; i++)
            clock.at(1000 - static_cast<uint64_t>(i), [&order, i] { order.push_back(i); });
        order.push_back(-1);
    });
    clock.advance(2000);
    ASSERT_EQ(order.size(), 301u);
    EXPECT_EQ(order.front(), -1);
    for (size_t k = 1; k < order.size(); k++)
        EXPECT_EQ(order[k], 300 - static_cast<int>(k));
}

}  // namespace
