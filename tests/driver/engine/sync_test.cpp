// Synchronous agreements end to end: what is offered, what the LUN records
// keep, what the chip is loaded with at every selection and reselection, and
// that data then moves at the agreed timing for every LUN of the target.
#include "support/bus_log.h"
#include "support/verified_io.h"

namespace hbatest {
namespace {



struct Timing {
    uint8_t period;
    uint8_t config3;
    bool slow;  // Config4 0x80
};

// A disk that seeks (so it disconnects and reselects) on target 0.
sim::DeviceConfig SeekingDisk(sim::TargetOptions t = {}) { return SeekingDiskAt(0, t, 1 * kMs, 4 * kMs, 2 * kMs); }

void ExpectLunTiming(DriverFixture& b, int lun, const Timing& want, uint8_t offset)
{
    SCOPED_TRACE(testing::Message() << "LUN " << lun);
    const LunRecord& r = b.lun(0, lun);
    EXPECT_EQ(r.SyncPeriodReg, want.period);
    EXPECT_EQ(r.SyncOffsetReg, offset);
    EXPECT_EQ(r.Config3, want.config3);
    EXPECT_EQ((r.Config4 & 0x80) != 0, want.slow);
    EXPECT_EQ(r.Config4 & 0x40, 0);
    EXPECT_EQ(r.Asynchronous, offset == 0 ? 1 : 0);
}

// Writes then reads back blocks on the seeking disk and checks that every
// time the driver loaded target 0's timing into the chip (selections and
// reselections alike) it loaded the agreed set, and that no data phase ran
// at a timing the target had not agreed.
void ExpectDataAtAgreedTiming(DriverFixture& b, const Timing& want, uint8_t offset)
{
    const LunRecord& r = b.lun(0);
    BusLog trace(b.machine().bus(0));
    VerifiedIo w(b);
    b.ChipWrites();
    for (uint32_t i = 0; i < 4; i++)
        w.Issue(0, true, 500 + i * 300, 4);
    b.port().run_until_idle(10 * sim::kSecond);
    for (uint32_t i = 0; i < 4; i++)
        w.Issue(0, false, 500 + i * 300, 4);
    b.port().run_until_idle(10 * sim::kSecond);
    EXPECT_EQ(w.good(), 8u);
    EXPECT_EQ(w.bad(), 0u);

    const std::vector<sim::PortAccess> set = {Chip(DestinationId, 0),        Chip(SyncPeriod, want.period),
                                              Chip(SyncOffset, offset),      Chip(Config1, r.Config1),
                                              Chip(Config3, want.config3),   Chip(Config4, r.Config4)};
    std::vector<sim::PortAccess> writes = b.ChipWrites();
    size_t loads = 0, timing_writes = 0;
    for (size_t i = 0; i + set.size() <= writes.size(); i++)
        loads += std::equal(set.begin(), set.end(), writes.begin() + long(i));
    for (const sim::PortAccess& a : writes)
        timing_writes += a.port == DriverFixture::kIoBase + SyncPeriod;
    size_t reselections = trace.count(BusEvent::Kind::Reselection, 0);
    EXPECT_GT(reselections, 0u);
    EXPECT_EQ(loads, 8 + reselections);
    EXPECT_EQ(timing_writes, loads);
    EXPECT_EQ(b.machine().bus(0).timing_mismatches(), 0u);
    b.ExpectIdle();
}

void Negotiate(DriverFixture& b, int lun, const std::vector<uint8_t>& cdb, uint32_t length)
{
    auto& buffer = b.machine().memory().allocate(length, 0x20);
    sim::Request& r = b.Execute(0, lun, cdb, &buffer, sim::DataDirection::In);
    b.port().run_until_idle();
    EXPECT_NE(r.state, sim::Request::State::Waiting);
}

TEST(Sync, EveryOfferedPeriodIsAgreedAndUsedForEveryLunOfTheTarget)
{
    struct Case {
        uint8_t speed;
        uint8_t factor;
        Timing timing;
    };
    const Case cases[] = {
        {0, 25, {4, 0x18, false}}, {1, 31, {5, 0x18, false}}, {2, 37, {6, 0x18, false}},
        {3, 43, {7, 0x18, false}}, {4, 50, {8, 0x18, false}}, {5, 81, {12, 0x08, true}},
        {6, 125, {19, 0x08, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "speed index " << int(c.speed));
        DriverFixture b(AllFeatures(c.speed), {SeekingDisk()});
        BusLog trace(b.machine().bus(0));
        Inquire(b, 0);
        EXPECT_TRUE(trace.SentMessage(0, {0x01, 0x03, 0x01, c.factor, 0x0F}));
        for (int lun = 0; lun < 8; lun++)
            ExpectLunTiming(b, lun, c.timing, 15);
        ExpectDataAtAgreedTiming(b, c.timing, 15);
    }
}

// Speed index 7 has no synchronous period: nothing is offered (an offer of
// factor 0 would let the target pick any period), and the target stays
// asynchronous.
TEST(Sync, TheSpeedIndexWithoutAPeriodOffersNothing)
{
    DriverFixture b(AllFeatures(7), {SeekingDisk()});
    BusLog trace(b.machine().bus(0));
    Inquire(b, 0);
    EXPECT_FALSE(trace.SentMessage(0, {0x01, 0x03, 0x01}));
    EXPECT_FALSE(b.machine().bus(0).target(0)->agreement().synchronous());
    for (int lun = 0; lun < 8; lun++)
        ExpectLunTiming(b, lun, {0, 0x08, true}, 0);
    ExpectDataAtAgreedTiming(b, {0, 0x08, true}, 0);
}

// Answers from the offer up to the slowest period SyncPeriod holds (32
// clocks, factor 200) are run, rounded up to whole clocks; slower ones are
// refused with MESSAGE REJECT, and both sides go on asynchronously.
TEST(Sync, SlowerAnswersAreConvertedRoundingUpOrRefusedBeyondThePeriodRegister)
{
    struct Case {
        uint8_t answer;
        Timing timing;
        uint8_t offset;
    };
    const Case cases[] = {{56, {8, 0x08, true}, 8},
                          {62, {9, 0x08, true}, 8},
                          {200, {31, 0x08, true}, 8},
                          {201, {0, 0x08, true}, 0},
                          {255, {0, 0x08, true}, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "answer " << int(c.answer));
        sim::TargetOptions t;
        t.min_period_factor = c.answer;
        t.max_offset = 8;
        DriverFixture b(AllFeatures(0), {SeekingDisk(t)});
        BusLog trace(b.machine().bus(0));
        Inquire(b, 0);
        EXPECT_EQ(trace.SentMessage(0, {0x07}), c.offset == 0);
        EXPECT_EQ(b.machine().bus(0).target(0)->agreement().synchronous(), c.offset != 0);
        for (int lun = 0; lun < 8; lun++)
            ExpectLunTiming(b, lun, c.timing, c.offset);
        ExpectDataAtAgreedTiming(b, c.timing, c.offset);
    }
}

// An answer faster than offered, or with an offset above 15, cannot be run
// as answered: it is refused (MESSAGE REJECT, ATN raised), and the LUN is
// asynchronous before the answer is accepted.
TEST(Sync, AnswersFasterThanOfferedOrWithTooLargeAnOffsetAreRefused)
{
    struct Case {
        uint8_t period, offset;
    };
    for (Case c : {Case{19, 15}, Case{12, 8}, Case{1, 1}, Case{24, 15}, Case{25, 16}, Case{50, 255}}) {
        SCOPED_TRACE(testing::Message() << "period " << int(c.period) << " offset " << int(c.offset));
        DriverFixture b(AllFeatures(0), {SeekingDisk()});
        LunRecord& lun = b.lun(0);
        CommandBlock block{};
        block.Flags = CB_CONNECTED | CB_SDTR_PENDING;
        b.ChipWrites();
        AcceptSdtrReply(b.ext(), &lun, &block, c.period, c.offset);
        ExpectLunTiming(b, 0, {0, 0x08, true}, 0);
        EXPECT_EQ(block.Flags, CB_CONNECTED | CB_REJECT_PENDING);
        EXPECT_EQ(b.ChipWrites(), (std::vector<sim::PortAccess>{Chip(SyncPeriod, 0), Chip(SyncOffset, 0),
                                                                Chip(Config3, 0x08), Chip(Config4, 0x80),
                                                                Chip(Command, SetAtn)}));
    }
}

// A target that agreed and then, on the next offer, answers offset 0 or
// refuses the message: every LUN is asynchronous again, and data still moves.
TEST(Sync, OffsetZeroOrMessageRejectFallsBackToAsynchronous)
{
    const sim::SdtrAnswer answers[] = {sim::SdtrAnswer::AsyncOnly, sim::SdtrAnswer::Reject};
    for (sim::SdtrAnswer answer : answers) {
        SCOPED_TRACE(answer == sim::SdtrAnswer::Reject ? "MESSAGE REJECT" : "offset 0");
        DriverFixture b(AllFeatures(0), {SeekingDisk()});
        Inquire(b, 0);
        ExpectLunTiming(b, 0, {4, 0x18, false}, 15);
        b.machine().bus(0).target(0)->options().sdtr = answer;
        Inquire(b, 0);
        for (int lun = 0; lun < 8; lun++)
            ExpectLunTiming(b, lun, {0, 0x08, true}, 0);
        ExpectDataAtAgreedTiming(b, {0, 0x08, true}, 0);
    }
}

// The agreement belongs to the target, whichever LUN's command carried it:
// a REQUEST SENSE to LUN 3 negotiates, and LUN 0's data must then move at
// the new timing too.
TEST(Sync, AnAgreementReachedThroughAnotherLunHoldsForTheWholeTarget)
{
    DriverFixture b(AllFeatures(0), {SeekingDisk()});
    Negotiate(b, 3, kRequestSense, 18);
    ASSERT_TRUE(b.machine().bus(0).target(0)->agreement().synchronous());
    for (int lun = 0; lun < 8; lun++)
        ExpectLunTiming(b, lun, {4, 0x18, false}, 15);
    ExpectDataAtAgreedTiming(b, {4, 0x18, false}, 15);
}

}  // namespace
}  // namespace hbatest
