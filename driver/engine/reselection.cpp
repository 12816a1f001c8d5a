// Reselection: a disconnected target comes back. Make its LUN the bus owner,
// load its settings, accept IDENTIFY and reconnect its command.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "requests.h"
#include "scsi.h"

// The target number from the reselection ID byte (the adapter's own bit
// already masked out), or -1 unless exactly one bit is left.
static int ReselectingTarget(UCHAR id)
{
    int target = -1;

    if (id == 0 || (id & (id - 1)) != 0)
        return -1;
    while (id != 0) {
        id >>= 1;
        target++;
    }
    return target;
}

// Whether the LUN has a started command a target could be coming back for:
// the started blocks are the front of its queue.
static BOOLEAN HasStartedBlock(LunRecord* lun)
{
    return lun->IssuedCount != 0 && lun->QueueHead != 0;
}

// The current data pointer from the saved one: a target always goes on from
// the point it last saved. How far the data had come is kept.
void RestorePointers(CommandBlock* block)
{
    if (block->CurSg)
        NoteDataReached(block);
    block->CurOffset = block->SavedOffset;
    block->SgLeft = block->SavedSgLeft;
    block->CurSg = block->SavedSg;
}

// The target is back for this command: connected again, its pointer restored.
void ReconnectBlock(CommandBlock* block)
{
    block->Flags &= ~(CB_POINTERS_SAVED | CB_DISCONNECTED);
    block->Flags |= CB_CONNECTED;
    RestorePointers(block);
}

// Handle the reselection interrupt.
void HandleReselection(AdapterExtension* extension)
{
    ULONG ioBase = extension->IoBase;
    LunRecord* pending = extension->ActiveLun;
    LunRecord* lun;
    UCHAR id;
    UCHAR identify;
    int target;

    // A selection we issued lost to this reselection: it counts as waiting
    // again, and it is the last of its LUN's started blocks.
    if (pending && pending->IssuedCount > 0)
        pending->IssuedCount--;
    extension->ActiveLun = 0;

    id = (UCHAR)(ChipRead(ioBase, Fifo) & extension->ReselectMask);
    identify = ChipRead(ioBase, Fifo);
    // Bytes of a selection loaded while the reselection came in follow them.
    WriteCommand(ioBase, FlushFifo);
    target = ReselectingTarget(id);
    if (target < 0) {
        LogRecoveredError(extension, 0, 0, SP_INVALID_RESELECTION, LOG_ID_RESELECTION_BAD_ID);
        ResetBusToRecover(extension);
        return;
    }
    lun = LookupLun(extension, (UCHAR)target, (UCHAR)(identify & MSG_IDENTIFY_LUN_MASK));
    // A target coming back for a command we never started: nothing to
    // connect it to, and no stale block may be taken for it.
    if (!HasStartedBlock(lun)) {
        LogRecoveredError(extension, lun, 0, SP_INVALID_RESELECTION, LOG_ID_RESELECTION_NOTHING_STARTED);
        ResetBusToRecover(extension);
        return;
    }
    extension->ActiveLun = lun;
    LoadTargetSettings(ioBase, lun);
    WriteCommand(ioBase, MessageAccepted);

    // The reconnected command has not sent a status yet.
    lun->StatusByte = STATUS_BYTE_NONE;
    // The started blocks are the front of the queue. Whether the target must
    // name its command by a queue tag is decided by how the head was sent,
    // not by the LUN's depth: QUEUE FULL lowers the depth to 1 while tagged
    // commands are still out.
    lun->CurrentBlock = lun->QueueHead;
    if (!(lun->CurrentBlock->Flags & CB_TAGGED))
        // Untagged: the one started command is the head.
        ReconnectBlock(lun->CurrentBlock);
    // Tagged: provisional until the queue-tag message names the command; not
    // connected, so nothing is moved for it and a bus free does not end it.
    lun->Phase = PHASE_NONE;
}
