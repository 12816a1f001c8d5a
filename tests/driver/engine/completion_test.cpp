// Command completion and the next command, where targets do what SCSI-2
// allows: QUEUE FULL while other LUNs wait, an untagged command ending on a
// LUN that has turned tagged, INQUIRY answers that never arrived or arrived
// short.
#include "support/driver_fixture.h"

#include "bus/faults.h"

namespace hbatest {
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
    DriverFixture fixture(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {SeekingDisk(0, holdsTwo), DiskAt(1)});
    auto& inquiry = fixture.Buffer(36);
    for (int id : {0, 1})
        ASSERT_EQ(fixture.Run(id, 0, Inquiry(0, 36), &inquiry).srb.SrbStatus, SRB_STATUS_SUCCESS);
    std::vector<uint8_t> expected0 = fixture.Fill(0, 0, 3000, 0x11);
    std::vector<uint8_t> expected1 = fixture.Fill(1, 0, 8, 0x22);

    const std::vector<BusEvent>& events = fixture.Watch();
    std::vector<sim::PhysicalMemory::Buffer*> buffers;
    std::vector<sim::Request*> requests;
    auto read = [&](int id, uint32_t lba) {
        buffers.push_back(&fixture.Buffer(512));
        requests.push_back(&fixture.Execute(id, 0, Read10(lba, 1), buffers.back(), DataDirection::In));
    };
    read(0, 500);
    read(0, 1500);
    read(0, 2500);  // refused with QUEUE FULL while the first two seek
    read(1, 0);
    read(1, 4);     // waits on target 1 when the QUEUE FULL comes
    fixture.port().run_until_idle();

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
    fixture.ExpectCleanEnd();
}

// A REQUEST SENSE prepared while its LUN was untagged waits behind the
// INQUIRY that turns the LUN tagged and behind a read that then takes tag 0.
// It goes untagged, as it always does, so it must not join the tagged read
// on the bus (SCSI-2 calls that an overlapped command), and no tagged command
// may join it. It holds no tag: its end frees none.
TEST(Completion, AnUntaggedCommandRunsAloneOnATaggedLun)
{
    DriverFixture fixture(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {SeekingDisk(0)});
    std::vector<uint8_t> expected = fixture.Fill(0, 60000, 1, 0x33);
    std::vector<uint8_t> near = fixture.Fill(0, 10, 1, 0x44);

    // Each command as it begins on the bus, with how many requests had completed then.
    std::vector<std::pair<uint8_t, int>> order;
    sim::Request* requests[4] = {};
    fixture.OnEvent([&](const BusEvent& e) {
        if (e.note != sim::BusNote::CommandBegins)
            return;
        int completed = 0;
        for (sim::Request* r : requests)
            completed += r && r->state == sim::Request::State::Completed;
        order.emplace_back(e.opcode, completed);
    });
    auto& inquiry = fixture.Buffer(36);
    requests[0] = &fixture.Execute(0, 0, Inquiry(0, 36), &inquiry, DataDirection::In);
    auto& first = fixture.Buffer(512);
    requests[1] = &fixture.Execute(0, 0, Read10(60000, 1), &first, DataDirection::In);
    auto& sense = fixture.Buffer(18);
    requests[2] = &fixture.Execute(0, 0, kRequestSense, &sense, DataDirection::In);
    auto& second = fixture.Buffer(512);
    requests[3] = &fixture.Execute(0, 0, Read10(10, 1), &second, DataDirection::In);
    fixture.port().run_until_idle();

    for (sim::Request* r : requests)
        EXPECT_EQ(r->srb.SrbStatus, SRB_STATUS_SUCCESS) << int(r->srb.Cdb[0]);
    const std::vector<std::pair<uint8_t, int>> alone = {{0x12, 0}, {0x28, 1}, {0x03, 2}, {0x28, 3}};
    EXPECT_EQ(order, alone);
    EXPECT_EQ(Bytes(first), expected);
    EXPECT_EQ(Bytes(second), near);
    EXPECT_EQ(fixture.lun(0, 0).FreeTags, ALL_TAGS_FREE);
    fixture.ExpectCleanEnd();
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
        {"selection time-out, stale tagged disk", 5, 0, taggedDisk, 36, SRB_STATUS_SELECTION_TIMEOUT, 36},
        {"selection time-out, stale no-device byte", 5, 0, noDevice, 36, SRB_STATUS_SELECTION_TIMEOUT, 36},
        {"absent LUN into a 1-byte buffer", 0, 3, {}, 1, SRB_STATUS_DATA_OVERRUN, 1},
        {"absent LUN into a 36-byte buffer", 0, 3, {}, 36, SRB_STATUS_DATA_OVERRUN, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {DiskAt(0)});
        auto& buffer = fixture.Buffer(c.length);
        std::copy_n(c.stale.begin(), std::min<size_t>(c.stale.size(), c.length), buffer.data);
        std::vector<uint8_t> before = Bytes(buffer);
        sim::Request& r = fixture.Run(c.target, c.lun, Inquiry(c.lun, uint8_t(c.length)), &buffer);
        EXPECT_EQ(r.srb.SrbStatus, c.status);
        EXPECT_EQ(r.srb.DataTransferLength, c.reported);
        EXPECT_EQ(fixture.lun(c.target, c.lun).QueueDepth, 1);
        if (c.status == SRB_STATUS_SELECTION_TIMEOUT) {
            EXPECT_EQ(Bytes(buffer), before) << "a failed INQUIRY's buffer is not touched";
        }
        fixture.ExpectCleanEnd();
    }
}


