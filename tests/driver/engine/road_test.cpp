// Requests carried end to end through the driver, the chip and a disk: the
// read road, writes, a missing device, CHECK CONDITION, an overrun and the
// INQUIRY answers the driver looks at.
#include "support/driver_fixture.h"

namespace hbatest {
namespace {

using Kind = BusEvent::Kind;

// A disk, untagged and asynchronous unless a test negotiates.
DriverFixture DiskRig(sim::AdapterSettings settings = Flags(sim::kTargetParity | sim::kTargetDisconnect)) { return DriverFixture(settings, {DiskAt(0)}); }

TEST(Road, ReadOverScatteredPagesArrivesWhole)
{
    DriverFixture fixture = DiskRig();
    std::vector<uint8_t> expected = fixture.Fill(0, 100, 16, 0x31);
    auto& buffer = fixture.Buffer(16 * 512, 0x200);  // three pages, none next to another
    ASSERT_EQ(buffer.pages.size(), 3u);
    const auto& events = fixture.Watch();
    size_t mark = fixture.Mark();

    sim::Request& r = fixture.Run(0, 0, Read10(100, 16), &buffer);

    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.srb.ScsiStatus, 0x00);
    EXPECT_EQ(Bytes(buffer), expected);
    // One DMA start per scatter-gather entry.
    size_t starts = 0;
    for (const auto& a : fixture.ChipAccesses(mark))
        starts += a == Chip(DmaCommand, 0x83);
    EXPECT_EQ(starts, 3u);
    // Selection, command, data in, status, COMMAND COMPLETE, bus free.
    std::vector<Kind> kinds;
    for (const BusEvent& e : events)
        if (kinds.empty() || kinds.back() != e.kind)
            if (e.kind != Kind::Note && e.kind != Kind::Request && e.kind != Kind::Arbitration)
                kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Selection, Kind::MessageOut, Kind::Command, Kind::DataIn, Kind::Status,
                                        Kind::MessageIn, Kind::BusFree}));
    fixture.ExpectCleanEnd();
}

TEST(Road, WriteThenReadBackAcrossScatteredPages)
{
    struct Case {
        uint32_t offset;
        uint16_t blocks;
    };
    for (Case c : {Case{0x000, 8}, Case{0x300, 12}, Case{0xFFF, 1}}) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " blocks " << c.blocks);
        DriverFixture fixture = DiskRig();
        auto& out = fixture.Buffer(c.blocks * 512u, c.offset);
        for (uint32_t i = 0; i < out.length; i++)
            out.data[i] = uint8_t(i ^ (i >> 8) ^ 0x5A);
        EXPECT_EQ(fixture.Run(0, 0, Write10(7, c.blocks), &out, DataDirection::Out).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(fixture.device(0).store().read(7, c.blocks), Bytes(out));

        auto& in = fixture.Buffer(c.blocks * 512u, (c.offset + 0x480) & 0xFFF);
        EXPECT_EQ(fixture.Run(0, 0, Read10(7, c.blocks), &in).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(in), Bytes(out));
        fixture.ExpectCleanEnd();
    }
}

// The target takes fewer bytes than the buffer holds: the bytes the chip had
// already fetched into its FIFO count as not sent, nothing else is written.
TEST(Road, WriteShorterThanTheBuffer)
{
    DriverFixture fixture = DiskRig();
    std::vector<uint8_t> before = fixture.Fill(0, 0, 4, 0x11);
    auto& out = fixture.Buffer(3 * 4096, 0x100);
    for (uint32_t i = 0; i < out.length; i++)
        out.data[i] = uint8_t(0xC0 + i);
    EXPECT_EQ(fixture.Run(0, 0, Write10(1, 1), &out, DataDirection::Out).srb.SrbStatus, SRB_STATUS_SUCCESS);
    std::vector<uint8_t> expected = before;
    std::copy_n(out.data, 512, expected.begin() + 512);
    EXPECT_EQ(fixture.device(0).store().read(0, 4), expected);
    fixture.ExpectCleanEnd();
}

