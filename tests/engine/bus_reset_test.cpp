// A SCSI bus reset puts every target back to asynchronous transfer; the
// driver must forget every agreement with it, or the next data phase runs at
// a rate the target no longer uses.
#include "engine/support.h"

namespace enginetest {
namespace {

void ExpectAsynchronous(const LunRecord& lun, uint8_t config4Low)
{
    EXPECT_EQ(lun.SyncPeriodReg, 0);
    EXPECT_EQ(lun.SyncOffsetReg, 0);
    EXPECT_EQ(lun.Asynchronous, 1);
    EXPECT_EQ(lun.Config3, 0x08);
    EXPECT_EQ(lun.Config4, 0x80 | config4Low);
}

TEST(BusReset, SynchronousDiskIsAsynchronousAfterAReset)
{
    struct Case {
        const char* what;
        bool requested;  // HwResetBus, or RST from elsewhere on the bus
    };
    for (Case c : {Case{"HwResetBus", true}, Case{"reset from elsewhere", false}}) {
        SCOPED_TRACE(c.what);
        sim::AdapterSettings settings = Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync);
        settings.options = sim::kOptionConfig4Bit2;  // Config4 bit 0x04 must survive
        Rig rig(settings, {DiskAt(0), DiskAt(2)});
        for (int id : {0, 2}) {
            auto& inquiry = rig.Buffer(36);
            rig.Run(id, 0, Inquiry(0, 36), &inquiry);
            ASSERT_EQ(rig.lun(id).SyncOffsetReg, 15);
        }
        ASSERT_EQ(rig.lun(0, 5).SyncOffsetReg, 15);  // shared with the target's other LUNs

        if (c.requested) {
            rig.port().reset_bus(0);
        } else {
            rig.bus().assert_reset();
        }
        rig.port().run_for(sim::kMillisecond);
        ASSERT_EQ(rig.device(0).agreement().offset, 0);
        for (int id = 0; id < 8; id++)
            for (int l = 0; l < 8; l++)
                ExpectAsynchronous(rig.lun(id, l), 0x04);

        std::vector<uint8_t> expected = rig.Fill(0, 10, 16, 0x5E);
        auto& data = rig.Buffer(16 * 512, 0x40);
        sim::Request& r = rig.Run(0, 0, Read10(10, 16), &data);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(data), expected);
        EXPECT_EQ(rig.bus().timing_mismatches(), 0u);

        // The next INQUIRY negotiates again.
        auto& inquiry = rig.Buffer(36);
        rig.Run(0, 0, Inquiry(0, 36), &inquiry);
        EXPECT_EQ(rig.lun(0).SyncOffsetReg, 15);
        auto& again = rig.Buffer(16 * 512, 0x40);
        rig.Run(0, 0, Read10(10, 16), &again);
        EXPECT_EQ(Bytes(again), expected);
        EXPECT_EQ(rig.bus().timing_mismatches(), 0u);
        rig.ExpectCleanEnd();
    }
}

// A reset at any moment of a command's life (selection, command, data,
// disconnected, reselection, status) completes it exactly once, strands
// nothing, and the disk is usable right after.
TEST(BusReset, AtAnyMomentOfACommandNothingIsStranded)
{
    for (bool requested : {true, false}) {
        for (sim::Nanoseconds at = 2 * sim::kMicrosecond; at < 1500 * sim::kMicrosecond; at = at * 5 / 4 + 1000) {
            SCOPED_TRACE(testing::Message() << (requested ? "HwResetBus" : "reset from elsewhere") << " at " << at);
            sim::DeviceConfig disk = DiskAt(0);
            disk.options.track_seek = 300 * sim::kMicrosecond;  // disconnects, then reselects
            disk.options.target.mid_data_disconnect_chance = 0.5;
            Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {disk});
            std::vector<uint8_t> expected = rig.Fill(0, 1000, 8, 0x4B);
            auto& buffer = rig.Buffer(4096, 0x600);
            sim::Request& r = rig.Execute(0, 0, Read10(1000, 8), &buffer, DataDirection::In);
            rig.port().run_for(at);
            if (requested)
                rig.port().reset_bus(0);
            else
                rig.bus().assert_reset();
            rig.port().run_until_idle();

            EXPECT_EQ(r.state, sim::Request::State::Completed);
            EXPECT_TRUE(r.srb.SrbStatus == SRB_STATUS_BUS_RESET || r.srb.SrbStatus == SRB_STATUS_SUCCESS)
                << int(r.srb.SrbStatus);
            auto& again = rig.Buffer(4096, 0x200);
            EXPECT_EQ(rig.Run(0, 0, Read10(1000, 8), &again).srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(Bytes(again), expected);
            rig.ExpectCleanEnd();
        }
    }
}

