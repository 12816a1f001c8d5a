// Register sequences of the bus-phase engine, read from the port accesses
// the simulator recorded while real devices drove the phases.
#include "support/driver_fixture.h"

#include "bus/faults.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

using sim::PortAccess;

constexpr uint16_t kBase = DriverFixture::kIoBase;
inline PortAccess Cmd(uint8_t code) { return Chip(Command, code); }
inline PortAccess Dma32(uint8_t reg, uint32_t v) { return Out32(uint16_t(kBase + reg), v); }

size_t Count(const std::vector<PortAccess>& log, const PortAccess& a)
{
    return size_t(std::count(log.begin(), log.end(), a));
}

// The writes that program one scatter-gather entry.
std::vector<PortAccess> ProgramDmaWrites(uint8_t direction, uint32_t count, uint32_t address)
{
    return {Chip(DmaCommand, direction),
            Chip(TransferCountLow, count & 0xFF),
            Chip(TransferCountMid, (count >> 8) & 0xFF),
            Chip(TransferCountHigh, (count >> 16) & 0xFF),
            Dma32(DmaTransferCount, count),
            Dma32(DmaAddress, address),
            Cmd(DmaTransferInfo),
            Chip(DmaCommand, direction),
            Chip(DmaCommand, direction | 0x03)};
}

// Writes plus the FIFO reads: what the driver did and the bytes it took.
std::vector<PortAccess> WritesAndFifoReads(const std::vector<PortAccess>& log)
{
    std::vector<PortAccess> out;
    for (const PortAccess& a : log)
        if (a.direction == sim::Direction::Write || a.port == kBase + Fifo)
            out.push_back(a);
    return out;
}

TEST(Registers, EachScatterGatherEntryIsProgrammedInOrder)
{
    for (bool in : {true, false}) {
        SCOPED_TRACE(in ? "data in" : "data out");
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        auto& buffer = fixture.Buffer(16 * 512, 0x200);
        fixture.ChipWrites();
        fixture.Run(0, 0, in ? Read10(0, 16) : Write10(0, 16), &buffer, in ? DataDirection::In : DataDirection::Out);
        const auto writes = fixture.ChipWrites();

        const uint8_t direction = in ? 0x80 : 0x00;
        const uint32_t lengths[] = {0xE00, 0x1000, 0x200};
        const uint32_t addresses[] = {buffer.pages[0] * 4096 + 0x200, buffer.pages[1] * 4096, buffer.pages[2] * 4096};
        long at = 0;
        for (int i = 0; i < 3; i++) {
            long found = FindRun(writes, ProgramDmaWrites(direction, lengths[i], addresses[i]));
            EXPECT_GT(found, at) << "entry " << i;
            at = found;
        }
        EXPECT_EQ(Count(writes, Chip(DmaCommand, direction | 0x03)), 3u);
        fixture.ExpectCleanEnd();
    }
}

// More data than buffer: the counter is loaded with 0xFFFFFF and the chip
// pads; the DMA engine is left alone.
TEST(Registers, PadWhenTheBufferIsUsedUp)
{
    for (bool in : {true, false}) {
        SCOPED_TRACE(in ? "data in" : "data out");
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        auto& buffer = fixture.Buffer(512);
        fixture.ChipWrites();
        sim::Request& r =
            fixture.Run(0, 0, in ? Read10(0, 4) : Write10(0, 4), &buffer, in ? DataDirection::In : DataDirection::Out);
        const auto writes = fixture.ChipWrites();

        const std::vector<PortAccess> pad = {Chip(TransferCountLow, 0xFF), Chip(TransferCountMid, 0xFF),
                                             Chip(TransferCountHigh, 0xFF), Cmd(DmaTransferPad)};
        long padAt = FindRun(writes, pad);
        ASSERT_GE(padAt, 0);
        auto statusAt = std::find(writes.begin() + padAt, writes.end(), Cmd(InitiatorCommandComplete));
        ASSERT_NE(statusAt, writes.end());
        EXPECT_TRUE(std::none_of(writes.begin() + padAt, statusAt,
                                 [](const PortAccess& a) { return a.port == kBase + DmaCommand; }));
        EXPECT_EQ(r.srb.SrbStatus & 0x3F, SRB_STATUS_ERROR);
        EXPECT_EQ(r.srb.ScsiStatus, 0x02);
        fixture.ExpectCleanEnd();
    }
}

