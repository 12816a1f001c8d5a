// A SCSI bus reset puts every target back to asynchronous transfer; the
// driver must forget every agreement with it, or the next data phase runs at
// a rate the target no longer uses.
#include "support/driver_fixture.h"

namespace hbatest {
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
        DriverFixture fixture(settings, {DiskAt(0), DiskAt(2)});
        for (int id : {0, 2}) {
            auto& inquiry = fixture.Buffer(36);
            fixture.Run(id, 0, Inquiry(0, 36), &inquiry);
            ASSERT_EQ(fixture.lun(id).SyncOffsetReg, 15);
        }
        ASSERT_EQ(fixture.lun(0, 5).SyncOffsetReg, 15);  // shared with the target's other LUNs

        if (c.requested) {
            fixture.port().reset_bus(0);
        } else {
            fixture.bus().assert_reset();
        }
        fixture.port().run_for(sim::kMillisecond);
        ASSERT_EQ(fixture.device(0).agreement().offset, 0);
        for (int id = 0; id < 8; id++)
            for (int l = 0; l < 8; l++)
                ExpectAsynchronous(fixture.lun(id, l), 0x04);

        std::vector<uint8_t> expected = fixture.Fill(0, 10, 16, 0x5E);
        auto& data = fixture.Buffer(16 * 512, 0x40);
        sim::Request& r = fixture.Run(0, 0, Read10(10, 16), &data);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(data), expected);
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);

        // The next INQUIRY negotiates again.
        auto& inquiry = fixture.Buffer(36);
        fixture.Run(0, 0, Inquiry(0, 36), &inquiry);
        EXPECT_EQ(fixture.lun(0).SyncOffsetReg, 15);
        auto& again = fixture.Buffer(16 * 512, 0x40);
        fixture.Run(0, 0, Read10(10, 16), &again);
        EXPECT_EQ(Bytes(again), expected);
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
        fixture.ExpectCleanEnd();
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
            DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {disk});
            std::vector<uint8_t> expected = fixture.Fill(0, 1000, 8, 0x4B);
            auto& buffer = fixture.Buffer(4096, 0x600);
            sim::Request& r = fixture.Execute(0, 0, Read10(1000, 8), &buffer, DataDirection::In);
            fixture.port().run_for(at);
            if (requested)
                fixture.port().reset_bus(0);
            else
                fixture.bus().assert_reset();
            fixture.port().run_until_idle();

            EXPECT_EQ(r.state, sim::Request::State::Completed);
            EXPECT_TRUE(r.srb.SrbStatus == SRB_STATUS_BUS_RESET || r.srb.SrbStatus == SRB_STATUS_SUCCESS)
                << int(r.srb.SrbStatus);
            auto& again = fixture.Buffer(4096, 0x200);
            EXPECT_EQ(fixture.Run(0, 0, Read10(1000, 8), &again).srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(Bytes(again), expected);
            fixture.ExpectCleanEnd();
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
    sim::DeviceConfig disk = DiskAt(0);
    disk.options.track_seek = 300 * sim::kMicrosecond;  // the read below waits disconnected
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {disk}, base);
    auto& inquiry = fixture.Buffer(36);
    fixture.Run(0, 0, Inquiry(0, 36), &inquiry);
    fixture.port().reset_bus(0);
    fixture.port().run_for(sim::kMillisecond);  // the held reset interrupt is taken now
    fixture.Run(0, 0, Inquiry(0, 36), &inquiry);
    ASSERT_EQ(fixture.lun(0).SyncOffsetReg, 15);

    std::vector<uint8_t> expected = fixture.Fill(0, 5000, 4, 0x6E);
    auto& buffer = fixture.Buffer(2048);
    sim::Request& r = fixture.Execute(0, 0, Read10(5000, 4), &buffer, DataDirection::In);
    fixture.port().run_for(100 * sim::kMicrosecond);
    ASSERT_EQ(r.state, sim::Request::State::Outstanding);
    fixture.bus().assert_reset();
    fixture.port().run_for(sim::kMillisecond);

    EXPECT_EQ(r.state, sim::Request::State::Completed);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    ExpectAsynchronous(fixture.lun(0), 0x00);
    auto& again = fixture.Buffer(2048);
    EXPECT_EQ(fixture.Run(0, 0, Read10(5000, 4), &again).srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(again), expected);
    EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
    fixture.ExpectCleanEnd();
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
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {disks[0], disks[1]});
        std::vector<uint8_t> expected[2] = {fixture.Fill(0, 40, 8, 0x31), fixture.Fill(3, 40, 8, 0x4D)};
        for (int id : {0, 3}) {
            // INQUIRY reports no unit attention and negotiates; the power-on
            // unit attention comes with the first other command.
            auto& inquiry = fixture.Buffer(36);
            fixture.Run(id, 0, Inquiry(0, 36), &inquiry);
            ASSERT_TRUE(fixture.device(id).agreement().synchronous());
            auto& data = fixture.Buffer(4096);
            sim::Request& r = fixture.Run(id, 0, Read10(40, 8), &data);
            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
            EXPECT_EQ(r.sense[2] & 0x0F, 0x06);
            EXPECT_EQ(r.sense[12], 0x29);
        }

        if (requested)
            fixture.port().reset_bus(0);
        else
            fixture.bus().assert_reset();
        fixture.port().run_for(sim::kMillisecond);
        for (int id : {0, 3}) {
            SCOPED_TRACE(id);
            ASSERT_FALSE(fixture.device(id).agreement().synchronous());
            auto& first = fixture.Buffer(4096);
            sim::Request& attention = fixture.Run(id, 0, Read10(40, 8), &first);
            EXPECT_EQ(attention.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
            EXPECT_EQ(attention.srb.ScsiStatus, 0x02);
            EXPECT_EQ(attention.sense[2] & 0x0F, 0x06);
            EXPECT_TRUE(fixture.device(id).agreement().synchronous()) << "the REQUEST SENSE did not negotiate";

            auto& again = fixture.Buffer(4096);
            sim::Request& r = fixture.Run(id, 0, Read10(40, 8), &again);
            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(Bytes(again), expected[id == 0 ? 0 : 1]);
        }
        EXPECT_EQ(fixture.port().adapter(0).sense_requests, 4u);
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
        fixture.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace hbatest
