#include "pc/port_driver.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "pc/boundary.h"
#include "pc/pci.h"

namespace sim {

namespace {
constexpr const char* kWho = "port driver";
constexpr std::align_val_t kExtensionAlign{64};
constexpr ULONG kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kConfigPortsFirst = 0xCF8;
constexpr uint32_t kConfigPortsEnd = 0xD00;
constexpr int kMaxFindCalls = 64;
constexpr int kMaxInterruptRounds = 1000;

bool raw_mech2_port(uint32_t port) { return port >= PciBus::kMech2First && port < PciBus::kMech2First + PciBus::kMech2Count; }
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
    for (std::byte* e : extension_storage_)
        ::operator delete[](e, kExtensionAlign);
}

template <class F> auto PortDriver::call(Routine routine, std::string_view name, F&& body)
{
    CurrentMachineScope scope(&machine_);
    // Entries are counted per call; an interrupt taken inside a routine is a call of its own.
    const size_t outer_entries = std::exchange(log_entries_this_call_, 0);
    const size_t depth = cpu_.depth();
    const bool enabled = cpu_.interrupts_enabled();
    routines_.push_back(routine);
    auto result = body();
    routines_.pop_back();
    log_entries_this_call_ = outer_entries;
    cpu_.check_returned(name, depth, enabled);
    return result;
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
    initialize_status_ = adapters_.size() > before ? kStatusSuccess : kStatusNoSuchDevice;
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
    c.DeviceExtensionSize = d.DeviceExtensionSize;
    c.SpecificLuExtensionSize = d.SpecificLuExtensionSize;
    c.SrbExtensionSize = d.SrbExtensionSize;
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

        again = FALSE;
        candidate_extension_ = extension;
        const ULONG result = call(Routine::FindAdapter, "HwFindAdapter", [&] {
            return d.HwFindAdapter(extension, context, nullptr, nullptr, &config->config, &again);
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
        const BOOLEAN ok = call(Routine::Initialize, "HwInitialize", [&] { return d.HwInitialize(extension); });
        // The interrupt is connected once the adapter is initialized.
        adapter.initialized = ok != FALSE;
        deliver_interrupts();
    }
}

void PortDriver::check_config_ports_released()
{
    const bool held = std::any_of(mappings_.begin(), mappings_.end(), [](const Mapping& m) {
        return m.first < kConfigPortsEnd && kConfigPortsFirst < m.first + m.length;
    });
    if (!held)
        return;
    errors_.report(kWho, "HwFindAdapter returned with the PCI configuration ports still mapped");
    std::erase_if(mappings_, [](const Mapping& m) {
        return m.first < kConfigPortsEnd && kConfigPortsFirst < m.first + m.length;
    });
}

void PortDriver::drop_mappings_of(const void* extension)
{
    std::erase_if(mappings_, [extension](const Mapping& m) { return m.extension == extension; });
}

int PortDriver::adapter_of(const void* extension) const
{
    for (size_t i = 0; i < adapters_.size(); i++)
        if (adapters_[i]->extension == extension)
            return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------- mappings and ports

PVOID PortDriver::get_device_base(PVOID extension, INTERFACE_TYPE, ULONG, SCSI_PHYSICAL_ADDRESS address,
                                  ULONG length, BOOLEAN in_io_space)
{
    if (routines_.empty() || routines_.back() != Routine::FindAdapter)
        errors_.report(kWho, "ScsiPortGetDeviceBase called outside HwFindAdapter");
    if (extension != candidate_extension_ && adapter_of(extension) < 0)
        errors_.report(kWho, "ScsiPortGetDeviceBase with an extension the port driver did not allocate");
    if (!in_io_space) {
        errors_.report(kWho, fmt::format("ScsiPortGetDeviceBase for memory at {:#x}: this PC maps I/O space only",
                                         address.QuadPart));
        return nullptr;
    }
    if (address.QuadPart < 0 || length == 0 || address.QuadPart + length > 0x10000) {
        errors_.report(kWho, fmt::format("ScsiPortGetDeviceBase({:#x}, {}) lies outside the I/O space",
                                         address.QuadPart, length));
        return nullptr;
    }
    const auto first = static_cast<uint32_t>(address.QuadPart);
    // A range another driver already holds: the port driver cannot map it.
    if (std::find(options_.unmappable.begin(), options_.unmappable.end(), first) != options_.unmappable.end())
        return nullptr;
    mappings_.push_back(Mapping{extension, first, length});
    // On an i386 PC an I/O-space mapping is the port number itself.
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(first));
}

void PortDriver::free_device_base(PVOID extension, PVOID base)
{
    const auto first = reinterpret_cast<uintptr_t>(base);
    auto it = std::find_if(mappings_.begin(), mappings_.end(),
                           [&](const Mapping& m) { return m.first == first && m.extension == extension; });
    if (it == mappings_.end()) {
        errors_.report(kWho, fmt::format("ScsiPortFreeDeviceBase({:#x}), which this extension has not mapped", first));
        return;
    }
    mappings_.erase(it);
}

bool PortDriver::port_mapped(uint32_t port) const
{
    // Accesses come in runs on one mapping (the configuration ports during
    // the scan, a chip window afterwards): the last one found is tried first.
    auto covers = [port](const Mapping& m) { return port >= m.first && port < m.first + m.length; };
    if (last_mapping_ < mappings_.size() && covers(mappings_[last_mapping_]))
        return true;
    const auto it = std::find_if(mappings_.begin(), mappings_.end(), covers);
    if (it == mappings_.end())
        return false;
    last_mapping_ = static_cast<size_t>(it - mappings_.begin());
    return true;
}

uint32_t PortDriver::read_port(const void* port, Width width)
{
    const auto p = reinterpret_cast<uintptr_t>(port);
    const auto bytes = static_cast<uint32_t>(width);
    if (p + bytes > 0x10000) {
        errors_.report(kWho, fmt::format("port read at {:#x}, which is no I/O port", p));
        return all_ones(width);
    }
    if (!raw_mech2_port(static_cast<uint32_t>(p)) &&
        (!port_mapped(static_cast<uint32_t>(p)) || !port_mapped(static_cast<uint32_t>(p + bytes - 1))))
        errors_.report(kWho, fmt::format("port read at {:#06x} ({} bytes): no mapping held covers it", p, bytes));
    return ports_.read(static_cast<uint16_t>(p), width);
}

void PortDriver::write_port(const void* port, Width width, uint32_t value)
{
    const auto p = reinterpret_cast<uintptr_t>(port);
    const auto bytes = static_cast<uint32_t>(width);
    if (p + bytes > 0x10000) {
        errors_.report(kWho, fmt::format("port write at {:#x}, which is no I/O port", p));
        return;
    }
    if (!raw_mech2_port(static_cast<uint32_t>(p)) &&
        (!port_mapped(static_cast<uint32_t>(p)) || !port_mapped(static_cast<uint32_t>(p + bytes - 1))))
        errors_.report(kWho, fmt::format("port write at {:#06x} ({} bytes): no mapping held covers it", p, bytes));
    ports_.write(static_cast<uint16_t>(p), width, value);
}

void PortDriver::stall(ULONG microseconds)
{
    ++stalls_;
    clock_.advance(Nanoseconds{microseconds} * kMicrosecond);
}

void PortDriver::log_error(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR path, UCHAR target, UCHAR lun,
                           ULONG code, ULONG unique_id)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ScsiPortLogError from an extension that is no adapter");
        return;
    }
    if (!find_log_code(code)) {
        errors_.report(kWho, fmt::format("ScsiPortLogError with error code {:#x}, which is no published SP_ code", code));
        return;
    }
    LogEntry entry{clock_.now(), static_cast<size_t>(a), 0, path, target, lun, code, unique_id};
    if (srb) {
        const Request* r = outstanding_request(srb);
        if (!r) {
            errors_.report(kWho, "ScsiPortLogError names an SRB that is not outstanding");
            return;
        }
        entry.request = r->id;
    }
    if (++log_entries_this_call_ == kMaxLogEntriesPerCall + 1)
        errors_.report(kWho, fmt::format("more than {} event-log entries from one miniport routine call: the "
                                         "driver floods the log",
                                         kMaxLogEntriesPerCall));
    event_log_.push_back(entry);
}

