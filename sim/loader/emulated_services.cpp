// The port driver's side of the boundary for the image: the host-side routine
// slots that run its routines, and the services its stubs reach.
#include "loader/emulated_session.h"

#include <fmt/format.h>

#include "loader/i386_records.h"
#include "pc/boundary.h"

namespace sim::loader {

namespace {

// Which session a host-side routine slot belongs to: by extension, or the one
// being loaded or inside ScsiPortInitialize.
std::unordered_map<const void*, EmulatedDriver::Session*> g_by_extension;
EmulatedDriver::Session* g_loading = nullptr;

EmulatedDriver::Session* session_of(const void* extension)
{
    auto it = g_by_extension.find(extension);
    return it == g_by_extension.end() ? nullptr : it->second;
}

}  // namespace

// ---------------------------------------------------------------- host-side routine slots

ULONG emulation::DriverEntryThunk(PVOID argument1, PVOID argument2)
{
    EmulatedDriver::Session* s = g_loading;
    if (!s)
        return PortDriver::kStatusNoSuchDevice;
    s->host_argument[0] = argument1;
    s->host_argument[1] = argument2;
    const uint32_t status = s->call(kDriverEntry, s->image.entry(), {s->guest_argument[0], s->guest_argument[1]});
    // A driver stopped on a fault did not load.
    return s->dead ? kStatusUnsuccessful : status;
}

namespace {

ULONG FindAdapterThunk(PVOID extension, PVOID, PVOID bus_information, PCHAR argument_string,
                       PPORT_CONFIGURATION_INFORMATION config, BOOLEAN* again)
{
    EmulatedDriver::Session* s = g_loading;
    if (!s || s->dead)
        return SP_RETURN_ERROR;
    g_by_extension[extension] = s;
    const uint32_t ext = s->guest_extension(extension, true);
    if (bus_information)
        s->machine.errors().report("cpu386", "HwFindAdapter given bus information the emulated processor has no "
                                             "copy of");
    // The parameter string, NUL and all, copied afresh for each call into
    // pool memory of its own, as the port driver's copy is its own.
    uint32_t guest_argument = 0;
    if (argument_string) {
        const auto size = static_cast<uint32_t>(std::strlen(argument_string) + 1);
        if (size > s->argument_size) {
            s->argument_string = s->allocate(size, "the driver-parameter string");
            s->argument_size = s->argument_string ? size : 0;
        }
        if (uint8_t* p = s->host(s->argument_string, size)) {
            std::memcpy(p, argument_string, size);
            guest_argument = s->argument_string;
        }
    }
    uint8_t* page = s->host(s->config_page, kPage);
    std::memset(page, 0, kPage);
    const uint32_t ranges = s->config_page + i386::kConfigRangesOffset;
    const uint32_t again_at = s->config_page + i386::kConfigAgainOffset;
    i386::put_config(page, *config, ranges);
    i386::put_ranges(page + i386::kConfigRangesOffset, *config);
    const uint32_t count = i386::range_count(*config);
    page[i386::kConfigAgainOffset] = again ? *again : 0;
    const uint32_t result = s->call(kFindAdapter, s->routine_address[kFindAdapter],
                                    {ext, s->guest_context, 0, guest_argument, s->config_page, again ? again_at : 0});
    i386::take_config(page, *config);
    i386::take_ranges(page + i386::kConfigRangesOffset, *config, count);
    if (again)
        *again = page[i386::kConfigAgainOffset];
    // The port driver's copy of the context follows the driver's.
    for (size_t i = 0; i < s->context_mirror.size(); i++)
        if (const uint8_t* b = s->host(s->guest_context + static_cast<uint32_t>(i), 1))
            s->context_mirror[i] = *b;
    return result;
}

template <Routine R> BOOLEAN ExtensionThunk(PVOID extension)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    return static_cast<BOOLEAN>(s->call(R, s->routine_address[R], {s->guest_extension(extension, false)}));
}

BOOLEAN StartIoThunk(PVOID extension, PSCSI_REQUEST_BLOCK srb)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    const uint32_t guest = s->hand_over(srb);
    return static_cast<BOOLEAN>(
        s->call(kStartIo, s->routine_address[kStartIo], {s->guest_extension(extension, false), guest}));
}

BOOLEAN ResetBusThunk(PVOID extension, ULONG path)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    return static_cast<BOOLEAN>(
        s->call(kResetBus, s->routine_address[kResetBus], {s->guest_extension(extension, false), path}));
}

