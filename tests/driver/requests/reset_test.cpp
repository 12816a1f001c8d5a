// Bus reset: the flush that gives every request back at once, and the
// bounded wait for the reset's own interrupt.
#include <optional>

#include "support/driver_fixture.h"

namespace hbatest {
namespace {

TEST(Flush, ReturnsEveryBlockAndEmptiesTheRing)
{
    DriverFixture b(AllFeatures(), {}, LenientPort());
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

// The reset wait polls once a microsecond with interrupts disabled; the
// interrupt routine can only run between two polls, and only with a port
// driver that lets it in there (HwResetBus normally runs at the interrupt's level).
sim::MachineConfig ResetInterruptAfter(sim::Nanoseconds delay)
{
    sim::MachineConfig c;
    c.interrupts_inside_reset_wait = true;
    c.adapters = {AdapterAt(0, 3, DriverFixture::kIoBase)};
    c.adapters[0].chip_timing.reset_interrupt = delay;
    return c;
}

TEST(ResetWait, EndsAtThePollThatSeesItsOwnInterrupt)
{
    // Raised during the second poll's microsecond: delivered as that poll
    // restores interrupts, seen by the third, which does not stall.
    sim::MachineConfig c = ResetInterruptAfter(1300);
    DriverFixture b(AllFeatures(), {}, c);
    b.ChipWrites();
    const uint64_t stalls = b.port().stalls();
    b.port().reset_bus(0);
    EXPECT_EQ(b.port().stalls() - stalls, 2u);
    EXPECT_EQ(b.ext()->ResetPending, 0);
    EXPECT_EQ(b.ext()->ResetSeen, 1);
    EXPECT_EQ(b.port().adapter(0).resets_detected, 1u);
    std::vector<PortAccess> commands;
    for (const PortAccess& a : b.ChipWrites())
        if (a.port == DriverFixture::kIoBase + Command)
            commands.push_back(a);
    EXPECT_EQ(commands, std::vector<PortAccess>{Chip(Command, ResetScsiBus)});
    b.ExpectCleanEnd();
}

TEST(ResetWait, GivesUpAfterFiveHundredPollsAndALateInterruptFlushesNothing)
{
    DriverFixture b(AllFeatures(), {}, ResetInterruptAfter(2 * sim::kMillisecond));
    const uint64_t stalls = b.port().stalls();
    b.port().reset_bus(0);
    EXPECT_EQ(b.port().stalls() - stalls, 500u);
    EXPECT_EQ(b.ext()->ResetPending, 1);
    EXPECT_EQ(b.port().adapter(0).resets_detected, 0u);

    // The reset interrupt it waited for comes late: reported, and with
    // nothing queued since, nothing flushed.
    b.port().run_for(2 * sim::kMillisecond);
    EXPECT_EQ(b.port().adapter(0).resets_detected, 1u);
    EXPECT_EQ(b.ext()->ResetSeen, 1);
    b.ExpectCleanEnd();
}

TEST(ResetWait, ALateInterruptEndsWhatWasStartedSinceTheWaitGaveUp)
{
    DriverFixture b(AllFeatures(), {}, LenientPort(ResetInterruptAfter(2 * sim::kMillisecond)));
    b.port().reset_bus(0);
    ASSERT_EQ(b.ext()->ResetPending, 1);
    // Started before the chip reports the reset: the chip drops it with the
    // reset, so the reset's interrupt must end it or nothing ever will.
    sim::Request& r = b.Execute(2, 0, kRead10);
    b.port().run_for(2 * sim::kMillisecond);
    EXPECT_EQ(r.state, sim::Request::State::Completed);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(b.lun(2).QueuedCount, 0);
    b.ExpectCleanEnd();
}

// Called at the interrupt's level, the wait cannot see its own interrupt and
// runs to its bound. A chip holding an interrupt then is the reset done: only
// a bus that did not come back within the wait is logged.
TEST(ResetWait, LogsABusTimeOutOnlyWhenTheChipHoldsNoInterrupt)
{
    struct Case {
        const char* what;
        std::optional<sim::Nanoseconds> reset_interrupt;
        bool logged;
    };
    const Case cases[] = {
        {"interrupt within the wait", 2 * sim::kMicrosecond, false},
        {"interrupt after the wait", 2 * sim::kMillisecond, true},
        {"no interrupt", std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::MachineConfig config = ResetInterruptAfter(0);
        config.adapters[0].chip_timing.reset_interrupt = c.reset_interrupt;
        DriverFixture b(AllFeatures(), {}, config);
        b.port().reset_bus(0);
        bool bus_time_out = false;
        for (const sim::LogEntry& e : b.port().event_log())
            bus_time_out |= e.code == SP_BUS_TIME_OUT;
        EXPECT_EQ(bus_time_out, c.logged);
    }
}

TEST(Flush, AnEmptyRingOnlyCompletesInBulk)
{
    DriverFixture b;
    b.port().reset_bus(0);
    EXPECT_EQ(b.ext()->ServiceCursor, nullptr);
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    b.ExpectCleanEnd();
}

}  // namespace
}  // namespace hbatest