// ---------------------------------------------------------------- requests

Request& PortDriver::submit(size_t index, const RequestSpec& request_spec, std::function<void(const Request&)> on_complete)
{
    if (index >= adapters_.size())
        throw std::out_of_range(fmt::format("no adapter {} to send a request to", index));
    if (request_spec.cdb.size() > 16)
        throw std::invalid_argument("a CDB holds at most 16 bytes");
    auto request = std::make_unique<Request>();
    Request& r = *request;
    r.id = next_request_id_++;
    r.adapter = index;
    r.submitted = clock_.now();
    r.on_complete = std::move(on_complete);

    SCSI_REQUEST_BLOCK& srb = r.srb;
    srb.Length = sizeof srb;
    srb.Function = request_spec.function;
    srb.SrbStatus = SRB_STATUS_PENDING;
    srb.PathId = request_spec.path;
    srb.TargetId = request_spec.target;
    srb.Lun = request_spec.lun;
    srb.QueueAction = request_spec.queue_action;
    srb.CdbLength = static_cast<UCHAR>(request_spec.cdb.size());
    std::copy(request_spec.cdb.begin(), request_spec.cdb.end(), srb.Cdb);
    srb.SrbFlags = (request_spec.queue_action_enable ? SRB_FLAGS_QUEUE_ACTION_ENABLE : 0) |
                   (request_spec.direction == DataDirection::In    ? SRB_FLAGS_DATA_IN
                    : request_spec.direction == DataDirection::Out ? SRB_FLAGS_DATA_OUT
                                                           : 0);
    if (request_spec.buffer) {
        srb.DataBuffer = request_spec.buffer->data;
        srb.DataTransferLength = request_spec.length ? request_spec.length : request_spec.buffer->length;
        if (srb.DataTransferLength > request_spec.buffer->length)
            throw std::invalid_argument("request length beyond its buffer");
    }
    srb.TimeOutValue = 10;
    srb.NextSrb = request_spec.next_srb;
    srb.OriginalRequest = &r;

    by_srb_[&r.srb] = &r;
    adapters_[index]->waiting.push_back(&r);
    requests_.push_back(std::move(request));
    return r;
}

