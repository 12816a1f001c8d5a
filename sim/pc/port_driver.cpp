#include "pc/port_driver.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include <sys/mman.h>

#include <fmt/format.h>

#include "pc/boundary.h"
#include "pc/pci_bus.h"
#include "bus/scsi_vocabulary.h"

namespace sim {

namespace {
constexpr const char* kWho = "port driver";
constexpr std::align_val_t kExtensionAlign{64};
constexpr ULONG kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kConfigPortsFirst = 0xCF8;
constexpr uint32_t kConfigPortsEnd = 0xD00;
constexpr int kMaxFindCalls = 64;
constexpr int kMaxInterruptRounds = 1000;

constexpr ULONG kDataFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT;

bool raw_mech2_port(uint32_t port) { return port >= PciBus::kMech2First && port < PciBus::kMech2First + PciBus::kMech2Count; }
}  // namespace

ULONG RequestSpec::data_flags() const
{
    if (direction_flags)
        return *direction_flags;
    return direction == DataDirection::In ? SRB_FLAGS_DATA_IN : direction == DataDirection::Out ? SRB_FLAGS_DATA_OUT : 0;
}

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

void PortDriver::check_config_ports_released()
{
    const bool held = std::any_of(mappings_.begin(), mappings_.end(), [](const Mapping& m) {
        return m.first < kConfigPortsEnd && kConfigPortsFirst < m.first + m.length;
    });
    if (!held)
        return;
    errors_.report(kWho, "HwFindAdapter returned with the PCI configuration ports still mapped");
    unmap_if([](const Mapping& m) { return m.first < kConfigPortsEnd && kConfigPortsFirst < m.first + m.length; });
}

void PortDriver::drop_mappings_of(const void* extension)
{
    unmap_if([extension](const Mapping& m) { return m.extension == extension; });
}

void PortDriver::cover(const Mapping& m, int by)
{
    for (uint32_t p = m.first; p < m.first + m.length && p < port_cover_.size(); p++)
        port_cover_[p] = static_cast<uint16_t>(port_cover_[p] + by);
}

void PortDriver::map(const Mapping& m)
{
    mappings_.push_back(m);
    cover(m, +1);
}

template <class Pred> void PortDriver::unmap_if(Pred pred)
{
    for (const Mapping& m : mappings_)
        if (pred(m))
            cover(m, -1);
    std::erase_if(mappings_, pred);
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
    map(Mapping{extension, first, length});
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
    cover(*it, -1);
    mappings_.erase(it);
}

bool PortDriver::port_mapped(uint32_t port) const
{
    return port < port_cover_.size() && port_cover_[port] != 0;
}

uint32_t PortDriver::read_port(const void* port, Width width)
{
    const auto p = reinterpret_cast<uintptr_t>(port);
    const auto bytes = static_cast<uint32_t>(width);
    if (p + bytes > 0x10000) {
        errors_.report(kWho, fmt::format("port read at {:#x}, which is no I/O port", p));
        return all_ones(width);
    }
    if (!(options_.mechanism2_ports && raw_mech2_port(static_cast<uint32_t>(p))) &&
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
    if (!(options_.mechanism2_ports && raw_mech2_port(static_cast<uint32_t>(p))) &&
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
    log_entries_++;
    logged_by_code_[code]++;
    if (event_log_.size() < kLogEntriesKept)
        event_log_.push_back(entry);
}

// ---------------------------------------------------------------- requests

Request& PortDriver::submit(size_t index, const RequestSpec& request_spec, std::function<void(const Request&)> on_complete)
{
    if (index >= adapters_.size())
        throw std::out_of_range(fmt::format("no adapter {} to send a request to", index));
    if (request_spec.cdb.size() > 16)
        throw std::invalid_argument("a CDB holds at most 16 bytes");
    if (request_spec.direction_flags && (*request_spec.direction_flags & ~kDataFlags))
        throw std::invalid_argument(fmt::format("direction flags {:#x} hold more than SRB_FLAGS_DATA_IN and "
                                                "SRB_FLAGS_DATA_OUT",
                                                *request_spec.direction_flags));
    Request& r = ledger_.make();
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
                   (request_spec.disable_disconnect ? SRB_FLAGS_DISABLE_DISCONNECT : 0) |
                   (request_spec.disable_synch_transfer ? SRB_FLAGS_DISABLE_SYNCH_TRANSFER : 0) |
                   request_spec.data_flags();
    if (request_spec.buffer) {
        srb.DataBuffer = request_spec.buffer->data;
        srb.DataTransferLength = request_spec.length ? request_spec.length : request_spec.buffer->length;
        if (srb.DataTransferLength > request_spec.buffer->length)
            throw std::invalid_argument("request length beyond its buffer");
    }
    r.mapped_data = static_cast<uint8_t*>(srb.DataBuffer);
    r.length = srb.DataTransferLength;
    if (request_spec.sense_wanted) {
        srb.SenseInfoBuffer = r.sense.data();
        srb.SenseInfoBufferLength = static_cast<UCHAR>(r.sense.size());
    } else {
        srb.SrbFlags |= SRB_FLAGS_DISABLE_AUTOSENSE;
    }
    srb.TimeOutValue = request_spec.timeout_seconds;
    srb.NextSrb = request_spec.next_srb;
    srb.OriginalRequest = &r;
    r.hold_frozen_queue = request_spec.hold_frozen_queue;

    adapters_[index]->waiting.push_back(&r);
    return r;
}

namespace {
uint32_t lun_key(const SCSI_REQUEST_BLOCK& srb)
{
    return uint32_t{srb.PathId} << 16 | uint32_t{srb.TargetId} << 8 | srb.Lun;
}

// Requests that go past the LU's queue: the port driver's own REQUEST SENSE,
// and the control requests (abort, reset) that act on the LU's requests.
bool bypasses_lu_queue(const SCSI_REQUEST_BLOCK& srb)
{
    return (srb.SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE) || srb.Function != SRB_FUNCTION_EXECUTE_SCSI;
}
}  // namespace

// Whether `r` may go to the miniport now, as far as its LU goes. A frozen LU
// takes nothing but what bypasses its queue, and neither does one whose BUSY
// request waits for the timer. With one request per LU (the miniport did not
// register MultipleRequestPerLu) a LU with requests outstanding takes another
// only after NextLuRequest, and only a tagged one.
bool PortDriver::startable(const Adapter& a, const Request& r) const
{
    const SCSI_REQUEST_BLOCK& srb = r.srb;
    if (bypasses_lu_queue(srb))
        return true;
    const uint32_t key = lun_key(srb);
    if (!a.frozen.empty() && a.frozen.contains(key))
        return false;
    const auto lu = a.lus.find(key);
    if (lu == a.lus.end())
        return true;
    if (lu->second.parked)
        return false;
    if (lu->second.outstanding == 0 || registration_.MultipleRequestPerLu || options_.lenient.any_lu_request)
        return true;
    return lu->second.open && (srb.SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE);
}

// The first waiting request that may go now. Each LU's requests go in the
// order they came: one that must wait holds back the rest of its LU.
Request* PortDriver::next_startable(Adapter& a) const
{
    std::set<uint32_t> held;
    for (Request* w : a.waiting) {
        const uint32_t key = lun_key(w->srb);
        if (!bypasses_lu_queue(w->srb) && !held.empty() && held.contains(key))
            continue;
        if (startable(a, *w))
            return w;
        held.insert(key);
    }
    return nullptr;
}

void PortDriver::start_waiting(size_t index)
{
    Adapter& a = *adapters_[index];
    while (a.initialized && a.ready && !a.waiting.empty() && !in_routine() && clock_.now() >= a.hold_until) {
        Request* next = next_startable(a);
        if (!next)
            return;
        Request& r = *next;
        a.waiting.erase(std::find(a.waiting.begin(), a.waiting.end(), next));
        r.state = Request::State::Outstanding;
        outstanding_.emplace(r.id, &r);
        r.started = clock_.now();
        Adapter::Lu& lu = a.lus[lun_key(r.srb)];
        lu.outstanding++;
        lu.open = false;
        timeouts_.started(r.id, {index, r.srb.PathId, r.srb.TargetId, r.srb.Lun}, r.srb.TimeOutValue);
        // The buffer is open to DMA as far as the direction flags say: with
        // neither flag (no data transfer) not at all, with both either way.
        const ULONG flags = r.srb.SrbFlags;
        // A bus master's pages beyond its 24-bit reach are bounced below
        // 16 MiB here; a miniport that moves data itself needs no bouncing.
        if (r.srb.DataBuffer && (flags & kDataFlags))
            dma_.open(r.id, static_cast<uint8_t*>(r.srb.DataBuffer), r.srb.DataTransferLength,
                      PhysicalMemory::Access{(flags & SRB_FLAGS_DATA_IN) != 0, (flags & SRB_FLAGS_DATA_OUT) != 0},
                      !a.config.Master || a.config.Dma32BitAddresses);
        hand_out_buffer(r);
        // The next request goes only after the miniport asks for it.
        a.ready = false;
        call(Routine::StartIo, "HwStartIo",
             [&] { return registration_.HwStartIo(a.extension, &r.srb); });
        deliver_interrupts();
    }
}

Request* PortDriver::outstanding_request(const SCSI_REQUEST_BLOCK* srb)
{
    Request* r = ledger_.by_srb(srb);
    return r && r->state == Request::State::Outstanding ? r : nullptr;
}

// The miniport is done with a request: what the port driver does before the
// submitter sees it (BUSY sent again, sense fetched), then completion.
void PortDriver::finish(Request& r)
{
    outstanding_.erase(r.id);
    timeouts_.finished(r.id);
    Adapter& a = *adapters_[r.adapter];
    auto lu = a.lus.find(lun_key(r.srb));
    if (lu != a.lus.end() && lu->second.outstanding > 0 && --lu->second.outstanding == 0 && !lu->second.parked)
        a.lus.erase(lu);
    // Data in reaches a bounced buffer here, before anyone sees the request done.
    dma_.close(r.id);
    take_back_buffer(r);
    if (r.sense_for) {
        sense_fetched(r);
        return;
    }
    if (retry_busy(r) || fetch_sense(r))
        return;
    deliver(r);
}

void PortDriver::deliver(Request& r)
{
    r.state = Request::State::Completed;
    r.completed = clock_.now();
    if (r.on_complete)
        r.on_complete(r);
    // The class driver takes a request back with its LU's queue frozen and
    // releases the queue then.
    if ((r.srb.SrbStatus & SRB_STATUS_QUEUE_FROZEN) && !r.hold_frozen_queue)
        release_queue(r.adapter, r.srb.PathId, r.srb.TargetId, r.srb.Lun);
    ledger_.done(r, true);
}

void PortDriver::release_queue(size_t index, uint8_t path, uint8_t target, uint8_t lun)
{
    adapters_.at(index)->frozen.erase(uint32_t{path} << 16 | uint32_t{target} << 8 | lun);
}

// The port driver's timer ticks once a second of system time; a BUSY request
// goes again at the next tick.
Nanoseconds PortDriver::busy_retry_delay() const
{
    if (options_.lenient.quick_busy_retry)
        return 500 * kMicrosecond;
    return kSecond - clock_.now() % kSecond;
}

// BUSY or QUEUE FULL from the target, or BUSY from the miniport (no room for
// the request): the LU takes nothing else until the same request has gone
// again, at the timer's next tick, up to 20 times; then it fails as it came.
bool PortDriver::retry_busy(Request& r)
{
    const uint8_t status = r.srb.SrbStatus & 0x3F;
    const bool busy = status == SRB_STATUS_BUSY ||
                      (status == SRB_STATUS_ERROR && (r.srb.ScsiStatus == scsi::status::kBusy ||
                                                      r.srb.ScsiStatus == scsi::status::kQueueFull));
    if (!busy || r.srb.Function != SRB_FUNCTION_EXECUTE_SCSI)
        return false;
    const Nanoseconds delay = busy_retry_delay();
    if (options_.lenient.quick_busy_retry) {
        const Nanoseconds deadline = r.submitted + Nanoseconds{r.srb.TimeOutValue} * kSecond;
        if (clock_.now() + delay > deadline)
            return false;
    } else if (r.busy_retries == kBusyRetryLimit) {
        return false;
    }
    r.busy_retries++;
    r.state = Request::State::Waiting;
    r.srb.SrbStatus = SRB_STATUS_PENDING;
    r.srb.ScsiStatus = 0;
    r.srb.DataTransferLength = r.length;
    parked_++;
    adapters_[r.adapter]->lus[lun_key(r.srb)].parked++;
    Request* request = &r;
    clock_.after(delay, [this, request] {
        parked_--;
        Adapter& a = *adapters_[request->adapter];
        const uint32_t key = lun_key(request->srb);
        Adapter::Lu& lu = a.lus[key];
        if (--lu.parked == 0 && lu.outstanding == 0)
            a.lus.erase(key);
        a.waiting.push_front(request);
    });
    return true;
}

// CHECK CONDITION with sense wanted, from a miniport that does not fetch sense
// itself: the LUN's queue is frozen, REQUEST SENSE goes as the port driver's
// own request ahead of everything else, and the original waits for it.
bool PortDriver::fetch_sense(Request& r)
{
    const SCSI_REQUEST_BLOCK& srb = r.srb;
    if (registration_.AutoRequestSense || srb.Function != SRB_FUNCTION_EXECUTE_SCSI ||
        (srb.SrbStatus & 0x3F) != SRB_STATUS_ERROR || srb.ScsiStatus != scsi::status::kCheckCondition ||
        (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) || (srb.SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) ||
        !srb.SenseInfoBuffer || srb.SenseInfoBufferLength == 0)
        return false;
    Adapter& a = *adapters_[r.adapter];
    a.frozen.insert(lun_key(srb));
    a.sense_requests++;

    Request& s = ledger_.make();
    s.id = next_request_id_++;
    s.adapter = r.adapter;
    s.submitted = clock_.now();
    s.sense_for = &r;
    s.sense_buffer = &memory_.allocate(kSenseLength);
    SCSI_REQUEST_BLOCK& q = s.srb;
    q.Length = sizeof q;
    q.Function = SRB_FUNCTION_EXECUTE_SCSI;
    q.SrbStatus = SRB_STATUS_PENDING;
    q.PathId = srb.PathId;
    q.TargetId = srb.TargetId;
    q.Lun = srb.Lun;
    q.CdbLength = 6;
    q.Cdb[0] = scsi::op::kRequestSense;
    q.Cdb[4] = kSenseLength;
    // As the port driver sends it: past the frozen queue, no disconnection,
    // and synchronous transfer disabled only when the failed request had it so.
    q.SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_BYPASS_FROZEN_QUEUE | SRB_FLAGS_DISABLE_DISCONNECT |
                 (srb.SrbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
    q.DataBuffer = s.sense_buffer->data;
    q.DataTransferLength = kSenseLength;
    q.TimeOutValue = kSenseTimeoutSeconds;
    q.OriginalRequest = &s;
    s.mapped_data = s.sense_buffer->data;
    s.length = q.DataTransferLength;

    r.state = Request::State::Waiting;
    parked_++;
    a.waiting.push_front(&s);
    return true;
}

void PortDriver::sense_fetched(Request& s)
{
    Request& r = *s.sense_for;
    s.state = Request::State::Completed;
    s.completed = clock_.now();
    const uint8_t status = s.srb.SrbStatus & 0x3F;
    if (status == SRB_STATUS_SUCCESS || status == SRB_STATUS_DATA_OVERRUN) {
        const uint32_t got = std::min<uint32_t>(s.srb.DataTransferLength, r.srb.SenseInfoBufferLength);
        std::memcpy(r.srb.SenseInfoBuffer, s.sense_buffer->data, got);
        r.srb.SenseInfoBufferLength = static_cast<UCHAR>(got);
        r.srb.SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
    }
    memory_.free(*s.sense_buffer);
    s.sense_buffer = nullptr;
    // The LU stays frozen until the class driver releases it.
    r.srb.SrbStatus |= SRB_STATUS_QUEUE_FROZEN;
    parked_--;
    ledger_.done(s, false);
    deliver(r);
}

// MapBuffers FALSE: the miniport gets an address for the buffer that it may
// hand to ScsiPortGetPhysicalAddress but not read or write through.
void PortDriver::hand_out_buffer(Request& r)
{
    if (registration_.MapBuffers || !r.srb.DataBuffer)
        return;
    auto* real = static_cast<uint8_t*>(r.srb.DataBuffer);
    const size_t page = PhysicalMemory::kPageSize;
    const size_t offset = reinterpret_cast<uintptr_t>(real) % page;
    const size_t length = (offset + r.srb.DataTransferLength + page - 1) / page * page;
    void* region = ::mmap(nullptr, std::max(length, page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED)
        throw std::runtime_error("no address space left for an unmapped buffer");
    auto* view = static_cast<uint8_t*>(region) + offset;
    unmapped_.push_back(UnmappedView{reinterpret_cast<uintptr_t>(view),
                                     reinterpret_cast<uintptr_t>(view) + r.srb.DataTransferLength, real, region,
                                     std::max(length, page)});
    r.srb.DataBuffer = view;
}

void PortDriver::take_back_buffer(Request& r)
{
    const auto view = reinterpret_cast<uintptr_t>(r.srb.DataBuffer);
    auto it = std::find_if(unmapped_.begin(), unmapped_.end(), [view](const UnmappedView& u) { return u.first == view; });
    if (it == unmapped_.end())
        return;
    r.srb.DataBuffer = it->real;
    ::munmap(it->region, it->region_length);
    unmapped_.erase(it);
}

void PortDriver::request_complete(PVOID extension, PSCSI_REQUEST_BLOCK srb)
{
    Request* found = ledger_.by_srb(srb);
    if (!found) {
        errors_.report(kWho, "RequestComplete for an SRB the port driver never gave out");
        return;
    }
    Request& r = *found;
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

void PortDriver::next_lu_request(PVOID extension, UCHAR path, UCHAR target, UCHAR lun)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "NextLuRequest from an extension that is no adapter");
        return;
    }
    if (target > 7 || lun > 7)
        errors_.report(kWho, fmt::format("NextLuRequest for path {} target {} LUN {}, which is no LU", path, target, lun));
    Adapter& adapter = *adapters_[a];
    adapter.next_lu_requests++;
    adapter.ready = true;
    if (options_.lenient.ignore_next_lu_request)
        return;
    const auto lu = adapter.lus.find(uint32_t{path} << 16 | uint32_t{target} << 8 | lun);
    if (lu != adapter.lus.end())
        lu->second.open = true;
}

void PortDriver::reset_detected(PVOID extension)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ResetDetected from an extension that is no adapter");
        return;
    }
    adapters_[a]->resets_detected++;
    hold_after_reset(*adapters_[a]);
}

// A bus reset: the targets need time to come back, and the port driver gives
// the adapter no new request until then.
void PortDriver::hold_after_reset(Adapter& a)
{
    if (options_.lenient.no_reset_hold)
        return;
    a.hold_until = clock_.now() + kResetHold;
    // Wake the machine when the hold ends, should nothing else be due then.
    clock_.after(kResetHold, [] {});
}

void PortDriver::request_timer(PVOID extension, PHW_TIMER routine, ULONG microseconds)
{
    const int index = adapter_of(extension);
    if (index < 0) {
        errors_.report(kWho, "RequestTimerCall from an extension that is no adapter");
        return;
    }
    if (!routine && microseconds != 0) {
        errors_.report(kWho, fmt::format("RequestTimerCall for {} us without a routine to call", microseconds));
        return;
    }
    Adapter& a = *adapters_[static_cast<size_t>(index)];
    if (a.timer_event)
        clock_.cancel(a.timer_event);
    if (a.timer_due)
        timers_due_--;
    a.timer_event = 0;
    a.timer_due = false;
    a.timer = microseconds == 0 ? nullptr : routine;
    if (!a.timer)
        return;
    Adapter* adapter = &a;
    a.timer_event = clock_.after(Nanoseconds{microseconds} * kMicrosecond, [this, adapter] {
        adapter->timer_event = 0;
        adapter->timer_due = true;
        timers_due_++;
    });
}

// A due timer call runs as the interrupt routine does: between miniport
// routines, with interrupts enabled, never beside HwInterrupt.
bool PortDriver::run_due_timers()
{
    if (timers_due_ == 0 || in_routine() || !cpu_.interrupts_enabled())
        return false;
    for (const auto& a : adapters_) {
        if (!a->timer_due)
            continue;
        a->timer_due = false;
        timers_due_--;
        const PHW_TIMER routine = std::exchange(a->timer, nullptr);
        a->timer_calls++;
        call(Routine::Timer, "HwTimer", [&] {
            routine(a->extension);
            return 0;
        });
        deliver_interrupts();
    }
    return true;
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
    // Every active request of the path, target and LU named, the one the
    // calling routine is processing included: an abort or reset request
    // handed to HwStartIo is completed here, and the miniport must not
    // complete it again.
    std::vector<Request*> matching;
    for (const auto& [id, r] : outstanding_) {
        const SCSI_REQUEST_BLOCK& s = r->srb;
        if (r->adapter == static_cast<size_t>(a) && s.PathId == path &&
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
    const Request* request = srb ? outstanding_request(srb) : nullptr;
    if (!request) {
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
    // An unmapped buffer's view stands for the buffer itself.
    for (const UnmappedView& u : unmapped_) {
        if (reinterpret_cast<uintptr_t>(first) == u.first) {
            at = u.real + (at - first);
            end = u.real + (end - first);
            break;
        }
    }
    // The address the adapter uses: a bounce page's for a page it cannot reach.
    const PhysicalMemory::Translation t = dma_.translate(request->id, at, end);
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
    if (!interrupts_.any_raised())
        return false;
    for (uint8_t irq : interrupts_.raised_lines())
        for (const auto& a : adapters_)
            if (a->initialized && a->config.BusInterruptLevel == irq &&
                (a->config.InterruptMode != Latched || interrupts_.edge_pending(irq)))
                return true;
    return false;
}

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

void PortDriver::reset_bus(size_t index, ULONG path)
{
    Adapter& a = *adapters_.at(index);
    call(Routine::ResetBus, "HwResetBus", [&] { return registration_.HwResetBus(a.extension, path); });
    hold_after_reset(a);
    pump();
}

// ---------------------------------------------------------------- interrupts

void PortDriver::on_interrupts_enabled()
{
    // HwResetBus runs at the interrupt's level, whatever it does with the
    // processor's flag. Leniently, the reset wait's re-enabling between its
    // polls lets the adapter's interrupt in at exactly those moments.
    if (options_.interrupts_inside_reset_wait && !routines_.empty() && routines_.back() == Routine::ResetBus)
        deliver_interrupts();
}

void PortDriver::deliver_interrupts()
{
    if (delivering_ || !cpu_.interrupts_enabled() || !interrupts_.any_raised())
        return;
    if (!routines_.empty() && (routines_.back() != Routine::ResetBus || !options_.interrupts_inside_reset_wait))
        return;
    delivering_ = true;
    for (uint8_t irq : interrupts_.raised_lines())
        service_interrupt_line(irq);
    delivering_ = false;
}

// Calls every HwInterrupt on the line until it drops. A line that stays raised
// while every routine declines it would interrupt forever: it is reported and masked.
// A line connected Latched has one adapter and interrupts once per rising edge:
// one HwInterrupt call, and none again until the line has dropped and risen.
bool PortDriver::service_interrupt_line(uint8_t irq)
{
    // No adapter comes or goes while the line is serviced: they are picked out in place.
    const auto on_line = [irq](const std::unique_ptr<Adapter>& a) {
        return a->initialized && a->config.BusInterruptLevel == irq;
    };
    const auto first = std::find_if(adapters_.begin(), adapters_.end(), on_line);
    if (first == adapters_.end())
        return false;
    if ((*first)->config.InterruptMode == Latched) {
        if (!interrupts_.take_edge(irq))
            return true;
        Adapter& a = **first;
        clock_.advance(options_.interrupt_entry_cost);
        if (call(Routine::Interrupt, "HwInterrupt", [&] { return registration_.HwInterrupt(a.extension); }))
            a.interrupts_claimed++;
        else
            errors_.report(kWho, fmt::format("IRQ {} rose and the HwInterrupt it is connected to (Latched) returned "
                                             "FALSE: an interrupt nobody claims",
                                             irq));
        return true;
    }
    for (int round = 0; interrupts_.raised(irq); round++) {
        if (round == kMaxInterruptRounds) {
            errors_.report(kWho, fmt::format("IRQ {} still raised after {} claimed interrupts; line masked", irq, round));
            interrupts_.mask(irq);
            return true;
        }
        bool claimed = false;
        for (const auto& a : adapters_) {
            if (!on_line(a))
                continue;
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

bool PortDriver::add_shared_handler(uint8_t irq, std::function<bool()> handler)
{
    if (line_held_latched(irq))
        return false;
    shared_handlers_.emplace_back(irq, std::move(handler));
    return true;
}

bool PortDriver::line_held_latched(uint8_t irq) const
{
    return std::any_of(adapters_.begin(), adapters_.end(), [irq](const auto& a) {
        return a->connected && a->config.BusInterruptLevel == irq && a->config.InterruptMode == Latched;
    });
}

// Connects the adapter's interrupt as HwFindAdapter described it. A Latched
// connection is exclusive, a LevelSensitive one shareable: the connection
// fails when the line has another user and either side is Latched. That is
// the driver's configuration at work, not a fault of the port: the adapter
// is recorded as not connected, its mappings are given back, and it is never
// initialized nor given requests.
bool PortDriver::connect_interrupt(Adapter& adapter)
{
    const uint8_t irq = static_cast<uint8_t>(adapter.config.BusInterruptLevel);
    const bool latched = adapter.config.InterruptMode == Latched;
    const bool other_device =
        std::any_of(shared_handlers_.begin(), shared_handlers_.end(), [irq](const auto& h) { return h.first == irq; });
    const auto other = std::find_if(adapters_.begin(), adapters_.end(), [&](const auto& a) {
        return a.get() != &adapter && a->connected && a->config.BusInterruptLevel == irq;
    });
    if (other != adapters_.end() && (latched || (*other)->config.InterruptMode == Latched)) {
        adapter.not_connected = fmt::format(
            "IRQ {} is connected {} by adapter {}; this adapter asks for it {}", irq,
            (*other)->config.InterruptMode == Latched ? "Latched (exclusive)" : "LevelSensitive",
            other - adapters_.begin(), latched ? "Latched (exclusive)" : "LevelSensitive");
    } else if (latched && other_device) {
        adapter.not_connected = fmt::format("IRQ {} is used by another device; this adapter asks for it Latched "
                                            "(exclusive)",
                                            irq);
    } else {
        adapter.connected = true;
        return true;
    }
    drop_mappings_of(adapter.extension);
    return false;
}

}  // namespace sim
