#include "requests/bench.h"

namespace enginetest {
namespace {

using requesttest::Bench;

TEST(Smoke, InquiryThenReadOfADisk)
{
    sim::DeviceConfig disk;
    disk.id = 0;
    Bench b(frametest::AllFeatures(), {disk});
    auto& mem = b.machine().memory();
    auto& inq = mem.allocate(36, 0x10);
    sim::Request& r = b.Execute(0, 0, requesttest::kInquiry, &inq, sim::DataDirection::In);
    b.port().run_until_idle();
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(inq.data[0], 0x00);
    EXPECT_EQ(b.lun(0).QueueDepth, 8);
    auto& data = mem.allocate(4096, 0x800, sim::PhysicalMemory::Layout::Scattered);
    sim::Request& rd = b.Execute(0, 0, requesttest::kRead10, &data, sim::DataDirection::In);
    b.port().run_until_idle();
    EXPECT_EQ(rd.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(b.machine().errors().empty()) << b.machine().errors().summary();
    EXPECT_EQ(b.FreeBlocks(), COMMAND_BLOCK_COUNT);
}

}  // namespace
}  // namespace enginetest