void PortDriver::start_waiting(size_t index)
{
    Adapter& a = *adapters_[index];
    while (a.initialized && a.ready && !a.waiting.empty() && !in_routine()) {
        Request& r = *a.waiting.front();
        a.waiting.pop_front();
        r.state = Request::State::Outstanding;
        outstanding_.emplace(r.id, &r);
        r.started = clock_.now();
        timeouts_.started(r.id, index, r.srb.PathId, r.srb.TimeOutValue);
        const ULONG flags = r.srb.SrbFlags;
        if (r.srb.DataBuffer && (flags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)))
            memory_.open_window(r.id, r.srb.DataBuffer, r.srb.DataTransferLength,
                                flags & SRB_FLAGS_DATA_IN ? DataDirection::In : DataDirection::Out);
        // The next request goes only after the miniport asks for it.
        a.ready = false;
        call(Routine::StartIo, "HwStartIo",
             [&] { return registration_.HwStartIo(a.extension, &r.srb); });
        deliver_interrupts();
    }
}

Request* PortDriver::outstanding_request(const SCSI_REQUEST_BLOCK* srb)
{
    auto it = by_srb_.find(srb);
    return it != by_srb_.end() && it->second->state == Request::State::Outstanding ? it->second : nullptr;
}

void PortDriver::finish(Request& r)
{
    r.state = Request::State::Completed;
    outstanding_.erase(r.id);
    r.completed = clock_.now();
    timeouts_.finished(r.id);
    memory_.close_window(r.id);
    completed_.push_back(&r);
    if (r.on_complete)
        r.on_complete(r);
}

