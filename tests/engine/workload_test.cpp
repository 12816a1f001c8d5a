// Many commands at once on two tagged disks that disconnect in the middle of
// data, resend data after RESTORE POINTERS and reselect in any order: every
// byte read must be the disk's, every byte written must land.
#include "engine/support.h"

#include <map>

namespace enginetest {
namespace {

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

TEST(Workload, MixedReadsAndWritesWithDisconnectsKeepEveryByte)
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
        Rig rig(Flags(c.flags),
                {BusyDisk(1, c.midDataDisconnect, c.repeat), BusyDisk(4, c.midDataDisconnect, c.repeat)});
        for (int id : {1, 4}) {
            auto& inquiry = rig.Buffer(36);
            rig.Run(id, 0, Inquiry(0, 36), &inquiry);
        }
        std::map<int, std::vector<uint8_t>> disk;  // what each disk must hold at blocks 0..511
        for (int id : {1, 4})
            disk[id] = rig.Fill(id, 0, 512, uint8_t(id));

        struct Io {
            sim::Request* request;
            sim::PhysicalMemory::Buffer* buffer;
            int id;
            uint32_t lba, blocks;
            bool write;
        };
        int reselections = 0, restores = 0, saves = 0, dataIn = 0, parityLeft = c.parityErrors;
        rig.OnEvent([&](const BusEvent& e) {
            reselections += e.kind == BusEvent::Kind::Reselection;
            // Every seventh data-in transfer, the next one of that disk arrives damaged.
            if (e.kind == BusEvent::Kind::DataIn && ++dataIn % 7 == 0 && parityLeft > 0) {
                rig.device(e.target).options().parity_errors = 1;
                parityLeft--;
            }
            if (e.kind == BusEvent::Kind::MessageIn) {
                saves += e.byte == 0x02;
                restores += e.byte == 0x03;
            }
        });
        std::vector<Io> ios;
        sim::Rng& rng = rig.machine().rng();
        // Writes go to blocks 256.., reads come from 0..255, so no order
        // matters. 15 per LUN: the driver queues at most 17 per LUN and
        // refuses more with SRB_STATUS_BUSY.
        for (int n = 0; n < 30; n++) {
            Io io{};
            io.id = n % 2 == 0 ? 4 : 1;
            io.write = n % 4 == 1;
            io.blocks = uint32_t(rng.range(1, 24));
            io.lba = io.write ? 256 + uint32_t(n) * 5 : uint32_t(rng.range(0, 255 - io.blocks));
            io.buffer = &rig.Buffer(io.blocks * 512, uint32_t(rng.range(0, 4095)), Layout::Random);
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
            io.request = &rig.port().submit(0, request_spec);
            ios.push_back(io);
        }
        rig.ChipWrites();
        rig.port().run_until_idle(60 * sim::kSecond);
        // INITIATOR DETECTED ERROR sent as a message of its own.
        const std::vector<sim::PortAccess> ide = {Chip(Command, FlushFifo), Chip(Fifo, 0x05),
                                                  Chip(Command, TransferInfo)};
        const auto writes = rig.ChipWrites();
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
                EXPECT_EQ(rig.device(io.id).store().read(io.lba, io.blocks), Bytes(*io.buffer, bytes));
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
        EXPECT_EQ(rig.device(1).options().parity_errors + rig.device(4).options().parity_errors, 0u);
        EXPECT_EQ(parityLeft, 0);
        EXPECT_EQ(detectedErrors, size_t(c.parityErrors));
        EXPECT_EQ(rig.bus().timing_mismatches(), 0u);
        rig.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace enginetest
