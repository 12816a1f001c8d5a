// Requests: initialization, intake, block preparation, the command-block
// pool, LUN queues and the service ring, and bus reset.
#ifndef DRIVER_INCLUDE_REQUESTS_H
#define DRIVER_INCLUDE_REQUESTS_H

#include "adapter.h"

extern "C" {
BOOLEAN MINIPORT_API HwInitialize(PVOID HwDeviceExtension);
BOOLEAN MINIPORT_API HwStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN MINIPORT_API HwResetBus(PVOID HwDeviceExtension, ULONG PathId);
}

LunRecord* LookupLun(AdapterExtension* extension, UCHAR target, UCHAR lun);

// Block preparation.
BOOLEAN PrepareBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                     PSCSI_REQUEST_BLOCK srb);
BOOLEAN TakeTag(LunRecord* lun, CommandBlock* block);
BOOLEAN CommandNeverTagged(UCHAR opcode);
BOOLEAN CarriesTag(LunRecord* lun, CommandBlock* block);

// The command-block pool.
void InitializeBlockPool(AdapterExtension* extension);
CommandBlock* AllocateBlock(AdapterExtension* extension);
void FreeBlock(AdapterExtension* extension, CommandBlock* block);

// LUN queues and the service ring.
void QueueBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void InsertBehindStarted(LunRecord* lun, CommandBlock* block);
void UnlinkBlock(LunRecord* lun, CommandBlock* block);
CommandBlock* FirstWaitingBlock(LunRecord* lun);
BOOLEAN MayStartNext(LunRecord* lun);
void RewindDataPointers(CommandBlock* block);
ULONG NoteDataReached(CommandBlock* block);
BOOLEAN LeaveRing(AdapterExtension* extension, LunRecord* lun);
void EmptyLun(LunRecord* lun);
void FlushLun(AdapterExtension* extension, LunRecord* lun);
void NotifyReady(AdapterExtension* extension, LunRecord* lun);

// Bus reset.
void FlushAllRequests(AdapterExtension* extension, ULONG pathId);
void ResetBusAndWait(AdapterExtension* extension, ULONG pathId);
void ResetBusToRecover(AdapterExtension* extension);

#endif  // DRIVER_INCLUDE_REQUESTS_H