// A data-in phase that stops inside an entry leaves bytes in the DMA engine:
// they are drained (0x81) only then, never after a whole entry.
TEST(Registers, DataInDrainsOnlyAPartialEntry)
{
    struct Case {
        const char* what;
        uint16_t blocks;
        uint32_t bufferLength;
        size_t drains;
    };
    const Case cases[] = {
        {"every entry whole", 16, 16 * 512, 0},
        {"stops inside the first entry", 1, 8192, 1},
        {"stops inside the second entry", 9, 8192, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        std::vector<uint8_t> expected = fixture.Fill(0, 0, c.blocks, 0x42);
        auto& buffer = fixture.Buffer(c.bufferLength);
        size_t mark = fixture.Mark();
        sim::Request& r = fixture.Run(0, 0, Read10(0, c.blocks), &buffer);
        const auto log = fixture.ChipAccesses(mark);

        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer, expected.size()), expected);
        EXPECT_EQ(Count(log, Chip(DmaCommand, 0x81)), c.drains);
        if (c.drains) {
            // The drain is followed by polling DmaStatus for drain complete.
            auto drain = std::find(log.begin(), log.end(), Chip(DmaCommand, 0x81));
            ASSERT_NE(drain + 1, log.end());
            EXPECT_EQ(drain[1].port, kBase + DmaStatus);
            EXPECT_EQ(drain[1].direction, sim::Direction::Read);
        }
        fixture.ExpectCleanEnd();
    }
}

// Status phase: flush, InitiatorCommandComplete; at the next interrupt the
// status and message bytes are read from the FIFO and the message accepted.
TEST(Registers, StatusPhaseTakesTwoBytesAndAccepts)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> cdb;
        uint8_t status;
    };
    const Case cases[] = {{"GOOD", Read10(0, 1), 0x00}, {"CHECK CONDITION", Read10(70000, 1), 0x02}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        fixture.NoSense();  // the status byte as the driver kept it
        auto& buffer = fixture.Buffer(512);
        size_t mark = fixture.Mark();
        fixture.Run(0, 0, c.cdb, &buffer);
        const auto seen = WritesAndFifoReads(fixture.ChipAccesses(mark));
        const std::vector<PortAccess> expected = {Cmd(FlushFifo), Cmd(InitiatorCommandComplete),
                                                  In8(kBase + Fifo, c.status), In8(kBase + Fifo, 0x00),
                                                  Cmd(MessageAccepted)};
        EXPECT_GE(FindRun(seen, expected), 0);
        EXPECT_EQ(fixture.lun(0).StatusByte, c.status);
        fixture.ExpectCleanEnd();
    }
}

// INQUIRY to LUN 0 offers synchronous transfer with the period factor of the
// target's speed; the answer lands in the LUN record and the next read runs
// synchronously with the data intact.
TEST(Registers, SdtrOfferAndAgreement)
{
    struct Case {
        uint8_t speed;
        uint8_t factor;
        uint8_t periodReg, config3;
    };
    const Case cases[] = {{0, 0x19, 4, 0x18}, {1, 0x1F, 5, 0x18}, {2, 0x25, 6, 0x18}, {3, 0x2B, 7, 0x18},
                          {4, 0x32, 8, 0x18}, {5, 0x51, 12, 0x08}, {6, 0x7D, 19, 0x08}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "speed index " << int(c.speed));
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync, c.speed), {DiskAt(0)});
        auto& inquiry = fixture.Buffer(36);
        fixture.ChipWrites();
        EXPECT_EQ(fixture.Run(0, 0, Inquiry(0, 36), &inquiry).srb.SrbStatus, SRB_STATUS_SUCCESS);
        const auto writes = fixture.ChipWrites();

        EXPECT_GE(FindRun(writes, {Cmd(FlushFifo), Chip(Fifo, 0x01), Chip(Fifo, 0x03), Chip(Fifo, 0x01),
                                   Chip(Fifo, c.factor), Chip(Fifo, 0x0F), Cmd(TransferInfo)}),
                  0);
        const LunRecord& lun = fixture.lun(0);
        EXPECT_EQ(lun.SyncPeriodReg, c.periodReg);
        EXPECT_EQ(lun.SyncOffsetReg, 15);
        EXPECT_EQ(lun.Config3, c.config3);
        EXPECT_EQ(fixture.device(0).agreement().offset, 15);

        std::vector<uint8_t> expected = fixture.Fill(0, 0, 8, c.speed);
        auto& data = fixture.Buffer(4096, 0x10);
        EXPECT_EQ(fixture.Run(0, 0, Read10(0, 8), &data).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(data), expected);
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
        fixture.ExpectCleanEnd();
    }
}

