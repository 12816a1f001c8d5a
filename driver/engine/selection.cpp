// Selection: load the target's settings, put IDENTIFY, an optional queue tag
// and the CDB into the FIFO, and let the chip select the target by itself; a
// LUN's first waiting block counts as started once its selection is issued.
#include "chip.h"
#include "engine.h"
#include "requests.h"
#include "scsi.h"

// Load a target's transfer settings into the chip (selection and reselection).
void LoadTargetSettings(ULONG ioBase, LunRecord* lun)
{
    ChipWrite(ioBase, DestinationId, lun->TargetId);
    ChipWrite(ioBase, SyncPeriod, lun->SyncPeriodReg);
    ChipWrite(ioBase, SyncOffset, lun->SyncOffsetReg);
    ChipWrite(ioBase, Config1, lun->Config1);
    ChipWrite(ioBase, Config3, lun->Config3);
    ChipWrite(ioBase, Config4, lun->Config4);
}

// Copy the request's CDB into the FIFO, first byte first.
void LoadCdb(ULONG ioBase, CommandBlock* block)
{
    PSCSI_REQUEST_BLOCK srb = block->Srb;
    ULONG length = srb->CdbLength;

    if (length > MAX_CDB_LENGTH)
        length = MAX_CDB_LENGTH;
    for (ULONG i = 0; i < length; i++)
        ChipWrite(ioBase, Fifo, srb->Cdb[i]);
}

// Whether this selection sends a queue tag. A block queued before its LUN
// turned tagged takes its tag now, so no selection sends a tag message it
// does not hold.
static BOOLEAN SelectTagged(LunRecord* lun, CommandBlock* block)
{
    if (!CarriesTag(lun, block))
        return FALSE;
    if (block->TagMessage != 0)
        return TRUE;
    return TakeTag(lun, block);
}

// Start a command on the free bus; the outcome arrives as an interrupt.
// Nothing is started while the core has an interrupt pending: that is a
// target that has just reselected us, and its ID and IDENTIFY bytes sit in
// the FIFO. ActiveLun stays null then, the block stays waiting, and the
// reselection's handling starts it later. Callers tell the two outcomes
// apart by ActiveLun.
//
// The FIFO is flushed only while the chip cannot be reselected: once it
// answers reselection, a target may complete one between any two of our
// accesses, and a flush would destroy its bytes. The bus-free handling
// empties the FIFO before it lets reselection in, so it is empty here.
static void StartSelection(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG ioBase = extension->IoBase;
    PSCSI_REQUEST_BLOCK srb = block->Srb;
    UCHAR opcode = srb->Cdb[0];
    UCHAR command = SelectWithAtn;
    UCHAR identify = lun->IdentifyMsg;

    LoadTargetSettings(ioBase, lun);
    if (ChipRead(ioBase, DmaStatus) & DMA_STATUS_CORE_INTERRUPT)
        return;
    if (!extension->ReselectionArmed)
        WriteCommand(ioBase, FlushFifo);

    // A request may forbid disconnection (a port driver's bus scan, a class
    // driver's device that cannot cope).
    if (srb->SrbFlags & SRB_FLAGS_DISABLE_DISCONNECT)
        identify &= (UCHAR)~MSG_IDENTIFY_DISCONNECT;
    if (CommandNeverTagged(opcode)) {
        // No disconnection and no tag for these, whatever the settings say.
        ChipWrite(ioBase, Fifo, (UCHAR)(identify & ~MSG_IDENTIFY_DISCONNECT));
        block->Flags = CB_CONNECTED;
        // Synchronous negotiation rides on REQUEST SENSE and INQUIRY to LUN 0,
        // unless the request forbids it: the chip stops after IDENTIFY with
        // ATN still on. A speed index with no synchronous period offers nothing.
        if ((lun->TargetFlags & TF_SYNC) && lun->SyncClocks != 0 &&
            !(srb->SrbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER) &&
            (opcode == SCSIOP_REQUEST_SENSE || (identify & MSG_IDENTIFY_LUN_MASK) == 0)) {
            command = SelectWithAtnStop;
            block->Flags |= CB_SDTR_PENDING;
        }
    } else {
        ChipWrite(ioBase, Fifo, identify);
        block->Flags = CB_CONNECTED;
        if (SelectTagged(lun, block)) {
            ChipWrite(ioBase, Fifo, block->TagMessage);
            ChipWrite(ioBase, Fifo, block->Tag);
            command = SelectWithAtn3;
            block->Flags |= CB_TAGGED;
        }
    }
    LoadCdb(ioBase, block);
    // Unless the chip stops after IDENTIFY, it runs the command phase itself.
    if (command != SelectWithAtnStop)
        block->Flags |= CB_CDB_IN_FIFO;
    WriteCommand(ioBase, command);
    // Answered or beaten by a reselection, the chip stops answering
    // reselection; a time-out ends in the bus-free handling, which arms it anew.
    extension->ReselectionArmed = 0;

    lun->Phase = PHASE_NONE;
    lun->StatusByte = STATUS_BYTE_NONE;
    extension->ActiveLun = lun;
}

// Select the LUN's first waiting block and count it started. FALSE: a
// reselection got in first and the block still waits. Only called while the
// bus is free and the LUN may start another command (MayStartNext).
BOOLEAN StartFirstWaiting(AdapterExtension* extension, LunRecord* lun)
{
    CommandBlock* block = FirstWaitingBlock(lun);

    StartSelection(extension, lun, block);
    if (!extension->ActiveLun)
        return FALSE;
    extension->ActiveLun->IssuedCount++;
    extension->ActiveLun->CurrentBlock = block;
    return TRUE;
}
