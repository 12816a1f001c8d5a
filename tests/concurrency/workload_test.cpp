// Many commands at once on one bus: disconnecting disks that share the bus
// while they seek, a tagged LUN that finishes out of order, and a target
// that refuses commands with QUEUE FULL.
#include <algorithm>
#include <random>

#include "concurrency/rig.h"

namespace concurrencytest {
namespace {

constexpr sim::Nanoseconds kUs = sim::kMicrosecond;
constexpr sim::Nanoseconds kMs = sim::kMillisecond;
constexpr uint8_t kSimpleTag = 0x20;

TEST(Workload, FourSeekingDisksShareTheBusAndEveryByteChecksOut)
{
    sim::TargetOptions t;
    t.disconnect = true;
    std::vector<sim::DeviceConfig> disks;
    for (uint8_t id = 0; id < 4; id++)
        disks.push_back(DiskAt(id, t, 300 * kUs, 6 * kMs, 4 * kMs));
    Bench b(frametest::AllFeatures(), disks);
    BusTrace trace(b.machine().bus(0));
    Workload w(b);

    std::mt19937 rng(7);
    for (int round = 0; round < 30; round++) {
        for (uint8_t id = 0; id < 4; id++) {
            // Three commands per disk at distinct 8-block regions.
            std::vector<uint32_t> regions(64);
            for (uint32_t i = 0; i < 64; i++)
                regions[i] = i;
            std::shuffle(regions.begin(), regions.end(), rng);
            for (int k = 0; k < 3; k++)
                w.Issue(id, rng() % 2 == 0, regions[k] * 8 * 7 % 4000, uint16_t(1 + rng() % 8));
        }
        b.port().run_until_idle(60 * sim::kSecond);
    }
    EXPECT_EQ(w.good(), w.issued());
    EXPECT_EQ(w.bad(), 0u);
    w.ExpectMediaMatches();
    ExpectClean(b);
    // While a disk seeks, another target has the bus.
    for (uint8_t id = 0; id < 4; id++) {
        EXPECT_GT(trace.count(BusEvent::Kind::Reselection, id), 0u) << "target " << int(id);
        EXPECT_TRUE(trace.OtherSelectedWhileDisconnected(id)) << "target " << int(id);
    }
}

TEST(Workload, SixteenTaggedCommandsRunAtOnceAndFinishOutOfOrder)
{
    sim::AdapterSettings settings = frametest::AllFeatures();
    settings.tag_depth_shift = 3;
    sim::TargetOptions t;
    t.queue_limit = 16;
    Bench b(settings, {DiskAt(2, t, 2 * kMs, 5 * kMs, 4 * kMs)});
    Inquire(b, 2);
    ASSERT_EQ(b.lun(2).QueueDepth, 16);
    Workload w(b);

    std::vector<uint64_t> submitted;
    for (uint32_t i = 0; i < 16; i++)
        submitted.push_back(w.Issue(2, i % 3 == 0, 100 + (i * 397) % 3800, uint16_t(1 + i % 4), kSimpleTag).id);
    unsigned most = 0;
    auto* disk = b.machine().bus(0).target(2);
    while (b.port().outstanding() + b.port().waiting() > 0) {
        b.port().run_for(20 * kUs);
        most = std::max(most, unsigned(disk->commands_held()));
        most = std::max(most, unsigned(b.lun(2).IssuedCount));
    }
    EXPECT_EQ(most, 16u);
    EXPECT_EQ(w.good(), 16u);
    EXPECT_EQ(w.bad(), 0u);
    EXPECT_NE(w.completion_order(), submitted);
    w.ExpectMediaMatches();
    ExpectClean(b);
}

TEST(Workload, QueueFullLowersTheDepthAndTheRefusedCommandsStillComplete)
{
    sim::AdapterSettings settings = frametest::AllFeatures();
    settings.tag_depth_shift = 3;
    sim::TargetOptions t;
    t.queue_limit = 4;
    Bench b(settings, {DiskAt(1, t, 200 * kUs, 5 * kMs, 4 * kMs)});
    BusTrace trace(b.machine().bus(0));
    Inquire(b, 1);
    ASSERT_EQ(b.lun(1).QueueDepth, 16);
    Workload w(b);

    for (uint32_t i = 0; i < 16; i++)
        w.Issue(1, i % 2 == 0, i * 64, 2);
    b.port().run_until_idle(60 * sim::kSecond);

    size_t queue_full = 0;
    for (const BusEvent& e : trace.events())
        queue_full += e.kind == BusEvent::Kind::Status && e.byte == 0x28;
    EXPECT_GT(queue_full, 0u);
    // The target holds four; the driver learnt that and stays there.
    EXPECT_EQ(b.lun(1).QueueDepth, 4);
    EXPECT_EQ(w.good(), 16u);
    EXPECT_EQ(w.bad(), 0u);
    w.ExpectMediaMatches();
    ExpectClean(b);
}

// A head-of-queue request on a LUN with commands already started goes
// behind the started ones and ahead of those still waiting: it is the next
// one of its LUN to be sent, and no started command is sent twice.
TEST(Workload, HeadOfQueueRequestGoesBehindTheStartedCommands)
{
    sim::AdapterSettings settings = frametest::AllFeatures();
    settings.tag_depth_shift = 1;  // four at a time
    sim::TargetOptions t;
    t.queue_limit = 16;
    Bench b(settings, {DiskAt(3, t, 2 * kMs, 5 * kMs, 1 * kMs)});
    BusTrace trace(b.machine().bus(0));
    Inquire(b, 3);
    ASSERT_EQ(b.lun(3).QueueDepth, 4);
    Workload w(b);

    for (uint32_t i = 0; i < 6; i++)
        w.Issue(3, i % 2 == 0, 200 + i * 500, 2, kSimpleTag);
    b.port().run_for(1 * kMs);
    ASSERT_EQ(b.lun(3).IssuedCount, 4);
    ASSERT_EQ(b.lun(3).QueuedCount, 6);
    w.Issue(3, false, 3900, 1, 0x21);
    b.port().run_until_idle(10 * sim::kSecond);

    // The queue-tag messages in the order the commands were sent.
    std::vector<uint8_t> sent;
    std::vector<uint8_t> out;
    for (const BusEvent& e : trace.events())
        if (e.kind == BusEvent::Kind::MessageOut && e.target == 3)
            out.push_back(e.byte);
    for (size_t i = 0; i + 1 < out.size(); i++)
        if ((out[i] & 0xC0) == 0xC0 && out[i + 1] >= 0x20 && out[i + 1] <= 0x22)
            sent.push_back(out[i + 1]);
    EXPECT_EQ(sent, (std::vector<uint8_t>{0x20, 0x20, 0x20, 0x20, 0x21, 0x20, 0x20}));
    EXPECT_EQ(w.good(), 7u);
    EXPECT_EQ(w.bad(), 0u);
    ExpectClean(b);
}

}  // namespace
}  // namespace concurrencytest
