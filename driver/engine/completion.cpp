// Command completion and next command: every bus free ends or suspends the
// connected command, and then the ring of LUNs with work is searched for the
// next command to start.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "requests.h"
#include "scsi.h"

// Give a block back to the pool and hand its request back to the port driver.
// A tagged LUN that was full has room again: the port may send it the next.
static void RetireBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, PSCSI_REQUEST_BLOCK srb)
{
    FreeBlock(extension, block);
    ScsiPortNotification(RequestComplete, extension, srb);
    NotifyReady(extension, lun);
}

// Start the next command that may be started, searching the whole ring round
// robin from `start`: no startable command may wait while the bus is free.
void StartNextCommand(AdapterExtension* extension, LunRecord* start)
{
    LunRecord* lun = start;
    LunRecord* chosen = 0;

    if (!lun || !extension->ServiceCursor)
        return;
    do {
        if (MayStartNext(lun)) {
            chosen = lun;
            break;
        }
        lun = lun->RingNext;
    } while (lun != start);
    if (!chosen)
        return;

    // A reselection got in first: the block waits, and this LUN is still the
    // first in line when the bus is free again.
    if (!StartFirstWaiting(extension, chosen))
        return;
    extension->ServiceCursor = chosen->RingNext;
}

// The target refused the connected command with QUEUE FULL. It holds the
// LUN's other started commands only: run at that depth (at least one) and put
// the refused command back as the first waiting one, to be sent again. The
// refused command is one of the started ones, so IssuedCount counts it.
static void RequeueAfterQueueFull(LunRecord* lun, CommandBlock* block)
{
    lun->QueueDepth = lun->IssuedCount > 2 ? (UCHAR)(lun->IssuedCount - 1) : 1;
    UnlinkBlock(lun, block);
    lun->IssuedCount--;
    InsertBehindStarted(lun, block);
    RewindDataPointers(block);
}

// The SRB's two status bytes from what the command ended with.
static void SetCompletionStatus(LunRecord* lun, CommandBlock* block, BOOLEAN selectionTimedOut)
{
    UCHAR s = lun->StatusByte;

    // No target answered: nothing reached the bus, there is no status.
    if (selectionTimedOut) {
        block->ScsiStatus = SCSISTAT_GOOD;
        block->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
        return;
    }

    // The target went to a data phase the request does not allow: not a
    // device error (no CHECK CONDITION, no sense to fetch), the request and
    // the device disagree on what the command does.
    if (block->Flags & CB_AGAINST_DIRECTION) {
        block->ScsiStatus = s == STATUS_BYTE_NONE ? SCSISTAT_GOOD : s;
        block->SrbStatus = SRB_STATUS_PHASE_SEQUENCE_FAILURE;
        return;
    }
    if (block->Flags & CB_OVERRUN) {
        block->ScsiStatus = SCSISTAT_CHECK_CONDITION;
        block->SrbStatus = SRB_STATUS_ERROR;
        return;
    }
    block->ScsiStatus = s == STATUS_BYTE_NONE ? SCSISTAT_GOOD : s;
    block->SrbStatus = s == SCSISTAT_GOOD ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR;
    // The data did not all reach memory.
    if (block->Flags & CB_DMA_FAILED)
        block->SrbStatus = SRB_STATUS_ERROR;
    // GOOD, but the target left without COMMAND COMPLETE: it did not finish.
    if (block->SrbStatus == SRB_STATUS_SUCCESS && !(block->Flags & CB_COMMAND_COMPLETE))
        block->SrbStatus = SRB_STATUS_UNEXPECTED_BUS_FREE;
}