// The port driver's timer call: the driver's routine its last RequestTimerCall named.
VOID TimerThunk(PVOID extension)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return;
    const auto it = s->timer_routine.find(extension);
    s->call(kTimer, it == s->timer_routine.end() ? 0 : it->second, {s->guest_extension(extension, false)});
}

VOID DmaStartedThunk(PVOID extension)
{
    ExtensionThunk<kDmaStarted>(extension);
}

BOOLEAN AdapterStateThunk(PVOID extension, PVOID, BOOLEAN save)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    return static_cast<BOOLEAN>(s->call(kAdapterState, s->routine_address[kAdapterState],
                                        {s->guest_extension(extension, false), s->guest_context, save}));
}

}  // namespace

namespace emulation {

void set_loading(EmulatedDriver::Session* session)
{
    g_loading = session;
}

void forget(EmulatedDriver::Session* session)
{
    std::erase_if(g_by_extension, [session](const auto& e) { return e.second == session; });
    if (g_loading == session)
        g_loading = nullptr;
}

}  // namespace emulation

// ---------------------------------------------------------------- services

void EmulatedDriver::Session::initialize_service(uint32_t esp)
{
    const uint32_t a1 = read32(esp + 4), a2 = read32(esp + 8), data = read32(esp + 12), context = read32(esp + 16);
    const auto argument = [&](uint32_t guest, int i) {
        return guest == guest_argument[i] ? host_argument[i] : reinterpret_cast<void*>(static_cast<uintptr_t>(guest));
    };
    guest_context = context;
    HW_INITIALIZATION_DATA* record = nullptr;
    const uint8_t* g = host(data, i386::kInitDataSize);
    if (g) {
        const i386::InitRoutines r = i386::take_init_data(g, registration);
        routine_address[kHwInitialize] = r.initialize;
        routine_address[kStartIo] = r.start_io;
        routine_address[kInterrupt] = r.interrupt;
        routine_address[kFindAdapter] = r.find_adapter;
        routine_address[kResetBus] = r.reset_bus;
        routine_address[kDmaStarted] = r.dma_started;
        routine_address[kAdapterState] = r.adapter_state;
        // The port driver reads the identity strings where the record points.
        const auto copy = [&](uint32_t at, uint16_t length, std::vector<uint8_t>& into) {
            into.assign(length, 0);
            if (const uint8_t* p = host(at, length))
                std::memcpy(into.data(), p, length);
            return at && length ? static_cast<PVOID>(into.data()) : nullptr;
        };
        registration.VendorId = copy(i386::get32(g, i386::kInitVendorId), registration.VendorIdLength, vendor_id);
        registration.DeviceId = copy(i386::get32(g, i386::kInitDeviceId), registration.DeviceIdLength, device_id);
        // The host's routine slots stand for the driver's.
        registration.HwInitialize = routine_address[kHwInitialize] ? &ExtensionThunk<kHwInitialize> : nullptr;
        registration.HwStartIo = routine_address[kStartIo] ? &StartIoThunk : nullptr;
        registration.HwInterrupt = routine_address[kInterrupt] ? &ExtensionThunk<kInterrupt> : nullptr;
        registration.HwFindAdapter = routine_address[kFindAdapter] ? &FindAdapterThunk : nullptr;
        registration.HwResetBus = routine_address[kResetBus] ? &ResetBusThunk : nullptr;
        registration.HwDmaStarted = routine_address[kDmaStarted] ? &DmaStartedThunk : nullptr;
        registration.HwAdapterState = routine_address[kAdapterState] ? &AdapterStateThunk : nullptr;
        record = &registration;
    }
    Session* outer = std::exchange(g_loading, this);
    const ULONG status =
        ::ScsiPortInitialize(argument(a1, 0), argument(a2, 1), record, context ? context_mirror.data() : nullptr);
    g_loading = outer;
    uc_reg_write(uc, UC_X86_REG_EAX, &status);
}

