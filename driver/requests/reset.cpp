// Bus reset and request flush: a reset ends every command on the bus, so all
// outstanding requests go back to the port driver at once and every block
// returns to the free list.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "requests.h"

// A bus reset returns every target to asynchronous transfer: forget every
// agreement, so that no data phase runs at a rate the target has dropped. The
// next REQUEST SENSE or INQUIRY to LUN 0 negotiates again. The chip is loaded
// from the records at the next selection or reselection.
static void ForgetSyncAgreements(AdapterExtension* extension)
{
    for (ULONG target = 0; target < MAX_TARGETS; target++)
        for (ULONG l = 0; l < MAX_LUNS; l++)
            MakeAsynchronous(&extension->Lun[target][l]);
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
            lun = next;
        } while (lun && lun != start);
    }
    extension->ActiveLun = 0;
    extension->ServiceCursor = 0;
    // A reset leaves the chip deaf to reselection until the next bus free.
    extension->ReselectionArmed = 0;
    ForgetSyncAgreements(extension);
}

// Reset the bus when a target is on it in a state the driver cannot account
// for. Everything outstanding is flushed here rather than left to the reset
// interrupt: after a reset wait that timed out, ResetPending is still set and
// that interrupt would flush nothing. Clearing it lets the reset interrupt
// also end whatever was started between now and the reset itself.
void ResetBusToRecover(AdapterExtension* extension)
{
    FlushAllRequests(extension, extension->PathId);
    extension->ResetPending = 0;
    WriteCommand(extension->IoBase, ResetScsiBus);
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
    extension->ResetPending = 1;
    extension->ResetSeen = 0;
    RestoreFlags(saved);

    WriteCommand(extension->IoBase, ResetScsiBus);

    // The interrupt routine can only run between polls.
    for (ULONG poll = 0; poll < RESET_WAIT_POLLS; poll++) {
        BOOLEAN seen;

        saved = SaveFlagsAndDisableInterrupts();
        seen = extension->ResetSeen;
        if (seen)
            extension->ResetPending = 0;
        else
            ScsiPortStallExecution(1);
        RestoreFlags(saved);
        if (seen)
            return;
    }
    // Called at the interrupt's level (as the port driver calls HwResetBus
    // and HwStartIo), the reset's own interrupt cannot come in before we
    // return: the chip holding an interrupt is the reset done, and the
    // interrupt routine takes it as ours when it runs.
    if (ChipRead(extension->IoBase, DmaStatus) & DMA_STATUS_CORE_INTERRUPT)
        return;
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