// A target that answers asynchronous or rejects the offer leaves the LUN
// asynchronous, and the data still arrive intact.
TEST(Registers, SdtrRefusedFallsBackToAsynchronous)
{
    for (sim::SdtrAnswer answer : {sim::SdtrAnswer::AsyncOnly, sim::SdtrAnswer::Reject}) {
        SCOPED_TRACE(answer == sim::SdtrAnswer::Reject ? "MESSAGE REJECT" : "offset 0");
        sim::TargetOptions options;
        options.sdtr = answer;
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync), {DiskAt(0, options)});
        auto& inquiry = fixture.Buffer(36);
        EXPECT_EQ(fixture.Run(0, 0, Inquiry(0, 36), &inquiry).srb.SrbStatus, SRB_STATUS_SUCCESS);
        const LunRecord& lun = fixture.lun(0);
        EXPECT_EQ(lun.SyncPeriodReg, 0);
        EXPECT_EQ(lun.SyncOffsetReg, 0);
        EXPECT_EQ(lun.Asynchronous, 1);
        EXPECT_EQ(lun.Config4 & 0xC0, 0x80);

        std::vector<uint8_t> expected = fixture.Fill(0, 0, 2, 0x99);
        auto& data = fixture.Buffer(1024);
        EXPECT_EQ(fixture.Run(0, 0, Read10(0, 2), &data).srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(data), expected);
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
        fixture.ExpectCleanEnd();
    }
}

// A parity error during a data-in transfer: the chip raises ATN, the driver
// answers INITIATOR DETECTED ERROR, the target sends the data again.
TEST(Registers, ParityErrorIsReportedAndTheDataSentAgain)
{
    struct Case {
        const char* what;
        uint32_t offset;  // of the 2048-byte buffer in its first page
    };
    for (Case c : {Case{"first of two transfers", 0xC00}, Case{"the only transfer", 0x000}}) {
        SCOPED_TRACE(c.what);
        sim::TargetOptions options;
        options.parity_errors = 1;
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0, options)});
        std::vector<uint8_t> expected = fixture.Fill(0, 0, 4, 0x23);
        auto& buffer = fixture.Buffer(2048, c.offset);
        fixture.ChipWrites();
        sim::Request& r = fixture.Run(0, 0, Read10(0, 4), &buffer);
        const auto writes = fixture.ChipWrites();

        EXPECT_GE(FindRun(writes, {Cmd(FlushFifo), Chip(Fifo, 0x05), Cmd(TransferInfo)}), 0);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer), expected);
        fixture.ExpectCleanEnd();
    }
}

// The target enters message out with nothing pending: here ATN comes from a
// parity error during a pad transfer, which the driver does not book. The
// command is aborted, and fails as the overrun it is.
TEST(Registers, MessageOutWithNothingPendingAborts)
{
    sim::TargetOptions options;
    options.repeat_transfer_chance = 1.0;  // part of the data, RESTORE POINTERS, all of it
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0, options)});
    std::vector<uint8_t> expected = fixture.Fill(0, 0, 8, 0x61);
    fixture.NoSense();  // the messages of this command alone
    auto& buffer = fixture.Buffer(1);
    std::vector<std::vector<uint8_t>> messagesOut;
    int dataIn = 0;
    fixture.OnEvent([&](const BusEvent& e) {
        // The first transfer fills the one-byte buffer; the pad after it carries the error.
        if (e.kind == BusEvent::Kind::DataIn && dataIn++ == 0)
            fixture.device(0).pending_faults().parity_errors = 1;
        if (e.kind == BusEvent::Kind::MessageOut)
            messagesOut.push_back({e.byte});
    });
    fixture.ChipWrites();
    sim::Request& r = fixture.Run(0, 0, Read10(0, 8), &buffer);
    const auto writes = fixture.ChipWrites();

    EXPECT_GE(FindRun(writes, {Cmd(FlushFifo), Chip(Fifo, 0x06), Cmd(TransferInfo)}), 0);
    ASSERT_EQ(messagesOut.size(), 2u);  // IDENTIFY at selection, then ABORT
    EXPECT_EQ(messagesOut[1], std::vector<uint8_t>{0x06});
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(r.srb.ScsiStatus, 0x02);
    EXPECT_EQ(buffer.data[0], expected[0]);
    EXPECT_EQ(fixture.device(0).commands_held(), 0u);
    fixture.ExpectCleanEnd();
}

