// Situations the engine must survive soundly: a QUEUE FULL for the only
// command a LUN has issued, and INQUIRY answers shorter than the bytes the
// driver inspects.
#include "engine/support.h"

namespace enginetest {
namespace {

// Tagged LUN, one command issued, QUEUE FULL: the command is sent again and
// completes, and the LUN keeps a depth of at least one.
TEST(OpenCases, QueueFullForTheOnlyIssuedCommandIsSentAgain)
{
    Rig rig(Flags(TF_PARITY | TF_DISCONNECT | TF_TAGGED), {DiskAt(0)});
    auto& inquiry = rig.Buffer(36);
    rig.Run(0, 0, Inquiry(0, 36), &inquiry);
    ASSERT_EQ(rig.lun(0).QueueDepth, 8);

    std::vector<uint8_t> expected = rig.Fill(0, 40, 4, 0x3C);
    sim::Target& disk = rig.device(0);
    disk.options().queue_limit = 0;  // the next tagged command is refused
    int selections = 0, queueFull = 0;
    rig.OnEvent([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::Selection)
            selections++;
        if (e.kind == BusEvent::Kind::Status && e.bytes == std::vector<uint8_t>{0x28}) {
            queueFull++;
            disk.options().queue_limit = 8;
        }
    });
    auto& data = rig.Buffer(2048, 0x700);
    sim::Request& r = rig.Run(0, 0, Read10(40, 4), &data);

    EXPECT_EQ(queueFull, 1);
    EXPECT_EQ(selections, 2);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(data), expected);
    EXPECT_GE(rig.lun(0).QueueDepth, 1);
    EXPECT_EQ(rig.lun(0).IssuedCount, 0);
    rig.ExpectCleanEnd();

    // The LUN still works at its lowered depth.
    auto& again = rig.Buffer(512);
    EXPECT_EQ(rig.Run(0, 0, Read10(40, 1), &again).srb.SrbStatus, SRB_STATUS_SUCCESS);
    rig.ExpectCleanEnd();
}

// An INQUIRY buffer shorter than 8 bytes: the driver must neither read the
// version and flags bytes beyond it nor clear a bit there. The buffer's
// memory past the request's length says "SCSI-2, tagged queuing" as bait.
TEST(OpenCases, ShortInquiryBufferIsNotReadOrWrittenBeyondItsLength)
{
    for (uint8_t length : {1, 3, 5, 7}) {
        for (uint8_t flags : {uint8_t(TF_DISCONNECT | TF_TAGGED), uint8_t(TF_DISCONNECT)}) {
            SCOPED_TRACE(testing::Message() << "length " << int(length) << " flags " << int(flags));
            Rig rig(Flags(flags), {DiskAt(0)});
            auto& buffer = rig.Buffer(16);
            buffer.data[2] = 0x02;
            buffer.data[7] = 0x02;
            sim::RequestSpec spec;
            spec.cdb = Inquiry(0, length);
            spec.buffer = &buffer;
            spec.length = length;
            spec.direction = DataDirection::In;
            sim::Request& r = rig.Submit(spec);
            rig.port().run_until_idle();

            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(buffer.data[0], 0x00);
            EXPECT_EQ(buffer.data[7], 0x02);
            EXPECT_EQ(rig.lun(0).QueueDepth, 1);
            rig.ExpectCleanEnd();
        }
    }
}

}  // namespace
}  // namespace enginetest