void PortDriver::request_complete(PVOID extension, PSCSI_REQUEST_BLOCK srb)
{
    auto it = by_srb_.find(srb);
    if (it == by_srb_.end()) {
        errors_.report(kWho, "RequestComplete for an SRB the port driver never gave out");
        return;
    }
    Request& r = *it->second;
    if (r.state == Request::State::Completed) {
        errors_.report(kWho, fmt::format("RequestComplete for request {} (target {} LUN {}), already completed", r.id,
                                         r.srb.TargetId, r.srb.Lun));
        return;
    }
    if (r.state == Request::State::Waiting) {
        errors_.report(kWho, fmt::format("RequestComplete for request {}, not yet given to the miniport", r.id));
        return;
    }
    if (adapter_of(extension) != static_cast<int>(r.adapter))
        errors_.report(kWho, fmt::format("RequestComplete for request {} through another adapter's extension", r.id));
    if (srb->SrbStatus == SRB_STATUS_PENDING)
        errors_.report(kWho, fmt::format("request {} completed with SRB status pending", r.id));
    finish(r);
}

void PortDriver::next_request(PVOID extension)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "NextRequest from an extension that is no adapter");
        return;
    }
    adapters_[a]->ready = true;
}

void PortDriver::reset_detected(PVOID extension)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ResetDetected from an extension that is no adapter");
        return;
    }
    adapters_[a]->resets_detected++;
}

void PortDriver::unsupported_notification(int type)
{
    errors_.report(kWho, fmt::format("ScsiPortNotification type {} is not one this miniport may use", type));
}

void PortDriver::complete_request(PVOID extension, UCHAR path, UCHAR target, UCHAR lun, UCHAR status)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ScsiPortCompleteRequest from an extension that is no adapter");
        return;
    }
    // Only commands queued to a logical unit are completed in bulk; an abort
    // or reset request being handed to HwStartIo is the miniport's to complete.
    std::vector<Request*> matching;
    for (const auto& [id, r] : outstanding_) {
        const SCSI_REQUEST_BLOCK& s = r->srb;
        if (s.Function == SRB_FUNCTION_EXECUTE_SCSI && r->adapter == static_cast<size_t>(a) && s.PathId == path &&
            (target == 0xFF || s.TargetId == target) && (lun == 0xFF || s.Lun == lun))
            matching.push_back(r);
    }
    for (Request* r : matching) {
        r->srb.SrbStatus = status;
        r->bulk_completed = true;
        finish(*r);
    }
}

size_t PortDriver::outstanding() const
{
    return outstanding_.size();
}

const Request* PortDriver::find_outstanding(uint64_t id) const
{
    const auto it = outstanding_.find(id);
    return it == outstanding_.end() ? nullptr : it->second;
}

std::vector<const Request*> PortDriver::outstanding_for(size_t adapter, uint8_t target, uint8_t lun) const
{
    std::vector<const Request*> out;
    for (const auto& [id, r] : outstanding_)
        if (r->adapter == adapter && r->srb.TargetId == target && r->srb.Lun == lun)
            out.push_back(r);
    return out;
}

size_t PortDriver::waiting() const
{
    size_t n = 0;
    for (const auto& a : adapters_)
        n += a->waiting.size();
    return n;
}

SCSI_PHYSICAL_ADDRESS PortDriver::get_physical_address(PVOID, PSCSI_REQUEST_BLOCK srb, PVOID va, ULONG* length)
{
    SCSI_PHYSICAL_ADDRESS none;
    none.QuadPart = 0;
    if (length)
        *length = 0;
    if (!srb || !outstanding_request(srb)) {
        errors_.report(kWho, "ScsiPortGetPhysicalAddress for an SRB that is not outstanding");
        return none;
    }
    const auto* first = static_cast<const uint8_t*>(srb->DataBuffer);
    const auto* end = first + srb->DataTransferLength;
    const auto* at = static_cast<const uint8_t*>(va);
    if (!first || at < first || at >= end) {
        errors_.report(kWho, fmt::format("ScsiPortGetPhysicalAddress for an address {} bytes {} the SRB's buffer",
                                         at < first ? first - at : at - end, at < first ? "before" : "past the end of"));
        return none;
    }
    const PhysicalMemory::Translation t = memory_.translate(va, end);
    if (t.contiguous == 0) {
        errors_.report(kWho, "ScsiPortGetPhysicalAddress for a buffer that is not in physical memory");
        return none;
    }
    if (length)
        *length = t.contiguous;
    SCSI_PHYSICAL_ADDRESS p;
    p.QuadPart = t.physical;
    return p;
}

