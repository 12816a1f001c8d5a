// The engine: the interrupt routine and the bus-phase engine behind it.
#ifndef DRIVER_INCLUDE_ENGINE_H
#define DRIVER_INCLUDE_ENGINE_H

#include "adapter.h"

extern "C" {
BOOLEAN MINIPORT_API HwInterrupt(PVOID HwDeviceExtension);
}

// Selection and reselection.
void StartSelection(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void LoadTargetSettings(ULONG ioBase, LunRecord* lun);
void LoadCdb(ULONG ioBase, CommandBlock* block);
void HandleReselection(AdapterExtension* extension);
void RestorePointers(CommandBlock* block);
void ReconnectBlock(CommandBlock* block);

// Bus phases.
void StartPhase(AdapterExtension* extension, UCHAR phase);
void FinishPhase(AdapterExtension* extension, UCHAR* status);

// Bus free and the next command.
void HandleDisconnect(AdapterExtension* extension);
void StartNextCommand(AdapterExtension* extension, LunRecord* start);

// Synchronous transfer negotiation.
UCHAR OfferedPeriodFactor(LunRecord* lun);
void AcceptSdtrReply(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                     UCHAR period, UCHAR offset);
void FallBackToAsynchronous(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void MakeAsynchronous(LunRecord* lun);

#endif  // DRIVER_INCLUDE_ENGINE_H
