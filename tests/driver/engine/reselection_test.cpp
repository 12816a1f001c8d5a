// A target coming back just as the driver starts another command. Two races,
// both provoked by timing: the reselection wins arbitration over a selection
// the chip has already been told to make (the selection is abandoned and
// made again later), and the reselection completes while HwStartIo is still
// loading the chip for its selection (which must then not be made at all,
// since flushing the FIFO would destroy the reselection's bytes).
#include "support/bus_log.h"
#include "support/verified_io.h"

#include "bus/faults.h"

namespace hbatest {
namespace {


bool IsSelection(uint32_t command)
{
    return command == SelectWithAtn || command == SelectWithAtnStop || command == SelectWithAtn3;
}

struct Outcome {
    size_t selections_issued = 0;   // selection commands the chip got for target 1
    size_t selections_on_bus = 0;   // selections of target 1 the bus carried out
    bool withheld = false;          // a selection found the core interrupt pending and stopped
    bool taken_back = false;        // target 0 connected while target 1's block was queued, not counted as issued
};

// Target 0 reads from far away (it disconnects to seek); target 1's read is
// submitted at virtual time `at`.
Outcome Race(sim::Nanoseconds at)
{
    DriverFixture b(AllFeatures(), {SeekingDiskAt(0, {}, 1 * kMs), DiskAt(1)});
    BusLog trace(b.machine().bus(0));
    VerifiedIo w(b);
    w.Issue(0, false, 3000, 2);
    b.port().run_for(at - b.machine().clock().now());
    w.Issue(1, false, 0, 1);
    Outcome o;
    // Watch the records while the race plays out: once a selection for
    // target 1 has been issued, target 0 connected with target 1's block
    // still queued but not counted as issued is the selection taken back.
    const auto& log = b.machine().ports().recorded();
    size_t scanned = 0;
    uint32_t destination = 0xFF;
    size_t issued = 0;
    while (b.port().outstanding() + b.port().waiting() > 0) {
        b.port().run_for(250);
        for (; scanned < log.size(); scanned++) {
            const sim::PortAccess& a = log[scanned];
            if (a.direction == sim::Direction::Write && a.port == DriverFixture::kIoBase + DestinationId)
                destination = a.value;
            if (a.direction == sim::Direction::Write && a.port == DriverFixture::kIoBase + Command && IsSelection(a.value))
                issued += destination == 1;
        }
        const LunRecord& one = b.lun(1);
        if (issued > 0 && b.ext()->ActiveLun == &b.lun(0) && one.QueuedCount == 1 && one.IssuedCount == 0)
            o.taken_back = true;
    }
    EXPECT_EQ(w.good(), 2u);
    EXPECT_EQ(w.bad(), 0u);
    b.ExpectIdle();

    destination = 0xFF;
    uint32_t previous_write = 0;
    for (const sim::PortAccess& a : log) {
        if (a.port < DriverFixture::kIoBase || a.port >= DriverFixture::kIoBase + 0x60)
            continue;
        uint32_t reg = a.port - DriverFixture::kIoBase;
        if (a.direction == sim::Direction::Write) {
            if (reg == DestinationId)
                destination = a.value;
            if (reg == Command && IsSelection(a.value) && destination == 1)
                o.selections_issued++;
            previous_write = reg;
        } else if (reg == DmaStatus && previous_write == Config4 && (a.value & DMA_STATUS_CORE_INTERRUPT)) {
            o.withheld = true;
        }
    }
    o.selections_on_bus = trace.count(BusEvent::Kind::Selection, 1);
    return o;
}

TEST(Reselection, RacesWithANewSelectionLoseNoCommandAndNoByte)
{
    // Where target 0 comes back, seen from the same run without the race.
    sim::Nanoseconds back = 0;
    {
        DriverFixture b(AllFeatures(), {SeekingDiskAt(0, {}, 1 * kMs), DiskAt(1)});
        BusLog trace(b.machine().bus(0));
        VerifiedIo w(b);
        w.Issue(0, false, 3000, 2);
        b.port().run_until_idle();
        for (const BusEvent& e : trace.events())
            if (e.kind == BusEvent::Kind::Reselection && e.target == 0) {
                back = e.time;
                break;
            }
        ASSERT_GT(back, 0u);
    }
    bool abandoned = false, withheld = false;
    for (sim::Nanoseconds at = back - 15 * kUs; at < back + 15 * kUs; at += 250) {
        SCOPED_TRACE(testing::Message() << "second request at " << at << " ns");
        Outcome o = Race(at);
        if (o.selections_issued == 2 && o.selections_on_bus == 1) {
            abandoned = true;
            EXPECT_TRUE(o.taken_back);
        }
        withheld = withheld || o.withheld;
        if (HasFailure())
            break;
    }
    EXPECT_TRUE(abandoned) << "no submission time made a reselection beat an issued selection";
    EXPECT_TRUE(withheld) << "no submission time made a reselection arrive while a selection was being loaded";
}

// Reselections the driver cannot connect to anything: no target bit, two
// target bits, or a LUN with no command started. Nothing on the bus can be
// trusted then, so the driver resets it; every request ends and nothing is
// left connected. The chip's FIFO is loaded by hand with what such a
// reselection would leave there.
TEST(Reselection, OneThatNamesNoStartedCommandResetsTheBus)
{
    struct Case {
        const char* name;
        uint8_t id;
        uint8_t identify;
    };
    const Case cases[] = {
        {"only our own bit", 0x80, 0x80},
        {"two target bits", 0x83, 0x80},
        {"untagged LUN with nothing started", 0x81, 0x80},
        {"another LUN with nothing started", 0x81, 0xC3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriverFixture b(AllFeatures(), {DiskAt(0)});
        b.ChipWrites();
        b.machine().ports().write(DriverFixture::kIoBase + Fifo, sim::Width::Byte, c.id);
        b.machine().ports().write(DriverFixture::kIoBase + Fifo, sim::Width::Byte, c.identify);
        b.ChipWrites();
        HandleReselection(b.ext());
        std::vector<sim::PortAccess> writes = b.ChipWrites();
        EXPECT_GE(FindRun(writes, {Chip(Command, ResetScsiBus)}), 0);
        EXPECT_LT(FindRun(writes, {Chip(Command, MessageAccepted)}), 0);
        EXPECT_EQ(b.ext()->ActiveLun, nullptr);
        b.port().run_for(100 * kUs);  // the reset and its interrupt
        EXPECT_EQ(b.port().adapter(0).resets_detected, 1u);
        b.ExpectIdle();
        // The bus works again afterwards.
        VerifiedIo w(b);
        w.Issue(0, true, 8, 2);
        w.Issue(0, false, 8, 2);
        b.port().run_until_idle();
        EXPECT_EQ(w.good(), 2u);
        b.ExpectIdle();
    }
}


// A reconnected command that ends without a status phase must not be judged
// by the status another command of the same LUN left behind. Tagged LUN: A
// disconnects for a long seek, B runs and ends GOOD meanwhile; A comes back,
// the target asks for message out, gets ABORT and frees the bus. A has no
// status of its own and must fail.
TEST(Reselection, ReconnectedCommandEndingWithoutStatusFails)
{
    sim::DeviceConfig disk = DiskAt(0);
    disk.options.track_seek = 300 * sim::kMicrosecond;
    disk.options.full_seek = 8 * sim::kMillisecond;
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged), {disk});
    auto& inquiry = fixture.Buffer(36);
    fixture.Run(0, 0, Inquiry(0, 36), &inquiry);
    ASSERT_GT(fixture.lun(0).QueueDepth, 1);

