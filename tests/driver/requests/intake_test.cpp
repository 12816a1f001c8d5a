// Request intake and the LUN queues: what is started at once, what waits,
// the order of the service ring, and what is refused without taking a block.
#include <algorithm>

#include "support/driver_fixture.h"

namespace hbatest {
namespace {

TEST(Queue, TheFirstRequestStartsAtOnceAndFormsARingOfOne)
{
    DriverFixture b;
    sim::Request& r = b.Execute(1, 0, kRead10);
    LunRecord& a = b.lun(1);
    EXPECT_EQ(r.state, sim::Request::State::Outstanding);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_PENDING);  // accepted: untouched
    EXPECT_EQ(a.QueuedCount, 1);
    EXPECT_EQ(a.IssuedCount, 1);
    EXPECT_EQ(a.CurrentBlock, &b.ext()->Blocks[0]);
    EXPECT_EQ(a.QueueHead, a.CurrentBlock);
    EXPECT_EQ(a.QueueTail, a.CurrentBlock);
    EXPECT_EQ(a.RingNext, &a);
    EXPECT_EQ(a.RingPrev, &a);
    EXPECT_EQ(b.ext()->ServiceCursor, &a);
    EXPECT_EQ(b.ext()->ActiveLun, &a);
    b.ExpectCleanEnd();
}

TEST(Queue, LunsJoiningWhileTheBusIsOwnedWaitInArrivalOrder)
{
    DriverFixture b(AllFeatures(), {}, LenientPort());
    b.Execute(1, 0, kRead10);
    b.ChipWrites();
    b.Execute(2, 0, kRead10);
    b.Execute(3, 5, kRead10);
    b.Execute(1, 0, kRead10);  // a second one for the untagged LUN A waits behind the first
    EXPECT_TRUE(b.ChipWrites().empty());
    LunRecord &a = b.lun(1), &bb = b.lun(2), &c = b.lun(3, 5);
    EXPECT_EQ(b.ext()->ServiceCursor, &a);
    EXPECT_EQ(a.RingNext, &bb);
    EXPECT_EQ(bb.RingNext, &c);
    EXPECT_EQ(c.RingNext, &a);
    EXPECT_EQ(a.RingPrev, &c);
    EXPECT_EQ(c.RingPrev, &bb);
    EXPECT_EQ(bb.RingPrev, &a);
    EXPECT_EQ(bb.IssuedCount, 0);
    EXPECT_EQ(a.QueuedCount, 2);
    EXPECT_EQ(a.IssuedCount, 1);
    EXPECT_EQ(a.QueueHead->Next, a.QueueTail);
    b.ExpectCleanEnd();
}

TEST(Intake, RefusesBusyAtSeventeenPerLunWithoutTakingABlock)
{
    DriverFixture b(AllFeatures(), {}, LenientPort());
    for (int i = 0; i < MAX_QUEUED_PER_LUN; i++)
        EXPECT_EQ(b.Execute(0, 0, kRead10).srb.SrbStatus, SRB_STATUS_PENDING);
    EXPECT_EQ(b.lun(0).QueuedCount, 17);
    const int free = b.FreeBlocks();
    sim::Request& refused = b.Execute(0, 0, kRead10);
    // Refused busy: the port driver holds it to send again later.
    EXPECT_EQ(refused.state, sim::Request::State::Waiting);
    EXPECT_EQ(refused.busy_retries, 1u);
    EXPECT_EQ(b.FreeBlocks(), free);
    EXPECT_EQ(b.lun(0).QueuedCount, 17);
    // Another LUN still gets in.
    EXPECT_EQ(b.Execute(0, 1, kRead10).srb.SrbStatus, SRB_STATUS_PENDING);
    b.ExpectCleanEnd();
}

TEST(Intake, RefusesBusyWhenAllNinetySixBlocksAreInUse)
{
    DriverFixture b(AllFeatures(), {}, LenientPort());
    for (int i = 0; i < COMMAND_BLOCK_COUNT; i++)
        ASSERT_EQ(b.Execute(i / 16, i % 16 / 8 + 2 * (i % 2), kRead10).srb.SrbStatus, SRB_STATUS_PENDING) << i;
    EXPECT_EQ(b.FreeBlocks(), 0);
    sim::Request& refused = b.Execute(7, 7, kRead10);
    EXPECT_EQ(refused.state, sim::Request::State::Waiting);
    EXPECT_EQ(refused.busy_retries, 1u);
    EXPECT_EQ(b.lun(7, 7).QueuedCount, 0);
    b.ExpectCleanEnd();
}

TEST(Intake, RefusesFunctionsItDoesNotCarryOut)
{
    for (uint8_t function : {uint8_t(SRB_FUNCTION_RESET_DEVICE), uint8_t(SRB_FUNCTION_SHUTDOWN),
                             uint8_t(SRB_FUNCTION_FLUSH), uint8_t(SRB_FUNCTION_IO_CONTROL)}) {
        DriverFixture b;
        sim::Request& r = b.Function(function, 2, 0);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_INVALID_REQUEST) << int(function);
        EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
        EXPECT_TRUE(b.ChipWrites().empty());
        b.ExpectCleanEnd();
    }
}

