// Starting a command on the bus: the target's settings, the FIFO's message
// and CDB bytes, and the selection command, exactly as the chip receives them.
#include "support/driver_fixture.h"

namespace hbatest {
namespace {

struct SelectionCase {
    const char* name;
    uint8_t targetFlags;
    int lun;
    uint8_t depth;
    ULONG freeTags;
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> messages;  // FIFO bytes before the CDB
    uint8_t command;
    uint16_t flags;
};

constexpr uint8_t kSync = sim::kTargetParity | sim::kTargetSync | sim::kTargetDisconnect;
constexpr uint8_t kNoSync = sim::kTargetParity | sim::kTargetDisconnect;
// Connected, and the chip is to send the CDB in its own command phase.
constexpr uint16_t kInFifo = CB_CONNECTED | CB_CDB_IN_FIFO;

TEST(Selection, LoadsSettingsMessagesAndCdbThenTheRightCommand)
{
    const SelectionCase cases[] = {
        {"REQUEST SENSE, sync offered", kSync, 3, 1, 0, kRequestSense, {0x83}, SelectWithAtnStop, 0x0050},
        {"INQUIRY to LUN 0, sync offered", kSync, 0, 1, 0, kInquiry, {0x80}, SelectWithAtnStop, 0x0050},
        {"INQUIRY to LUN 3 does not negotiate", kSync, 3, 1, 0, kInquiry, {0x83}, SelectWithAtn, kInFifo},
        {"REQUEST SENSE without sync", kNoSync, 0, 1, 0, kRequestSense, {0x80}, SelectWithAtn, kInFifo},
        {"REQUEST SENSE on a tagged LUN: no tag", kNoSync, 0, 16, 0xFFFFFFFF, kRequestSense, {0x80}, SelectWithAtn,
         kInFifo},
        {"READ on a tagged LUN: a simple tag, as asked", kNoSync, 0, 4, 0xFFFFFFE0, kRead10, {0xC0, 0x20, 0x05}, SelectWithAtn3,
         kInFifo | CB_TAGGED},
        {"READ untagged", kSync, 2, 1, 0, kRead10, {0xC2}, SelectWithAtn, kInFifo},
        {"no disconnect privilege", 0x00, 0, 1, 0, kTestUnitReady, {0x80}, SelectWithAtn, kInFifo},
    };
    for (const SelectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::AdapterSettings settings;
        settings.targets[2] = {c.targetFlags, 0};
        DriverFixture b(settings);
        LunRecord& lun = b.lun(2, c.lun);
        if (c.depth > 1) {
            lun.QueueDepth = c.depth;
            lun.FreeTags = c.freeTags;
        }
        b.ChipWrites();
        b.Execute(2, c.lun, c.cdb);

        const uint8_t config1 = 0x07 | ((c.targetFlags & sim::kTargetParity) ? 0x10 : 0);
        std::vector<PortAccess> expected = {Chip(DestinationId, 2), Chip(SyncPeriod, 0), Chip(SyncOffset, 0),
                                            Chip(Config1, config1), Chip(Config3, 0x08), Chip(Config4, 0x80),
                                            Chip(Command, FlushFifo)};
        for (uint8_t m : c.messages)
            expected.push_back(Chip(Fifo, m));
        for (uint8_t byte : c.cdb)
            expected.push_back(Chip(Fifo, byte));
        expected.push_back(Chip(Command, c.command));
        EXPECT_EQ(b.ChipWrites(), expected);

        ASSERT_EQ(b.ext()->ActiveLun, &lun);
        ASSERT_NE(lun.CurrentBlock, nullptr);
        EXPECT_EQ(lun.CurrentBlock->Flags, c.flags);
        EXPECT_EQ(lun.IssuedCount, 1);
        EXPECT_EQ(lun.QueuedCount, 1);
        EXPECT_EQ(lun.Phase, PHASE_NONE);
        EXPECT_EQ(lun.StatusByte, STATUS_BYTE_NONE);
        b.ExpectCleanEnd();
    }
}

TEST(Selection, RefusesACdbThatDoesNotFitTheFifoBesideItsMessages)
{
    struct Case {
        uint8_t depth;
        std::vector<uint8_t> cdb;
        uint8_t status;
    };
    const Case cases[] = {
        {4, std::vector<uint8_t>(13, 0x28), SRB_STATUS_PENDING},         // 3 message bytes + 13
        {4, std::vector<uint8_t>(14, 0x28), SRB_STATUS_INVALID_REQUEST},
        {1, std::vector<uint8_t>(15, 0x28), SRB_STATUS_PENDING},         // IDENTIFY + 15
        {1, std::vector<uint8_t>(16, 0x28), SRB_STATUS_INVALID_REQUEST},
        {1, {}, SRB_STATUS_INVALID_REQUEST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "depth " << int(c.depth) << ", CDB of " << c.cdb.size());
        DriverFixture b;
        if (c.depth > 1)
            MakeTagged(b.lun(0), c.depth);
        sim::Request& r = b.Execute(0, 0, c.cdb);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        EXPECT_EQ(b.FreeBlocks(), c.status == SRB_STATUS_PENDING ? COMMAND_BLOCK_COUNT - 1 : COMMAND_BLOCK_COUNT);
        b.ExpectCleanEnd();
    }
}


// A CDB longer than its operation code's group says (a pass-through request
// may pad one): the target takes the bytes it wants and goes on to its data
// phase with the rest still in the chip's FIFO. None of them may come in
// ahead of the data, nor go out as data.
TEST(Selection, ACdbLongerThanItsGroupLeavesNothingBehindForTheData)
{
    for (const uint8_t depth : {1, 4}) {
        SCOPED_TRACE(testing::Message() << "depth " << int(depth));
        DriverFixture b(AllFeatures(), {DiskAt(0)});
        if (depth > 1)
            MakeTagged(b.lun(0), depth);
        const std::vector<uint8_t> expected = b.Fill(0, 100, 1, 0x3C);
        std::vector<uint8_t> read = Read10(100, 1);
        read.resize(12);
        sim::PhysicalMemory::Buffer& in = b.Buffer(512);
        EXPECT_EQ(b.Run(0, 0, read, &in).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(in.data, in.data + 512), expected) << "read";

        std::vector<uint8_t> write = Write10(200, 1);
        write.resize(12);
        sim::PhysicalMemory::Buffer& out = b.Buffer(512);
        std::copy(expected.begin(), expected.end(), out.data);
        EXPECT_EQ(b.Run(0, 0, write, &out, DataDirection::Out).srb.SrbStatus, SRB_STATUS_SUCCESS);
        sim::PhysicalMemory::Buffer& back = b.Buffer(512);
        EXPECT_EQ(b.Run(0, 0, Read10(200, 1), &back).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(back.data, back.data + 512), expected) << "written";

        // A write longer than its buffer: the chip pads the rest, and fails
        // it as any data phase longer than its buffer; no CDB byte goes out
        // as data.
        const std::vector<uint8_t> write6 = {0x0A, 0, 1, 44, 2, 0, 0, 0, 0, 0, 0, 0};
        sim::Request& overrun = b.Run(0, 0, write6, &b.Buffer(513), DataDirection::Out);
        EXPECT_EQ(overrun.srb.SrbStatus & 0x3F, SRB_STATUS_ERROR);

        std::vector<uint8_t> sense = kRequestSense;
        sense.resize(8);
        sim::PhysicalMemory::Buffer& s = b.Buffer(18);
        std::fill_n(s.data, 18, 0xEE);
        EXPECT_EQ(b.Run(0, 0, sense, &s).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(s.data[0], 0x70) << "sense data";
        b.ExpectCleanEnd();
    }
}

// A selection is held back while the chip has an interrupt pending. When that
// interrupt is an illegal-command one (a command overtaken by a reset the
// driver has not read yet), nothing else would start the held-back command:
// the interrupt routine starts it. The illegal command is raised from outside
// at every moment of HwStartIo, before and after the selection is written.
TEST(Selection, HeldBackForAnIllegalCommandInterruptStartsAfterIt)
{
    int raised = 0;
    for (sim::Nanoseconds at = 0; at < 12 * sim::kMicrosecond; at += 250) {
        SCOPED_TRACE(at);
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        auto& buffer = fixture.Buffer(512);
        fixture.machine().clock().after(at, [&] {
            if (fixture.ext()->ActiveLun)
                return;  // the selection is written: too late
            raised++;    // the chip is idle: a transfer command is out of place
            fixture.machine().ports().write(uint16_t(DriverFixture::kIoBase + Command), sim::Width::Byte, TransferInfo);
        });
        sim::Request& r = fixture.Execute(0, 0, Read10(0, 1), &buffer, DataDirection::In);
        EXPECT_EQ(fixture.port().run_until_idle(), sim::PortDriver::RunResult::Idle);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(fixture.port().timeouts().time_outs(), 0u);
        EXPECT_LT(r.completed - r.submitted, 1 * sim::kMillisecond);
        // The test's own illegal command is the only rule broken.
        for (const sim::ModelError& e : fixture.machine().errors().all())
            EXPECT_NE(e.message.find("illegal-command interrupt"), std::string::npos) << e.to_string();
        fixture.machine().errors().clear();
        fixture.ExpectCleanEnd();
    }
    EXPECT_GT(raised, 4);
}

}  // namespace
}  // namespace hbatest
