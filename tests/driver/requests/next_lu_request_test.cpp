// Flow control per LU: the driver registers one request per LU at a time, so
// a port sends a LU's next request only when told the LU can take one. A
// tagged LUN with room says so (NextLuRequest); an untagged one, or one whose
// queue is full, only opens the adapter (NextRequest).
#include <vector>

#include "support/driver_fixture.h"

namespace hbatest {
namespace {

uint64_t NextLuRequests(DriverFixture& fixture) { return fixture.port().adapter(0).next_lu_requests; }

sim::Request& Read(DriverFixture& fixture, int target)
{
    return fixture.Execute(target, 0, Read10(0, 8), &fixture.Buffer(4096), DataDirection::In);
}

TEST(NextLuRequest, OnlyATaggedLunAsksForMoreOfItsRequests)
{
    struct Case {
        const char* what;
        uint8_t flags;
        bool tagged;
    };
    const Case cases[] = {
        {"tagged", sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged, true},
        {"untagged", sim::kTargetParity | sim::kTargetDisconnect, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(c.flags), {DiskAt(3)});
        Inquire(fixture, 3);
        ASSERT_EQ(fixture.lun(3).QueueDepth > 1, c.tagged);
        const uint64_t before = NextLuRequests(fixture);

        // Taken at once: each leaves the LU open for the next, or only the adapter.
        std::vector<sim::Request*> reads;
        for (int i = 0; i < 4; i++)
            reads.push_back(&Read(fixture, 3));
        EXPECT_EQ(NextLuRequests(fixture) - before, c.tagged ? 4u : 0u);

        // Completions reopen the LU while it still has commands outstanding.
        const uint64_t intake = NextLuRequests(fixture);
        fixture.port().run_until_idle();
        for (const sim::Request* r : reads)
            EXPECT_EQ(r->srb.SrbStatus, SRB_STATUS_SUCCESS);
        if (c.tagged)
            EXPECT_GT(NextLuRequests(fixture), intake);
        else
            EXPECT_EQ(NextLuRequests(fixture), intake);
        fixture.ExpectCleanEnd();
    }
}

// The tag depth bounds the commands started, not the LUN's queue: a LUN of
// depth 2 takes requests until its queue is full. The request that fills it
// only opens the adapter; the first completion reopens the LU.
TEST(NextLuRequest, AFullLunGetsNextRequestUntilACommandEnds)
{
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged, 0, 0), {DiskAt(2)});
    Inquire(fixture, 2);
    ASSERT_EQ(fixture.lun(2).QueueDepth, 2);
    for (int i = 1; i <= MAX_QUEUED_PER_LUN; i++) {
        const uint64_t before = NextLuRequests(fixture);
        ASSERT_EQ(Read(fixture, 2).srb.SrbStatus, SRB_STATUS_PENDING) << i;
        EXPECT_EQ(NextLuRequests(fixture) - before, i < MAX_QUEUED_PER_LUN ? 1u : 0u) << i;
    }
    ASSERT_EQ(fixture.lun(2).QueuedCount, MAX_QUEUED_PER_LUN);

    // The first command to end leaves room: NextLuRequest, with the rest outstanding.
    const uint64_t full = NextLuRequests(fixture);
    const size_t done = fixture.port().completed().size();
    while (fixture.port().completed().size() == done)
        fixture.port().run_for(10 * kUs);
    ASSERT_EQ(fixture.port().completed().size(), done + 1);
    EXPECT_EQ(NextLuRequests(fixture) - full, 1u);
    EXPECT_EQ(fixture.lun(2).QueuedCount, MAX_QUEUED_PER_LUN - 1);
    fixture.ExpectCleanEnd();
}

}  // namespace
}  // namespace hbatest