// Tagged LUN, one command issued, QUEUE FULL: the command is sent again and
// completes, and the LUN keeps a depth of at least one.
TEST(Completion, QueueFullForTheOnlyIssuedCommandIsSentAgain)
{
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged), {DiskAt(0)});
    auto& inquiry = fixture.Buffer(36);
    fixture.Run(0, 0, Inquiry(0, 36), &inquiry);
    ASSERT_EQ(fixture.lun(0).QueueDepth, 8);

    std::vector<uint8_t> expected = fixture.Fill(0, 40, 4, 0x3C);
    sim::Target& disk = fixture.device(0);
    disk.options().queue_limit = 0;  // the next tagged command is refused
    int selections = 0, queueFull = 0;
    fixture.OnEvent([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::Selection)
            selections++;
        if (e.kind == BusEvent::Kind::Status && e.byte == 0x28) {
            queueFull++;
            disk.options().queue_limit = 8;
        }
    });
    auto& data = fixture.Buffer(2048, 0x700);
    sim::Request& r = fixture.Run(0, 0, Read10(40, 4), &data);

    EXPECT_EQ(queueFull, 1);
    EXPECT_EQ(selections, 2);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(data), expected);
    EXPECT_GE(fixture.lun(0).QueueDepth, 1);
    EXPECT_EQ(fixture.lun(0).IssuedCount, 0);
    fixture.ExpectCleanEnd();

    // The LUN still works at its lowered depth.
    auto& again = fixture.Buffer(512);
    EXPECT_EQ(fixture.Run(0, 0, Read10(40, 1), &again).srb.SrbStatus, SRB_STATUS_SUCCESS);
    fixture.ExpectCleanEnd();
}

// An INQUIRY buffer shorter than 8 bytes: the driver must neither read the
// version and flags bytes beyond it nor clear a bit there. The buffer's
// memory past the request's length says "SCSI-2, tagged queuing" as bait.
TEST(Completion, ShortInquiryBufferIsNotReadOrWrittenBeyondItsLength)
{
    for (uint8_t length : {1, 3, 5, 7}) {
        for (uint8_t flags : {uint8_t(sim::kTargetDisconnect | sim::kTargetTagged), uint8_t(sim::kTargetDisconnect)}) {
            SCOPED_TRACE(testing::Message() << "length " << int(length) << " flags " << int(flags));
            DriverFixture fixture(Flags(flags), {DiskAt(0)});
            auto& buffer = fixture.Buffer(16);
            buffer.data[2] = 0x02;
            buffer.data[7] = 0x02;
            sim::RequestSpec request_spec;
            request_spec.cdb = Inquiry(0, length);
            request_spec.buffer = &buffer;
            request_spec.length = length;
            request_spec.direction = DataDirection::In;
            sim::Request& r = fixture.Submit(request_spec);
            fixture.port().run_until_idle();

            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(buffer.data[0], 0x00);
            EXPECT_EQ(buffer.data[7], 0x02);
            EXPECT_EQ(fixture.lun(0).QueueDepth, 1);
            fixture.ExpectCleanEnd();
        }
    }
}

