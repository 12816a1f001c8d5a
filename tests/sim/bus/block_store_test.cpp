// A medium's written blocks: in memory while few, in a scratch file once they
// outgrow that; either way a block reads back as last written, unwritten
// blocks read as zeros, and forgetting the writes brings the medium back.
#include <gtest/gtest.h>

#include <vector>

#include "bus/block_device.h"

namespace hbatest {
namespace {

std::vector<uint8_t> Block(uint64_t lba, uint8_t round)
{
    std::vector<uint8_t> b(512);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<uint8_t>(lba * 7 + i + round);
    return b;
}

TEST(BlockStore, BlocksReadBackAsWrittenBeforeAndAfterTheyMoveToTheScratchFile)
{
    for (const uint64_t blocks : {uint64_t{64}, uint64_t{40000}}) {  // 32 KiB, then about 20 MiB
        SCOPED_TRACE(blocks);
        sim::BlockStore store(512, 65536);
        for (const uint8_t round : {0, 1})
            for (uint64_t lba = 0; lba < blocks; lba += 2)
                store.write(lba, Block(lba, round).data(), 1);
        for (uint64_t lba = 0; lba < blocks; lba += 997) {
            const uint64_t even = lba & ~uint64_t{1};
            EXPECT_EQ(store.read(even, 1), Block(even, 1)) << even;
            EXPECT_EQ(store.read(even + 1, 1), std::vector<uint8_t>(512, 0)) << even + 1;
        }
        store.forget_writes();
        EXPECT_EQ(store.read(0, 1), std::vector<uint8_t>(512, 0));
        store.write(0, Block(0, 2).data(), 1);
        EXPECT_EQ(store.read(0, 1), Block(0, 2));
    }
}

}  // namespace
}  // namespace hbatest
