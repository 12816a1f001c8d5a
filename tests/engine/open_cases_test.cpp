// Situations the engine must survive soundly: a QUEUE FULL for the only
// command a LUN has issued, INQUIRY answers shorter than the bytes the
// driver inspects, an INQUIRY to a LUN whose tagged commands hold tags, a
// DMA engine that does not finish, and a reconnected command that ends
// without a status of its own.
#include "engine/support.h"

#include "bus/faults.h"

namespace enginetest {
namespace {

// Tagged LUN, one command issued, QUEUE FULL: the command is sent again and
// completes, and the LUN keeps a depth of at least one.
TEST(OpenCases, QueueFullForTheOnlyIssuedCommandIsSentAgain)
{
    Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged), {DiskAt(0)});
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
        if (e.kind == BusEvent::Kind::Status && e.byte == 0x28) {
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
        for (uint8_t flags : {uint8_t(sim::kTargetDisconnect | sim::kTargetTagged), uint8_t(sim::kTargetDisconnect)}) {
            SCOPED_TRACE(testing::Message() << "length " << int(length) << " flags " << int(flags));
            Rig rig(Flags(flags), {DiskAt(0)});
            auto& buffer = rig.Buffer(16);
            buffer.data[2] = 0x02;
            buffer.data[7] = 0x02;
            sim::RequestSpec request_spec;
            request_spec.cdb = Inquiry(0, length);
            request_spec.buffer = &buffer;
            request_spec.length = length;
            request_spec.direction = DataDirection::In;
            sim::Request& r = rig.Submit(request_spec);
            rig.port().run_until_idle();

            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(buffer.data[0], 0x00);
            EXPECT_EQ(buffer.data[7], 0x02);
            EXPECT_EQ(rig.lun(0).QueueDepth, 1);
            rig.ExpectCleanEnd();
        }
    }
}

// An INQUIRY completing on a LUN that is already tagged, while tagged
// commands hold tags: switching tagged queuing on again must not free those
// tags, or a new command would reuse one (the target answers that with
// CHECK CONDITION, overlapped commands).
TEST(OpenCases, InquiryOnATaggedLunKeepsHeldTagsBusy)
{
    sim::DeviceConfig disk = DiskAt(0);
    disk.options.track_seek = 300 * sim::kMicrosecond;  // tagged commands disconnect
    disk.options.full_seek = 2 * sim::kMillisecond;
    disk.options.revolution = 1 * sim::kMillisecond;
    Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged), {disk});
    auto& first = rig.Buffer(36);
    rig.Run(0, 0, Inquiry(0, 36), &first);
    ASSERT_EQ(rig.lun(0).QueueDepth, 8);

    std::vector<uint8_t> expected = rig.Fill(0, 0, 64, 0x2D);
    std::vector<sim::Request*> reads;
    std::vector<sim::PhysicalMemory::Buffer*> buffers;
    auto submitRead = [&](uint32_t n) {
        sim::RequestSpec request_spec;
        request_spec.cdb = Read10(n * 8000, 4);
        rig.device(0).store().write(n * 8000, &expected[n * 2048], 4);
        buffers.push_back(&rig.Buffer(2048, n * 0x100));
        request_spec.buffer = buffers.back();
        request_spec.direction = DataDirection::In;
        reads.push_back(&rig.port().submit(0, request_spec));
    };
    for (uint32_t n = 0; n < 4; n++)
        submitRead(n);
    int heldAtInquiry = 0;
    bool heldTagFreed = false;
    sim::RequestSpec inquirySpec;
    inquirySpec.cdb = Inquiry(0, 36);
    inquirySpec.buffer = &rig.Buffer(36);
    inquirySpec.direction = DataDirection::In;
    sim::Request& inquiry = rig.port().submit(0, inquirySpec, [&](const sim::Request&) {
        const LunRecord& lun = rig.lun(0);
        for (const CommandBlock* b = lun.QueueHead; b; b = b == lun.QueueTail ? nullptr : b->Next) {
            if (b->TagMessage == 0)
                continue;
            heldAtInquiry++;
            heldTagFreed |= (lun.FreeTags >> b->Tag) & 1;
        }
    });
    for (uint32_t n = 4; n < 8; n++)
        submitRead(n);
    rig.port().run_until_idle();

    EXPECT_EQ(inquiry.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_GT(heldAtInquiry, 0);
    EXPECT_FALSE(heldTagFreed);
    for (size_t n = 0; n < reads.size(); n++) {
        EXPECT_EQ(reads[n]->srb.SrbStatus, SRB_STATUS_SUCCESS) << "read " << n;
        EXPECT_EQ(Bytes(*buffers[n]), std::vector<uint8_t>(&expected[n * 2048], &expected[n * 2048 + 2048]));
    }
    rig.ExpectCleanEnd();
}

