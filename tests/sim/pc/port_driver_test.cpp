// The port-driver model's own rules, shown with a stand-in miniport.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/fake_miniport.h"

namespace hbatest {
namespace {

using sim::PortDriver;

TEST_F(FakeMachine, FindsInitializesThenFindsTheNextWithAFreshZeroedExtension)
{
    fake.adapters_to_find = 2;
    std::vector<PVOID> extensions;
    fake.find = [&](PVOID ext, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
        const auto* bytes = static_cast<const uint8_t*>(ext);
        for (ULONG i = 0; i < fake.extension_size; i++)
            EXPECT_EQ(bytes[i], 0) << "extension byte " << i;
        EXPECT_EQ(ci->Length, sizeof(PORT_CONFIGURATION_INFORMATION));
        EXPECT_EQ(ci->AdapterInterfaceType, Isa);
        EXPECT_EQ((*ci->AccessRanges)[0].RangeLength, 0u);
        EXPECT_EQ(ci->InterruptMode, Latched) << "as for an Isa interface";
        ci->InterruptMode = LevelSensitive;  // both adapters on one line
        std::memset(ext, 0xAB, fake.extension_size);  // must not leak into the next call
        extensions.push_back(ext);
        *again = fake.adapters_to_find > 0;
        return fake.adapters_to_find-- > 0 ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND;
    };
    boot();
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"find", "initialize", "find", "initialize", "find"}));
    EXPECT_EQ(status, PortDriver::kStatusSuccess);
    EXPECT_EQ(machine->adapters().size(), 2u);
    EXPECT_NE(extensions[0], extensions[1]);
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