// Messages the driver does not take are refused: ATN is raised before the
// last byte is accepted, and the next message-out phase sends MESSAGE REJECT.
// The command itself goes on and succeeds.
TEST(Registers, RefusedMessageIsAnsweredWithMessageReject)
{
    struct Case {
        const char* what;
        sim::FaultKind kind;
    };
    const Case cases[] = {
        {"two-byte message other than a queue tag", sim::FaultKind::TwoByteMessage},
        {"extended message other than SDTR", sim::FaultKind::ExtendedMessage},
        {"SDTR the driver did not ask for", sim::FaultKind::UnsolicitedSdtr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        sim::RngChoices choices(fixture.machine().rng());
        sim::FaultCounts counts{};
        sim::DeviceFaults faults(fixture.device(0), choices, counts, nullptr);
        fixture.device(0).set_fault_hooks(&faults);
        faults.force(c.kind);
        std::vector<uint8_t> expected = fixture.Fill(0, 0, 4, 0x3A);
        std::vector<std::vector<uint8_t>> messagesOut;
        fixture.OnEvent([&](const BusEvent& e) {
            if (e.kind == BusEvent::Kind::MessageOut)
                messagesOut.push_back({e.byte});
        });
        auto& buffer = fixture.Buffer(2048);
        fixture.ChipWrites();
        sim::Request& r = fixture.Run(0, 0, Read10(0, 4), &buffer);
        const auto writes = fixture.ChipWrites();
        fixture.device(0).set_fault_hooks(nullptr);

        ASSERT_EQ(counts[size_t(c.kind)], 1u);
        EXPECT_GE(FindRun(writes, {Cmd(SetAtn), Cmd(MessageAccepted)}), 0);
        EXPECT_GE(FindRun(writes, {Cmd(FlushFifo), Chip(Fifo, 0x07), Cmd(TransferInfo)}), 0);
        EXPECT_EQ(messagesOut.back(), std::vector<uint8_t>{0x07});
        EXPECT_EQ(fixture.lun(0).SyncOffsetReg, 0);
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer), expected);
        EXPECT_EQ(fixture.bus().timing_mismatches(), 0u);
        fixture.ExpectCleanEnd();
    }
}


// The DMA engine never reports the last bytes written: the driver's wait is
// bounded, and the request fails instead of the machine hanging. Stopping
// the engine loses its last bytes, which the model reports; that loss is
// exactly why the request fails, so it is the one report expected.

// A message put in just before the status phase, once.
class MessageBeforeStatus : public sim::TargetFaultHooks {
public:
    explicit MessageBeforeStatus(std::vector<uint8_t> message) : message_(std::move(message)) {}
    void command_planned(sim::Target& /*target*/, sim::PlannedCommand& command) override
    {
        if (message_.empty())
            return;
        auto status = std::find_if(command.steps.begin(), command.steps.end(),
                                   [](const sim::Target::Step& s) { return s.kind == sim::Target::Step::Kind::Status; });
        command.steps.insert(status, sim::Target::Step{sim::Target::Step::Kind::MessageIn, std::move(message_)});
        message_.clear();
    }

private:
    std::vector<uint8_t> message_;
};