// An abort or reset request is completed by the miniport, once, before its
// flush: a port's bulk completion ends every active request of the path, the
// one HwStartIo is handling included, so completing it after the flush would
// complete it twice.
void ExpectCompletedOnceBeforeTheFlush(DriverFixture& b, const sim::Request& request, const sim::Request& flushed)
{
    const auto& done = b.port().completed();
    EXPECT_EQ(std::count(done.begin(), done.end(), &request), 1);
    EXPECT_FALSE(request.bulk_completed);
    EXPECT_LT(std::find(done.begin(), done.end(), &request), std::find(done.begin(), done.end(), &flushed));
}

TEST(Intake, AbortsOnlyTheCurrentCommandAndOnlyByResettingTheBus)
{
    DriverFixture b(AllFeatures(), {}, LenientPort());
    sim::Request& current = b.Execute(2, 0, kRead10);
    sim::Request& queued = b.Execute(2, 0, kRead10);
    sim::Request& other = b.Execute(3, 0, kRead10);

    EXPECT_EQ(b.Function(SRB_FUNCTION_ABORT_COMMAND, 2, 0, &queued.srb).srb.SrbStatus, SRB_STATUS_ABORT_FAILED);
    EXPECT_EQ(b.Function(SRB_FUNCTION_ABORT_COMMAND, 4, 0, &current.srb).srb.SrbStatus, SRB_STATUS_ABORT_FAILED);
    EXPECT_EQ(b.Function(SRB_FUNCTION_ABORT_COMMAND, 4, 0, nullptr).srb.SrbStatus, SRB_STATUS_ABORT_FAILED);
    EXPECT_EQ(b.port().outstanding(), 3u);

    b.ChipWrites();
    sim::Request& abort = b.Function(SRB_FUNCTION_ABORT_COMMAND, 2, 0, &current.srb);
    EXPECT_EQ(abort.srb.SrbStatus, SRB_STATUS_SUCCESS);
    ExpectCompletedOnceBeforeTheFlush(b, abort, current);
    for (sim::Request* r : {&current, &queued, &other}) {
        EXPECT_EQ(r->state, sim::Request::State::Completed);
        EXPECT_EQ(r->srb.SrbStatus, SRB_STATUS_BUS_RESET);
        EXPECT_TRUE(r->bulk_completed);
    }
    std::vector<PortAccess> resets;
    for (const PortAccess& a : b.ChipWrites())
        if (a.port == DriverFixture::kIoBase + Command)
            resets.push_back(a);
    EXPECT_EQ(resets, std::vector<PortAccess>{Chip(Command, ResetScsiBus)});
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    b.ExpectCleanEnd();
}

