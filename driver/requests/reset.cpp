// Bus reset and request flush: a reset ends every command on the bus, so all
// outstanding requests go back to the port driver at once and every block
// returns to the free list.
#include "adapter.h"

// Give every block of one LUN's queue back to the free list and empty the LUN.
static void FlushLun(AdapterExtension* extension, LunRecord* lun)
{
    CommandBlock* block = lun->QueueHead;

    while (block) {
        // The tail's link is not maintained: stop there.
        CommandBlock* next = block == lun->QueueTail ? 0 : block->Next;

        ClearBlock(block);
        block->Next = extension->FreeBlocks;
        extension->FreeBlocks = block;
        block = next;
    }
    lun->QueueTail = 0;
    lun->QueueHead = 0;
    lun->CurrentBlock = 0;
    lun->IssuedCount = 0;
    lun->QueuedCount = 0;
    lun->FreeTags = ALL_TAGS_FREE;
}

// A bus reset returns every target to asynchronous transfer: forget every
// agreement, so that no data phase runs at a rate the target has dropped. The
// next REQUEST SENSE or INQUIRY to LUN 0 negotiates again. The chip is loaded
// from the records at the next selection or reselection.
static void ForgetSyncAgreements(AdapterExtension* extension)
{
    for (ULONG target = 0; target < MAX_TARGETS; target++) {
        for (ULONG l = 0; l < MAX_LUNS; l++) {
            LunRecord* lun = &extension->Lun[target][l];

            lun->SyncPeriodReg = 0;
            lun->SyncOffsetReg = 0;
            lun->Asynchronous = 1;
            lun->Config3 = CONFIG3_NORMAL;
            lun->Config4 = (UCHAR)((lun->Config4 & CONFIG4_SYNC_CLEAR) | CONFIG4_SLOW);
        }
    }
}

// Complete every outstanding request as bus reset and empty the service ring.
void FlushAllRequests(AdapterExtension* extension, ULONG pathId)
{
    LunRecord* start = extension->ServiceCursor;
    LunRecord* lun = start;

    ScsiPortCompleteRequest(extension, (UCHAR)pathId, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
    if (lun) {
        do {
            LunRecord* next = lun->RingNext;

            FlushLun(extension, lun);
            lun->RingNext = 0;
            lun->RingPrev = 0;
            lun = next;
        } while (lun && lun != start);
    }
    extension->ActiveLun = 0;
    extension->ServiceCursor = 0;
    // A reset leaves the chip deaf to reselection until the next bus free.
    extension->ReselectionArmed = 0;
    ForgetSyncAgreements(extension);
}

// Flush, reset the SCSI bus and wait a bounded time for our own reset interrupt.
void ResetBusAndWait(AdapterExtension* extension, ULONG PathId)
{
    ULONG saved;

    saved = SaveFlagsAndDisableInterrupts();
    FlushAllRequests(extension, PathId);
    RestoreFlags(saved);

    // Pending before the reset is issued, so its interrupt never flushes twice.
    saved = SaveFlagsAndDisableInterrupts();
    DriverGlobals.ResetPending = 1;
    DriverGlobals.ResetSeen = 0;
    RestoreFlags(saved);

    WriteCommand(extension->IoBase, ResetScsiBus);

    // The interrupt routine can only run between polls.
    for (ULONG poll = 0; poll < RESET_WAIT_POLLS; poll++) {
        BOOLEAN seen;

        saved = SaveFlagsAndDisableInterrupts();
        seen = DriverGlobals.ResetSeen;
        if (seen)
            DriverGlobals.ResetPending = 0;
        else
            ScsiPortStallExecution(1);
        RestoreFlags(saved);
        if (seen)
            return;
    }
    // Once, after the bounded wait: the bus did not come back from the reset.
    LogRecoveredError(extension, 0, 0, SP_BUS_TIME_OUT, LOG_ID_RESET_WAIT_EXPIRED);
}

// The port driver resets the bus when a request has timed out.
extern "C" BOOLEAN MINIPORT_API HwResetBus(PVOID HwDeviceExtension, ULONG PathId)
{
    AdapterExtension* extension = (AdapterExtension*)HwDeviceExtension;

    LogRecoveredError(extension, 0, 0, SP_REQUEST_TIMEOUT, LOG_ID_PORT_DRIVER_RESET);
    ResetBusAndWait(extension, PathId);
    return TRUE;
}