TEST_F(FakeMachine, NothingFoundIsNoSuchDeviceAndAWantedBaseIsHandedIn)
{
    fake.adapters_to_find = 0;
    fake.find = [](PVOID, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
        EXPECT_EQ((*ci->AccessRanges)[0].RangeStart.QuadPart, 0xE400);
        EXPECT_EQ((*ci->AccessRanges)[0].RangeLength, 0x60u);
        *again = FALSE;
        return SP_RETURN_NOT_FOUND;
    };
    sim::MachineConfig c;
    c.wanted_base = 0xE400;
    boot(c);
    EXPECT_EQ(status, PortDriver::kStatusNoSuchDevice);
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

TEST_F(FakeMachine, RejectsABadRegistrationRecordWithoutCallingTheMiniport)
{
    const std::vector<std::pair<std::function<void(HW_INITIALIZATION_DATA&)>, std::string>> cases = {
        {[](HW_INITIALIZATION_DATA& d) { d.HwInitializationDataSize = 72; }, "HwInitializationDataSize"},
        {[](HW_INITIALIZATION_DATA& d) { d.HwStartIo = nullptr; }, "without HwStartIo"},
        {[](HW_INITIALIZATION_DATA& d) { d.HwFindAdapter = nullptr; }, "without HwFindAdapter"},
        {[](HW_INITIALIZATION_DATA& d) { d.NumberOfAccessRanges = 2; }, "NumberOfAccessRanges"},
    };
    for (const auto& [edit, message] : cases) {
        fake.calls.clear();
        fake.edit_registration = edit;
        boot();
        EXPECT_TRUE(error_mentions(message)) << message << ": " << machine->errors().summary();
        EXPECT_NE(status, PortDriver::kStatusSuccess);
        EXPECT_TRUE(fake.calls.empty());
    }
}

TEST_F(FakeMachine, MappingsMustBeBalancedAndCoverEveryPortAccess)
{
    fake.find = [](PVOID ext, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
        *again = FALSE;
        PVOID cfg = ScsiPortGetDeviceBase(ext, Isa, 0, ScsiPortConvertUlongToPhysicalAddress(0xCF8), 8, TRUE);
        EXPECT_EQ(cfg, reinterpret_cast<PVOID>(uintptr_t{0xCF8}));
        ScsiPortWritePortUlong(static_cast<PULONG>(cfg), 0x80000000);
        ScsiPortReadPortUchar(reinterpret_cast<PUCHAR>(uintptr_t{0xC03C}));  // mechanism #2 data: raw is fine here
        ScsiPortReadPortUchar(reinterpret_cast<PUCHAR>(uintptr_t{0xE800}));  // not mapped
        ScsiPortFreeDeviceBase(ext, reinterpret_cast<PVOID>(uintptr_t{0xE800}));  // never mapped
        ci->BusInterruptLevel = 11;
        return SP_RETURN_FOUND;  // ... and returns with 0xCF8 still mapped
    };
    sim::MachineConfig with_mechanism2;
    with_mechanism2.mechanism2 = true;
    boot(with_mechanism2);
    const auto& errors = machine->errors().all();
    ASSERT_EQ(errors.size(), 3u) << machine->errors().summary();
    EXPECT_NE(errors[0].message.find("0xe800 (1 bytes): no mapping"), std::string::npos);
    EXPECT_NE(errors[1].message.find("ScsiPortFreeDeviceBase(0xe800)"), std::string::npos);
    EXPECT_NE(errors[2].message.find("configuration ports still mapped"), std::string::npos);
}

// Mappings are counted per port: a range mapped twice stays covered until
// both are freed, and an access must lie wholly inside what is mapped.
TEST_F(FakeMachine, FreedMappingsStopCoveringTheirPorts)
{
    fake.find = [](PVOID ext, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
        *again = FALSE;
        const auto window = ScsiPortConvertUlongToPhysicalAddress(0xE800);
        PVOID first = ScsiPortGetDeviceBase(ext, Isa, 0, window, 0x60, TRUE);
        PVOID second = ScsiPortGetDeviceBase(ext, Isa, 0, window, 0x60, TRUE);
        ScsiPortReadPortUlong(reinterpret_cast<PULONG>(uintptr_t{0xE85E}));  // its last two bytes lie past the window
        ScsiPortFreeDeviceBase(ext, first);
        ScsiPortReadPortUchar(reinterpret_cast<PUCHAR>(uintptr_t{0xE800}));  // still mapped once
        ScsiPortFreeDeviceBase(ext, second);
        ScsiPortReadPortUchar(reinterpret_cast<PUCHAR>(uintptr_t{0xE85F}));  // no longer mapped
        ci->BusInterruptLevel = 11;
        return SP_RETURN_FOUND;
    };
    boot();
    const auto& errors = machine->errors().all();
    ASSERT_EQ(errors.size(), 2u) << machine->errors().summary();
    EXPECT_NE(errors[0].message.find("0xe85e (4 bytes): no mapping"), std::string::npos) << errors[0].message;
    EXPECT_NE(errors[1].message.find("0xe85f (1 bytes): no mapping"), std::string::npos) << errors[1].message;
}

class Requests : public FakeMachine {
protected:
    Requests()
    {
        boot();
        memory = &machine->memory();
    }
    sim::Request& submit(uint8_t target, sim::DataDirection d = sim::DataDirection::None,
                         sim::PhysicalMemory::Buffer* b = nullptr)
    {
        sim::RequestSpec request_spec;
        request_spec.target = target;
        request_spec.cdb = {0x00, 0, 0, 0, 0, 0};
        request_spec.direction = d;
        request_spec.buffer = b;
        return machine->port_driver().submit(0, request_spec);
    }
    sim::PhysicalMemory* memory = nullptr;
};

TEST_F(Requests, CompletingTwiceOrCompletingTheUnknownIsAnError)
{
    SCSI_REQUEST_BLOCK stranger{};
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(RequestComplete, ext, &stranger);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    // Caught without the port driver keeping a history of requests.
    machine->port_driver().record_completions(false);
    submit(1);
    EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
    const auto& errors = machine->errors().all();
    ASSERT_EQ(errors.size(), 2u) << machine->errors().summary();
    EXPECT_NE(errors[0].message.find("already completed"), std::string::npos);
    EXPECT_NE(errors[1].message.find("never gave out"), std::string::npos);
    EXPECT_EQ(machine->port_driver().ledger().completions(), 1u);
    EXPECT_EQ(machine->port_driver().ledger().live(), 0u);
}

TEST_F(Requests, OneStartIoAtATimeUntilNextRequestAndBulkCompletionOfAPath)
{
    PVOID extension = nullptr;
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK) -> BOOLEAN {
        extension = ext;
        return TRUE;  // keeps the request and does not ask for the next
    };
    sim::Request& first = submit(1);
    sim::Request& second = submit(2);
    machine->port_driver().pump();
    EXPECT_EQ(first.state, sim::Request::State::Outstanding);
    EXPECT_EQ(second.state, sim::Request::State::Waiting);

    // A reset completes everything outstanding; the next request then goes.
    fake.start_io = {};
    ScsiPortCompleteRequest(extension, 0, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
    ScsiPortNotification(NextRequest, extension);
    EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Stalled);
    EXPECT_EQ(first.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_TRUE(first.bulk_completed);
    // The fake never completes the second: a request that can never finish is reported.
    EXPECT_EQ(second.state, sim::Request::State::Outstanding);
    EXPECT_NE(machine->errors().summary().find("can never complete"), std::string::npos);
}

// The event log records what the miniport reports, naming the request when
// it is outstanding; an unpublished code, an SRB the port driver does not
// hold and a routine that logs from a loop are the miniport's errors.
TEST_F(Requests, EventLogRecordsEntriesAndRefusesWhatNoPortDriverWould)
{
    SCSI_REQUEST_BLOCK stranger{};
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        ScsiPortLogError(ext, srb, 0, srb->TargetId, 0, SP_BUS_PARITY_ERROR, 0x101);
        ScsiPortLogError(ext, nullptr, 0, 7, 0, SP_REQUEST_TIMEOUT, 0x701);
        ScsiPortLogError(ext, nullptr, 0, 7, 0, 0x99, 0x999);
        ScsiPortLogError(ext, &stranger, 0, 7, 0, SP_PROTOCOL_ERROR, 0x501);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    const sim::Request& request = submit(3);
    EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
    const auto& log = machine->port_driver().event_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].code, 1u);
    EXPECT_EQ(log[0].request, request.id);
    EXPECT_EQ(log[0].target, 3);
    EXPECT_EQ(log[0].unique_id, 0x101u);
    EXPECT_EQ(log[1].code, 7u);
    EXPECT_EQ(log[1].request, 0u);
    const auto& errors = machine->errors().all();
    ASSERT_EQ(errors.size(), 2u) << machine->errors().summary();
    EXPECT_NE(errors[0].message.find("no published SP_ code"), std::string::npos);
    EXPECT_NE(errors[1].message.find("not outstanding"), std::string::npos);

    // One routine call that writes more entries than any single recovery would.
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        for (int i = 0; i < 20; i++)
            ScsiPortLogError(ext, nullptr, 0, 7, 0, SP_BUS_TIME_OUT, 0x401);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    submit(3);
    EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
    EXPECT_EQ(machine->errors().all().size(), 3u) << machine->errors().summary();
    EXPECT_TRUE(error_mentions("floods the log"));
}

