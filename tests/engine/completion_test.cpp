// Command completion and the next command, where targets do what SCSI-2
// allows: QUEUE FULL while other LUNs wait, an untagged command ending on a
// LUN that has turned tagged, INQUIRY answers that never arrived or arrived
// short.
#include "engine/support.h"

namespace enginetest {
namespace {

using Kind = BusEvent::Kind;

sim::DeviceConfig SeekingDisk(uint8_t id, sim::TargetOptions target = {})
{
    sim::DeviceConfig disk = DiskAt(id, target);
    disk.options.track_seek = 1 * sim::kMillisecond;
    disk.options.full_seek = 8 * sim::kMillisecond;
    return disk;
}

// Target 0 holds two tagged commands and answers QUEUE FULL to a third while
// target 1 has a command waiting. The search for the next command covers the
// whole ring, so target 1's command is selected at once, not after target 0
// comes back from its seeks.
TEST(Completion, QueueFullOnOneLunStartsTheCommandWaitingOnAnother)
{
    sim::TargetOptions holdsTwo;
    holdsTwo.queue_limit = 2;
    Rig rig(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {SeekingDisk(0, holdsTwo), DiskAt(1)});
    auto& inquiry = rig.Buffer(36);
    for (int id : {0, 1})
        ASSERT_EQ(rig.Run(id, 0, Inquiry(0, 36), &inquiry).srb.SrbStatus, SRB_STATUS_SUCCESS);
    std::vector<uint8_t> expected0 = rig.Fill(0, 0, 3000, 0x11);
    std::vector<uint8_t> expected1 = rig.Fill(1, 0, 8, 0x22);

    const std::vector<BusEvent>& events = rig.Watch();
    std::vector<sim::PhysicalMemory::Buffer*> buffers;
    std::vector<sim::Request*> requests;
    auto read = [&](int id, uint32_t lba) {
        buffers.push_back(&rig.Buffer(512));
        requests.push_back(&rig.Execute(id, 0, Read10(lba, 1), buffers.back(), DataDirection::In));
    };
    read(0, 500);
    read(0, 1500);
    read(0, 2500);  // refused with QUEUE FULL while the first two seek
    read(1, 0);
    read(1, 4);     // waits on target 1 when the QUEUE FULL comes
    rig.port().run_until_idle();

    auto full = std::find_if(events.begin(), events.end(),
                             [](const BusEvent& e) { return e.kind == Kind::Status && e.byte == 0x28; });
    ASSERT_NE(full, events.end());
    auto next = std::find_if(full, events.end(),
                             [](const BusEvent& e) { return e.kind == Kind::Selection || e.kind == Kind::Reselection; });
    ASSERT_NE(next, events.end());
    EXPECT_EQ(next->kind, Kind::Selection);
    EXPECT_EQ(next->target, 1);

    for (size_t i = 0; i < requests.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i]->srb.SrbStatus, SRB_STATUS_SUCCESS);
    }
    const uint32_t lba0[] = {500, 1500, 2500};
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(Bytes(*buffers[i]), std::vector<uint8_t>(expected0.begin() + lba0[i] * 512,
                                                           expected0.begin() + lba0[i] * 512 + 512));
    EXPECT_EQ(Bytes(*buffers[4]), std::vector<uint8_t>(expected1.begin() + 4 * 512, expected1.begin() + 5 * 512));
    rig.ExpectCleanEnd();
}

