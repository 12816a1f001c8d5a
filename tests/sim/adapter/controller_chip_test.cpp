// The chip driven through its registers, one phase at a time, as the driver
// drives it: selection, DMA data phases, status and message bytes, pad,
// residuals and drain, time-outs, bus reset and illegal commands.
#include "support/chip_host.h"

namespace hbatest::chiphost {
namespace {

constexpr uint32_t kBufA = 0x10000;
constexpr uint32_t kBufB = 0x31000;  // a second, scattered page run

struct ChipTest : ::testing::Test {
    ChipTest() : disk(f.add_disk(0)), host(f) {}
    void TearDown() override { EXPECT_TRUE(f.errors.empty()) << f.errors.summary(); }
    void select(uint8_t target, uint8_t identify, const std::vector<uint8_t>& cdb, uint8_t code = 0x42)
    {
        host.load_target(target);
        host.command(0x01);
        host.out8(Fifo, identify);
        for (uint8_t b : cdb)
            host.out8(Fifo, b);
        host.command(code);
    }
    // Status phase to bus free: ICC, the two bytes, MessageAccepted, disconnect.
    uint8_t finish_command()
    {
        host.command(0x01);
        host.command(0x11);
        Interrupt irq = host.next();
        EXPECT_EQ(irq.cause, 0x08);
        EXPECT_EQ(irq.phase(), 7);
        EXPECT_EQ(host.in8(FifoFlags) & 0x1F, 2);
        uint8_t status = host.in8(Fifo);
        EXPECT_EQ(host.in8(Fifo), 0x00);  // COMMAND COMPLETE
        host.command(0x12);
        EXPECT_EQ(host.next().cause, 0x20);
        return status;
    }