TEST_F(Requests, PhysicalAddressesStayInsideTheRequestsBuffer)
{
    auto& buffer = memory->allocate(0x3000, 0x800, sim::PhysicalMemory::Layout::Scattered);
    std::vector<std::pair<uint32_t, ULONG>> pieces;
    ULONG past_end = 99;
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        auto* va = static_cast<uint8_t*>(srb->DataBuffer);
        for (ULONG done = 0, len = 0; done < srb->DataTransferLength; done += len) {
            SCSI_PHYSICAL_ADDRESS pa = ScsiPortGetPhysicalAddress(ext, srb, va + done, &len);
            pieces.emplace_back(static_cast<uint32_t>(pa.QuadPart), len);
            if (len == 0)
                break;
        }
        ScsiPortGetPhysicalAddress(ext, srb, va + srb->DataTransferLength, &past_end);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    submit(0, sim::DataDirection::In, &buffer);
    machine->port_driver().run_until_idle();
    // 0x800 into a page, 0x3000 bytes, no two pages contiguous: 0x800, 0x1000, 0x1000, 0x800.
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0].second, 0x800u);
    EXPECT_EQ(pieces[0].first % 4096, 0x800u);
    EXPECT_EQ(pieces[1].second, 0x1000u);
    EXPECT_EQ(pieces[3].second, 0x800u);
    EXPECT_EQ(past_end, 0u);
    ASSERT_EQ(machine->errors().all().size(), 1u) << machine->errors().summary();
    EXPECT_NE(machine->errors().summary().find("past the end of the SRB's buffer"), std::string::npos);
}

