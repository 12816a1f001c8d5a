// Command block preparation: the scatter-gather list the DMA engine will use,
// built from the port driver's physical-address answers, and the queue tag.
#include "support/driver_fixture.h"

namespace hbatest {
namespace {

using Layout = sim::PhysicalMemory::Layout;

struct SgCase {
    const char* name;
    uint32_t length;
    uint32_t offset;
    Layout layout;
    size_t entries;
};

TEST(Prepare, OneEntryPerPhysicallyContiguousPieceUnmergedAndUnsplit)
{
    const SgCase cases[] = {
        {"contiguous memory", 0x6000, 0x123, Layout::Contiguous, 1},
        {"4 KiB across two separate pages at 0x800", 0x1000, 0x800, Layout::Scattered, 2},
        {"64 KiB from mid-page, no two pages contiguous", 0x10000, 0x800, Layout::Scattered, 17},
        {"a page-aligned 64 KiB, scattered", 0x10000, 0, Layout::Scattered, 16},
        {"one byte", 1, 0xFFF, Layout::Scattered, 1},
    };
    for (const SgCase& c : cases) {
        SCOPED_TRACE(c.name);
        DriverFixture b;
        sim::PhysicalMemory::Buffer& buffer = b.machine().memory().allocate(c.length, c.offset, c.layout);
        b.Execute(4, 0, kRead10, &buffer, sim::DataDirection::In);
        const CommandBlock* block = b.lun(4).CurrentBlock;
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(block->SgCount, c.entries);
        // Walk the buffer page by page: every entry is exactly one contiguous piece.
        uint32_t done = 0;
        for (size_t i = 0; i < c.entries; i++) {
            const uint32_t at = c.offset + done;
            const uint32_t expectedPhysical = buffer.pages[at / 4096] * 4096 + at % 4096;
            EXPECT_EQ(block->Sg[i].PhysicalAddress, expectedPhysical) << "entry " << i;
            done += block->Sg[i].Length;
        }
        EXPECT_EQ(done, c.length);
        if (c.layout == Layout::Scattered && c.entries > 1) {
            EXPECT_EQ(block->Sg[0].Length, 4096 - c.offset);
            EXPECT_EQ(block->Sg[c.entries - 1].Length, (c.offset + c.length - 1) % 4096 + 1);
        }
        // Linked with the data pointers at the start of the list.
        EXPECT_EQ(block->CurSg, &block->Sg[0]);
        EXPECT_EQ(block->SavedSg, &block->Sg[0]);
        EXPECT_EQ(block->SgLeft, c.entries);
        EXPECT_EQ(block->SavedSgLeft, c.entries);
        EXPECT_EQ(block->CurOffset, 0u);
        b.ExpectCleanEnd();
    }
}

TEST(Prepare, ARequestWithoutDataHasNoEntries)
{
    DriverFixture b;
    b.Execute(4, 0, kTestUnitReady);
    const CommandBlock* block = b.lun(4).CurrentBlock;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->SgCount, 0);
    EXPECT_EQ(block->SgLeft, 0);
    for (const SgEntry& e : block->Sg)
        EXPECT_TRUE(e.PhysicalAddress == 0 && e.Length == 0);
    EXPECT_EQ(b.ext()->PathId, 0u);
    b.ExpectCleanEnd();
}

TEST(Prepare, ABufferNeedingAnEighteenthEntryIsRefusedWithoutTakingABlock)
{
    DriverFixture b;
    sim::PhysicalMemory::Buffer& buffer = b.machine().memory().allocate(0x10801, 0x800, Layout::Scattered);
    sim::Request& r = b.Execute(4, 0, kRead10, &buffer, sim::DataDirection::In);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
    EXPECT_EQ(b.lun(4).QueuedCount, 0);
    EXPECT_EQ(b.ext()->ActiveLun, nullptr);
    b.ExpectCleanEnd();
}

TEST(Prepare, TagsComeFromTheLowestFreeBitAndTheRequestedQueueAction)
{
    struct Case {
        const char* name;
        uint8_t depth;
        ULONG freeTags;
        bool actionEnable;
        uint8_t action;
        uint8_t tagMessage;
        uint8_t tag;
        ULONG freeTagsAfter;
    };
    const Case cases[] = {
        {"tags 0-2 in use", 4, 0xFFFFFFF8, false, 0, 0x22, 3, 0xFFFFFFF0},
        {"ordered unless asked", 16, 0xFFFFFFFF, false, 0x20, 0x22, 0, 0xFFFFFFFE},
        {"simple when asked", 16, 0xFFFFFFFF, true, 0x20, 0x20, 0, 0xFFFFFFFE},
        {"the last tag", 16, 0x80000000, true, 0x22, 0x22, 31, 0x00000000},
        {"untagged LUN: no tag", 1, 0, true, 0x20, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriverFixture b;
        LunRecord& lun = b.lun(5, 1);
        lun.QueueDepth = c.depth;
        lun.FreeTags = c.freeTags;
        sim::RequestSpec request_spec;
        request_spec.target = 5;
        request_spec.lun = 1;
        request_spec.path = 0;
        request_spec.cdb = kRead10;
        request_spec.queue_action_enable = c.actionEnable;
        request_spec.queue_action = c.action;
        b.Submit(request_spec);
        const CommandBlock* block = lun.CurrentBlock;
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->TagMessage, c.tagMessage);
        EXPECT_EQ(block->Tag, c.tag);
        EXPECT_EQ(lun.FreeTags, c.freeTagsAfter);
        b.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace hbatest
