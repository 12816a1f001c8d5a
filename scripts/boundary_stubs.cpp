// Stand-ins for exactly the symbols the driver may call outside itself, used
// only to prove that an i386 freestanding link of the driver core needs
// nothing beyond them.
#include "miniport.h"

extern "C" {
ULONG MINIPORT_API ScsiPortInitialize(PVOID, PVOID, PHW_INITIALIZATION_DATA, PVOID) { return 0; }
PVOID MINIPORT_API ScsiPortGetDeviceBase(PVOID, INTERFACE_TYPE, ULONG, SCSI_PHYSICAL_ADDRESS,
                                         ULONG, BOOLEAN)
{
    return 0;
}
VOID MINIPORT_API ScsiPortFreeDeviceBase(PVOID, PVOID) {}
SCSI_PHYSICAL_ADDRESS MINIPORT_API ScsiPortConvertUlongToPhysicalAddress(ULONG address)
{
    SCSI_PHYSICAL_ADDRESS a;
    a.QuadPart = address;
    return a;
}
SCSI_PHYSICAL_ADDRESS MINIPORT_API ScsiPortGetPhysicalAddress(PVOID, PSCSI_REQUEST_BLOCK, PVOID,
                                                              ULONG*)
{
    SCSI_PHYSICAL_ADDRESS a;
    a.QuadPart = 0;
    return a;
}
UCHAR MINIPORT_API ScsiPortReadPortUchar(PUCHAR) { return 0; }
USHORT MINIPORT_API ScsiPortReadPortUshort(PUSHORT) { return 0; }
ULONG MINIPORT_API ScsiPortReadPortUlong(PULONG) { return 0; }
VOID MINIPORT_API ScsiPortWritePortUchar(PUCHAR, UCHAR) {}
VOID MINIPORT_API ScsiPortWritePortUlong(PULONG, ULONG) {}
VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE, PVOID, ...) {}
VOID MINIPORT_API ScsiPortCompleteRequest(PVOID, UCHAR, UCHAR, UCHAR, UCHAR) {}
VOID MINIPORT_API ScsiPortStallExecution(ULONG) {}
VOID MINIPORT_API ScsiPortLogError(PVOID, PSCSI_REQUEST_BLOCK, UCHAR, UCHAR, UCHAR, ULONG, ULONG) {}
ULONG SaveFlagsAndDisableInterrupts(void) { return 0; }
VOID RestoreFlags(ULONG) {}
UCHAR ReadSystemControlPort(void) { return 0; }
}