    const uint8_t atStatus[] = {1};  // the message-out request goes just before the status
    sim::ByteChoices choices(atStatus);
    sim::FaultCounts counts{};
    sim::DeviceFaults faults(fixture.device(0), choices, counts, nullptr);
    fixture.device(0).set_fault_hooks(&faults);
    faults.force(sim::FaultKind::MessageOutRequest);  // the next command planned: A
    std::vector<uint8_t> messageOut;
    fixture.OnEvent([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::MessageOut)
            messageOut = {e.byte};
    });
    auto& far = fixture.Buffer(2048);
    auto& near = fixture.Buffer(512);
    sim::Request& a = fixture.Execute(0, 0, Read10(60000, 4), &far, DataDirection::In);
    // Right behind A's blocks: the disk, planning from where A will leave the heads, needs no seek for B.
    sim::Request& b = fixture.Execute(0, 0, Read10(60004, 1), &near, DataDirection::In);
    fixture.port().run_until_idle();
    fixture.device(0).set_fault_hooks(nullptr);

    ASSERT_EQ(counts[size_t(sim::FaultKind::MessageOutRequest)], 1u);
    ASSERT_EQ(b.state, sim::Request::State::Completed);
    ASSERT_LT(b.completed, a.completed);
    EXPECT_EQ(b.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(messageOut, std::vector<uint8_t>{0x0D});  // ABORT TAG
    EXPECT_EQ(a.srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(a.srb.ScsiStatus, 0x00);
    fixture.ExpectCleanEnd();
}

}  // namespace
}  // namespace hbatest