void EmulatedDriver::Session::service(Service s, uint32_t esp)
{
    const auto arg = [&](int i) { return read32(esp + 4 + 4 * static_cast<uint32_t>(i)); };
    const auto port = [&](int i) { return reinterpret_cast<PVOID>(static_cast<uintptr_t>(arg(i))); };
    const auto result = [&](uint32_t eax) { uc_reg_write(uc, UC_X86_REG_EAX, &eax); };
    const auto result64 = [&](SCSI_PHYSICAL_ADDRESS a) {
        const auto q = static_cast<uint64_t>(a.QuadPart);
        const auto lo = static_cast<uint32_t>(q), hi = static_cast<uint32_t>(q >> 32);
        uc_reg_write(uc, UC_X86_REG_EAX, &lo);
        uc_reg_write(uc, UC_X86_REG_EDX, &hi);
    };
    switch (s) {
    case kInitialize:
        initialize_service(esp);
        break;
    case kGetDeviceBase: {
        SCSI_PHYSICAL_ADDRESS address;
        address.QuadPart = static_cast<int64_t>(uint64_t{arg(3)} | uint64_t{arg(4)} << 32);
        const PVOID base = ::ScsiPortGetDeviceBase(host_extension(arg(0)), static_cast<INTERFACE_TYPE>(arg(1)), arg(2),
                                                   address, arg(5), static_cast<BOOLEAN>(arg(6)));
        const auto value = reinterpret_cast<uintptr_t>(base);
        if (value > 0xFFFFFFFFu) {
            fail("ScsiPortGetDeviceBase returned an address beyond 32 bits");
            break;
        }
        result(static_cast<uint32_t>(value));
        break;
    }
    case kFreeDeviceBase:
        ::ScsiPortFreeDeviceBase(host_extension(arg(0)), port(1));
        break;
    case kConvertUlong:
        result64(::ScsiPortConvertUlongToPhysicalAddress(arg(0)));
        break;
    case kGetPhysicalAddress: {
        const uint32_t srb = arg(1), length_at = arg(3);
        ULONG length = 0;
        take_back(srb);
        result64(::ScsiPortGetPhysicalAddress(host_extension(arg(0)), host_srb(srb), host_data(srb, arg(2)),
                                              length_at ? &length : nullptr));
        if (length_at) {
            if (!host(length_at, 4))
                fail(fmt::format("ScsiPortGetPhysicalAddress given a length at {}, which is not the driver's",
                                 where(length_at)));
            write32(length_at, length);
        }
        break;
    }
    case kReadUchar:
        result(::ScsiPortReadPortUchar(static_cast<PUCHAR>(port(0))));
        break;
    case kReadUshort:
        result(::ScsiPortReadPortUshort(static_cast<PUSHORT>(port(0))));
        break;
    case kReadUlong:
        result(::ScsiPortReadPortUlong(static_cast<PULONG>(port(0))));
        break;
    case kWriteUchar:
        ::ScsiPortWritePortUchar(static_cast<PUCHAR>(port(0)), static_cast<UCHAR>(arg(1)));
        break;
    case kWriteUlong:
        ::ScsiPortWritePortUlong(static_cast<PULONG>(port(0)), arg(1));
        break;
    case kNotification: {
        const auto type = static_cast<SCSI_NOTIFICATION_TYPE>(arg(0));
        PVOID extension = host_extension(arg(1));
        if (type == RequestComplete) {
            // The SRB leaves the driver's address space before the port
            // driver sees it complete: it may hand it over again at once.
            const uint32_t srb = arg(2);
            take_back(srb);
            SCSI_REQUEST_BLOCK* done = host_srb(srb);
            release(srb);
            ::ScsiPortNotification(type, extension, done);
        } else if (type == NextLuRequest) {
            ::ScsiPortNotification(type, extension, arg(2), arg(3), arg(4));
        } else if (type == RequestTimerCall) {
            // The routine is the driver's: the port driver gets the host
            // slot that calls it, and calls it with the adapter's extension.
            const uint32_t routine = arg(2);
            if (routine)
                timer_routine[extension] = routine;
            ::ScsiPortNotification(type, extension, routine ? &TimerThunk : nullptr, arg(3));
        } else {
            ::ScsiPortNotification(type, extension);
        }
        break;
    }
    case kCompleteRequest:
        ::ScsiPortCompleteRequest(host_extension(arg(0)), static_cast<UCHAR>(arg(1)), static_cast<UCHAR>(arg(2)),
                                  static_cast<UCHAR>(arg(3)), static_cast<UCHAR>(arg(4)));
        release_finished();
        break;
    case kStall:
        ::ScsiPortStallExecution(arg(0));
        break;
    case kLogError: {
        const uint32_t srb = arg(1);
        if (srb)
            take_back(srb);
        ::ScsiPortLogError(host_extension(arg(0)), host_srb(srb), static_cast<UCHAR>(arg(2)),
                           static_cast<UCHAR>(arg(3)), static_cast<UCHAR>(arg(4)), arg(5), arg(6));
        break;
    }
    case kServiceCount:
        break;
    }
}

}  // namespace sim::loader
