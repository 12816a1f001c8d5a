// The port driver itself: construction, ScsiPortInitialize (find an adapter,
// start it, find the next) and running the machine.
#include "pc/port_driver.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

namespace {
constexpr std::align_val_t kExtensionAlign{64};
constexpr ULONG kStatusInvalidParameter = 0xC000000D;
constexpr int kMaxFindCalls = 64;
}  // namespace

const HW_INITIALIZATION_DATA& PortDriver::registration() const
{
    return registration_;
}

PortDriver::PortDriver(Machine& machine, Clock& clock, ModelErrors& errors, PortSpace& ports, Cpu& cpu,
                       InterruptController& interrupts, PhysicalMemory& memory, Options options)
    : machine_(machine), clock_(clock), errors_(errors), ports_(ports), cpu_(cpu), interrupts_(interrupts),
      memory_(memory), options_(options)
{
    cpu_.on_enable([this] { on_interrupts_enabled(); });
}

PortDriver::~PortDriver()
{
    cpu_.on_enable({});
    for (const UnmappedView& u : unmapped_)
        ::munmap(u.region, u.region_length);
    for (std::byte* e : extension_storage_)
        ::operator delete[](e, kExtensionAlign);
}

// ---------------------------------------------------------------- start-up

void PortDriver::set_entry_arguments(PVOID argument1, PVOID argument2)
{
    argument1_ = argument1;
    argument2_ = argument2;
}

bool PortDriver::validate(const HW_INITIALIZATION_DATA* data)
{
    if (!data) {
        errors_.report(kWho, "ScsiPortInitialize without a registration record");
        return false;
    }
    if (data->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)) {
        errors_.report(kWho, fmt::format("HwInitializationDataSize is {}, not {}", data->HwInitializationDataSize,
                                         sizeof(HW_INITIALIZATION_DATA)));
        return false;
    }
    const std::pair<bool, const char*> slots[] = {
        {data->HwInitialize != nullptr, "HwInitialize"}, {data->HwStartIo != nullptr, "HwStartIo"},
        {data->HwInterrupt != nullptr, "HwInterrupt"},   {data->HwFindAdapter != nullptr, "HwFindAdapter"},
        {data->HwResetBus != nullptr, "HwResetBus"},
    };
    for (const auto& [present, name] : slots) {
        if (!present) {
            errors_.report(kWho, fmt::format("registration record without {}", name));
            return false;
        }
    }
    if (data->NumberOfAccessRanges != 1) {
        errors_.report(kWho, fmt::format("NumberOfAccessRanges is {}, not 1", data->NumberOfAccessRanges));
        return false;
    }
    if (data->DeviceExtensionSize == 0) {
        errors_.report(kWho, "DeviceExtensionSize is 0");
        return false;
    }
    return true;
}

ULONG PortDriver::initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data, PVOID context)
{
    if (argument1 != argument1_ || argument2 != argument2_)
        errors_.report(kWho, "ScsiPortInitialize called with arguments other than the entry point's");
    if (in_routine()) {
        errors_.report(kWho, "ScsiPortInitialize called from inside a miniport routine");
        return kStatusInvalidParameter;
    }
    if (!validate(data)) {
        initialize_status_ = kStatusInvalidParameter;
        return initialize_status_;
    }
    registration_ = *data;
    registered_ = true;
    const size_t before = adapters_.size();
    find_and_initialize(context);
    const bool started = std::any_of(adapters_.begin() + static_cast<std::ptrdiff_t>(before), adapters_.end(),
                                     [](const auto& a) { return a->connected; });
    initialize_status_ = started ? kStatusSuccess : kStatusNoSuchDevice;
    return initialize_status_;
}

std::byte* PortDriver::new_extension()
{
    const size_t size = registration_.DeviceExtensionSize;
    auto* e = static_cast<std::byte*>(::operator new[](size, kExtensionAlign));
    std::memset(e, 0, size);
    extension_storage_.push_back(e);
    return e;
}

void PortDriver::free_extension(std::byte* extension)
{
    std::erase(extension_storage_, extension);
    ::operator delete[](extension, kExtensionAlign);
}

PORT_CONFIGURATION_INFORMATION PortDriver::fresh_config(ACCESS_RANGE* ranges) const
{
    const HW_INITIALIZATION_DATA& d = registration_;
    PORT_CONFIGURATION_INFORMATION c;
    std::memset(&c, 0, sizeof c);
    c.Length = sizeof c;
    c.SystemIoBusNumber = 0;
    c.AdapterInterfaceType = d.AdapterInterfaceType;
    c.NumberOfAccessRanges = d.NumberOfAccessRanges;
    c.AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(ranges);
    c.MapBuffers = d.MapBuffers;
    c.NeedPhysicalAddresses = d.NeedPhysicalAddresses;
    c.TaggedQueuing = d.TaggedQueuing;
    c.AutoRequestSense = d.AutoRequestSense;
    c.MultipleRequestPerLu = d.MultipleRequestPerLu;
    c.ReceiveEvent = d.ReceiveEvent;
    c.MaximumNumberOfTargets = 8;
    // What the port driver fills before the miniport describes its adapter:
    // the defaults it would use if the miniport left them, and the values
    // that mean "not given".
    c.NumberOfPhysicalBreaks = kDefaultPhysicalBreaks;
    c.MaximumTransferLength = SP_UNINITIALIZED_VALUE;
    c.DmaChannel = SP_UNINITIALIZED_VALUE;
    c.DmaPort = SP_UNINITIALIZED_VALUE;
    std::memset(c.InitiatorBusId, 0xFF, sizeof c.InitiatorBusId);
    c.DeviceExtensionSize = d.DeviceExtensionSize;
    c.SpecificLuExtensionSize = d.SpecificLuExtensionSize;
    c.SrbExtensionSize = d.SrbExtensionSize;
    // As for an Isa interface: an exclusive edge, unless HwFindAdapter says otherwise.
    c.InterruptMode = Latched;
    return c;
}

