// Many commands at once on one bus: disconnecting disks that share the bus
// while they seek, a tagged LUN that finishes out of order, a target that
// refuses commands with QUEUE FULL, and tagged disks that disconnect in the
// middle of data, resend data after RESTORE POINTERS and reselect in any
// order. Every byte read must be the disk's, every byte written must land.
#include <algorithm>
#include <map>
#include <random>

#include "support/bus_log.h"
#include "support/driver_fixture.h"
#include "support/verified_io.h"

namespace hbatest {
namespace {

constexpr uint8_t kSimpleTag = 0x20;

TEST(ConcurrentCommands, FourSeekingDisksShareTheBusAndEveryByteChecksOut)
{
    sim::TargetOptions t;
    t.disconnect = true;
    std::vector<sim::DeviceConfig> disks;
    for (uint8_t id = 0; id < 4; id++)
        disks.push_back(SeekingDiskAt(id, t, 300 * kUs, 6 * kMs, 4 * kMs));
    DriverFixture b(AllFeatures(), disks);
    BusLog trace(b.machine().bus(0));
    VerifiedIo w(b);

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
    b.ExpectIdle();
    // While a disk seeks, another target has the bus.
    for (uint8_t id = 0; id < 4; id++) {
        EXPECT_GT(trace.count(BusEvent::Kind::Reselection, id), 0u) << "target " << int(id);
        EXPECT_TRUE(trace.OtherSelectedWhileDisconnected(id)) << "target " << int(id);
    }
}

TEST(ConcurrentCommands, SixteenTaggedCommandsRunAtOnceAndFinishOutOfOrder)
{
    sim::AdapterSettings settings = AllFeatures();
    settings.tag_depth_shift = 3;
    sim::TargetOptions t;
    t.queue_limit = 16;
    DriverFixture b(settings, {SeekingDiskAt(2, t, 2 * kMs, 5 * kMs, 4 * kMs)});
    Inquire(b, 2);
    ASSERT_EQ(b.lun(2).QueueDepth, 16);
    VerifiedIo w(b);

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
    b.ExpectIdle();
}

TEST(ConcurrentCommands, QueueFullLowersTheDepthAndTheRefusedCommandsStillComplete)
{
    sim::AdapterSettings settings = AllFeatures();
    settings.tag_depth_shift = 3;
    sim::TargetOptions t;
    t.queue_limit = 4;
    DriverFixture b(settings, {SeekingDiskAt(1, t, 200 * kUs, 5 * kMs, 4 * kMs)});
    BusLog trace(b.machine().bus(0));
    Inquire(b, 1);
    ASSERT_EQ(b.lun(1).QueueDepth, 16);
    VerifiedIo w(b);

    for (uint32_t i = 0; i < 16; i++)
        w.Issue(1, i % 2 == 0, i * 64, 2, kSimpleTag);
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
    b.ExpectIdle();
}

// A head-of-queue request on a LUN with commands already started goes
// behind the started ones and ahead of those still waiting: it is the next
// one of its LUN to be sent, and no started command is sent twice.
TEST(ConcurrentCommands, HeadOfQueueRequestGoesBehindTheStartedCommands)
{
    sim::AdapterSettings settings = AllFeatures();
    settings.tag_depth_shift = 1;  // four at a time
    sim::TargetOptions t;
    t.queue_limit = 16;
    DriverFixture b(settings, {SeekingDiskAt(3, t, 2 * kMs, 5 * kMs, 1 * kMs)});
    BusLog trace(b.machine().bus(0));
    Inquire(b, 3);
    ASSERT_EQ(b.lun(3).QueueDepth, 4);
    VerifiedIo w(b);

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
    b.ExpectIdle();
}

sim::DeviceConfig BusyDisk(uint8_t id, double midDataDisconnect, double repeat)
{
    sim::DeviceConfig d = DiskAt(id);
    d.options.track_seek = 200 * sim::kMicrosecond;
    d.options.full_seek = 3 * sim::kMillisecond;
    d.options.revolution = 2 * sim::kMillisecond;
    d.options.target.mid_data_disconnect_chance = midDataDisconnect;
    d.options.target.repeat_transfer_chance = repeat;
    return d;
}

TEST(ConcurrentCommands, MixedReadsAndWritesWithDisconnectsKeepEveryByte)
{
    struct Case {
        const char* what;
        uint8_t flags;
        double midDataDisconnect, repeat;
        int parityErrors;  // data-in transfers that arrive damaged, spread over the run
    };
    const Case cases[] = {
        {"tagged, synchronous", sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged | sim::kTargetSync, 0.5, 0.3, 0},
        {"untagged, asynchronous", sim::kTargetParity | sim::kTargetDisconnect, 0.5, 0.3, 0},
        {"no disconnection", sim::kTargetParity | sim::kTargetSync, 0.0, 0.5, 0},
        {"tagged, parity errors", sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged | sim::kTargetSync, 0.5, 0.3, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(c.flags),
                {BusyDisk(1, c.midDataDisconnect, c.repeat), BusyDisk(4, c.midDataDisconnect, c.repeat)});
        for (int id : {1, 4}) {
            auto& inquiry = fixture.Buffer(36);
            fixture.Run(id, 0, Inquiry(0, 36), &inquiry);
        }
        std::map<int, std::vector<uint8_t>> disk;  // what each disk must hold at blocks 0..511
        for (int id : {1, 4})
            disk[id] = fixture.Fill(id, 0, 512, uint8_t(id));

        struct Io {
            sim::Request* request;
            sim::PhysicalMemory::Buffer* buffer;
            int id;
            uint32_t lba, blocks;
            bool write;
        };
        int reselections = 0, restores = 0, saves = 0, dataIn = 0, parityLeft = c.parityErrors;
        fixture.OnEvent([&](const BusEvent& e) {
            reselections += e.kind == BusEvent::Kind::Reselection;
            // Every seventh data-in transfer, the next one of that disk arrives damaged.
            if (e.kind == BusEvent::Kind::DataIn && ++dataIn % 7 == 0 && parityLeft > 0) {
                fixture.device(e.target).pending_faults().parity_errors = 1;
                parityLeft--;
            }
            if (e.kind == BusEvent::Kind::MessageIn) {
                saves += e.byte == 0x02;
                restores += e.byte == 0x03;
            }
        });
        std::vector<Io> ios;
        sim::Rng& rng = fixture.machine().rng();
        // Writes go to blocks 256.., reads come from 0..255, so no order
        // matters. 15 per LUN: the driver queues at most 17 per LUN and
        // refuses more with SRB_STATUS_BUSY.
        for (int n = 0; n < 30; n++) {
            Io io{};
            io.id = n % 2 == 0 ? 4 : 1;
            io.write = n % 4 == 1;
            io.blocks = uint32_t(rng.range(1, 24));
            io.lba = io.write ? 256 + uint32_t(n) * 5 : uint32_t(rng.range(0, 255 - io.blocks));
            io.buffer = &fixture.Buffer(io.blocks * 512, uint32_t(rng.range(0, 4095)), Layout::Random);
            if (io.write) {
                for (uint32_t i = 0; i < io.buffer->length; i++)
                    io.buffer->data[i] = uint8_t(n * 31 + i * 13 + (i >> 7));
                io.blocks = std::min<uint32_t>(io.blocks, 5);
                io.buffer->length = io.blocks * 512;
            }
            sim::RequestSpec request_spec;
            request_spec.target = uint8_t(io.id);
            request_spec.cdb = io.write ? Write10(io.lba, uint16_t(io.blocks)) : Read10(io.lba, uint16_t(io.blocks));
            request_spec.buffer = io.buffer;
            request_spec.length = io.blocks * 512;
            request_spec.direction = io.write ? DataDirection::Out : DataDirection::In;
            io.request = &fixture.port().submit(0, request_spec);
            ios.push_back(io);
        }
        fixture.ChipWrites();
        fixture.port().run_until_idle(60 * sim::kSecond);
        // INITIATOR DETECTED ERROR sent as a message of its own.
        const std::vector<sim::PortAccess> ide = {Chip(Command, FlushFifo), Chip(Fifo, 0x05),
                                                  Chip(Command, TransferInfo)};
        const auto writes = fixture.ChipWrites();
        size_t detectedErrors = 0;
        for (auto it = writes.begin(); (it = std::search(it, writes.end(), ide.begin(), ide.end())) != writes.end();
             ++it)
            detectedErrors++;

        for (size_t n = 0; n < ios.size(); n++) {
            const Io& io = ios[n];
            SCOPED_TRACE(testing::Message() << "request " << n);
            ASSERT_EQ(io.request->srb.SrbStatus, SRB_STATUS_SUCCESS);
            const size_t bytes = io.blocks * 512u;
            if (io.write) {
                EXPECT_EQ(fixture.device(io.id).store().read(io.lba, io.blocks), Bytes(*io.buffer, bytes));
            } else {
                const auto& image = disk[io.id];
                EXPECT_EQ(Bytes(*io.buffer, bytes),
                          std::vector<uint8_t>(image.begin() + io.lba * 512, image.begin() + io.lba * 512 + bytes));
            }
        }
        // The behaviours asked for did happen.
        EXPECT_GT(restores, 0);
        EXPECT_EQ(saves > 0, c.midDataDisconnect > 0);
        EXPECT_EQ(reselections > 0, (c.flags & sim::kTargetDisconnect) != 0);
        EXPECT_EQ(fixture.device(1).pending_faults().parity_errors + fixture.device(4).pending_faults().parity_errors, 0u);
        EXPECT_EQ(parityLeft, 0);
        EXPECT_EQ(detectedErrors, size_t(c.parityErrors));
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
        fixture.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace hbatest