// GOOD status after less data than the buffer holds: the requester learns
// how much arrived from DataTransferLength, and must not take the rest of its
// buffer for data. What arrived is the furthest the pointer has been: a
// target that disconnected after its last byte without SAVE DATA POINTER is
// back at an older pointer, with nothing left to send.
static void ReportShortTransfer(CommandBlock* block, PSCSI_REQUEST_BLOCK srb)
{
    ULONG moved;

    if (block->SrbStatus != SRB_STATUS_SUCCESS || srb->DataTransferLength == 0 || !block->CurSg)
        return;
    moved = NoteDataReached(block);
    if (moved < srb->DataTransferLength)
        srb->DataTransferLength = moved;
}

// Switch tagged queuing on. Every tag is free except those that blocks still
// queued hold (the completing block's tag is already given back).
static void EnableTaggedQueuing(AdapterExtension* extension, LunRecord* lun, CommandBlock* done)
{
    CommandBlock* block = lun->QueueHead;

    // 2 << shift, at most 16.
    if (extension->TagDepthShift >= 3)
        lun->QueueDepth = MAX_TAG_DEPTH;
    else
        lun->QueueDepth = (UCHAR)(2u << extension->TagDepthShift);
    lun->FreeTags = ALL_TAGS_FREE;
    while (block) {
        if (block != done && block->TagMessage != 0)
            lun->FreeTags &= ~(1u << block->Tag);
        block = block == lun->QueueTail ? 0 : block->Next;
    }
}

// Look at an INQUIRY answer: no device at this LUN, or a device that can take
// tagged commands. Only an answer that arrived is looked at (a failed INQUIRY
// leaves whatever the buffer held before), and only the bytes that arrived.
static void InspectInquiry(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                           PSCSI_REQUEST_BLOCK srb)
{
    PUCHAR data = (PUCHAR)srb->DataBuffer;
    ULONG length;
    UCHAR type;

    // Success (its length already cut to what arrived), or an overrun that
    // filled the whole buffer.
    if (block->SrbStatus != SRB_STATUS_SUCCESS && !(block->Flags & CB_OVERRUN))
        return;
    length = srb->DataTransferLength;
    if (!data || length == 0)
        return;
    type = data[0];
    if (type == INQUIRY_NO_DEVICE) {
        srb->SrbStatus = SRB_STATUS_DATA_OVERRUN;
        if (srb->DataTransferLength > INQUIRY_NO_DEVICE_LENGTH)
            srb->DataTransferLength = INQUIRY_NO_DEVICE_LENGTH;
        return;
    }
    if (type != INQUIRY_DIRECT_ACCESS && type != INQUIRY_OPTICAL)
        return;
    if (length <= INQUIRY_FLAGS_BYTE)
        return;
    if (!(data[INQUIRY_VERSION_BYTE] & INQUIRY_VERSION_MASK) || !(data[INQUIRY_FLAGS_BYTE] & INQUIRY_CMDQUE))
        return;
    if ((lun->TargetFlags & (TF_TAGGED | TF_DISCONNECT)) == (TF_TAGGED | TF_DISCONNECT))
        EnableTaggedQueuing(extension, lun, block);
    else
        data[INQUIRY_FLAGS_BYTE] &= (UCHAR)~INQUIRY_CMDQUE;
}

// The command has ended: status, INQUIRY inspection, out of the queue, retired.
// FALSE: the ring is empty now.
static BOOLEAN CompleteCommand(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                               BOOLEAN selectionTimedOut)
{
    PSCSI_REQUEST_BLOCK srb = block->Srb;
    BOOLEAN ringLeft = TRUE;

    SetCompletionStatus(lun, block, selectionTimedOut);
    lun->IssuedCount--;
    // Only a block that holds a tag gives one back: one prepared untagged may
    // end after its LUN turned tagged, and tag 0 may be another command's.
    if (block->TagMessage != 0)
        lun->FreeTags |= 1u << block->Tag;
    lun->QueuedCount--;
    srb->ScsiStatus = block->ScsiStatus;
    srb->SrbStatus = block->SrbStatus;
    ReportShortTransfer(block, srb);
    if (srb->Cdb[0] == SCSIOP_INQUIRY)
        InspectInquiry(extension, lun, block, srb);

    UnlinkBlock(lun, block);
    if (!lun->QueueTail)
        ringLeft = LeaveRing(extension, lun);
    RetireBlock(extension, lun, block, srb);
    return ringLeft;
}

