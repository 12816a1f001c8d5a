// The engine: the interrupt routine and the bus-phase engine behind it.
#ifndef DRIVER_INCLUDE_ENGINE_H
#define DRIVER_INCLUDE_ENGINE_H

#include "adapter.h"

extern "C" {
BOOLEAN MINIPORT_API HwInterrupt(PVOID HwDeviceExtension);
}

// Selection and reselection.
BOOLEAN StartFirstWaiting(AdapterExtension* extension, LunRecord* lun);
void LoadTargetSettings(ULONG ioBase, LunRecord* lun);
void LoadCdb(ULONG ioBase, CommandBlock* block);
void HandleReselection(AdapterExtension* extension);
void RestorePointers(CommandBlock* block);
void ReconnectBlock(CommandBlock* block);

// Bus phases: the one the target asserts starts when the last one is closed.
void StartPhase(AdapterExtension* extension, UCHAR phase);
void ClosePhase(AdapterExtension* extension, UCHAR* status);

// Message-in: one byte at a time, accepted when taken.
void TakeMessageByte(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR* status);
void AcceptMessageByte(ULONG ioBase, UCHAR* status);

// Bus free and the next command.
void HandleBusFree(AdapterExtension* extension);
void StartNextCommand(AdapterExtension* extension, LunRecord* start);

// Synchronous transfer negotiation.
UCHAR OfferedPeriodFactor(LunRecord* lun);
void AcceptSdtrReply(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                     UCHAR period, UCHAR offset);
void FallBackToAsynchronous(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void MakeAsynchronous(LunRecord* lun);

#endif  // DRIVER_INCLUDE_ENGINE_H