// What a target does with the selection: answer it and carry the command,
// not answer it, or take the command and leave the bus at once.
class SelectionAnswer : public sim::TargetFaultHooks {
public:
    enum class Does { Carry, Ignore, Leave };
    explicit SelectionAnswer(Does does) : does_(does) {}
    bool answers_selection(sim::Target& /*target*/) override { return does_ != Does::Ignore; }
    void command_planned(sim::Target& /*target*/, sim::PlannedCommand& command) override
    {
        if (does_ == Does::Leave)
            command.steps = {{sim::Target::Step::Kind::Free}};
    }

private:
    Does does_;
};

// Only a selection nobody answered ends as a selection time-out, whatever the
// selection put into the FIFO (IDENTIFY alone or with a queue tag, a CDB of
// 6 or 10 bytes, the selection that stops for SDTR). A target that answered
// and dropped the bus at once, before any phase the driver sees, took bytes
// out of the FIFO: its command failed.
TEST(Road, OnlyASelectionNobodyAnsweredIsASelectionTimeOut)
{
    using Does = SelectionAnswer::Does;
    struct Case {
        const char* what;
        uint8_t flags;
        int target;
        bool tagged;
        std::vector<uint8_t> cdb;
        Does does;
        uint8_t status;
    };
    constexpr uint8_t kPlain = sim::kTargetParity | sim::kTargetDisconnect;
    constexpr uint8_t kAll = kPlain | sim::kTargetSync | sim::kTargetTagged;
    const Case cases[] = {
        {"INQUIRY to an empty ID", kPlain, 3, false, Inquiry(0, 36), Does::Carry, SRB_STATUS_SELECTION_TIMEOUT},
        {"INQUIRY with SDTR to an empty ID", kAll, 3, false, Inquiry(0, 36), Does::Carry,
         SRB_STATUS_SELECTION_TIMEOUT},
        {"READ to an empty ID", kPlain, 3, false, Read10(0, 1), Does::Carry, SRB_STATUS_SELECTION_TIMEOUT},
        {"tagged READ, the disk does not answer", kAll, 0, true, Read10(0, 1), Does::Ignore,
         SRB_STATUS_SELECTION_TIMEOUT},
        {"READ, the disk leaves after the command", kPlain, 0, false, Read10(0, 1), Does::Leave, SRB_STATUS_ERROR},
        {"tagged READ, the disk leaves after the command", kAll, 0, true, Read10(0, 1), Does::Leave,
         SRB_STATUS_ERROR},
        {"INQUIRY, the disk leaves after the command", kPlain, 0, false, Inquiry(0, 36), Does::Leave,
         SRB_STATUS_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture = DiskRig(Flags(c.flags));
        if (c.tagged) {
            Inquire(fixture, uint8_t(c.target));
            ASSERT_GT(fixture.lun(c.target).QueueDepth, 1);
        }
        SelectionAnswer hooks(c.does);
        fixture.device(0).set_fault_hooks(&hooks);
        auto& buffer = fixture.Buffer(512);
        sim::Request& r = fixture.Run(c.target, 0, c.cdb, &buffer);
        fixture.device(0).set_fault_hooks(nullptr);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        EXPECT_EQ(r.srb.ScsiStatus, 0x00);
        EXPECT_EQ(fixture.lun(c.target).IssuedCount, 0);
        fixture.ExpectCleanEnd();
    }
}

TEST(Road, CheckConditionThenRequestSenseReturnsTheSense)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> cdb;
        uint8_t key, asc;
    };
    const Case cases[] = {
        {"read beyond the last block", Read10(65536, 1), 0x05, 0x21},
        {"unsupported operation code", {0xC7, 0, 0, 0, 0, 0}, 0x05, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Negotiation rides on REQUEST SENSE too: let it happen.
        DriverFixture fixture = DiskRig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync));
        auto& data = fixture.Buffer(512);
        sim::Request& failed = fixture.Run(0, 0, c.cdb, &data);
        // The port driver fetched the sense with its own REQUEST SENSE.
        EXPECT_EQ(failed.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
        EXPECT_EQ(failed.srb.ScsiStatus, 0x02);
        EXPECT_EQ(failed.srb.SenseInfoBufferLength, 18);
        EXPECT_EQ(failed.sense[0] & 0x7F, 0x70);
        EXPECT_EQ(failed.sense[2] & 0x0F, c.key);
        EXPECT_EQ(failed.sense[12], c.asc);
        EXPECT_EQ(fixture.port().adapter(0).sense_requests, 1u);
        EXPECT_TRUE(fixture.device(0).agreement().synchronous());
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);

        // Asked for again, the sense is gone: the port driver's fetch took it.
        auto& sense = fixture.Buffer(18);
        sim::Request& r = fixture.Run(0, 0, kRequestSense, &sense);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(sense.data[2] & 0x0F, 0);
        fixture.ExpectCleanEnd();
    }
}

