#include <gtest/gtest.h>

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

}  // namespace