// Every message we do not implement is refused, single-byte ones included:
// a target that sends an optional message learns from MESSAGE REJECT that
// nothing was done for it. The one message-out phase after it says just that.
TEST(Registers, EveryMessageWeDoNotImplementIsRejected)
{
    const std::vector<std::vector<uint8_t>> messages = {
        {0x08},                          // NO OPERATION as a message in
        {0x0F},                          // INITIATE RECOVERY
        {0x10},                          // RELEASE RECOVERY
        {0x11},                          // reserved
        {0x0A},                          // LINKED COMMAND COMPLETE: we never link
        {0x0B},                          // ... WITH FLAG
        {0x80},                          // IDENTIFY outside a reselection
        {0x23, 0x01},                    // IGNORE WIDE RESIDUE on a narrow bus
        {0x01, 0x02, 0x03, 0x01},        // WIDE DATA TRANSFER REQUEST
        {0x01, 0x05, 0x00, 0, 0, 0, 4},  // MODIFY DATA POINTER
    };
    for (const std::vector<uint8_t>& message : messages) {
        SCOPED_TRACE(testing::Message() << "message " << int(message[0]));
        DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
        MessageBeforeStatus hooks(message);
        fixture.device(0).set_fault_hooks(&hooks);
        std::vector<uint8_t> expected = fixture.Fill(0, 0, 4, 0x3A);
        std::vector<uint8_t> out;
        fixture.OnEvent([&](const BusEvent& e) {
            if (e.kind == BusEvent::Kind::MessageOut)
                out.push_back(e.byte);
        });
        auto& buffer = fixture.Buffer(2048);
        sim::Request& r = fixture.Run(0, 0, Read10(0, 4), &buffer);
        fixture.device(0).set_fault_hooks(nullptr);

        EXPECT_EQ(out, (std::vector<uint8_t>{0xC0, 0x07})) << "IDENTIFY, then the refusal";
        EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer), expected);
        fixture.ExpectCleanEnd();
    }
}

TEST(Registers, DmaThatNeverFinishesFailsTheRequest)
{
    struct Case {
        const char* what;
        uint32_t bufferLength;  // a whole entry waits for the engine; a partial one drains
    };
    for (Case c : {Case{"wait for the working count", 512}, Case{"drain", 4096}}) {
        SCOPED_TRACE(c.what);
        sim::AdapterConfig adapter = AdapterAt(0, 3, DriverFixture::kIoBase);
        adapter.settings = Flags(sim::kTargetParity | sim::kTargetDisconnect);
        adapter.devices = {DiskAt(0)};
        adapter.chip_timing.dma.in_flight_time = 10 * sim::kSecond;
        adapter.chip_timing.dma.drain_time = 10 * sim::kSecond;
        sim::MachineConfig config;
        config.adapters = {adapter};
        sim::Machine machine(config);
        machine.boot(hba::linked_driver());

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
        // The administrator learns of it, once.
        const auto& log = machine.port_driver().event_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].code, uint32_t{SP_INTERNAL_ADAPTER_ERROR});
        machine.port_driver().run_for(20 * sim::kSecond);  // the engine's late bytes
        EXPECT_EQ(machine.port_driver().outstanding(), 0u);
        ExpectDriverIdle(machine);
        ASSERT_EQ(machine.errors().all().size(), 1u) << machine.errors().summary();
        EXPECT_NE(machine.errors().summary().find("never drained"), std::string::npos);
    }
}

// A target that frees the bus right after a message we accepted, without a
// status: the command fails, and the administrator learns of it once, as
// when it drops the bus in the middle of any other phase.
TEST(Registers, BusFreeAfterAnAcceptedMessageIsLogged)
{
    class LeaveAfterMessage : public sim::TargetFaultHooks {
    public:
        void command_planned(sim::Target& /*target*/, sim::PlannedCommand& command) override
        {
            command.steps.clear();
            command.steps.push_back({sim::Target::Step::Kind::MessageIn, {0x02}});  // SAVE DATA POINTER
            command.steps.push_back({sim::Target::Step::Kind::Vanish});
        }
    };
    DriverFixture fixture(Flags(sim::kTargetParity | sim::kTargetDisconnect), {DiskAt(0)});
    LeaveAfterMessage hooks;
    fixture.device(0).set_fault_hooks(&hooks);
    auto& buffer = fixture.Buffer(512);
    sim::Request& r = fixture.Run(0, 0, Read10(0, 1), &buffer);
    fixture.device(0).set_fault_hooks(nullptr);

    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_ERROR);
    const auto& log = fixture.port().event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, uint32_t{SP_UNEXPECTED_DISCONNECT});
    fixture.ExpectCleanEnd();
}

}  // namespace
}  // namespace hbatest
