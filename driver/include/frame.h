// The driver's frame: its entry point and the system event log.
#ifndef DRIVER_INCLUDE_FRAME_H
#define DRIVER_INCLUDE_FRAME_H

#include "adapter.h"

extern "C" {
ULONG MINIPORT_API DriverEntry(PVOID Argument1, PVOID Argument2);
BOOLEAN MINIPORT_API HwAdapterState(PVOID HwDeviceExtension, PVOID Context, BOOLEAN SaveState);
}

// One entry per recovered error. `lun` and `block` name the device and
// request concerned, when there are such.
void LogRecoveredError(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, ULONG errorCode,
                       ULONG uniqueId);

#endif  // DRIVER_INCLUDE_FRAME_H
