// Interrupt service and dispatch: one chip interrupt per call, read once and
// handed to the bus-reset, reselection, bus-free or phase handling.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "requests.h"

// A SCSI bus reset: ours (HwResetBus has already flushed) or from elsewhere.
// Only the first reset after HwResetBus issued one is ours. When its wait has
// given up, ResetPending stays set; every later reset is from elsewhere and
// must flush, or the requests it ends would be stranded. Our own reset's
// interrupt, come after the wait gave up, flushes too when commands have been
// queued since: the chip ended them with the reset and nothing else will.
static void HandleBusReset(AdapterExtension* extension)
{
    BOOLEAN ours = extension->ResetPending && !extension->ResetSeen;

    if (ours)
        extension->ResetSeen = 1;
    if (!ours || extension->ServiceCursor || extension->ActiveLun)
        FlushAllRequests(extension, extension->PathId);
    ScsiPortNotification(ResetDetected, extension);
}

// A phase ended: close it, record the phase the target now asserts, start it.
static void HandlePhase(AdapterExtension* extension, UCHAR status)
{
    LunRecord* lun = extension->ActiveLun;
    CommandBlock* block;
    UCHAR phase;

    // Bus service with no command connected: nothing to finish or start.
    if (!lun || !lun->CurrentBlock) {
        LogRecoveredError(extension, lun, 0, SP_PROTOCOL_ERROR, LOG_ID_PHASE_WITHOUT_COMMAND);
        ResetBusToRecover(extension);
        return;
    }
    block = lun->CurrentBlock;
    // The first phase after a selection: an empty FIFO means the chip's own
    // command phase took the whole CDB. A target that goes on to data or
    // status with bytes still there took the command it wanted, shorter than
    // the CDB (a padded one): what is left must not go out as data.
    if (block->Flags & CB_CDB_IN_FIFO) {
        block->Flags &= ~CB_CDB_IN_FIFO;
        if ((ChipRead(extension->IoBase, FifoFlags) & FIFO_COUNT_MASK) == 0) {
            block->Flags |= CB_CDB_SENT;
        } else if ((status & STATUS_PHASE_MASK) <= PHASE_STATUS && (status & STATUS_PHASE_MASK) != PHASE_COMMAND) {
            block->Flags |= CB_CDB_SENT;
            WriteCommand(extension->IoBase, FlushFifo);
        }
    }
    ClosePhase(extension, &status);
    phase = (UCHAR)(status & STATUS_PHASE_MASK);
    // A queue-tag message may have named another command.
    block = lun->CurrentBlock;
    // Only messages may pass before a reconnecting target's queue tag names
    // its command: data, command or status now would belong to no command
    // the driver can tell.
    if (!(block->Flags & CB_CONNECTED) && phase <= PHASE_STATUS) {
        LogRecoveredError(extension, lun, 0, SP_PROTOCOL_ERROR, LOG_ID_PHASE_BEFORE_TAG);
        ResetBusToRecover(extension);
        return;
    }
    // One command, one command phase: a target that asks for another wants a
    // command we never gave it. Sending the CDB again would run it twice.
    if (phase == PHASE_COMMAND && (block->Flags & CB_CDB_SENT)) {
        LogRecoveredError(extension, lun, block, SP_PROTOCOL_ERROR, LOG_ID_SECOND_COMMAND_PHASE);
        ResetBusToRecover(extension);
        return;
    }
    if (block->Flags & CB_CONNECTED)
        block->Flags |= CB_PHASE_SEEN;
    extension->ActiveLun->Phase = phase;
    StartPhase(extension, phase);
}

// The adapter's interrupt routine.
extern "C" BOOLEAN MINIPORT_API HwInterrupt(PVOID HwDeviceExtension)
{
    AdapterExtension* extension = (AdapterExtension*)HwDeviceExtension;
    ULONG ioBase = extension->IoBase;
    UCHAR status;
    UCHAR cause;

    // A shared line: without the core's interrupt bit it is not ours.
    if (!(ChipRead(ioBase, DmaStatus) & DMA_STATUS_CORE_INTERRUPT))
        return FALSE;
    status = ChipRead(ioBase, Status);
    // Reading the cause clears the interrupt: once, after Status.
    cause = ChipRead(ioBase, InterruptStatus);

    if (cause & INTR_EXCEPTION_MASK) {
        if (cause & INTR_BUS_RESET)
            HandleBusReset(extension);
        else if ((cause & INTR_ILLEGAL_COMMAND) && !extension->ActiveLun)
            // A selection held back for this interrupt has nothing else to start it.
            StartNextCommand(extension, extension->ServiceCursor);
        return TRUE;
    }
    if (cause & INTR_RESELECTED) {
        HandleReselection(extension);
        return TRUE;
    }
    // The chip reports every bus free as a disconnect.
    if (cause & INTR_DISCONNECT) {
        HandleBusFree(extension);
        return TRUE;
    }
    HandlePhase(extension, status);
    return TRUE;
}
