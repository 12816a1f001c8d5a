#include "loader/port_driver_exports.h"

#if defined(__i386__)

#include <stdarg.h>

#include <algorithm>
#include <cctype>

#include "miniport.h"

// Adapters between the image and the simulator's services. The kernel's
// compiler keeps only a 4-byte aligned stack, so each adapter realigns it
// before simulator code runs; and the kernel returns an 8-byte physical
// address in EDX:EAX, where this host's convention would return it through
// memory, so the two services that return one hand back a 64-bit integer.
#define KERNEL_CALL __attribute__((stdcall, force_align_arg_pointer))

namespace {

ULONG KERNEL_CALL Initialize(PVOID a1, PVOID a2, PHW_INITIALIZATION_DATA data, PVOID context)
{
    return ScsiPortInitialize(a1, a2, data, context);
}

PVOID KERNEL_CALL GetDeviceBase(PVOID extension, INTERFACE_TYPE bus, ULONG number, SCSI_PHYSICAL_ADDRESS address,
                                ULONG length, BOOLEAN io_space)
{
    return ScsiPortGetDeviceBase(extension, bus, number, address, length, io_space);
}

VOID KERNEL_CALL FreeDeviceBase(PVOID extension, PVOID mapped)
{
    ScsiPortFreeDeviceBase(extension, mapped);
}

uint64_t KERNEL_CALL ConvertUlongToPhysicalAddress(ULONG address)
{
    return static_cast<uint64_t>(ScsiPortConvertUlongToPhysicalAddress(address).QuadPart);
}

uint64_t KERNEL_CALL GetPhysicalAddress(PVOID extension, PSCSI_REQUEST_BLOCK srb, PVOID virtual_address,
                                        ULONG* length)
{
    return static_cast<uint64_t>(ScsiPortGetPhysicalAddress(extension, srb, virtual_address, length).QuadPart);
}

UCHAR KERNEL_CALL ReadPortUchar(PUCHAR port)
{
    return ScsiPortReadPortUchar(port);
}

USHORT KERNEL_CALL ReadPortUshort(PUSHORT port)
{
    return ScsiPortReadPortUshort(port);
}

ULONG KERNEL_CALL ReadPortUlong(PULONG port)
{
    return ScsiPortReadPortUlong(port);
}

VOID KERNEL_CALL WritePortUchar(PUCHAR port, UCHAR value)
{
    ScsiPortWritePortUchar(port, value);
}

VOID KERNEL_CALL WritePortUlong(PULONG port, ULONG value)
{
    ScsiPortWritePortUlong(port, value);
}

// Variadic, so cdecl: forward exactly the arguments each notification carries.
__attribute__((cdecl, force_align_arg_pointer)) VOID Notification(SCSI_NOTIFICATION_TYPE type, PVOID extension, ...)
{
    va_list args;
    va_start(args, extension);
    switch (type) {
    case RequestComplete: {
        PSCSI_REQUEST_BLOCK srb = va_arg(args, PSCSI_REQUEST_BLOCK);
        ScsiPortNotification(type, extension, srb);
        break;
    }
    case NextLuRequest: {
        ULONG path = va_arg(args, ULONG);
        ULONG target = va_arg(args, ULONG);
        ULONG lun = va_arg(args, ULONG);
        ScsiPortNotification(type, extension, path, target, lun);
        break;
    }
    case RequestTimerCall: {
        PVOID routine = va_arg(args, PVOID);
        ULONG micros = va_arg(args, ULONG);
        ScsiPortNotification(type, extension, routine, micros);
        break;
    }
    default:
        ScsiPortNotification(type, extension);
        break;
    }
    va_end(args);
}

VOID KERNEL_CALL CompleteRequest(PVOID extension, UCHAR path, UCHAR target, UCHAR lun, UCHAR status)
{
    ScsiPortCompleteRequest(extension, path, target, lun, status);
}

VOID KERNEL_CALL StallExecution(ULONG micros)
{
    ScsiPortStallExecution(micros);
}

VOID KERNEL_CALL LogError(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR path, UCHAR target, UCHAR lun, ULONG code,
                          ULONG unique_id)
{
    ScsiPortLogError(extension, srb, path, target, lun, code, unique_id);
}

struct Export {
    const char* name;
    const void* address;
};

const Export kExports[] = {
    {"ScsiPortInitialize", reinterpret_cast<const void*>(&Initialize)},
    {"ScsiPortGetDeviceBase", reinterpret_cast<const void*>(&GetDeviceBase)},
    {"ScsiPortFreeDeviceBase", reinterpret_cast<const void*>(&FreeDeviceBase)},
    {"ScsiPortConvertUlongToPhysicalAddress", reinterpret_cast<const void*>(&ConvertUlongToPhysicalAddress)},
    {"ScsiPortGetPhysicalAddress", reinterpret_cast<const void*>(&GetPhysicalAddress)},
    {"ScsiPortReadPortUchar", reinterpret_cast<const void*>(&ReadPortUchar)},
    {"ScsiPortReadPortUshort", reinterpret_cast<const void*>(&ReadPortUshort)},
    {"ScsiPortReadPortUlong", reinterpret_cast<const void*>(&ReadPortUlong)},
    {"ScsiPortWritePortUchar", reinterpret_cast<const void*>(&WritePortUchar)},
    {"ScsiPortWritePortUlong", reinterpret_cast<const void*>(&WritePortUlong)},
    {"ScsiPortNotification", reinterpret_cast<const void*>(&Notification)},
    {"ScsiPortCompleteRequest", reinterpret_cast<const void*>(&CompleteRequest)},
    {"ScsiPortStallExecution", reinterpret_cast<const void*>(&StallExecution)},
    {"ScsiPortLogError", reinterpret_cast<const void*>(&LogError)},
};

bool same_module(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::toupper(x) == std::toupper(y); });
}

}  // namespace

namespace sim::loader {

std::optional<uint32_t> resolve_port_driver_export(std::string_view module, std::string_view name)
{
    if (!same_module(module, "SCSIPORT.SYS"))
        return std::nullopt;
    for (const auto& e : kExports)
        if (name == e.name)
            return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.address));
    return std::nullopt;
}

}  // namespace sim::loader

#else

namespace sim::loader {

std::optional<uint32_t> resolve_port_driver_export(std::string_view, std::string_view)
{
    return std::nullopt;
}

}  // namespace sim::loader

#endif