// A bus free that ends a selection nobody answered. The chip reports a
// selection time-out as it reports any bus free; but a target that answered
// takes IDENTIFY from the FIFO at once (the selection raises ATN, so message
// out comes first), while after a time-out every byte the selection put into
// the FIFO is still there, and the target never asked for a phase.
static BOOLEAN SelectionTimedOut(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG loaded;

    if ((block->Flags & CB_PHASE_SEEN) || lun->StatusByte != STATUS_BYTE_NONE)
        return FALSE;
    loaded = (block->Flags & CB_TAGGED) ? SELECT_TAGGED_MESSAGE_BYTES : SELECT_MESSAGE_BYTES;
    loaded += block->Srb->CdbLength > MAX_CDB_LENGTH ? MAX_CDB_LENGTH : block->Srb->CdbLength;
    return (ChipRead(extension->IoBase, FifoFlags) & FIFO_COUNT_MASK) == loaded;
}

// The bus has gone free. After COMMAND COMPLETE the connected command has
// ended; after DISCONNECT it is only suspended and stays issued; any other bus
// free ends it as failed (a selection time-out, an abort, a target that
// left). Then the next command may start.
void HandleBusFree(AdapterExtension* extension)
{
    LunRecord* lun = extension->ActiveLun;
    CommandBlock* block = lun ? lun->CurrentBlock : 0;
    BOOLEAN selectionTimedOut = FALSE;

    if (block) {
        BOOLEAN connected = (block->Flags & CB_CONNECTED) != 0;

        // A message cannot run on across a bus free.
        block->Flags &= ~(CB_CONNECTED | CB_MSG_IN_PROGRESS);
        // A reconnection whose queue tag named no command connected none:
        // the command provisionally taken for it has not ended.
        if (!connected)
            block = 0;
        // Before the FIFO is flushed: its count tells.
        else if (!(block->Flags & CB_DISCONNECTED))
            selectionTimedOut = SelectionTimedOut(extension, lun, block);
    }
    // Whatever the FIFO still holds (unsent selection bytes after a time-out,
    // data fetched ahead of a disconnect) goes now, while no reselection can
    // come in: once it is enabled, the FIFO is the reselecting target's.
    WriteCommand(extension->IoBase, FlushFifo);
    WriteCommand(extension->IoBase, EnableReselection);
    extension->ReselectionArmed = 1;
    extension->ActiveLun = 0;

    // Bus free with no command connected: nothing to end.
    if (!block) {
        StartNextCommand(extension, extension->ServiceCursor);
        return;
    }
    // Disconnected: the target will reselect to go on.
    if (block->Flags & CB_DISCONNECTED) {
        StartNextCommand(extension, extension->ServiceCursor);
        return;
    }
    if (lun->StatusByte == SCSISTAT_QUEUE_FULL && (block->Flags & CB_COMMAND_COMPLETE)) {
        RequeueAfterQueueFull(lun, block);
        StartNextCommand(extension, lun);
        return;
    }
    // A target that drops the bus in the middle of a command, without a
    // status: also right after a message we accepted. A selection that timed
    // out never reached a phase.
    if (lun->StatusByte == STATUS_BYTE_NONE && (block->Flags & CB_PHASE_SEEN))
        LogRecoveredError(extension, lun, block, SP_UNEXPECTED_DISCONNECT, LOG_ID_BUS_FREE_WITHOUT_STATUS);
    if (!CompleteCommand(extension, lun, block, selectionTimedOut))
        return;
    // A selection may already be under way.
    if (extension->ActiveLun)
        return;
    StartNextCommand(extension, extension->ServiceCursor);
}