// The interrupt routine reads INQUIRY data through DataBuffer before the
// request completes, and clears CmdQue there for a target it will not tag.
// That works because the driver reports 32-bit DMA addresses: for a 24-bit
// adapter the port driver bounces a buffer above 16 MiB, the driver reads the
// caller's bytes from before the transfer, and the copy back at completion
// hands the caller the device's CmdQue bit after all.
TEST(Completion, InquiryDataIsReadWhereTheDeviceWroteIt)
{
    for (bool dma32 : {true, false}) {
        SCOPED_TRACE(dma32 ? "32-bit addresses, as the driver reports" : "24-bit addresses, bounced");
        DriverFixture fixture(Flags(TF_PARITY | TF_DISCONNECT), {DiskAt(0)});
        ASSERT_TRUE(fixture.port().adapter(0).config.Dma32BitAddresses);
        // As if HwFindAdapter had left it FALSE.
        fixture.port().adapter(0).config.Dma32BitAddresses = dma32;
        auto& buffer = fixture.machine().memory().allocate(36, 0x40, Layout::Scattered,
                                                            sim::PhysicalMemory::Region::Above16MiB);
        EXPECT_EQ(fixture.Run(0, 0, Inquiry(0, 36), &buffer).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(fixture.port().dma().pages_bounced(), dma32 ? 0u : 1u);
        EXPECT_EQ(buffer.data[2] & 0x07, 2);  // SCSI-2: the device's answer arrived either way
        EXPECT_EQ((buffer.data[7] & 0x02) != 0, !dma32);
        EXPECT_EQ(fixture.lun(0).QueueDepth, 1);
        fixture.ExpectCleanEnd();
    }
}

// An INQUIRY completing on a LUN that is already tagged, while tagged
// commands hold tags: switching tagged queuing on again must not free those
// tags, or a new command would reuse one (the target answers that with
// CHECK CONDITION, overlapped commands).
TEST(Completion, InquiryOnATaggedLunKeepsHeldTagsBusy)
{
    sim::DeviceConfig disk = DiskAt(0);
    disk.options.track_seek = 300 * sim::kMicrosecond;  // tagged commands disconnect
    disk.options.full_seek = 2 * sim::kMillisecond;
    disk.options.revolution = 1 * sim::kMillisecond;
    // A port driver that sends the INQUIRY while the reads hold their tags.
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged), {disk},
                          LenientPort());
    auto& first = fixture.Buffer(36);
    fixture.Run(0, 0, Inquiry(0, 36), &first);
    ASSERT_EQ(fixture.lun(0).QueueDepth, 8);

    std::vector<uint8_t> expected = fixture.Fill(0, 0, 64, 0x2D);
    std::vector<sim::Request*> reads;
    std::vector<sim::PhysicalMemory::Buffer*> buffers;
    auto submitRead = [&](uint32_t n) {
        sim::RequestSpec request_spec;
        request_spec.cdb = Read10(n * 8000, 4);
        fixture.device(0).store().write(n * 8000, &expected[n * 2048], 4);
        buffers.push_back(&fixture.Buffer(2048, n * 0x100));
        request_spec.buffer = buffers.back();
        request_spec.direction = DataDirection::In;
        reads.push_back(&fixture.port().submit(0, request_spec));
    };
    for (uint32_t n = 0; n < 4; n++)
        submitRead(n);
    int heldAtInquiry = 0;
    bool heldTagFreed = false;
    sim::RequestSpec inquiryRequest;
    inquiryRequest.cdb = Inquiry(0, 36);
    inquiryRequest.buffer = &fixture.Buffer(36);
    inquiryRequest.direction = DataDirection::In;
    sim::Request& inquiry = fixture.port().submit(0, inquiryRequest, [&](const sim::Request&) {
        const LunRecord& lun = fixture.lun(0);
        for (const CommandBlock* b = lun.QueueHead; b; b = b == lun.QueueTail ? nullptr : b->Next) {
            if (b->TagMessage == 0)
                continue;
            heldAtInquiry++;
            heldTagFreed |= (lun.FreeTags >> b->Tag) & 1;
        }
    });
    for (uint32_t n = 4; n < 8; n++)
        submitRead(n);
    fixture.port().run_until_idle();

    EXPECT_EQ(inquiry.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_GT(heldAtInquiry, 0);
    EXPECT_FALSE(heldTagFreed);
    for (size_t n = 0; n < reads.size(); n++) {
        EXPECT_EQ(reads[n]->srb.SrbStatus, SRB_STATUS_SUCCESS) << "read " << n;
        EXPECT_EQ(Bytes(*buffers[n]), std::vector<uint8_t>(&expected[n * 2048], &expected[n * 2048 + 2048]));
    }
    fixture.ExpectCleanEnd();
}

}  // namespace
}  // namespace hbatest