TEST(Intake, ResetBusRequestFlushesAndSucceeds)
{
    DriverFixture b;
    sim::Request& waiting = b.Execute(2, 0, kRead10);
    sim::Request& reset = b.Function(SRB_FUNCTION_RESET_BUS);
    EXPECT_EQ(reset.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(waiting.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_TRUE(waiting.bulk_completed);
    ExpectCompletedOnceBeforeTheFlush(b, reset, waiting);
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    b.ExpectCleanEnd();
}

// A queue action is sent to the target as the queue-tag message: anything but
// the three tag messages is refused before a block or a tag is taken (0 read
// as "no tag yet" at selection, and the selection took a second tag).
TEST(Intake, RefusesAQueueActionThatIsNoQueueTagMessage)
{
    struct Case {
        uint8_t action;
        uint8_t status;
    };
    const Case cases[] = {{0x00, SRB_STATUS_INVALID_REQUEST}, {0x07, SRB_STATUS_INVALID_REQUEST},
                          {0x23, SRB_STATUS_INVALID_REQUEST}, {0xFF, SRB_STATUS_INVALID_REQUEST},
                          {SRB_SIMPLE_TAG_REQUEST, SRB_STATUS_PENDING},
                          {SRB_HEAD_OF_QUEUE_TAG_REQUEST, SRB_STATUS_PENDING},
                          {SRB_ORDERED_QUEUE_TAG_REQUEST, SRB_STATUS_PENDING}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "queue action " << int(c.action));
        DriverFixture b;
        MakeTagged(b.lun(2), 8);
        sim::RequestSpec description;
        description.target = 2;
        description.cdb = kRead10;
        description.queue_action = c.action;
        description.queue_action_enable = true;
        sim::Request& r = b.Submit(description);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        if (c.status != SRB_STATUS_PENDING) {
            EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
            EXPECT_EQ(b.lun(2).FreeTags, 0xFFFFFFFFu);
            EXPECT_TRUE(b.ChipWrites().empty());
        }
        b.ExpectCleanEnd();
    }
}

// A linked CDB asks the target for the next command of a chain in the same
// connection; we would only have the same CDB to send again, running it
// twice. The link bit sits in the control byte: the last of the length the
// operation code's group gives, where the target reads it however many bytes
// the CDB has, and the driver also looks at the last byte. Refused before a
// block is taken or a byte reaches the chip.
TEST(Intake, RefusesALinkedCommand)
{
    struct Case {
        std::vector<uint8_t> cdb;
        uint8_t status;
    };
    const Case cases[] = {
        {{0x00, 0, 0, 0, 0, 0x01}, SRB_STATUS_INVALID_REQUEST},                    // TEST UNIT READY, LINK
        {{0x00, 0, 0, 0, 0, 0x03}, SRB_STATUS_INVALID_REQUEST},                    // LINK and FLAG
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0x01}, SRB_STATUS_INVALID_REQUEST},        // READ(10), LINK
        {{0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0x41}, SRB_STATUS_INVALID_REQUEST},  // READ(12), vendor bit and LINK
        {{0x28, 0x01, 0, 0, 0, 0, 0, 0, 1, 0x00}, SRB_STATUS_PENDING},             // bit 0 elsewhere is not the link
        {{0x00, 0, 0, 0, 0, 0x02}, SRB_STATUS_PENDING},                            // FLAG alone: the target's to judge
        {{0x03, 0, 0, 0, 1, 0x01, 0x04}, SRB_STATUS_INVALID_REQUEST},              // 7-byte REQUEST SENSE: byte 5
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0x01, 0, 0}, SRB_STATUS_INVALID_REQUEST},  // READ(10) padded to 12
        {{0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0x00, 0x01}, SRB_STATUS_INVALID_REQUEST},  // and the last byte
        {{0x03, 0, 0, 0, 18, 0, 0, 0}, SRB_STATUS_PENDING},                        // padded, no link
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "operation " << int(c.cdb[0]) << " control " << int(c.cdb.back()));
        DriverFixture b;
        sim::Request& r = b.Execute(2, 0, c.cdb);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        if (c.status != SRB_STATUS_PENDING) {
            EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
            EXPECT_TRUE(b.ChipWrites().empty());
        }
        b.ExpectCleanEnd();
    }
}

// No tag free on a tagged LUN is a passing condition: BUSY, which the port
// driver sends again, not a request that can never be carried out.
TEST(Intake, NoTagFreeIsBusy)
{
    DriverFixture b;
    MakeTagged(b.lun(2), 8);
    b.lun(2).FreeTags = 0;
    sim::Request& r = b.Execute(2, 0, kRead10);
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    EXPECT_NE(r.state, sim::Request::State::Completed) << "BUSY: the port driver sends it again";
    b.lun(2).FreeTags = 0xFFFFFFFF;
    b.ExpectCleanEnd();
    EXPECT_EQ(r.state, sim::Request::State::Completed);
}

}  // namespace
}  // namespace hbatest