// A REQUEST SENSE prepared while its LUN was untagged waits behind the
// INQUIRY that turns the LUN tagged and behind a read that then takes tag 0.
// It is sent untagged, as it always is, and holds no tag: its end must not
// free tag 0 while the read still holds it.
TEST(Completion, AnUntaggedCommandGivesBackNoTag)
{
    Rig rig(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {SeekingDisk(0)});
    std::vector<uint8_t> expected = rig.Fill(0, 60000, 1, 0x33);
    std::vector<uint8_t> near = rig.Fill(0, 10, 1, 0x44);

    auto& inquiry = rig.Buffer(36);
    sim::Request& inq = rig.Execute(0, 0, Inquiry(0, 36), &inquiry, DataDirection::In);
    auto& first = rig.Buffer(512);
    sim::Request& r1 = rig.Execute(0, 0, Read10(60000, 1), &first, DataDirection::In);
    auto& sense = rig.Buffer(18);
    sim::Request& rs = rig.Execute(0, 0, requesttest::kRequestSense, &sense, DataDirection::In);
    rig.port().run_for(1 * sim::kMillisecond);  // the sense has come back, the read still seeks
    ASSERT_EQ(rs.state, sim::Request::State::Completed);
    ASSERT_EQ(r1.state, sim::Request::State::Outstanding);
    EXPECT_EQ(inq.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(rs.srb.SrbStatus, SRB_STATUS_SUCCESS);

    std::vector<uint8_t> tags;
    rig.OnEvent([&](const BusEvent& e) {
        if (e.kind == Kind::MessageOut && e.byte >= 0x20 && e.byte <= 0x22)
            tags.push_back(0xFF);  // the next message-out byte is the tag
        else if (e.kind == Kind::MessageOut && !tags.empty() && tags.back() == 0xFF)
            tags.back() = e.byte;
    });
    auto& second = rig.Buffer(512);
    sim::Request& r2 = rig.Execute(0, 0, Read10(10, 1), &second, DataDirection::In);
    rig.port().run_until_idle();

    EXPECT_EQ(r1.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r2.srb.SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_NE(tags[0], 0) << "tag 0 is the first read's";
    EXPECT_EQ(Bytes(first), expected);
    EXPECT_EQ(Bytes(second), near);
    rig.ExpectCleanEnd();
}

// An INQUIRY that failed leaves in its buffer whatever was there before: the
// driver must not read a device type, a version or a tagged-queuing bit out
// of stale bytes. A "no device" answer reports no more than the buffer holds.
TEST(Completion, InquiryDataIsLookedAtOnlyWhenItArrived)
{
    const std::vector<uint8_t> taggedDisk = {0x00, 0x00, 0x02, 0x02, 31, 0, 0, 0x02};
    const std::vector<uint8_t> noDevice = {0x7F, 0x00, 0x02, 0x02, 31, 0, 0, 0x02};
    struct Case {
        const char* what;
        uint8_t target, lun;
        std::vector<uint8_t> stale;
        uint32_t length;
        uint8_t status;
        uint32_t reported;
    };
    const Case cases[] = {
        {"selection time-out, stale tagged disk", 5, 0, taggedDisk, 36, SRB_STATUS_ERROR, 36},
        {"selection time-out, stale no-device byte", 5, 0, noDevice, 36, SRB_STATUS_ERROR, 36},
        {"absent LUN into a 1-byte buffer", 0, 3, {}, 1, SRB_STATUS_DATA_OVERRUN, 1},
        {"absent LUN into a 36-byte buffer", 0, 3, {}, 36, SRB_STATUS_DATA_OVERRUN, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {DiskAt(0)});
        auto& buffer = rig.Buffer(c.length);
        std::copy_n(c.stale.begin(), std::min<size_t>(c.stale.size(), c.length), buffer.data);
        std::vector<uint8_t> before = Bytes(buffer);
        sim::Request& r = rig.Run(c.target, c.lun, Inquiry(c.lun, uint8_t(c.length)), &buffer);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        EXPECT_EQ(r.srb.DataTransferLength, c.reported);
        EXPECT_EQ(rig.lun(c.target, c.lun).QueueDepth, 1);
        if (c.status == SRB_STATUS_ERROR) {
            EXPECT_EQ(Bytes(buffer), before) << "a failed INQUIRY's buffer is not touched";
        }
        rig.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace enginetest