TEST_F(FakeMachine, AnInterruptNobodyClaimsIsReportedAndMasked)
{
    boot();
    sim::InterruptLine& line = machine->interrupts().connect(11);
    line.set_level(true);
    machine->port_driver().pump();
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "interrupt"), 1);
    EXPECT_TRUE(error_mentions("nobody claims"));
    EXPECT_TRUE(machine->interrupts().masked(11));
}

// HwInitialize, HwStartIo and HwResetBus run at the interrupt's level: an
// interrupt raised inside one comes in after it returns, whatever it does
// with the processor's flag. Only the lenient port lets it in where
// HwResetBus's reset wait turns the flag on again.
TEST_F(FakeMachine, NoInterruptInsideInitializeStartIoOrResetBusUnlessLenient)
{
    enum class Routine { Initialize, StartIo, ResetBus };
    struct Case {
        Routine routine;
        const char* name;
        bool lenient;
        bool taken_inside;
    };
    const Case cases[] = {
        {Routine::Initialize, "initialize", false, false}, {Routine::Initialize, "initialize", true, false},
        {Routine::StartIo, "startio", false, false},       {Routine::StartIo, "startio", true, false},
        {Routine::ResetBus, "resetbus", false, false},     {Routine::ResetBus, "resetbus", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.lenient ? " lenient" : " strict"));
        fake = FakeMiniport{};
        sim::InterruptLine* line = nullptr;
        // Raises the line with the flag off, then turns the flag on again.
        const auto raise = [&] {
            if (!line)
                line = &machine->interrupts().connect(11);
            ULONG flags = SaveFlagsAndDisableInterrupts();
            line->set_level(true);
            fake.calls.push_back("raised");
            RestoreFlags(flags);
            fake.calls.push_back("restored");
        };
        fake.interrupt = [&](PVOID) -> BOOLEAN {
            line->set_level(false);
            return TRUE;
        };
        if (c.routine == Routine::Initialize)
            fake.initialize = [&](PVOID) -> BOOLEAN { return raise(), TRUE; };
        if (c.routine == Routine::StartIo)
            fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
                raise();
                srb->SrbStatus = SRB_STATUS_SUCCESS;
                ScsiPortNotification(RequestComplete, ext, srb);
                ScsiPortNotification(NextRequest, ext);
                return TRUE;
            };
        if (c.routine == Routine::ResetBus)
            fake.reset_bus = [&](PVOID, ULONG) -> BOOLEAN { return raise(), TRUE; };
        sim::MachineConfig config;
        config.interrupts_inside_reset_wait = c.lenient;
        boot(config);
        if (c.routine == Routine::StartIo) {
            sim::RequestSpec request;
            request.cdb = {0x00, 0, 0, 0, 0, 0};
            machine->port_driver().submit(0, request);
            machine->port_driver().run_until_idle();
        }
        if (c.routine == Routine::ResetBus)
            machine->port_driver().reset_bus(0);
        const auto at = std::find(fake.calls.begin(), fake.calls.end(), c.name);
        ASSERT_GE(fake.calls.end() - at, 4) << ::testing::PrintToString(fake.calls);
        const std::vector<std::string> taken_inside = {c.name, "raised", "interrupt", "restored"};
        const std::vector<std::string> taken_after = {c.name, "raised", "restored", "interrupt"};
        EXPECT_EQ(std::vector<std::string>(at, at + 4), c.taken_inside ? taken_inside : taken_after);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
        machine.reset();
    }
}