// Find an adapter, initialize it, find the next: the order the driver relies on.
void PortDriver::find_and_initialize(PVOID context)
{
    const HW_INITIALIZATION_DATA& d = registration_;
    BOOLEAN again = TRUE;
    for (int calls = 0; again; calls++) {
        if (calls == kMaxFindCalls) {
            errors_.report(kWho, fmt::format("HwFindAdapter still asks to be called again after {} calls", calls));
            return;
        }
        std::byte* extension = new_extension();
        auto ranges = std::make_unique<ACCESS_RANGE[]>(1);
        std::memset(ranges.get(), 0, sizeof(ACCESS_RANGE));
        if (options_.wanted_base) {
            ranges[0].RangeStart.QuadPart = *options_.wanted_base;
            ranges[0].RangeLength = kChipWindowLength;
        }
        auto config = std::make_unique<Adapter>();
        config->extension = extension;
        config->config = fresh_config(ranges.get());

        // A fresh copy of the parameter string for each call, NUL-terminated.
        std::vector<char> argument;
        if (options_.argument_string) {
            argument.assign(options_.argument_string->begin(), options_.argument_string->end());
            argument.push_back('\0');
        }
        again = FALSE;
        candidate_extension_ = extension;
        const ULONG result = call(Routine::FindAdapter, "HwFindAdapter", [&] {
            return d.HwFindAdapter(extension, context, nullptr, argument.empty() ? nullptr : argument.data(),
                                   &config->config, &again);
        });
        candidate_extension_ = nullptr;
        check_config_ports_released();

        FindCall record{result, again != FALSE, {}, -1};
        if (context)
            std::memcpy(&record.context, context, sizeof record.context);
        if (result > SP_RETURN_BAD_CONFIG)
            errors_.report(kWho, fmt::format("HwFindAdapter returned {}, which is no SP_RETURN_ value", result));

        if (result != SP_RETURN_FOUND) {
            drop_mappings_of(extension);
            free_extension(extension);
            find_calls_.push_back(record);
            continue;
        }
        record.adapter = static_cast<int>(adapters_.size());
        find_calls_.push_back(record);
        range_storage_.push_back(std::move(ranges));
        adapters_.push_back(std::move(config));
        Adapter& adapter = *adapters_.back();
        // The interrupt is connected before HwInitialize, which runs at its
        // level; an adapter whose interrupt cannot be connected is not started.
        if (!connect_interrupt(adapter))
            continue;
        const BOOLEAN ok = call(Routine::Initialize, "HwInitialize", [&] { return d.HwInitialize(extension); });
        adapter.initialized = ok != FALSE;
        // A port disconnects the interrupt of an adapter that failed to initialize.
        if (!adapter.initialized) {
            adapter.connected = false;
            adapter.not_connected = "HwInitialize returned FALSE";
        }
        deliver_interrupts();
    }
}

int PortDriver::adapter_of(const void* extension) const
{
    for (size_t i = 0; i < adapters_.size(); i++)
        if (adapters_[i]->extension == extension)
            return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------- running

bool PortDriver::work_pending() const
{
    return outstanding() > 0 || waiting() > 0 || parked_ > 0 || interrupt_deliverable();
}

void PortDriver::pump()
{
    // Called after every event: the usual case (nothing due, no line raised)
    // is decided here without a call.
    if (timeouts_.due())
        service_timeouts();
    for (bool progress = true; progress;) {
        progress = timers_due_ != 0 && run_due_timers();
        if (interrupts_.any_raised())
            deliver_interrupts();
        for (size_t i = 0; i < adapters_.size(); i++) {
            if (adapters_[i]->waiting.empty())
                continue;  // nothing to start: most pumps, between a request's events
            const size_t before = adapters_[i]->waiting.size();
            start_waiting(i);
            progress |= adapters_[i]->waiting.size() != before;
        }
    }
}

PortDriver::RunResult PortDriver::run_until_idle(Nanoseconds limit)
{
    const Nanoseconds deadline = clock_.now() + limit;
    for (;;) {
        pump();
        if (!work_pending())
            return RunResult::Idle;
        // Only the time-out timer left: nothing will end them by itself.
        if (clock_.idle() || (clock_.pending() == 1 && timeouts_.armed())) {
            errors_.report(kWho, fmt::format("{} requests outstanding and {} waiting with no event pending and no "
                                             "interrupt raised: they can never complete",
                                             outstanding(), waiting()));
            return RunResult::Stalled;
        }
        if (clock_.next_event_time() > deadline) {
            clock_.advance_to(deadline);
            pump();
            if (!work_pending())
                return RunResult::Idle;
            errors_.report(kWho, fmt::format("{} requests still outstanding and {} waiting at the time limit",
                                             outstanding(), waiting()));
            return RunResult::TimeLimit;
        }
        clock_.run_next();
    }
}

void PortDriver::run_for(Nanoseconds duration)
{
    const Nanoseconds deadline = clock_.now() + duration;
    for (;;) {
        pump();
        if (clock_.idle() || clock_.next_event_time() > deadline) {
            clock_.advance_to(deadline);
            pump();
            return;
        }
        clock_.run_next();
    }
}

}  // namespace sim