    Fixture f;
    Disk& disk;
    Host host;
};

TEST_F(ChipTest, ReadsThroughTwoDmaTransfersAndCompletes)
{
    std::vector<uint8_t> data = Pattern(4096, 3);
    disk.store().write(16, data.data(), 8);
    f.memory.allow(kBufA, 0x1000, true);
    f.memory.allow(kBufB, 0x1000, true);

    select(0, 0x80, Read10(16, 8));
    Interrupt irq = host.next();
    EXPECT_EQ(irq.cause, 0x18);
    EXPECT_EQ(irq.phase(), 1);

    host.program_dma(true, kBufA, 0xC00);
    irq = host.next();
    EXPECT_EQ(irq.cause, 0x10);
    EXPECT_EQ(irq.phase(), 1);  // more data follows in the same phase
    EXPECT_EQ(host.transfer_count(), 0u);
    // The last bytes are still in flight; the working count reaches zero as time passes.
    uint32_t polls = 0;
    while (host.in32(DmaWorkingCount) & 0xFFFFFF)
        ASSERT_LT(++polls, 100u);

    host.program_dma(true, kBufB, 0x400);
    irq = host.next();
    EXPECT_EQ(irq.cause, 0x10);
    EXPECT_EQ(irq.phase(), 3);
    while (host.in32(DmaWorkingCount) & 0xFFFFFF)
        ASSERT_LT(++polls, 200u);

    EXPECT_EQ(finish_command(), 0x00);
    std::vector<uint8_t> got = f.memory.bytes(kBufA, 0xC00);
    std::vector<uint8_t> tail = f.memory.bytes(kBufB, 0x400);
    got.insert(got.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, data);
}

TEST_F(ChipTest, WritesMemoryToTheDisk)
{
    std::vector<uint8_t> data = Pattern(1024, 9);
    f.memory.fill(kBufA, data);
    f.memory.allow(kBufA, 1024, false);

    select(0, 0x80, Write10(5, 2));
    Interrupt irq = host.next();
    EXPECT_EQ(irq.phase(), 0);
    host.program_dma(false, kBufA, 600);
    EXPECT_EQ(host.next().phase(), 0);
    host.program_dma(false, kBufA + 600, 424);
    EXPECT_EQ(host.next().phase(), 3);
    EXPECT_EQ(finish_command(), 0x00);
    EXPECT_EQ(disk.store().read(5, 2), data);
}

TEST_F(ChipTest, SelectionOfAnAbsentTargetTimesOutAsADisconnect)
{
    Nanoseconds start = f.clock.now();
    select(4, 0x80, {0, 0, 0, 0, 0, 0});
    Interrupt irq = host.next();
    EXPECT_EQ(irq.cause, 0x20);
    Nanoseconds waited = f.clock.now() - start;
    EXPECT_GE(waited, 250 * kMillisecond);
    EXPECT_LT(waited, 252 * kMillisecond);
    EXPECT_FALSE(f.chip.connected());
}

struct CheckCase {
    const char* name;
    std::vector<uint8_t> cdb;
    uint8_t sense_key;
    uint8_t asc;
};

TEST_F(ChipTest, CheckConditionLeavesSenseForRequestSense)
{
    const CheckCase cases[] = {
        {"lba out of range", Read10(65535, 2), 0x05, 0x21},
        {"unsupported opcode", {0xC7, 0, 0, 0, 0, 0}, 0x05, 0x20},
        {"lun not present", {0x00, 0x20, 0, 0, 0, 0}, 0x05, 0x25},
    };
    f.memory.allow(kBufA, 64, true);
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t lun = c.cdb[1] >> 5;
        select(0, uint8_t(0x80 | lun), c.cdb);
        Interrupt irq = host.next();
        ASSERT_EQ(irq.phase(), 3);
        EXPECT_EQ(finish_command(), 0x02);

        select(0, uint8_t(0x80 | lun), {0x03, 0, 0, 0, 18, 0});
        ASSERT_EQ(host.next().phase(), 1);
        host.program_dma(true, kBufA, 18);
        ASSERT_EQ(host.next().phase(), 3);
        EXPECT_EQ(finish_command(), 0x00);
        std::vector<uint8_t> sense = f.memory.bytes(kBufA, 18);
        EXPECT_EQ(sense[0], 0x70);
        EXPECT_EQ(sense[2], c.sense_key);
        EXPECT_EQ(sense[12], c.asc);
    }
}

// The buffer ends before the target's data: the rest is padded away and the
// counter shows how much was discarded.
TEST_F(ChipTest, PadDiscardsDataBeyondTheBuffer)
{
    f.memory.allow(kBufA, 1024, true);
    select(0, 0x80, Read10(0, 4));
    ASSERT_EQ(host.next().phase(), 1);
    host.program_dma(true, kBufA, 1024);
    ASSERT_EQ(host.next().phase(), 1);
    while (host.in32(DmaWorkingCount) & 0xFFFFFF) {
    }
    host.load_transfer_count(0xFFFFFF);
    host.command(0x98);
    Interrupt irq = host.next();
    EXPECT_EQ(irq.phase(), 3);
    EXPECT_EQ(host.transfer_count(), 0xFFFFFFu - 1024);
    EXPECT_EQ(finish_command(), 0x00);
}

// The target leaves data in after part of the transfer: the counter keeps the
// residual and the last bytes reach memory only with the drain.
TEST_F(ChipTest, DataInStoppedEarlyKeepsResidualAndNeedsDrain)
{
    std::vector<uint8_t> data = Pattern(512, 1);
    disk.store().write(0, data.data(), 1);
    disk.options().mid_data_disconnect_chance = 1.0;
    f.memory.allow(kBufA, 512, true);

    select(0, 0xC0, Read10(0, 1));
    ASSERT_EQ(host.next().phase(), 1);
    host.program_dma(true, kBufA, 512);
    Interrupt irq = host.next();
    ASSERT_EQ(irq.phase(), 7);  // SAVE DATA POINTER
    uint32_t residual = host.transfer_count();
    ASSERT_GT(residual, 0u);
    ASSERT_LT(residual, 512u);
    uint32_t arrived = 512 - residual;
    size_t held = f.chip.dma().held();
    EXPECT_GT(held, 0u);
    EXPECT_EQ(f.memory.bytes(kBufA + arrived - held, held), std::vector<uint8_t>(held, 0xEE));
    EXPECT_FALSE(host.in8(DmaStatus) & 0x20);
    host.out8(DmaCommand, 0x81);
    while (!(host.in8(DmaStatus) & 0x20)) {
    }
    EXPECT_EQ(f.memory.bytes(kBufA, arrived), std::vector<uint8_t>(data.begin(), data.begin() + arrived));
}

// Data out stopped early: counter plus FIFO count is what was not sent.
TEST_F(ChipTest, DataOutStoppedEarlyCountsPrefetchedBytesInTheFifo)
{
    disk.options().mid_data_disconnect_chance = 1.0;
    f.memory.fill(kBufA, Pattern(1024, 5));
    f.memory.allow(kBufA, 1024, false);
    select(0, 0xC0, Write10(0, 2));
    ASSERT_EQ(host.next().phase(), 0);
    host.program_dma(false, kBufA, 1024);
    Interrupt irq = host.next();
    ASSERT_EQ(irq.phase(), 7);
    uint32_t fifo = host.in8(FifoFlags) & 0x1F;
    EXPECT_GT(fifo, 0u);
    uint32_t residual = host.transfer_count() + fifo;
    // What the target has is exactly what the residual says was sent.
    host.command(0x01);
    host.command(0x10);
    ASSERT_EQ(host.next().cause, 0x08);
    EXPECT_EQ(host.in8(Fifo), 0x02);
    EXPECT_GT(residual, 0u);
    EXPECT_LT(residual, 1024u);
}

TEST_F(ChipTest, BusResetInterruptsAfterTheDelayAndTargetsForgetTheirCommands)
{
    disk.options().mid_data_disconnect_chance = 1.0;
    f.memory.allow(kBufA, 512, true);
    select(0, 0xC0, Read10(0, 1));
    ASSERT_EQ(host.next().phase(), 1);
    host.program_dma(true, kBufA, 512);
    ASSERT_EQ(host.next().phase(), 7);
    host.out8(DmaCommand, 0x81);
    host.command(0x03);
    Interrupt irq = host.next();
    EXPECT_EQ(irq.cause, 0x80);
    EXPECT_EQ(disk.commands_held(), 0u);
    EXPECT_FALSE(f.chip.connected());
    // The bus is usable again: a new command runs.
    f.clock.advance(100 * kMicrosecond);
    select(0, 0x80, {0x00, 0, 0, 0, 0, 0});
    ASSERT_EQ(host.next().phase(), 3);
    EXPECT_EQ(finish_command(), 0x00);
}

TEST(ChipReset, InterruptCanBeConfiguredNeverToCome)
{
    ChipTiming timing;
    timing.reset_interrupt.reset();
    Fixture f(1, timing);
    Host host(f);
    host.command(0x03);
    EXPECT_FALSE(host.wait_line(10 * kMillisecond));
    EXPECT_TRUE(f.errors.empty()) << f.errors.summary();
}

TEST(ChipReset, ResetFromElsewhereOnTheBusInterrupts)
{
    Fixture f;
    Host host(f);
    f.bus.assert_reset();
    EXPECT_EQ(host.next().cause, 0x80);
}

// Commands that make no sense where they are issued: the illegal-command
// interrupt, and a model error naming the command.
TEST(ChipIllegal, CommandsOutOfPlaceRaiseIllegalCommand)
{
    struct Case {
        const char* name;
        bool connect;  // selected, target in the data-in phase
        uint8_t code;
    };
    const Case cases[] = {
        {"transfer with no target", false, 0x10},
        {"status with no target", false, 0x11},
        {"message accepted with nothing held", true, 0x12},
        {"DMA with no target", false, 0x90},
        {"command-phase transfer in data in", true, 0x10},
        {"status sequence in data in", true, 0x11},
        {"select while connected", true, 0x42},
        {"enable reselection while connected", true, 0x44},
        {"unknown command", false, 0x02},
        {"non-DMA pad", false, 0x18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.add_disk(0);
        Host host(f);
        if (c.connect) {
            host.load_target(0);
            host.select_with_atn(0x80, Read10(0, 1));
            ASSERT_EQ(host.next().phase(), 1);
            host.out8(Fifo, 0x80);
        }
        host.command(c.code);
        EXPECT_EQ(host.next(10 * kMillisecond).cause, 0x40);
        EXPECT_FALSE(f.errors.empty());
    }
}

TEST(ChipIllegal, DmaPhaseMismatchAndUnprogrammedEngineAreModelErrors)
{
    Fixture f;
    f.add_disk(0);
    f.memory.allow(kBufA, 512, true);
    Host host(f);
    host.load_target(0);
    host.select_with_atn(0x80, Read10(0, 1));
    ASSERT_EQ(host.next().phase(), 1);
    host.load_transfer_count(512);
    host.command(0x90);
    host.out8(DmaCommand, 0x03);  // data out, never programmed
    EXPECT_NE(f.errors.summary().find("without DmaTransferCount"), std::string::npos) << f.errors.summary();
    f.errors.clear();
    host.program_dma(false, kBufA, 512);
    EXPECT_NE(f.errors.summary().find("started for data out while the target is in DATA IN"), std::string::npos)
        << f.errors.summary();
}

TEST(ChipFifo, OverflowIsAModelErrorAndTheByteIsLost)
{
    Fixture f;
    Host host(f);
    for (int i = 0; i < 17; i++)
        host.out8(Fifo, uint8_t(i));
    EXPECT_EQ(host.in8(FifoFlags) & 0x1F, 16);
    EXPECT_NE(f.errors.summary().find("FIFO overflow"), std::string::npos);
}

TEST(ChipRegisters, WrongWidthAndUndefinedRegistersAreModelErrors)
{
    Fixture f;
    Host host(f);
    f.ports.write(kBase + DmaAddress, Width::Byte, 1);
    f.ports.read(kBase + 0x28, Width::Byte);
    f.ports.read(kBase + SyncPeriod, Width::Byte);
    EXPECT_EQ(f.errors.all().size(), 3u) << f.errors.summary();
}

TEST(ChipTimeout, SelectionTimeoutFollowsTheRegisters)
{
    Fixture f;
    Host host(f);
    EXPECT_EQ(f.chip.selection_timeout(), 8192u * 25 * 8 * 0x99);
}

}  // namespace
}  // namespace hbatest::chiphost