// A stand-in whose request raises two causes at once and whose interrupt
// routine services one cause per call. Level sensitive, the line is still
// raised after the first call and the routine is called again; latched, no
// new edge comes, nothing calls it again, and the request ends only by its
// time-out's bus reset.
TEST_F(FakeMachine, ALatchedInterruptIsTakenOncePerRisingEdge)
{
    for (KINTERRUPT_MODE mode : {LevelSensitive, Latched}) {
        SCOPED_TRACE(mode == Latched ? "Latched" : "LevelSensitive");
        fake = FakeMiniport{};
        fake.interrupt_mode = mode;
        boot();
        sim::InterruptLine& line = machine->interrupts().connect(11);
        int causes = 0;
        PSCSI_REQUEST_BLOCK held = nullptr;
        fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            held = srb;
            causes = 2;
            line.set_level(true);
            ScsiPortNotification(NextRequest, ext);
            return TRUE;
        };
        fake.interrupt = [&](PVOID ext) -> BOOLEAN {
            if (causes == 0)
                return FALSE;
            if (--causes == 0 && (line.set_level(false), held)) {
                held->SrbStatus = SRB_STATUS_SUCCESS;
                ScsiPortNotification(RequestComplete, ext, std::exchange(held, nullptr));
            }
            return TRUE;
        };
        fake.reset_bus = [&](PVOID ext, ULONG path) -> BOOLEAN {
            causes = 0;
            line.set_level(false);
            held = nullptr;
            ScsiPortCompleteRequest(ext, static_cast<UCHAR>(path), 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
            return TRUE;
        };
        sim::RequestSpec request_spec;
        request_spec.cdb = {0x00, 0, 0, 0, 0, 0};
        request_spec.timeout_seconds = 2;
        const sim::Request& r = machine->port_driver().submit(0, request_spec);
        machine->port_driver().run_for(5 * sim::kSecond);
        ASSERT_EQ(r.state, sim::Request::State::Completed);
        const auto interrupts = std::count(fake.calls.begin(), fake.calls.end(), "interrupt");
        if (mode == LevelSensitive) {
            EXPECT_EQ(interrupts, 2);
            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_LT(r.completed - r.started, sim::kMillisecond);
        } else {
            EXPECT_EQ(interrupts, 1);
            EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_BUS_RESET);
            EXPECT_GE(r.completed - r.started, 2 * sim::kSecond);
            EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "resetbus"), 1);
            // The line dropped with the reset; a new rising edge is taken again.
            causes = 1;
            held = nullptr;
            line.set_level(true);
            machine->port_driver().pump();
            EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "interrupt"), 2);
        }
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
        machine.reset();
    }
}

// A Latched connection is exclusive, a LevelSensitive one shareable: the
// second adapter on a line is connected only when neither is Latched. One
// that is not is never initialized, and the start-up goes on without it.
TEST_F(FakeMachine, ASecondAdapterOnALineHeldLatchedIsNotConnected)
{
    const std::pair<KINTERRUPT_MODE, KINTERRUPT_MODE> cases[] = {
        {LevelSensitive, LevelSensitive}, {LevelSensitive, Latched}, {Latched, LevelSensitive}, {Latched, Latched}};
    for (const auto& [first, second] : cases) {
        SCOPED_TRACE(::testing::Message() << "modes " << first << " " << second);
        fake = FakeMiniport{};
        int found = 0;
        fake.find = [&](PVOID, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
            *again = found < 2;
            if (found == 2)
                return SP_RETURN_NOT_FOUND;
            ci->BusInterruptLevel = 11;
            ci->InterruptMode = found++ == 0 ? first : second;
            return SP_RETURN_FOUND;
        };
        boot();
        const bool shared = first == LevelSensitive && second == LevelSensitive;
        const std::vector<std::string> both = {"find", "initialize", "find", "initialize", "find"};
        const std::vector<std::string> first_only = {"find", "initialize", "find", "find"};
        EXPECT_EQ(fake.calls, shared ? both : first_only);
        EXPECT_EQ(status, PortDriver::kStatusSuccess);
        const PortDriver::Adapter& a = machine->port_driver().adapter(1);
        EXPECT_EQ(a.connected, shared);
        EXPECT_EQ(a.initialized, shared);
        EXPECT_EQ(a.not_connected.find("IRQ 11") != std::string::npos, !shared) << a.not_connected;
        EXPECT_TRUE(machine->port_driver().adapter(0).connected);
        // Another device's routine on the line is a user of it too.
        const bool added = machine->port_driver().add_shared_handler(11, [] { return false; });
        EXPECT_EQ(added, first == LevelSensitive);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
        machine.reset();
    }
}