// The DMA engine never reports the last bytes written: the driver's wait is
// bounded, and the request fails instead of the machine hanging. Stopping
// the engine loses its last bytes, which the model reports; that loss is
// exactly why the request fails, so it is the one report expected.
TEST(OpenCases, DmaThatNeverFinishesFailsTheRequest)
{
    struct Case {
        const char* what;
        uint32_t bufferLength;  // a whole entry waits for the engine; a partial one drains
    };
    for (Case c : {Case{"wait for the working count", 512}, Case{"drain", 4096}}) {
        SCOPED_TRACE(c.what);
        sim::AdapterConfig adapter = frametest::AdapterAt(0, 3, Rig::kIoBase);
        adapter.settings = Flags(sim::kTargetParity | sim::kTargetDisconnect);
        adapter.devices = {DiskAt(0)};
        adapter.chip_timing.dma.in_flight_time = 10 * sim::kSecond;
        adapter.chip_timing.dma.drain_time = 10 * sim::kSecond;
        sim::MachineConfig config;
        config.adapters = {adapter};
        sim::Machine machine(config);
        machine.boot();

        auto& buffer = machine.memory().allocate(c.bufferLength);
        sim::RequestSpec request_spec;
        request_spec.cdb = Read10(0, 1);
        request_spec.buffer = &buffer;
        request_spec.direction = DataDirection::In;
        sim::Request& r = machine.port_driver().submit(0, request_spec);
        EXPECT_EQ(machine.port_driver().run_until_idle(), sim::PortDriver::RunResult::Idle);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_ERROR);
        // The wait is bounded by time (polls a microsecond apart), near a
        // millisecond with interrupts off, not by a count of port reads.
        EXPECT_EQ(machine.port_driver().stalls(), uint64_t(DMA_WAIT_POLLS));
        EXPECT_LT(r.completed - r.started, 2 * sim::kMillisecond);
        machine.port_driver().run_for(20 * sim::kSecond);  // the engine's late bytes
        EXPECT_EQ(machine.port_driver().outstanding(), 0u);
        ExpectDriverIdle(*inspect::Extension(machine, 0));
        ASSERT_EQ(machine.errors().all().size(), 1u) << machine.errors().summary();
        EXPECT_NE(machine.errors().summary().find("never drained"), std::string::npos);
    }
}

// A reconnected command that ends without a status phase must not be judged
// by the status another command of the same LUN left behind. Tagged LUN: A
// disconnects for a long seek, B runs and ends GOOD meanwhile; A comes back,
// the target asks for message out, gets ABORT and frees the bus. A has no
// status of its own and must fail.
TEST(OpenCases, ReconnectedCommandEndingWithoutStatusFails)
{
    sim::DeviceConfig disk = DiskAt(0);
    disk.options.track_seek = 300 * sim::kMicrosecond;
    disk.options.full_seek = 8 * sim::kMillisecond;
    Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged), {disk});
    auto& inquiry = rig.Buffer(36);
    rig.Run(0, 0, Inquiry(0, 36), &inquiry);
    ASSERT_GT(rig.lun(0).QueueDepth, 1);

    const uint8_t atStatus[] = {1};  // the message-out request goes just before the status
    sim::ByteChoices choices(atStatus);
    sim::FaultCounts counts{};
    sim::DeviceFaults faults(rig.device(0), choices, counts, nullptr);
    rig.device(0).set_fault_hooks(&faults);
    faults.force(sim::FaultKind::MessageOutRequest);  // the next command planned: A
    std::vector<uint8_t> messageOut;
    rig.OnEvent([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::MessageOut)
            messageOut = {e.byte};
    });
    auto& far = rig.Buffer(2048);
    auto& near = rig.Buffer(512);
    sim::Request& a = rig.Execute(0, 0, Read10(60000, 4), &far, DataDirection::In);
    // Right behind A's blocks: the disk, planning from where A will leave the heads, needs no seek for B.
    sim::Request& b = rig.Execute(0, 0, Read10(60004, 1), &near, DataDirection::In);
    rig.port().run_until_idle();
    rig.device(0).set_fault_hooks(nullptr);

    ASSERT_EQ(counts[size_t(sim::FaultKind::MessageOutRequest)], 1u);
    ASSERT_EQ(b.state, sim::Request::State::Completed);
    ASSERT_LT(b.completed, a.completed);
    EXPECT_EQ(b.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(messageOut, std::vector<uint8_t>{0x0D});  // ABORT TAG
    EXPECT_EQ(a.srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(a.srb.ScsiStatus, 0x00);
    rig.ExpectCleanEnd();
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// A selection is held back while the chip has an interrupt pending. When that
// interrupt is an illegal-command one (a command overtaken by a reset the
// driver has not read yet), nothing else would start the held-back command:
// the interrupt routine starts it. The illegal command is raised from outside
// at every moment of HwStartIo, before and after the selection is written.
TEST(OpenCases, SelectionHeldBackForAnIllegalCommandInterruptStartsAfterIt)
{
    int raised = 0;
    for (sim::Nanoseconds at = 0; at < 12 * sim::kMicrosecond; at += 250) {
        SCOPED_TRACE(at);
        Rig rig(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        auto& buffer = rig.Buffer(512);
        rig.machine().clock().after(at, [&] {
            if (rig.ext()->ActiveLun)
                return;  // the selection is written: too late
            raised++;    // the chip is idle: a transfer command is out of place
            rig.machine().ports().write(uint16_t(Rig::kIoBase + Command), sim::Width::Byte, TransferInfo);
        });
        sim::Request& r = rig.Execute(0, 0, Read10(0, 1), &buffer, DataDirection::In);
        EXPECT_EQ(rig.port().run_until_idle(), sim::PortDriver::RunResult::Idle);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(rig.port().timeouts().time_outs(), 0u);
        EXPECT_LT(r.completed - r.submitted, 1 * sim::kMillisecond);
        // The test's own illegal command is the only rule broken.
        for (const sim::ModelError& e : rig.machine().errors().all())
            EXPECT_NE(e.message.find("illegal-command interrupt"), std::string::npos) << e.to_string();
        rig.machine().errors().clear();
        rig.ExpectCleanEnd();
    }
    EXPECT_GT(raised, 4);
}

}  // namespace
}  // namespace enginetest
