// Starting a command on the bus: the target's settings, the FIFO's message
// and CDB bytes, and the selection command, exactly as the chip receives them.
#include "bench.h"

namespace requesttest {
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

TEST(Selection, LoadsSettingsMessagesAndCdbThenTheRightCommand)
{
    const SelectionCase cases[] = {
        {"REQUEST SENSE, sync offered", kSync, 3, 1, 0, kRequestSense, {0x83}, SelectWithAtnStop, 0x0050},
        {"INQUIRY to LUN 0, sync offered", kSync, 0, 1, 0, kInquiry, {0x80}, SelectWithAtnStop, 0x0050},
        {"INQUIRY to LUN 3 does not negotiate", kSync, 3, 1, 0, kInquiry, {0x83}, SelectWithAtn, 0x0040},
        {"REQUEST SENSE without sync", kNoSync, 0, 1, 0, kRequestSense, {0x80}, SelectWithAtn, 0x0040},
        {"REQUEST SENSE on a tagged LUN: no tag", kNoSync, 0, 16, 0xFFFFFFFF, kRequestSense, {0x80}, SelectWithAtn,
         0x0040},
        {"READ on a tagged LUN", kNoSync, 0, 4, 0xFFFFFFE0, kRead10, {0xC0, 0x22, 0x05}, SelectWithAtn3,
         CB_CONNECTED | CB_TAGGED},
        {"READ untagged", kSync, 2, 1, 0, kRead10, {0xC2}, SelectWithAtn, 0x0040},
        {"no disconnect privilege", 0x00, 0, 1, 0, kTestUnitReady, {0x80}, SelectWithAtn, 0x0040},
    };
    for (const SelectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::AdapterSettings settings;
        settings.targets[2] = {c.targetFlags, 0};
        Bench b(settings);
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
        Bench b;
        if (c.depth > 1)
            MakeTagged(b.lun(0), c.depth);
        sim::Request& r = b.Execute(0, 0, c.cdb);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        EXPECT_EQ(b.FreeBlocks(), c.status == SRB_STATUS_PENDING ? COMMAND_BLOCK_COUNT - 1 : COMMAND_BLOCK_COUNT);
        b.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace requesttest