// An adapter whose HwInitialize fails has its interrupt disconnected: the
// line is free again for the next one, even Latched, and ScsiPortInitialize
// fails only when no adapter started.
TEST_F(FakeMachine, AFailedInitializeGivesTheLineBack)
{
    int initialized = 0;
    fake.adapters_to_find = 2;
    fake.interrupt_mode = Latched;
    fake.initialize = [&](PVOID) -> BOOLEAN { return initialized++ > 0; };
    boot();
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"find", "initialize", "find", "initialize", "find"}));
    EXPECT_FALSE(machine->port_driver().adapter(0).connected);
    EXPECT_TRUE(machine->port_driver().adapter(1).connected) << machine->port_driver().adapter(1).not_connected;
    EXPECT_EQ(status, PortDriver::kStatusSuccess);

    fake = FakeMiniport{};
    fake.initialize = [](PVOID) -> BOOLEAN { return FALSE; };
    boot();
    EXPECT_EQ(status, PortDriver::kStatusNoSuchDevice);
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

TEST_F(FakeMachine, ARoutineMustNotReturnWithInterruptsDisabled)
{
    fake.find = [](PVOID, PPORT_CONFIGURATION_INFORMATION, BOOLEAN* again) -> ULONG {
        *again = FALSE;
        SaveFlagsAndDisableInterrupts();
        return SP_RETURN_NOT_FOUND;
    };
    boot();
    EXPECT_TRUE(error_mentions("HwFindAdapter returned with 1 saved flags not restored"));
    EXPECT_TRUE(error_mentions("HwFindAdapter returned with interrupts disabled"));
    EXPECT_TRUE(machine->cpu().interrupts_enabled());
}

// HwFindAdapter gets a configuration as a port driver fills it before the
// miniport describes its adapter, and the driver-parameter string when one
// is configured, afresh for each call.
TEST_F(FakeMachine, HwFindAdapterGetsThePreFilledConfigurationAndTheParameterString)
{
    const std::optional<std::string> strings[] = {std::nullopt, "", "MaximumSGList=16; DisableTags"};
    for (const auto& argument : strings) {
        SCOPED_TRACE(argument.value_or("(none)"));
        fake.adapters_to_find = 2;
        fake.argument_strings.clear();
        fake.find = [&](PVOID, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
            EXPECT_EQ(ci->NumberOfPhysicalBreaks, 17u);
            EXPECT_EQ(ci->MaximumTransferLength, SP_UNINITIALIZED_VALUE);
            EXPECT_EQ(ci->DmaChannel, SP_UNINITIALIZED_VALUE);
            EXPECT_EQ(ci->DmaPort, SP_UNINITIALIZED_VALUE);
            for (CCHAR id : ci->InitiatorBusId)
                EXPECT_EQ(static_cast<UCHAR>(id), 0xFF);
            EXPECT_FALSE(ci->Dma32BitAddresses);
            EXPECT_FALSE(ci->Master);
            ci->BusInterruptLevel = 11;
            *again = fake.adapters_to_find > 0;
            return fake.adapters_to_find-- > 0 ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND;
        };
        sim::MachineConfig c;
        c.argument_string = argument;
        boot(c);
        EXPECT_EQ(machine->adapters().size(), 2u);
        EXPECT_EQ(fake.argument_strings, std::vector<std::optional<std::string>>(3, argument));
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
    }
}