// The port driver may keep the adapter's interrupt off for the whole of
// HwResetBus; the driver's reset interrupt then arrives after the wait has
// given up. A reset from elsewhere later on must still end every request
// and forget every agreement, at once.
TEST(BusReset, ResetFromElsewhereAfterAWaitThatTimedOutStillFlushes)
{
    sim::MachineConfig base;
    base.hold_interrupts_during_reset = true;
    sim::DeviceConfig disk = DiskAt(0);
    disk.options.track_seek = 300 * sim::kMicrosecond;  // the read below waits disconnected
    Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {disk}, base);
    auto& inquiry = rig.Buffer(36);
    rig.Run(0, 0, Inquiry(0, 36), &inquiry);
    rig.port().reset_bus(0);
    rig.port().run_for(sim::kMillisecond);  // the held reset interrupt is taken now
    rig.Run(0, 0, Inquiry(0, 36), &inquiry);
    ASSERT_EQ(rig.lun(0).SyncOffsetReg, 15);

    std::vector<uint8_t> expected = rig.Fill(0, 5000, 4, 0x6E);
    auto& buffer = rig.Buffer(2048);
    sim::Request& r = rig.Execute(0, 0, Read10(5000, 4), &buffer, DataDirection::In);
    rig.port().run_for(100 * sim::kMicrosecond);
    ASSERT_EQ(r.state, sim::Request::State::Outstanding);
    rig.bus().assert_reset();
    rig.port().run_for(sim::kMillisecond);

    EXPECT_EQ(r.state, sim::Request::State::Completed);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    ExpectAsynchronous(rig.lun(0), 0x00);
    auto& again = rig.Buffer(2048);
    EXPECT_EQ(rig.Run(0, 0, Read10(5000, 4), &again).srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(again), expected);
    EXPECT_EQ(rig.bus().timing_mismatches(), 0u);
    rig.ExpectCleanEnd();
}

// Devices hold a unit attention after every bus reset. The first command to
// each after the reset ends in CHECK CONDITION; the port driver's REQUEST
// SENSE for it is where the driver agrees synchronous transfer again, so the
// next command runs synchronous (as the target sees it) and the data is right.
TEST(BusReset, TheUnitAttentionsRequestSenseRenegotiatesSynchronousTransfer)
{
    for (bool requested : {true, false}) {
        SCOPED_TRACE(requested ? "HwResetBus" : "reset from elsewhere");
        sim::DeviceConfig disks[2] = {DiskAt(0), DiskAt(3)};
        for (auto& d : disks)
            d.options.unit_attention = true;
        Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {disks[0], disks[1]});
        std::vector<uint8_t> expected[2] = {rig.Fill(0, 40, 8, 0x31), rig.Fill(3, 40, 8, 0x4D)};
        for (int id : {0, 3}) {
            // INQUIRY reports no unit attention and negotiates; the power-on
            // unit attention comes with the first other command.
            auto& inquiry = rig.Buffer(36);
            rig.Run(id, 0, Inquiry(0, 36), &inquiry);
            ASSERT_TRUE(rig.device(id).agreement().synchronous());
            auto& data = rig.Buffer(4096);
            sim::Request& r = rig.Run(id, 0, Read10(40, 8), &data);
            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
            EXPECT_EQ(r.sense[2] & 0x0F, 0x06);
            EXPECT_EQ(r.sense[12], 0x29);
        }

        if (requested)
            rig.port().reset_bus(0);
        else
            rig.bus().assert_reset();
        rig.port().run_for(sim::kMillisecond);
        for (int id : {0, 3}) {
            SCOPED_TRACE(id);
            ASSERT_FALSE(rig.device(id).agreement().synchronous());
            auto& first = rig.Buffer(4096);
            sim::Request& attention = rig.Run(id, 0, Read10(40, 8), &first);
            EXPECT_EQ(attention.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
            EXPECT_EQ(attention.srb.ScsiStatus, 0x02);
            EXPECT_EQ(attention.sense[2] & 0x0F, 0x06);
            EXPECT_TRUE(rig.device(id).agreement().synchronous()) << "the REQUEST SENSE did not negotiate";

            auto& again = rig.Buffer(4096);
            sim::Request& r = rig.Run(id, 0, Read10(40, 8), &again);
            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(Bytes(again), expected[id == 0 ? 0 : 1]);
        }
        EXPECT_EQ(rig.port().adapter(0).sense_requests, 4u);
        EXPECT_EQ(rig.bus().timing_mismatches(), 0u);
        rig.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace enginetest