// ---------------------------------------------------------------- running

bool PortDriver::interrupt_deliverable() const
{
    for (uint8_t irq : interrupts_.raised_lines())
        for (const auto& a : adapters_)
            if (a->initialized && a->config.BusInterruptLevel == irq)
                return true;
    return false;
}

bool PortDriver::work_pending() const
{
    return outstanding() > 0 || waiting() > 0 || interrupt_deliverable();
}

void PortDriver::pump()
{
    service_timeouts();
    for (bool progress = true; progress;) {
        progress = false;
        deliver_interrupts();
        for (size_t i = 0; i < adapters_.size(); i++) {
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

void PortDriver::reset_bus(size_t index, ULONG path)
{
    Adapter& a = *adapters_.at(index);
    call(Routine::ResetBus, "HwResetBus", [&] { return registration_.HwResetBus(a.extension, path); });
    pump();
}

// ---------------------------------------------------------------- interrupts

void PortDriver::on_interrupts_enabled()
{
    // The reset wait re-enables interrupts between its polls: the port driver
    // lets the adapter's interrupt in at exactly those moments.
    if (!routines_.empty() && routines_.back() == Routine::ResetBus && !options_.hold_interrupts_during_reset)
        deliver_interrupts();
}

void PortDriver::deliver_interrupts()
{
    if (delivering_ || !cpu_.interrupts_enabled())
        return;
    if (!routines_.empty() && (routines_.back() != Routine::ResetBus || options_.hold_interrupts_during_reset))
        return;
    delivering_ = true;
    for (uint8_t irq : interrupts_.raised_lines())
        service_interrupt_line(irq);
    delivering_ = false;
}

// Calls every HwInterrupt on the line until it drops. A line that stays raised
// while every routine declines it would interrupt forever: it is reported and masked.
bool PortDriver::service_interrupt_line(uint8_t irq)
{
    std::vector<Adapter*> handlers;
    for (const auto& a : adapters_)
        if (a->initialized && a->config.BusInterruptLevel == irq)
            handlers.push_back(a.get());
    if (handlers.empty())
        return false;
    for (int round = 0; interrupts_.raised(irq); round++) {
        if (round == kMaxInterruptRounds) {
            errors_.report(kWho, fmt::format("IRQ {} still raised after {} claimed interrupts; line masked", irq, round));
            interrupts_.mask(irq);
            return true;
        }
        bool claimed = false;
        for (Adapter* a : handlers) {
            clock_.advance(options_.interrupt_entry_cost);
            const BOOLEAN mine = call(Routine::Interrupt, "HwInterrupt",
                                      [&] { return registration_.HwInterrupt(a->extension); });
            if (mine) {
                claimed = true;
                a->interrupts_claimed++;
            }
        }
        for (auto& [line, handler] : shared_handlers_)
            if (line == irq && handler())
                claimed = true;
        if (!claimed) {
            errors_.report(kWho, fmt::format("IRQ {} is raised and every HwInterrupt on it returned FALSE: an "
                                             "interrupt nobody claims; line masked",
                                             irq));
            interrupts_.mask(irq);
            return true;
        }
    }
    return true;
}

// ---------------------------------------------------------------- time-outs

void PortDriver::service_timeouts()
{
    if (in_routine() || !timeouts_.due())
        return;
    for (uint64_t id : timeouts_.take_lost())
        errors_.report(kWho, fmt::format("request {} still outstanding a whole time-out after the bus reset its "
                                         "time-out caused: the miniport lost it",
                                         id));
    for (const RequestTimeouts::Due& due : timeouts_.take_due())
        reset_bus(due.adapter, due.path);
}

void PortDriver::add_shared_handler(uint8_t irq, std::function<bool()> handler)
{
    shared_handlers_.emplace_back(irq, std::move(handler));
}

}  // namespace sim
