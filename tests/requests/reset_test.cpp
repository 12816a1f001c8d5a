// Bus reset: the flush that gives every request back at once, and the
// bounded wait for the reset's own interrupt.
#include "bench.h"

namespace requesttest {
namespace {

TEST(Flush, ReturnsEveryBlockAndEmptiesTheRing)
{
    Bench b;
    std::vector<sim::Request*> requests;
    requests.push_back(&b.Execute(1, 0, kRead10));
    for (int i = 0; i < 2; i++)
        requests.push_back(&b.Execute(2, 3, kRead10));
    MakeTagged(b.lun(6, 1), 16);
    for (int i = 0; i < 17; i++)
        requests.push_back(&b.Execute(6, 1, kRead10));
    LunRecord& idle = b.lun(7);
    idle.FreeTags = 0x1234;  // not in the ring: must not be touched
    ASSERT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT - 20);

    b.port().reset_bus(0);

    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    for (sim::Request* r : requests) {
        EXPECT_EQ(r->state, sim::Request::State::Completed);
        EXPECT_EQ(r->srb.SrbStatus, SRB_STATUS_BUS_RESET);
    }
    for (LunRecord* lun : {&b.lun(1), &b.lun(2, 3), &b.lun(6, 1)}) {
        EXPECT_EQ(lun->QueueHead, nullptr);
        EXPECT_EQ(lun->QueueTail, nullptr);
        EXPECT_EQ(lun->CurrentBlock, nullptr);
        EXPECT_EQ(lun->IssuedCount, 0);
        EXPECT_EQ(lun->QueuedCount, 0);
        EXPECT_EQ(lun->FreeTags, 0xFFFFFFFFu);
        EXPECT_EQ(lun->RingNext, nullptr);
        EXPECT_EQ(lun->RingPrev, nullptr);
    }
    EXPECT_EQ(b.lun(6, 1).QueueDepth, 16);  // still tagged
    EXPECT_EQ(idle.FreeTags, 0x1234u);
    EXPECT_EQ(b.ext()->ServiceCursor, nullptr);
    EXPECT_EQ(b.ext()->ActiveLun, nullptr);
    EXPECT_EQ(b.port().adapter(0).resets_detected, 1u);
    b.ExpectCleanEnd();
}

TEST(Flush, AnEmptyRingOnlyCompletesInBulk)
{
    Bench b;
    b.port().reset_bus(0);
    EXPECT_EQ(b.ext()->ServiceCursor, nullptr);
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    b.ExpectCleanEnd();
}

}  // namespace
}  // namespace requesttest