// The target sends 8 blocks into a 1-block buffer: the rest is padded and the
// request fails as CHECK CONDITION; the first block still arrives.
TEST(Road, OverrunIsPaddedAndFails)
{
    DriverFixture fixture = DiskRig();
    fixture.NoSense();  // the flags at this command's own status phase
    std::vector<uint8_t> expected = fixture.Fill(0, 0, 8, 0x77);
    auto& buffer = fixture.Buffer(512, 0xF00);
    uint16_t flagsAtStatus = 0;
    fixture.OnEvent([&](const BusEvent& e) {
        if (e.kind == Kind::Status && fixture.lun(0).CurrentBlock)
            flagsAtStatus = fixture.lun(0).CurrentBlock->Flags;
    });
    sim::Request& r = fixture.Run(0, 0, Read10(0, 8), &buffer);
    EXPECT_TRUE(flagsAtStatus & CB_OVERRUN);
    EXPECT_EQ(r.srb.SrbStatus & 0x3F, SRB_STATUS_ERROR);
    EXPECT_EQ(r.srb.ScsiStatus, 0x02);
    EXPECT_EQ(Bytes(buffer), std::vector<uint8_t>(expected.begin(), expected.begin() + 512));
    fixture.ExpectCleanEnd();
}

TEST(Road, InquiryAnswersSetStatusDepthAndTaggedBit)
{
    const uint8_t both = sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged;
    struct Case {
        const char* what;
        sim::DeviceConfig device;
        uint8_t flags, shift, lun;
        uint8_t srbStatus;
        uint32_t length;  // DataTransferLength afterwards
        uint8_t depth;
        uint8_t byte7;  // as the requester sees it
    };
    sim::TargetOptions untagged;
    untagged.tagged_queuing = false;
    const Case cases[] = {
        {"empty LUN", DiskAt(0), both, 2, 1, SRB_STATUS_DATA_OVERRUN, 5, 1, 0x00},
        {"tagged disk, settings allow", DiskAt(0), both, 2, 0, SRB_STATUS_SUCCESS, 36, 8, 0x12},
        {"shift 0", DiskAt(0), both, 0, 0, SRB_STATUS_SUCCESS, 36, 2, 0x12},
        {"shift 3", DiskAt(0), both, 3, 0, SRB_STATUS_SUCCESS, 36, 16, 0x12},
        {"shift 7 is still 16", DiskAt(0), both, 7, 0, SRB_STATUS_SUCCESS, 36, 16, 0x12},
        {"no TF_TAGGED", DiskAt(0), sim::kTargetParity | sim::kTargetDisconnect, 2, 0, SRB_STATUS_SUCCESS, 36, 1, 0x10},
        {"no TF_DISCONNECT", DiskAt(0), sim::kTargetParity | sim::kTargetTagged, 2, 0, SRB_STATUS_SUCCESS, 36, 1, 0x10},
        {"disk without tagged queuing", DiskAt(0, untagged), both, 2, 0, SRB_STATUS_SUCCESS, 36, 1, 0x10},
        {"optical drive offering tags", OpticalAt(0, true), both, 2, 0, SRB_STATUS_SUCCESS, 36, 1, 0x12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(c.flags, 0, c.shift), {c.device});
        auto& buffer = fixture.Buffer(36);
        sim::Request& r = fixture.Run(0, c.lun, Inquiry(c.lun, 36), &buffer);
        EXPECT_EQ(r.srb.SrbStatus, c.srbStatus);
        EXPECT_EQ(r.srb.DataTransferLength, c.length);
        EXPECT_EQ(fixture.lun(0, c.lun).QueueDepth, c.depth);
        if (c.depth > 1) {
            EXPECT_EQ(fixture.lun(0, c.lun).FreeTags, 0xFFFFFFFFu);
        }
        if (c.srbStatus == SRB_STATUS_SUCCESS) {
            EXPECT_EQ(buffer.data[7], c.byte7);
        }
        fixture.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace hbatest
