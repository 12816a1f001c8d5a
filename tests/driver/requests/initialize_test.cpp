// Adapter initialization: the seven chip writes, and the state the driver
// starts from.
#include "support/driver_fixture.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

std::vector<PortAccess> ChipAccesses(const sim::Machine& m, uint16_t ioBase)
{
    std::vector<PortAccess> out;
    for (const PortAccess& a : m.ports().recorded())
        if (a.port >= ioBase && a.port < ioBase + 0x60)
            out.push_back(a);
    return out;
}

TEST(Initialize, ProgramsTheChipWithSevenWritesAndReadsNothing)
{
    for (uint8_t options : {uint8_t(0x00), uint8_t(0x08)}) {
        sim::AdapterConfig a = AdapterAt(0, 3, 0xE800);
        a.settings.options = options;
        sim::Machine m(Machine(true, false, {a}));
        m.ports().record(true);
        m.boot(hba::linked_driver());
        const uint32_t config4 = options ? 0x84 : 0x80;
        EXPECT_EQ(ChipAccesses(m, 0xE800),
                  (std::vector<PortAccess>{Out8(0xE814, 0x99), Out8(0xE824, 0x00), Out8(0xE80C, 0x00),
                                           Out8(0xE82C, 0x48), Out8(0xE830, 0x08),
                                           Out8(0xE834, config4), Out8(0xE820, 0x00)}))
            << "options " << int(options);
        const AdapterExtension* ext = internals::Extension(m, 0);
        for (const auto& target : ext->Lun)
            for (const LunRecord& lun : target)
                ASSERT_EQ(lun.Config4, config4);
    }
}

TEST(Initialize, BuildsTheFreeListInArrayOrderAndAnIdleBus)
{
    sim::Machine m(Machine(true, false, {AdapterAt(0, 3, 0xE800)}));
    m.boot(hba::linked_driver());
    AdapterExtension* ext = internals::Extension(m, 0);
    const CommandBlock* b = ext->FreeBlocks;
    for (int i = 0; i < COMMAND_BLOCK_COUNT; i++) {
        ASSERT_EQ(b, &ext->Blocks[i]);
        EXPECT_EQ(b->Srb, nullptr);
        EXPECT_EQ(b->Flags, 0);
        EXPECT_EQ(b->SgCount, 0);
        b = b->Next;
    }
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(ext->ActiveLun, nullptr);
    EXPECT_EQ(ext->ServiceCursor, nullptr);
}

struct TargetCase {
    uint8_t flags;
    uint8_t speed;
    uint8_t config1;
    uint8_t identifyLun3;
    uint8_t syncClocks;
};

TEST(Initialize, DerivesEveryLunRecordFromItsTargetsSettings)
{
    // Initiator ID 7; one row per target.
    const TargetCase cases[8] = {
        {0x05, 0, 0x17, 0xC3, 4},     // parity and disconnect
        {0x00, 5, 0x07, 0x83, 13},    // nothing
        {0x01, 6, 0x17, 0x83, 20},    // parity only
        {0x04, 7, 0x07, 0xC3, 0},     // speed index 7 offers no sync period
        {0x16, 0x40, 0x07, 0xC3, 0},  // sync, disconnect, tagged; an index far past the table
        {0x02, 1, 0x07, 0x83, 5},
        {0x10, 2, 0x07, 0x83, 6},
        {0xFF, 200, 0x17, 0xC3, 0},
    };
    sim::AdapterConfig a = AdapterAt(0, 3, 0xE800);
    for (int t = 0; t < 8; t++)
        a.settings.targets[t] = {cases[t].flags, cases[t].speed};
    a.settings.tag_depth_shift = 3;
    sim::Machine m(Machine(true, false, {a}));
    m.boot(hba::linked_driver());
    const AdapterExtension* ext = internals::Extension(m, 0);
    EXPECT_EQ(ext->TagDepthShift, 3);
    for (int t = 0; t < 8; t++) {
        for (int l = 0; l < 8; l++) {
            const LunRecord& lun = ext->Lun[t][l];
            SCOPED_TRACE(testing::Message() << "target " << t << " lun " << l);
            EXPECT_EQ(lun.TargetId, t);
            EXPECT_EQ(lun.TargetFlags, cases[t].flags);
            EXPECT_EQ(lun.Config1, cases[t].config1);
            EXPECT_EQ(lun.IdentifyMsg, (cases[t].identifyLun3 & 0xC0) | l);
            EXPECT_EQ(lun.SyncClocks, cases[t].syncClocks);
            EXPECT_EQ(lun.SyncPeriodReg, 0);
            EXPECT_EQ(lun.SyncOffsetReg, 0);
            EXPECT_EQ(lun.Asynchronous, 1);
            EXPECT_EQ(lun.Config3, 0x08);
            EXPECT_EQ(lun.Config4, 0x80);
            EXPECT_EQ(lun.SelectCode, 0x42);
            EXPECT_EQ(lun.QueueDepth, 1);
            EXPECT_EQ(lun.FreeTags, 0u);
            EXPECT_EQ(lun.IssuedCount, 0);
            EXPECT_EQ(lun.QueuedCount, 0);
            EXPECT_EQ(lun.QueueHead, nullptr);
            EXPECT_EQ(lun.QueueTail, nullptr);
            EXPECT_EQ(lun.CurrentBlock, nullptr);
            EXPECT_EQ(lun.RingNext, nullptr);
            EXPECT_EQ(lun.RingPrev, nullptr);
        }
    }
}

TEST(Initialize, EachAdapterIsInitializedFromItsOwnSettings)
{
    sim::AdapterConfig first = AdapterAt(0, 3, 0xE800);
    sim::AdapterConfig second = AdapterAt(0, 4, 0xE400);
    first.settings.initiator_id = 7;
    second.settings.initiator_id = 5;
    for (auto& t : second.settings.targets)
        t = {0x00, 3};
    sim::Machine m(Machine(true, false, {first, second}));
    m.boot(hba::linked_driver());
    ASSERT_EQ(m.adapters().size(), 2u);
    EXPECT_EQ(internals::Extension(m, 0)->Lun[2][0].Config1, 0x17);
    EXPECT_EQ(internals::Extension(m, 0)->Lun[2][0].TargetFlags, 0x17);
    EXPECT_EQ(internals::Extension(m, 1)->Lun[2][0].Config1, 0x05);
    EXPECT_EQ(internals::Extension(m, 1)->Lun[2][0].SyncClocks, 7);
    EXPECT_EQ(internals::Extension(m, 1)->ReselectMask, 0xDF);
}

}  // namespace
}  // namespace hbatest