// RequestTimerCall: HwTimer once, the given microseconds later, never inside
// another miniport routine; 0 cancels, a new request replaces the pending one.
TEST_F(Requests, RequestTimerCallCallsHwTimerOnceAtItsTimeOutsideOtherRoutines)
{
    struct Case {
        const char* what;
        std::vector<ULONG> requests;  // in HwStartIo, in order
        int rearm;                    // times HwTimer asks again (1 ms)
        uint64_t calls;
        sim::Nanoseconds earliest;   // of the first call, after HwStartIo began
    };
    const Case cases[] = {
        {"once, due inside HwStartIo", {1000}, 0, 1, 3 * sim::kMillisecond},
        {"replaced by a later one", {1000, 5000}, 0, 1, 5 * sim::kMillisecond},
        {"cancelled", {1000, 0}, 0, 0, 0},
        {"asked again from HwTimer", {4000}, 2, 3, 4 * sim::kMillisecond},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.calls.clear();
        PSCSI_REQUEST_BLOCK held = nullptr;
        sim::Nanoseconds started = 0;
        std::vector<sim::Nanoseconds> called;
        int rearm = c.rearm;
        fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            started = machine->clock().now();
            held = srb;
            for (ULONG us : c.requests)
                ScsiPortNotification(RequestTimerCall, ext, FakeTimer, us);
            ScsiPortStallExecution(3000);  // a timer that falls due here waits for the routine to end
            fake.calls.push_back("stalled");
            return TRUE;
        };
        fake.timer = [&](PVOID ext) {
            EXPECT_EQ(ext, machine->port_driver().adapter(0).extension);
            called.push_back(machine->clock().now() - started);
            if (rearm-- > 0) {
                ScsiPortNotification(RequestTimerCall, ext, FakeTimer, ULONG{1000});
                return;
            }
            held->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, ext, held);
            ScsiPortNotification(NextRequest, ext);
        };
        const uint64_t calls_before = machine->port_driver().adapter(0).timer_calls;
        const sim::Request& r = submit(1);
        machine->port_driver().run_for(20 * sim::kMillisecond);
        EXPECT_EQ(machine->port_driver().adapter(0).timer_calls - calls_before, c.calls);
        ASSERT_EQ(called.size(), c.calls);
        if (c.calls > 0) {
            EXPECT_GE(called[0], c.earliest);
            EXPECT_LT(called[0], c.earliest + 100 * sim::kMicrosecond);
            EXPECT_EQ(r.state, sim::Request::State::Completed);
        }
        std::vector<std::string> expected = {"startio", "stalled"};
        expected.insert(expected.end(), c.calls, "timer");
        EXPECT_EQ(std::vector<std::string>(std::find(fake.calls.begin(), fake.calls.end(), "startio"),
                                           fake.calls.end()),
                  expected);
        for (size_t i = 1; i < called.size(); i++)
            EXPECT_GE(called[i] - called[i - 1], 1000 * sim::kMicrosecond);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
        if (c.calls == 0) {
            held->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, machine->port_driver().adapter(0).extension, held);
            ScsiPortNotification(NextRequest, machine->port_driver().adapter(0).extension);
        }
    }

    // A time without a routine, and a request from no adapter, are the miniport's errors.
    PVOID extension = machine->port_driver().adapter(0).extension;
    ScsiPortNotification(RequestTimerCall, extension, PHW_TIMER{}, ULONG{1000});
    int not_an_adapter = 0;
    ScsiPortNotification(RequestTimerCall, &not_an_adapter, FakeTimer, ULONG{1000});
    EXPECT_TRUE(error_mentions("without a routine")) << machine->errors().summary();
    EXPECT_TRUE(error_mentions("RequestTimerCall from an extension that is no adapter"));
}

}  // namespace
}  // namespace hbatest
