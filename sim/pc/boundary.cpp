// The driver's boundary on the simulated PC: every symbol miniport.h
// declares, dispatched to the Machine that currently runs the driver.
#include "pc/boundary.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "pc/machine.h"

namespace sim {

namespace {
Machine* g_current = nullptr;
}

Machine* current_machine()
{
    return g_current;
}

CurrentMachineScope::CurrentMachineScope(Machine* machine) : previous_(g_current)
{
    g_current = machine;
}

CurrentMachineScope::~CurrentMachineScope()
{
    g_current = previous_;
}

void make_current(Machine* machine)
{
    g_current = machine;
}

void forget_current(Machine* machine)
{
    if (g_current == machine)
        g_current = nullptr;
}

}  // namespace sim

namespace {

// A boundary call with no machine behind it has nowhere to go: no model error
// can be recorded, so stop at once with the name of the call.
sim::Machine& machine(const char* service)
{
    sim::Machine* m = sim::current_machine();
    if (!m) {
        std::fprintf(stderr, "%s called by the driver with no simulated machine running it\n", service);
        std::abort();
    }
    return *m;
}

sim::PortDriver& port(const char* service)
{
    return machine(service).port_driver();
}

}  // namespace

extern "C" {

ULONG MINIPORT_API ScsiPortInitialize(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitializationData,
                                      PVOID HwContext)
{
    return port("ScsiPortInitialize").initialize(Argument1, Argument2, HwInitializationData, HwContext);
}

PVOID MINIPORT_API ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType, ULONG SystemIoBusNumber,
                                         SCSI_PHYSICAL_ADDRESS IoAddress, ULONG NumberOfBytes, BOOLEAN InIoSpace)
{
    return port("ScsiPortGetDeviceBase")
        .get_device_base(HwDeviceExtension, BusType, SystemIoBusNumber, IoAddress, NumberOfBytes, InIoSpace);
}

VOID MINIPORT_API ScsiPortFreeDeviceBase(PVOID HwDeviceExtension, PVOID MappedAddress)
{
    port("ScsiPortFreeDeviceBase").free_device_base(HwDeviceExtension, MappedAddress);
}

SCSI_PHYSICAL_ADDRESS MINIPORT_API ScsiPortConvertUlongToPhysicalAddress(ULONG UlongAddress)
{
    SCSI_PHYSICAL_ADDRESS a;
    a.QuadPart = UlongAddress;
    return a;
}

SCSI_PHYSICAL_ADDRESS MINIPORT_API ScsiPortGetPhysicalAddress(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb,
                                                              PVOID VirtualAddress, ULONG* Length)
{
    return port("ScsiPortGetPhysicalAddress").get_physical_address(HwDeviceExtension, Srb, VirtualAddress, Length);
}

UCHAR MINIPORT_API ScsiPortReadPortUchar(PUCHAR Port)
{
    return static_cast<UCHAR>(port("ScsiPortReadPortUchar").read_port(Port, sim::Width::Byte));
}

USHORT MINIPORT_API ScsiPortReadPortUshort(PUSHORT Port)
{
    return static_cast<USHORT>(port("ScsiPortReadPortUshort").read_port(Port, sim::Width::Word));
}

ULONG MINIPORT_API ScsiPortReadPortUlong(PULONG Port)
{
    return port("ScsiPortReadPortUlong").read_port(Port, sim::Width::Dword);
}

VOID MINIPORT_API ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value)
{
    port("ScsiPortWritePortUchar").write_port(Port, sim::Width::Byte, Value);
}

VOID MINIPORT_API ScsiPortWritePortUlong(PULONG Port, ULONG Value)
{
    port("ScsiPortWritePortUlong").write_port(Port, sim::Width::Dword, Value);
}

VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...)
{
    sim::PortDriver& p = port("ScsiPortNotification");
    va_list args;
    va_start(args, HwDeviceExtension);
    switch (NotificationType) {
    case RequestComplete:
        p.request_complete(HwDeviceExtension, va_arg(args, PSCSI_REQUEST_BLOCK));
        break;
    case NextRequest:
        p.next_request(HwDeviceExtension);
        break;
    case NextLuRequest: {
        // Path, target and LUN follow, each passed as an int.
        const auto path = static_cast<UCHAR>(va_arg(args, int));
        const auto target = static_cast<UCHAR>(va_arg(args, int));
        const auto lun = static_cast<UCHAR>(va_arg(args, int));
        p.next_lu_request(HwDeviceExtension, path, target, lun);
        break;
    }
    case ResetDetected:
        p.reset_detected(HwDeviceExtension);
        break;
    case RequestTimerCall: {
        const auto routine = va_arg(args, PHW_TIMER);
        const auto microseconds = va_arg(args, ULONG);
        p.request_timer(HwDeviceExtension, routine, microseconds);
        break;
    }
    default:
        p.unsupported_notification(NotificationType);
        break;
    }
    va_end(args);
}

VOID MINIPORT_API ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                                          UCHAR SrbStatus)
{
    port("ScsiPortCompleteRequest").complete_request(HwDeviceExtension, PathId, TargetId, Lun, SrbStatus);
}

VOID MINIPORT_API ScsiPortStallExecution(ULONG Delay)
{
    port("ScsiPortStallExecution").stall(Delay);
}

VOID MINIPORT_API ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb, UCHAR PathId, UCHAR TargetId,
                                   UCHAR Lun, ULONG ErrorCode, ULONG UniqueId)
{
    port("ScsiPortLogError").log_error(HwDeviceExtension, Srb, PathId, TargetId, Lun, ErrorCode, UniqueId);
}

ULONG SaveFlagsAndDisableInterrupts(void)
{
    return machine("SaveFlagsAndDisableInterrupts").cpu().save_and_disable();
}

VOID RestoreFlags(ULONG SavedFlags)
{
    machine("RestoreFlags").cpu().restore(SavedFlags);
}

UCHAR ReadSystemControlPort(void)
{
    return machine("ReadSystemControlPort").system_port().read();
}

}  // extern "C"
